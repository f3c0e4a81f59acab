#include "app/ending.h"

#include "platform/posix.h"

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <thread>
#include <unistd.h>

namespace app {
namespace {

// The write end of the self-pipe; the handler may run on any thread at any moment.
volatile std::sig_atomic_t gSignalPipe = -1;

void onTerminationSignal(int sig) {
  int saved = errno;
  unsigned char byte = static_cast<unsigned char>(sig);
  (void)::write(gSignalPipe, &byte, 1);
  errno = saved;
}

}  // namespace

void endWith(int status) {
  // Worker threads may still run: the process ends without destroying statics under them.
  platform::exitProcess(status);
}

void endAfter(int status, int signal) {
  if (signal != 0) {
    platform::exitBySignal(signal);
  }
  endWith(status);
}

void endOnTerminationSignals() {
  int fds[2];
  if (::pipe(fds) != 0) {
    return;  // the signals keep their default action
  }
  for (int fd : fds) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  gSignalPipe = fds[1];
  std::thread([readEnd = fds[0]] {
    unsigned char sig = 0;
    ssize_t n;
    while ((n = ::read(readEnd, &sig, 1)) < 0 && errno == EINTR) {
    }
    if (n == 1) {
      platform::exitBySignal(sig);
    }
  }).detach();
  struct sigaction sa {};
  sa.sa_handler = onTerminationSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    ::sigaction(sig, &sa, nullptr);
  }
}

}  // namespace app
