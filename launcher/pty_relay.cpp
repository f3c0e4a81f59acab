#include "launcher/pty_relay.h"

#include "launcher/tty_mode.h"
#include "platform/platform.h"
#include "platform/posix.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace launcher {

std::atomic<int> gMaster{-1};

namespace {

constexpr size_t BUF_SIZE = 8192;
// Reads allowed after the child is reaped: a grandchild still holding the terminal cannot keep the
// drain going for ever.
constexpr int MAX_DRAIN_READS = 1024;

volatile std::sig_atomic_t gStopSignal = 0;
std::atomic<int> gWakeFd{-1};

void onSignal(int sig) {
  int saved = errno;
  if (sig == SIGWINCH) {
    copyWindowSize(STDIN_FILENO, gMaster.load());
  } else {
    bool stop = sig == SIGTERM || sig == SIGHUP || sig == SIGINT || sig == SIGQUIT;
    if (stop && gStopSignal == 0) {
      gStopSignal = sig;
    }
    char byte = 0;
    if (::write(gWakeFd.load(), &byte, 1) < 0) {
      // A full pipe already holds a wake-up.
    }
  }
  errno = saved;
}

[[noreturn]] void execChild(char* const* argv, char** envp, const char* label) {
  // exec keeps ignored signals and the mask: ours are blocked around the fork, and whoever started
  // us may have ignored SIGPIPE.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    ::sigaction(sig, &dfl, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  environ = envp;
  ::execvp(argv[0], argv);
  std::perror(label);
  ::_exit(127);
}

enum class Read { Data, Empty, Ended };

// The child stopped itself: hand the terminal back to the user's shell by stopping as a job does,
// then put everything back once continued.
void stopWithChild(const RelayFds& fds, pid_t child) {
  if (fds.terminal != nullptr) {
    fds.terminal->restore();
    struct sigaction dfl {};
    struct sigaction old {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(SIGTSTP, &dfl, &old);
    sigset_t tstp, mask;
    sigemptyset(&tstp);
    sigaddset(&tstp, SIGTSTP);
    ::pthread_sigmask(SIG_UNBLOCK, &tstp, &mask);
    // Returns once continued (`fg`); in an orphaned process group the kernel drops it at once.
    ::raise(SIGTSTP);
    ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    ::sigaction(SIGTSTP, &old, nullptr);
    fds.terminal->enter();
    copyWindowSize(fds.in, fds.master);
  }
  // claude leads its own process group on the pseudo-terminal.
  if (::kill(-child, SIGCONT) != 0) {
    ::kill(child, SIGCONT);
  }
  ::kill(-child, SIGWINCH);
}

}  // namespace

bool startOnPty(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                const std::string& execLabel, const termios* term, const winsize* size,
                PtyChild* out, int* err) {
  if (argv.empty()) {
    *err = EINVAL;
    return false;
  }
  // Built before the fork: the child only execs.
  std::vector<char*> args = platform::cStrings(argv);
  std::vector<char*> envp = platform::cStrings(env);
  int master = -1;
  int slave = -1;
  pid_t pid = platform::forkPtyKeepingSlave(&master, &slave, term, size);
  if (pid < 0) {
    *err = errno;
    return false;
  }
  if (pid == 0) {
    execChild(args.data(), envp.data(), execLabel.c_str());
  }
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  out->pid = pid;
  out->master.reset(master);
  out->slave.reset(slave);
  return true;
}

void armSignals(std::initializer_list<int> signals, int wakeFd) {
  gWakeFd = wakeFd;
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : signals) {
    ::sigaction(sig, &sa, nullptr);
  }
}

RelayEnd relay(const RelayFds& fds, pid_t child, const OutputObserver& observe) {
  RelayEnd end;
  char out[BUF_SIZE];
  char in[BUF_SIZE];
  size_t inStart = 0;
  size_t inLen = 0;  // typed bytes the master has not taken yet
  bool inOpen = true;
  bool outOk = true;

  auto fromChild = [&]() {
    ssize_t n = ::read(fds.master, out, sizeof(out));
    if (n > 0) {
      if (outOk && !platform::writeAll(fds.out, out, static_cast<size_t>(n), &gStopSignal)) {
        outOk = false;  // keep reading, so the child never blocks on a full terminal
      }
      if (observe) {
        observe(std::string_view(out, static_cast<size_t>(n)));
      }
      return Read::Data;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      return Read::Empty;
    }
    return Read::Ended;  // Linux: EIO once every slave descriptor is closed
  };
  auto toChild = [&]() {
    ssize_t n = ::write(fds.master, in + inStart, inLen);
    if (n > 0) {
      inStart += static_cast<size_t>(n);
      inLen -= static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      inLen = 0;
    }
  };

  for (;;) {
    if (gStopSignal != 0) {
      end.signal = gStopSignal;
      return end;
    }
    // While the master holds typed bytes back, standard input waits: a full terminal must slow the
    // user down, not the child's output.
    pollfd pfds[3] = {{fds.wake, POLLIN, 0}, {fds.master, POLLIN, 0}, {-1, POLLIN, 0}};
    if (inLen > 0) {
      pfds[1].events |= POLLOUT;
    } else if (inOpen) {
      pfds[2].fd = fds.in;
    }
    int ready = ::poll(pfds, 3, 1000);
    if (ready < 0 && errno != EINTR) {
      return end;
    }
    if (ready > 0) {
      if (pfds[0].revents != 0) {
        char sink[64];
        while (::read(fds.wake, sink, sizeof(sink)) > 0) {
        }
      }
      if ((pfds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && fromChild() == Read::Ended) {
        return end;
      }
      if ((pfds[1].revents & POLLOUT) != 0) {
        toChild();
      }
      if (pfds[2].revents != 0) {
        ssize_t n = ::read(fds.in, in, sizeof(in));
        if (n > 0) {
          inStart = 0;
          inLen = static_cast<size_t>(n);
          toChild();
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
          inOpen = false;
        }
      }
    }
    int status = 0;
    pid_t got = ::waitpid(child, &status, WNOHANG | WUNTRACED);
    if (got == child && WIFSTOPPED(status)) {
      stopWithChild(fds, child);
    } else if (got == child) {
      end.status = status;
      for (int i = 0; i < MAX_DRAIN_READS && fromChild() == Read::Data; ++i) {
      }
      return end;
    }
  }
}

std::optional<int> awaitChild(const RelayFds& fds, pid_t child, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  char buf[BUF_SIZE];
  for (;;) {
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) {
      return status;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return std::nullopt;
    }
    pollfd pfd{fds.master, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count(), 50))) > 0) {
      ssize_t n = ::read(fds.master, buf, sizeof(buf));
      if (n > 0 && ::write(fds.out, buf, static_cast<size_t>(n)) < 0) {
        // The user's terminal may be gone; the wait goes on.
      }
      if (n == 0 || (n < 0 && errno == EIO)) {
        // No more output: only the child's end is awaited, without spinning on the master.
        ::usleep(10000);
      }
    }
  }
}

}  // namespace launcher
