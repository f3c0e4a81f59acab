#pragma once

// The user's terminal while the proxy runs: raw mode held by a guard, window size passed on.

#include <initializer_list>
#include <signal.h>
#include <termios.h>

namespace launcher {

// Saves the attributes of `fd` and switches it to raw mode (cfmakeraw) at once, when `fd` is a
// terminal whose attributes can be read; otherwise does nothing. restore() puts the saved
// attributes back (immediately, not after draining) and is called by the destructor; enter()
// saves them anew and goes raw again, as after the shell gave the terminal back. All idempotent.
class RawMode {
 public:
  explicit RawMode(int fd) : m_fd(fd) { enter(); }
  ~RawMode() { restore(); }
  RawMode(const RawMode&) = delete;
  RawMode& operator=(const RawMode&) = delete;

  void enter();
  void restore();

 private:
  int m_fd;
  bool m_active = false;
  termios m_saved{};
};

// Blocks `signals` in the calling thread until the guard ends, then puts the old mask back.
class BlockSignals {
 public:
  explicit BlockSignals(std::initializer_list<int> signals);
  ~BlockSignals();
  BlockSignals(const BlockSignals&) = delete;
  BlockSignals& operator=(const BlockSignals&) = delete;

 private:
  sigset_t m_old{};
};

// Reads the window size of `from` and sets it on `to`; nothing when the read fails. Safe in a
// signal handler.
void copyWindowSize(int from, int to);

}  // namespace launcher
