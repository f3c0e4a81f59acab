#include "terminal/control.h"

#include "base/terminal_text.h"
#include "base/text.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "terminal/feeder.h"
#include "terminal/screen.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace terminal {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t MAX_REQUEST = 64 * 1024;
constexpr size_t MAX_ANSWER = 8 * 1024 * 1024;
constexpr size_t MAX_READ_LINES = 5000 + 500;
constexpr std::chrono::seconds SERVE_LIMIT{2};
// Short: the asking side gives each terminal well under a second.
constexpr std::chrono::milliseconds TYPED_SETTLE{250};

void setTimeouts(int fd) {
  timeval tv{static_cast<time_t>(SERVE_LIMIT.count()), 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

// Waits until `fd` is ready for `events`; false once `deadline` has passed.
bool waitReady(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return false;
    }
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, static_cast<int>(left));
    if (n > 0) {
      return true;
    }
    if (n < 0 && errno != EINTR) {
      return false;
    }
  }
}

// Bytes up to the first line feed (not included); nullopt at the deadline, on an error or past
// `limit`. Works on blocking and non-blocking sockets alike.
std::optional<std::string> readLine(int fd, size_t limit, Clock::time_point deadline) {
  std::string data;
  char buf[16384];
  for (;;) {
    size_t lf = data.find('\n');
    if (lf != std::string::npos) {
      data.resize(lf);
      return data;
    }
    if (data.size() > limit) {
      return std::nullopt;
    }
    ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitReady(fd, POLLIN, deadline)) {
        return std::nullopt;
      }
      continue;
    }
    if (n <= 0) {
      return n == 0 && !data.empty() ? std::optional(data) : std::nullopt;
    }
    data.append(buf, static_cast<size_t>(n));
  }
}

bool sendLine(int fd, const Json& value, Clock::time_point deadline) {
  std::string text = base::serialize(value).value_or(R"({"error":"unwritable answer"})") + "\n";
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = platform::sendNoSigpipe(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitReady(fd, POLLOUT, deadline)) {
        return false;
      }
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

void serveOne(int conn, Screen* screen, int master, pid_t shell, Feeder* feeder) {
  auto deadline = Clock::now() + SERVE_LIMIT;
  setTimeouts(conn);
  if (feeder != nullptr) {
    feeder->flush(TYPED_SETTLE);
  }
  syncScreenSize(master, screen);
  auto line = readLine(conn, MAX_REQUEST, deadline);
  if (!line) {
    return;
  }
  std::string typed;
  Json answer = answerControl(*line, *screen, otherForeground(master, shell), &typed);
  if (!typed.empty() && !platform::writeAll(master, typed.data(), typed.size())) {
    answer =
        Json{{"error", std::string("the terminal did not take the text: ") + std::strerror(errno)}};
  }
  sendLine(conn, answer, deadline);
}

// Connects without blocking; a listener that stopped accepting fails at the deadline.
bool connectBy(int fd, const sockaddr_un& addr, Clock::time_point deadline) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0) {
    return true;
  }
  // A full backlog gives EAGAIN on Linux: the terminal is not accepting, which is the answer.
  if (errno != EINPROGRESS || !waitReady(fd, POLLOUT, deadline)) {
    return false;
  }
  int e = 0;
  socklen_t len = sizeof(e);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &len) != 0 || e != 0) {
    errno = e != 0 ? e : errno;
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> typingError(std::string_view text) {
  if (text.find_first_of("\r\n") != std::string_view::npos) {
    return "text must be one line; a newline would run it";
  }
  if (!base::plainText(text)) {
    return "text must not hold control characters";
  }
  return std::nullopt;
}

std::optional<std::string> otherForeground(int master, pid_t shell) {
  pid_t group = platform::foregroundGroup(master, shell);
  if (group > 0 && (group == shell || group == ::getpgid(shell))) {
    return std::nullopt;
  }
  if (group <= 0) {
    return "an unknown program";
  }
  // The group's leader names it; a pipeline's first command may have ended already.
  std::string name = platform::processName(group);
  return name.empty() ? "process group " + std::to_string(group) : name;
}

Json answerControl(std::string_view line, const Screen& screen,
                   const std::optional<std::string>& foreground, std::string* typed) {
  Json request = base::parseJson(line);
  std::string op = request.is_object() && request.contains("op") && request["op"].is_string()
                       ? request["op"].get<std::string>()
                       : "";
  if (op == "read") {
    const Json& lines = request.contains("lines") ? request["lines"] : Json();
    size_t n = lines.is_number_unsigned() ? lines.get<size_t>() : 0;
    return Json{{"lines", screen.lastLines(std::min(n, MAX_READ_LINES))}};
  }
  if (op == "type") {
    if (!request.contains("text") || !request["text"].is_string()) {
      return Json{{"error", "text must be a string"}};
    }
    std::string text = request["text"].get<std::string>();
    if (auto why = typingError(text)) {
      return Json{{"error", *why}};
    }
    if (foreground) {
      return Json{{"error", "the terminal is running " + *foreground +
                                ", not waiting at the shell's prompt; nothing was typed"},
                  {"foreground", *foreground}};
    }
    *typed = screen.bracketedPaste() ? "\x1b[200~" + text + "\x1b[201~" : text;
    return Json{{"ok", true}, {"typed_chars", base::charCount(text)}};
  }
  return Json{{"error", "unknown op"}};
}

void syncScreenSize(int master, Screen* screen) {
  winsize ws{};
  if (::ioctl(master, TIOCGWINSZ, &ws) == 0) {
    screen->resize(ws.ws_row, ws.ws_col);
  }
}

void serveControl(platform::UniqueFd listener, Screen* screen, int master, pid_t shell,
                  Feeder* feeder) {
  platform::serveOwnUser(listener, [&](int fd) { serveOne(fd, screen, master, shell, feeder); });
}

std::optional<Json> askTerminal(const std::string& path, const Json& request,
                                std::chrono::milliseconds limit, std::string* err) {
  auto deadline = Clock::now() + limit;
  sockaddr_un addr{};
  if (!platform::makeUnixAddress(path, &addr)) {
    *err = "socket path too long: " + path;
    return std::nullopt;
  }
  platform::UniqueFd sock{::socket(AF_UNIX, SOCK_STREAM, 0)};
  if (!sock) {
    *err = std::string("socket: ") + std::strerror(errno);
    return std::nullopt;
  }
  ::fcntl(sock.get(), F_SETFD, FD_CLOEXEC);
  ::fcntl(sock.get(), F_SETFL, ::fcntl(sock.get(), F_GETFL) | O_NONBLOCK);
  if (!connectBy(sock.get(), addr, deadline)) {
    *err = "connect " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (!sendLine(sock.get(), request, deadline)) {
    *err = "send " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  auto line = readLine(sock.get(), MAX_ANSWER, deadline);
  Json answer = line ? base::parseJson(*line) : Json();
  if (!answer.is_object()) {
    *err = "no answer from " + path + " within " + std::to_string(limit.count()) + " ms";
    return std::nullopt;
  }
  return answer;
}

}  // namespace terminal
