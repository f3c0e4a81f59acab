#pragma once

// The channel's HTTP connections: one request each, answered once, then closed.

#include "channel/connections.h"
#include "channel/request.h"
#include "channel/routes.h"
#include "outbox/outbox.h"
#include "registry/identity.h"

#include <asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

namespace channel {

// At most this many connections are reading their request at once; the oldest makes room for a
// newcomer.
inline constexpr size_t MAX_CONNECTIONS = 512;
// Time to send the header block, and to complete the whole request.
inline constexpr std::chrono::seconds HEADER_TIMEOUT{2};
inline constexpr std::chrono::seconds REQUEST_TIMEOUT{10};
// Bytes held in request buffers across all connections.
inline constexpr size_t MAX_BUFFERED = 64 << 20;

// The identity and port every route answers with; set once, before the first connection.
void setIdentity(const ::registry::Identity& identity, uint16_t port);

// Connections open at once, whatever their stage; set from the descriptors the process may open.
void setConnectionLimit(size_t limit);

// Takes a newly accepted connection in, closing an older one when the limits are reached.
void admit(asio::ip::tcp::socket conn);

// Waits up to `limit` until no push waits for its answer to go out.
void settlePushes(std::chrono::milliseconds limit);

class HTTPConn : public std::enable_shared_from_this<HTTPConn> {
 public:
  // Made with std::make_shared. `conn` runs its handlers on a strand of its own, so they never
  // overlap.
  explicit HTTPConn(asio::ip::tcp::socket conn);
  ~HTTPConn();

  // Registers and reads the request; answers it once, then leaves `registry`.
  void start();
  // Registers and answers 503 at once, then closes: there is no room.
  void refuse();
  // Closes at once, unanswered, to make room for a newcomer.
  void evict();
  // Whether its deadline has passed; any thread may ask. Then expire() acts on it on its strand.
  bool overdue(std::chrono::steady_clock::time_point now) const;
  void expire();

 private:
  template <typename Step>
  void onStrand(Step step);
  void armTimer(std::chrono::steady_clock::duration after);
  void receive();
  void onReceive(const asio::error_code& ec, size_t n);
  void onTimer();
  void finish(const Decision& decision);
  void onDelivered(outbox::Delivery how);
  void respond(const Decision& decision);
  void send();
  void onSent(const asio::error_code& ec);
  void stopReading();
  void releaseBuffer();
  void close();

  asio::ip::tcp::socket m_conn;
  // Kept by the sweep (channel/deadlines.h); zero: no deadline.
  std::atomic<std::chrono::steady_clock::rep> m_deadline{0};
  std::chrono::steady_clock::time_point m_started;
  Request m_request;
  size_t m_claimed = 0;     // bytes of the shared budget this connection holds
  bool m_finished = false;  // the answer is decided; reads after it are discarded
  bool m_sent = false;      // the answer went out and the sending side is shut
  bool m_readDone = false;  // the client stopped sending, or we stopped listening
  bool m_lingers = true;    // after the answer, reads what the client still sends
  bool m_pushWaiting = false;
  bool m_pushing = false;                          // inside pushToChannel, on this strand
  std::optional<outbox::Delivery> m_deliveredNow;  // its answer, when it came before it returned
  size_t m_discarded = 0;
  size_t m_discardLimit = MAX_REQUEST;
  std::string m_chunk;  // what one receive fills
  std::string m_pushLog;
  std::string m_answer;
};

}  // namespace channel
