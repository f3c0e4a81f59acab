#include "launcher/tty_mode.h"

#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace launcher {

void RawMode::enter() {
  if (m_active || ::isatty(m_fd) == 0 || ::tcgetattr(m_fd, &m_saved) != 0) {
    return;
  }
  termios raw = m_saved;
  ::cfmakeraw(&raw);
  m_active = ::tcsetattr(m_fd, TCSANOW, &raw) == 0;
}

void RawMode::restore() {
  if (m_active) {
    ::tcsetattr(m_fd, TCSANOW, &m_saved);
    m_active = false;
  }
}

BlockSignals::BlockSignals(std::initializer_list<int> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : signals) {
    sigaddset(&set, sig);
  }
  ::pthread_sigmask(SIG_BLOCK, &set, &m_old);
}

BlockSignals::~BlockSignals() {
  ::pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
}

void copyWindowSize(int from, int to) {
  winsize ws{};
  if (to >= 0 && ::ioctl(from, TIOCGWINSZ, &ws) == 0) {
    ::ioctl(to, TIOCSWINSZ, &ws);
  }
}

}  // namespace launcher
