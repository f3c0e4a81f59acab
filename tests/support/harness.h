#pragma once

// The GoogleTest side of the kit in testkit/: a HOME kept when a test fails, the binary built with
// the tests, request lines and a scripted stand-in app.

#include "launcher/pty_relay.h"
#include "testkit/net.h"
#include "testkit/process.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace cstest {

using namespace std::chrono_literals;
using testkit::baseEnv;
using testkit::Child;
using testkit::connectTcp;
using testkit::Env;
using testkit::request;
using testkit::sendAll;

// Built with a sanitizer, where time and CPU bounds mean nothing.
inline constexpr bool SANITIZED = CS_SANITIZED;

// A fresh HOME; on failure its path is printed and the files are kept to be looked at.
class TempHome : public testkit::TempDir {
 public:
  TempHome() { EXPECT_TRUE(ok()) << "no temporary directory"; }
  ~TempHome();
};

inline std::string binaryPath() {
  return CS_BINARY_PATH;
}

// The file's type and permission bits (lstat), 0 when it cannot be looked at.
unsigned modeOf(const std::string& path);
// The pid of a child that has ended and been reaped.
pid_t deadPid();
// Runs `body(i)` in `n` forked children at once; true when every one returned true.
bool inChildren(int n, const std::function<bool(int)>& body);

// A program on a 24x80 pseudo-terminal the test owns, as the user's would be; killed and reaped
// at the end. Throws when it cannot start.
class Pty {
 public:
  Pty(const std::vector<std::string>& argv, const Env& env, const termios* term = nullptr);
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  // Reads what it prints into `out`, as the user's terminal would, until `done` holds.
  bool until(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s);
  // Until the output not matched yet holds `needle`, or with an empty needle until it has ended.
  bool read(std::string_view needle, std::chrono::milliseconds timeout = 5s);
  // Exit status, or 128 + signal; nullopt if it did not end in time. Reads nothing meanwhile.
  std::optional<int> wait(std::chrono::milliseconds timeout = 5s);
  bool type(std::string_view bytes);
  bool ask(std::string_view line, std::string_view reply) { return type(line) && read(reply); }

  launcher::PtyChild pty;
  std::optional<int> status;
  int waitStatus = 0;  // as waitpid gave it
  std::string out;
  size_t seen = 0;
};

// The channel token the servers under test are given, and a push request carrying one.
inline const std::string TOKEN(64, 'a');
std::string post(const std::string& body, const std::string& token = TOKEN);
// Everything until the peer closes; nullopt on a reset or at the deadline.
std::optional<std::string> readToEnd(int fd, std::chrono::milliseconds timeout = 5s);
// One request on a fresh 127.0.0.1 connection, read to its end.
std::optional<std::string> roundTrip(uint16_t port, std::string_view request,
                                     std::chrono::milliseconds timeout = 5s);
// Sends `bytes` on a unix socket (as far as the peer takes them) and returns its one-line answer
// without the LF, or a text saying what came instead.
std::string askUnix(const std::string& path, const std::string& bytes,
                    std::chrono::milliseconds timeout);

// A channel-mode server with instance INST; `argv` goes before the binary. Pushes flow once the
// client has read the initialize answer and said so, which `ready` does. A non-ASCII project name
// makes every /info answer check that Content-Length counts bytes.
struct ChannelServer {
  explicit ChannelServer(const TempHome& home, Env env = {}, std::vector<std::string> argv = {},
                         bool sayReady = true);
  void ready();
  std::unique_ptr<Child> child;
  uint16_t port = 0;  // from the registry record; 0 when the server never got that far
};

// A tools-only server in `home`; it starts the companion on its first tool call. `parked`: once it
// has said it is up, a process of this executable that stays while its input is open.
std::unique_ptr<Child> toolsOnly(const std::string& home, Env env = {}, bool parked = false);
// The text a tools/call with these params is answered with; "<no answer>" at the deadline.
std::string callTool(Child& server, int id, const std::string& params,
                     std::chrono::milliseconds timeout = 10s);
// `channel-server app` in `home`, once it listens on `home`/.corvane/sessions.sock.
std::unique_ptr<Child> startCompanion(const std::string& home);

// The app's socket: records each request line and answers as the test says.
class StandinApp {
 public:
  enum class Mode { Answer, NeverAnswer };
  explicit StandinApp(const std::string& socketPath);
  // Sends these pieces, each after `pieceDelayMs`.
  void answer(std::vector<std::string> pieces, int pieceDelayMs = 0);
  void setMode(Mode mode) {
    std::lock_guard hold(m_mutex);
    m_mode = mode;
  }
  std::vector<std::string> requests() {
    std::lock_guard hold(m_mutex);
    return m_requests;
  }
  bool listening() const { return m_app.listening(); }

 private:
  void handle(int fd);
  std::mutex m_mutex;
  Mode m_mode = Mode::Answer;
  std::vector<std::string> m_pieces{"{\"ok\":true}\n"};
  int m_delayMs = 0;
  std::vector<std::string> m_requests;
  testkit::StandinApp m_app;  // last: its thread stops before the rest goes
};

}  // namespace cstest
