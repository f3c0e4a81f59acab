#include "bench/bench.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace bench {

Env benchEnv(const std::string& home, const std::string& pathFirst, const Env& extra) {
  Env env = extra;
  env.merge(baseEnv(home, pathFirst));
  env["LC_ALL"] = "C";
  return env;
}

std::optional<Server> startServer(const std::string& binary, const std::string& home, bool channel,
                                  Child::LineFn onErrLine) {
  // The port as the server's line names it; waited for without polling, so the start-up row
  // times the server, not our sleeps.
  struct Port {
    std::mutex lock;
    std::condition_variable said;
    int value = 0;
  };
  auto port = std::make_shared<Port>();
  Server server;
  server.token = channel ? "bench-token-0123456789abcdef" : "";
  Env extra = channel ? Env{{"CV_CHANNEL_TOKEN", server.token}} : Env{{"CV_TOOLS_ONLY", "1"}};
  static const std::string_view MARK = "HTTP em 127.0.0.1:";
  auto onLine = [port, onErrLine](std::string_view line) {
    if (size_t at = line.find(MARK); at != std::string_view::npos) {
      std::lock_guard<std::mutex> hold(port->lock);
      port->value = std::atoi(std::string(line.substr(at + MARK.size())).c_str());
      port->said.notify_all();
    }
    if (onErrLine) {
      onErrLine(line);
    }
  };
  server.child = Child::spawn({binary}, benchEnv(home, "", extra), {Err::Lines, onLine});
  auto deadline = Clock::now() + 10s;
  if (server.child && channel) {
    std::unique_lock<std::mutex> hold(port->lock);
    port->said.wait_until(hold, deadline, [&] { return port->value != 0; });
    server.port = static_cast<uint16_t>(port->value);
  }
  if (!server.child || (channel && server.port == 0)) {
    return std::nullopt;
  }
  server.child->write(request(0, "initialize", "{}"));
  auto answer = server.child->readLine(deadline);
  if (!answer || answer->find("\"id\":0") == std::string::npos) {
    return std::nullopt;
  }
  // Notifications flow only once the client says it has the answer.
  server.child->write(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                      "\n");
  return server;
}

std::string pushRequest(uint16_t port, const std::string& token, std::string_view body) {
  return "POST / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nx-cv-token: " + token +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

std::string statusOf(std::string_view answer) {
  bool ok = answer.substr(0, 9) == "HTTP/1.1 " && answer.size() >= 12;
  return ok ? std::string(answer.substr(9, 3)) : "";
}

double percentile(const Samples& samples, double p) {
  if (samples.empty()) {
    return std::nan("");
  }
  Samples sorted = samples;
  std::sort(sorted.begin(), sorted.end());
  auto rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

void raiseFdLimit(rlim_t wanted) {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < wanted) {
    lim.rlim_cur = std::min(wanted, lim.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
}

void sampleBoth(Row& row, size_t count, const std::function<double(size_t)>& figure,
                const std::function<double(size_t)>& limit, size_t warm) {
  for (size_t i = 0; i < warm; ++i) {
    figure(i);
    limit(i);
  }
  auto deadline = Clock::now() + std::chrono::seconds(20);
  for (size_t i = 0; i < count && Clock::now() < deadline; ++i) {
    for (auto [f, into] : {std::pair{&figure, &row.figure}, std::pair{&limit, &row.limit}}) {
      if (double t = (*f)(i); t >= 0) {
        into->samples.push_back(t);
      }
    }
  }
}

size_t scaled(const Config& config, size_t count, size_t floor) {
  return std::max(floor, static_cast<size_t>(static_cast<double>(count) * config.scale));
}

}  // namespace bench
