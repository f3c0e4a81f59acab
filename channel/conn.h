#pragma once

// The channel's HTTP connections: one request each, answered once, then closed.

#include "channel/request.h"
#include "channel/routes.h"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace channel {

// At most this many connections are open at once; one more is answered 503 and closed.
inline constexpr size_t MAX_CONNECTIONS = 512;
// Time to complete a request, and again to read what the client sends after its answer.
inline constexpr std::chrono::seconds REQUEST_TIMEOUT{10};

class HTTPConn;

// The live connections. An entry is the only strong reference to its HTTPConn: callbacks hold
// it weakly, so removing the entry ends the connection once no callback of it is running.
class ConnRegistry {
 public:
  void add(const std::shared_ptr<HTTPConn>& conn);
  void remove(const HTTPConn* conn);  // an absent entry is not an error
  size_t size() const;

 private:
  mutable std::mutex m_lock;
  std::unordered_map<const HTTPConn*, std::shared_ptr<HTTPConn>> m_conns;
};

// Never destroyed: worker threads may still use it while the process exits.
extern ConnRegistry& registry;

class HTTPConn : public std::enable_shared_from_this<HTTPConn> {
 public:
  // Made with std::make_shared. `conn` runs its handlers on a strand of its own, so they never
  // overlap.
  explicit HTTPConn(asio::ip::tcp::socket conn);

  // Registers and reads the request; answers it once, then leaves `registry`.
  void start();
  // Registers and answers 503 at once: `registry` is full.
  void refuse();

 private:
  template <typename Step>
  void onStrand(Step step);
  void armTimer();
  void receive();
  void onReceive(const asio::error_code& ec, size_t n);
  void onTimer(const asio::error_code& ec);
  void complete();
  void finish(const Decision& decision);
  void respond(std::string_view status, std::string_view body);
  void onSent(const asio::error_code& ec);
  void stopReading();
  void close();

  asio::ip::tcp::socket m_conn;
  asio::steady_timer m_timer;
  Request m_request;
  bool m_finished = false;  // the answer is decided; reads after it are discarded
  bool m_sent = false;      // the answer went out and the sending side is shut
  bool m_readDone = false;  // the client stopped sending, or we stopped listening
  size_t m_discarded = 0;
  std::string m_answer;
  std::array<char, MAX_RECEIVE> m_chunk;
};

}  // namespace channel
