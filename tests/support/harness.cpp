#include "tests/support/harness.h"

#include "platform/files.h"
#include "platform/posix.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace cstest {

TempHome::~TempHome() {
  if (::testing::Test::HasFailure()) {
    std::fprintf(stderr, "test files kept in %s\n", path().c_str());
    keep();
  }
}

unsigned modeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & (S_IFMT | 0777) : 0;
}

pid_t deadPid() {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::_exit(0);
  }
  ::waitpid(pid, nullptr, 0);
  return pid;
}

bool inChildren(int n, const std::function<bool(int)>& body) {
  std::vector<pid_t> kids;
  for (int i = 0; i < n; ++i) {
    pid_t pid = ::fork();
    if (pid == 0) {
      ::_exit(body(i) ? 0 : 1);
    }
    kids.push_back(pid);
  }
  bool all = true;
  for (pid_t pid : kids) {
    int status = -1;
    all = ::waitpid(pid, &status, 0) == pid && status == 0 && all;
  }
  return all;
}

Pty::Pty(const std::vector<std::string>& argv, const Env& env, const termios* term) {
  std::vector<std::string> vars;
  for (const auto& [k, v] : env) {
    vars.push_back(k + "=" + v);
  }
  winsize size{24, 80, 0, 0};
  int err = 0;
  if (!launcher::startOnPty(argv, vars, "sh", term, &size, &pty, &err)) {
    throw std::system_error(err, std::generic_category(), "startOnPty");
  }
}

Pty::~Pty() {
  if (!wait(0ms)) {
    ::kill(pty.pid, SIGKILL);
    ::waitpid(pty.pid, nullptr, 0);
  }
}

bool Pty::until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  for (auto end = testkit::Clock::now() + timeout; testkit::Clock::now() < end;) {
    pollfd pfd{pty.master.get(), POLLIN, 0};
    ::poll(&pfd, 1, 20);
    wait(0ms);  // before the reads, so that once it has ended they get all it printed
    char buf[65536];
    for (ssize_t n; (n = ::read(pty.master.get(), buf, sizeof(buf))) > 0;) {
      out.append(buf, static_cast<size_t>(n));
    }
    if (done()) {
      return true;
    }
  }
  return false;
}

bool Pty::read(std::string_view needle, std::chrono::milliseconds timeout) {
  return until(
      [&] {
        size_t at = out.find(needle, seen);
        if (needle.empty() || at == std::string::npos) {
          return needle.empty() && status.has_value();
        }
        seen = at + needle.size();
        return true;
      },
      timeout);
}

std::optional<int> Pty::wait(std::chrono::milliseconds timeout) {
  for (auto end = testkit::Clock::now() + timeout; !status; std::this_thread::sleep_for(2ms)) {
    if (::waitpid(pty.pid, &waitStatus, WNOHANG) == pty.pid) {
      status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
    } else if (testkit::Clock::now() >= end) {
      break;
    }
  }
  return status;
}

bool Pty::type(std::string_view bytes) {
  return platform::writeAll(pty.master.get(), bytes.data(), bytes.size());
}

std::string post(const std::string& body, const std::string& token) {
  return "POST / HTTP/1.1\r\nX-CV-Token: " + token +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::optional<std::string> readToEnd(int fd, std::chrono::milliseconds timeout) {
  std::string got;
  return testkit::recvAll(fd, &got, testkit::Clock::now() + timeout) ? std::optional(got)
                                                                     : std::nullopt;
}

std::optional<std::string> roundTrip(uint16_t port, std::string_view request,
                                     std::chrono::milliseconds timeout) {
  testkit::UniqueFd fd = testkit::connectTcp(port);
  return fd && testkit::sendAll(fd.get(), request) ? readToEnd(fd.get(), timeout) : std::nullopt;
}

std::string askUnix(const std::string& path, const std::string& bytes,
                    std::chrono::milliseconds timeout) {
  testkit::UniqueFd fd = testkit::connectUnix(path);
  if (!fd) {
    return "<no connection>";
  }
  testkit::sendAll(fd.get(), bytes);  // a peer that stopped reading has its answer waiting
  std::string answer;
  testkit::recvAll(fd.get(), &answer, testkit::Clock::now() + timeout);
  if (answer.empty() || answer.back() != '\n') {
    return "<no answer>: " + answer;
  }
  answer.pop_back();
  return answer;
}

ChannelServer::ChannelServer(const TempHome& home, Env env, std::vector<std::string> argv,
                             bool sayReady) {
  env.merge(Env{{"CV_CHANNEL_TOKEN", TOKEN}, {"CV_INSTANCE", "INST"}, {"CV_LAUNCH_CWD", "/w/olá"}});
  env.merge(baseEnv(home.path()));
  argv.push_back(binaryPath());
  child = Child::spawn(argv, env);
  const std::string record = home / ".corvane/sessions/INST.json";
  for (int i = 0; i < 500 && !platform::exists(record) && !child->wait(10ms); ++i) {
  }
  auto json = nlohmann::json::parse(platform::readFile(record).value_or("{}"), nullptr, false);
  port = json.is_object() ? json.value("port", uint16_t{0}) : 0;
  if (port != 0 && sayReady) {
    ready();
  }
}

void ChannelServer::ready() {
  child->write(request(1, "initialize"));
  EXPECT_NE(std::nullopt, child->readLine());
  child->write("{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\n");
}

std::unique_ptr<Child> toolsOnly(const std::string& home, Env env, bool parked) {
  env.merge(Env{{"CV_TOOLS_ONLY", "1"}});
  env.merge(baseEnv(home));
  auto child = Child::spawn({binaryPath()}, env);
  EXPECT_TRUE(!parked || child->waitErr("só-tools")) << child->errSoFar();
  return child;
}

std::string callTool(Child& server, int id, const std::string& params,
                     std::chrono::milliseconds timeout) {
  server.write(request(id, "tools/call", params));
  auto answer = nlohmann::json::parse(server.readLine(timeout).value_or(""), nullptr, false);
  if (!answer.is_object()) {
    return "<no answer>";
  }
  EXPECT_EQ(id, answer["id"]);
  return answer["result"]["content"][0].value("text", "<no text>");
}

std::unique_ptr<Child> startCompanion(const std::string& home) {
  auto app = Child::spawn({binaryPath(), "app"}, baseEnv(home));
  EXPECT_TRUE(app->waitErr("✓ companion a escutar em " + home + "/.corvane/sessions.sock"))
      << app->errSoFar();
  return app;
}

StandinApp::StandinApp(const std::string& socketPath)
    : m_app(socketPath, [this](int fd) { handle(fd); }) {}

void StandinApp::answer(std::vector<std::string> pieces, int pieceDelayMs) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_mode = Mode::Answer;
  m_pieces = std::move(pieces);
  m_delayMs = pieceDelayMs;
}

void StandinApp::handle(int fd) {
  std::string line = testkit::readRequestLine(fd, testkit::Clock::now() + 10s);
  std::unique_lock<std::mutex> hold(m_mutex);
  m_requests.push_back(line);
  Mode mode = m_mode;
  auto pieces = m_pieces;
  int delay = m_delayMs;
  hold.unlock();
  // Silent until the test ends (bounded).
  for (int i = 0; mode == Mode::NeverAnswer && i < 600 && !m_app.stopping(); ++i) {
    std::this_thread::sleep_for(100ms);
  }
  for (const auto& piece : pieces) {
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    if (mode != Mode::Answer || !platform::writeAll(fd, piece.data(), piece.size())) {
      return;
    }
  }
}

}  // namespace cstest
