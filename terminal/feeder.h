#pragma once

// Feeds a Screen on its own thread, so that the terminal emulation never slows down what the user
// sees. A flood faster than the emulation keeps only its newest part: the screen and scrollback
// end as they would have, while older lines that would have scrolled past are skipped.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace terminal {

class Screen;

class Feeder {
 public:
  // Before each batch the screen takes the window size of the terminal `master` (-1: never).
  // The thread starts with the caller's signal mask.
  Feeder(Screen* screen, int master);
  ~Feeder();
  Feeder(const Feeder&) = delete;
  Feeder& operator=(const Feeder&) = delete;

  void push(std::string_view bytes);
  // Waits at most `timeout` until what was pushed so far is on the screen.
  void flush(std::chrono::milliseconds timeout);

 private:
  void run();

  Screen* m_screen;
  int m_master;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::condition_variable m_idle;
  std::string m_pending;
  bool m_feeding = false;
  bool m_stop = false;
  std::thread m_thread;
};

}  // namespace terminal
