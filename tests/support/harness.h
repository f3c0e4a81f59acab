#pragma once

// The GoogleTest side of the kit in testkit/: a HOME kept when a test fails, the binary built with
// the tests, request lines and a scripted stand-in app.

#include "testkit/net.h"
#include "testkit/process.h"

#include <mutex>
#include <string>
#include <vector>

namespace cstest {

using namespace std::chrono_literals;
using testkit::baseEnv;
using testkit::Child;
using testkit::Env;
using testkit::request;

// Built with a sanitizer, where time and CPU bounds mean nothing.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool SANITIZED = true;
#elif defined(__has_feature)
inline constexpr bool SANITIZED =
    __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
inline constexpr bool SANITIZED = false;
#endif

// A fresh HOME; on failure its path is printed and the files are kept to be looked at.
class TempHome : public testkit::TempDir {
 public:
  TempHome();
  ~TempHome();
};

std::string binaryPath();

// The app's socket: records each request line and answers as the test says.
class StandinApp {
 public:
  enum class Mode { Answer, CloseAtOnce, NeverAnswer };
  explicit StandinApp(const std::string& socketPath);
  // Sends these pieces, each after `pieceDelayMs`.
  void answer(std::vector<std::string> pieces, int pieceDelayMs = 0);
  void setMode(Mode mode);
  std::vector<std::string> requests();
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
