#pragma once

// Sockets for tests and the bench, and a stand-in for the corvane app. Every wait has a deadline.

#include "testkit/process.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace testkit {

// Blocking sockets on 127.0.0.1 and Unix paths; an empty UniqueFd on failure.
UniqueFd connectTcp(uint16_t port);
UniqueFd connectUnix(const std::string& path);
UniqueFd listenUnix(const std::string& path);
// The whole of `bytes`, never raising SIGPIPE.
bool sendAll(int fd, std::string_view bytes);
// Until end of file (true) or the deadline (false).
bool recvAll(int fd, std::string* into, Clock::time_point deadline);
// Shuts the connection with a reset instead of a FIN (SO_LINGER 0).
void resetClose(UniqueFd fd);
// The request line (without LF) a client sends on `fd`; what arrived when the deadline passed.
std::string readRequestLine(int fd, Clock::time_point deadline);

// A JSON-RPC request line with its LF.
std::string request(int id, const std::string& method, const std::string& params = "");

// A stand-in for the corvane app: one connection at a time on a thread of its own. `handle` gets
// each accepted connection (closed after it returns) and reads and answers as it likes.
class StandinApp {
 public:
  using Handler = std::function<void(int fd)>;
  StandinApp(std::string path, Handler handle);
  ~StandinApp();
  StandinApp(const StandinApp&) = delete;
  StandinApp& operator=(const StandinApp&) = delete;
  bool listening() const { return static_cast<bool>(m_listen); }
  // Makes a handler that sleeps or waits give up early.
  bool stopping() const { return m_stop.load(); }

 private:
  void serve();
  std::string m_path;
  Handler m_handle;
  UniqueFd m_listen;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

}  // namespace testkit
