#pragma once

// A stand-in for the corvane app: serves a Unix socket one client at a time, records each request
// line and answers as the test says.

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cstest {

class StandinApp {
 public:
  enum class Mode {
    Answer,        // send the answer pieces, each after `pieceDelayMs`
    CloseAtOnce,   // close without answering
    NeverAnswer,   // keep the connection open and silent until stopped
  };

  explicit StandinApp(std::string socketPath);
  ~StandinApp();

  void answer(std::vector<std::string> pieces, int pieceDelayMs = 0);
  void setMode(Mode mode);
  // Request lines received so far, without their LF.
  std::vector<std::string> requests();
  bool listening() const { return m_listenFd >= 0; }

 private:
  void serve();
  void handle(int fd);

  std::string m_path;
  int m_listenFd = -1;
  int m_stopPipe[2] = {-1, -1};
  std::mutex m_mutex;
  Mode m_mode = Mode::Answer;
  std::vector<std::string> m_pieces{"{\"ok\":true}\n"};
  int m_delayMs = 0;
  std::vector<std::string> m_requests;
  std::thread m_thread;
};

}  // namespace cstest
