#pragma once

// A program on a new pseudo-terminal, and the loop that moves bytes between it and the user.

#include "platform/unique_fd.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

struct termios;
struct winsize;

namespace launcher {

// The pseudo-terminal master of the program being relayed, -1 before there is one: SIGWINCH and
// the inject socket write to it.
extern std::atomic<int> gMaster;

struct PtyChild {
  pid_t pid = -1;
  platform::UniqueFd master;  // non-blocking
  platform::UniqueFd
      slave;  // held only where the platform needs it (platform::forkPtyKeepingSlave)
};

// Runs argv[0], searched on the PATH found in `env`, on a new pseudo-terminal with `env`
// ("NAME=value" entries) as its whole environment, default signal dispositions and an empty signal
// mask. `term` and `size` may be null. False with *err = errno when the terminal or the fork fails.
// A child that cannot execute prints "<execLabel>: <reason>" on the terminal and exits with status
// 127.
bool startOnPty(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                const std::string& execLabel, const termios* term, const winsize* size,
                PtyChild* out, int* err);

// From now on each signal in `signals` writes a byte to `wakeFd` (non-blocking), and the first
// SIGTERM, SIGHUP, SIGINT or SIGQUIT makes relay() stop; SIGWINCH instead copies the window size of
// standard input to gMaster. The handlers never restart interrupted calls.
void armSignals(std::initializer_list<int> signals, int wakeFd);

class RawMode;

struct RelayFds {
  int in;      // the user's input; no longer watched after end of file
  int out;     // the user's output, written completely
  int master;  // the child's terminal
  int wake;    // read end of the pipe given to armSignals
  // The user's terminal in raw mode: when the child stops itself (Ctrl-Z), it is restored and this
  // process stops too, so the shell has the terminal; on `fg` raw mode, the window size and the
  // child come back. Null: a stopped child is continued at once.
  RawMode* terminal = nullptr;
};

struct RelayEnd {
  int signal = 0;             // a stop signal ended the loop; the child may still run
  std::optional<int> status;  // wait status, when the child was reaped
};

// Sees every block of bytes the child prints, on the relay's thread, once it has been passed on.
using OutputObserver = std::function<void(std::string_view)>;

// Moves bytes until the child's terminal reports its end (EIO or end of file on the master), or the
// child is reaped and what it printed has been drained, or a stop signal arrives.
RelayEnd relay(const RelayFds& fds, pid_t child, const OutputObserver& observe = nullptr);

// Waits up to `limit` for the child to end, still passing what it prints to fds.out, so that it can
// put the user's screen back. Its wait status, or nullopt if it has not ended by then.
std::optional<int> awaitChild(const RelayFds& fds, pid_t child, std::chrono::milliseconds limit);

}  // namespace launcher
