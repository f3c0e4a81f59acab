#include "terminal/control.h"

#include "base/text.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "terminal/feeder.h"
#include "terminal/screen.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace terminal {
namespace {

constexpr size_t MAX_REQUEST = 64 * 1024;
constexpr size_t MAX_ANSWER = 8 * 1024 * 1024;
constexpr size_t MAX_READ_LINES = 5000 + 500;
constexpr int TIMEOUT_SECONDS = 2;
constexpr std::chrono::milliseconds TYPED_SETTLE{500};

void setTimeouts(int fd) {
  timeval tv{TIMEOUT_SECONDS, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

// Bytes up to the first line feed (not included); nullopt on a timeout, an error or `limit`.
std::optional<std::string> readLine(int fd, size_t limit) {
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
    if (n <= 0) {
      return n == 0 && !data.empty() ? std::optional(data) : std::nullopt;
    }
    data.append(buf, static_cast<size_t>(n));
  }
}

bool sendLine(int fd, const Json& value) {
  std::string text = base::serialize(value).value_or(R"({"error":"unwritable answer"})") + "\n";
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = platform::sendNoSigpipe(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

void serveOne(int conn, Screen* screen, int master, Feeder* feeder) {
  setTimeouts(conn);
  if (feeder != nullptr) {
    feeder->flush(TYPED_SETTLE);
  }
  syncScreenSize(master, screen);
  auto line = readLine(conn, MAX_REQUEST);
  if (!line) {
    return;
  }
  std::string typed;
  Json answer = answerControl(*line, *screen, &typed);
  if (!typed.empty() && !platform::writeAll(master, typed.data(), typed.size())) {
    answer =
        Json{{"error", std::string("the terminal did not take the text: ") + std::strerror(errno)}};
  }
  sendLine(conn, answer);
}

}  // namespace

std::optional<std::string> typingError(std::string_view text) {
  if (text.find_first_of("\r\n") != std::string_view::npos) {
    return "text must be one line; a newline would run it";
  }
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      return "text must not hold control characters";
    }
  }
  return std::nullopt;
}

Json answerControl(std::string_view line, const Screen& screen, std::string* typed) {
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

void serveControl(platform::UniqueFd listener, Screen* screen, int master, Feeder* feeder) {
  platform::serveOwnUser(listener, [&](int fd) { serveOne(fd, screen, master, feeder); });
}

std::optional<Json> askTerminal(const std::string& path, const Json& request, std::string* err) {
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
  setTimeouts(sock.get());
  if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    *err = "connect " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (!sendLine(sock.get(), request)) {
    *err = "send " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  auto line = readLine(sock.get(), MAX_ANSWER);
  Json answer = line ? base::parseJson(*line) : Json();
  if (!answer.is_object()) {
    *err = "no answer from " + path;
    return std::nullopt;
  }
  return answer;
}

}  // namespace terminal
