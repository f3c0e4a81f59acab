#include "app/process.h"
#include "launcher/inject.h"
#include "launcher/pty_relay.h"
#include "launcher/terminal.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// argv on a pty through relay(), with /dev/null as input: the child's wait status and output.
std::pair<int, std::string> relayed(const std::vector<std::string>& argv, const std::string& path) {
  cstest::TempHome home;
  launcher::PtyChild child;
  int err = 0;
  if (!launcher::startOnPty(argv, {"PATH=" + path}, "corvane-run: execvp claude", nullptr, nullptr,
                            &child, &err)) {
    return {-1, std::strerror(err)};
  }
  platform::UniqueFd in{::open("/dev/null", O_RDONLY)}, wake, wakeWrite;
  platform::UniqueFd out{::open((home / "out").c_str(), O_RDWR | O_CREAT, 0600)};
  platform::makePipe(&wake, &wakeWrite);
  auto end = launcher::relay({in.get(), out.get(), child.master.get(), wake.get()}, child.pid);
  int status = end.status.value_or(0);
  if (!end.status) {
    ::waitpid(child.pid, &status, 0);  // Linux: EIO on the master may come before the reap
  }
  return {status, platform::readFile(home / "out").value_or("")};
}

class Relay : public ::testing::Test {
  void SetUp() override {
    if (!platform::exists("/dev/ptmx")) {
      GTEST_SKIP() << "no pty";
    }
  }
};

TEST_F(Relay, ChildThatCannotExecEndsWith127AndSaysWhy) {
  auto [status, out] = relayed({"claude"}, "/nonexistent");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 127) << status;
  EXPECT_EQ("corvane-run: execvp claude: No such file or directory\r\n", out);
}

TEST_F(Relay, ChildStartsWithDefaultSignalsAndEmptyMask) {
  if (!platform::exists("/proc/self/status")) {
    GTEST_SKIP() << "no /proc";
  }
  std::string out;
  {
    launcher::BlockSignals blocked{SIGUSR1};
    ::signal(SIGPIPE, SIG_IGN);  // as the server does; a launcher may run under one
    out = relayed({"grep", "-E", "^Sig(Blk|Ign):", "/proc/self/status"}, "/usr/bin:/bin").second;
    ::signal(SIGPIPE, SIG_DFL);
  }
  auto mask = [&](const char* key) {
    size_t at = out.find(key);
    return at == std::string::npos ? ~0ull : std::strtoull(out.c_str() + at + 7, nullptr, 16);
  };
  EXPECT_EQ(0ull, mask("SigBlk:")) << out;
  EXPECT_EQ(0ull, mask("SigIgn:") & (1ull << (SIGPIPE - 1))) << out;
}

TEST(Inject, OverlongPathBindsNothing) {
  cstest::TempHome home;
  platform::UniqueFd listener;
  std::string overlong = home / std::string(platform::sunPathSize(), 'x');
  EXPECT_FALSE(launcher::openInject(overlong, &listener));
  EXPECT_FALSE(platform::exists(overlong));
  EXPECT_FALSE(platform::exists(overlong.substr(0, platform::sunPathSize() - 1)));
}

TEST(Inject, AnotherUsersBytesNeverReachTheTerminal) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to connect as another user";
  }
  cstest::TempHome home;
  std::string path = home / "i.sock";
  platform::UniqueFd listener, typed, typedWrite;
  ASSERT_TRUE(launcher::openInject(path, &listener));
  ASSERT_TRUE(platform::makePipe(&typed, &typedWrite));
  // Past the file permissions, so that only the peer check stands in the way.
  ASSERT_EQ(0, ::chmod(home.path().c_str(), 0755));
  ASSERT_EQ(0, ::chmod(path.c_str(), 0666));
  pid_t server = ::fork();
  if (server == 0) {
    app::gMaster = typedWrite.get();
    launcher::serveInject(std::move(listener));
    ::_exit(0);
  }
  // Sends, half-closes, and exits 0 once the proxy has closed the connection.
  auto client = [&](uid_t uid, const char* bytes) {
    pid_t pid = ::fork();
    if (pid == 0) {
      ::alarm(5);
      sockaddr_un addr{};
      platform::makeUnixAddress(path, &addr);
      int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      if (::setuid(uid) != 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr))) {
        ::_exit(2);
      }
      platform::sendNoSigpipe(fd, bytes, std::strlen(bytes));
      ::shutdown(fd, SHUT_WR);
      char c;
      ssize_t r = ::read(fd, &c, 1);
      ::_exit(r == 0 || (r < 0 && errno == ECONNRESET) ? 0 : 3);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    return status;
  };
  EXPECT_EQ(0, client(65534, "intruder"));
  EXPECT_EQ(0, client(0, "friend"));
  std::string got;
  char buf[64];
  for (int i = 0; i < 50 && got.size() < 6; ++i) {
    pollfd pfd{typed.get(), POLLIN, 0};
    ::poll(&pfd, 1, 100);
    ssize_t n = ::read(typed.get(), buf, sizeof(buf));
    got.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
  }
  EXPECT_EQ("friend", got);
  ::kill(server, SIGKILL);
  ::waitpid(server, nullptr, 0);
}

}  // namespace
