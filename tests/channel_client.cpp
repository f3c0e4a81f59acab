#include "tests/channel_client.h"

#include "platform/files.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

namespace cstest {

ChannelServer startChannel(const TempHome& home, Env extra, std::vector<std::string> wrapper) {
  extra.merge(
      Env{{"CV_CHANNEL_TOKEN", TOKEN}, {"CV_INSTANCE", "INST"}, {"CV_LAUNCH_CWD", "/work/proj"}});
  extra.merge(baseEnv(home.path()));
  wrapper.push_back(binaryPath());
  ChannelServer server{Child::spawn(wrapper, extra)};
  if (server.child && server.child->waitErr("corvane channel server no ar")) {
    auto record = nlohmann::json::parse(
        platform::readFile(home / ".corvane/sessions/INST.json").value_or(""), nullptr, false);
    server.port = record.is_object() ? record.value("port", uint16_t{0}) : 0;
  }
  return server;
}

platform::UniqueFd connectTo(uint16_t port) {
  platform::UniqueFd fd{::socket(AF_INET, SOCK_STREAM, 0)};
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    fd.reset();
  }
  return fd;
}

bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0 && errno != EINTR) {
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(std::max<ssize_t>(n, 0)));
  }
  return true;
}

std::optional<std::string> readToEnd(int fd, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string got;
  for (char buf[65536];;) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd pfd{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
      return std::nullopt;
    }
    ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) {
      return n == 0 ? std::optional<std::string>(got) : std::nullopt;
    }
    got.append(buf, static_cast<size_t>(n));
  }
}

std::optional<std::string> roundTrip(uint16_t port, std::string_view request) {
  platform::UniqueFd fd = connectTo(port);
  return fd && sendAll(fd.get(), request) ? readToEnd(fd.get()) : std::nullopt;
}

std::string post(std::string_view body, std::string_view token) {
  std::string head = "POST / HTTP/1.1\r\n";
  if (!token.empty()) {
    head += "X-CV-Token: " + std::string(token) + "\r\n";
  }
  return head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

std::string httpAnswer(std::string_view status, std::string_view body) {
  return "HTTP/1.1 " + std::string(status) +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + std::string(body);
}

}  // namespace cstest
