#include "tests/channel_client.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <numeric>
#include <set>
#include <signal.h>
#include <thread>

namespace cstest {
namespace {

const std::string OK = httpAnswer("200 OK", R"({"ok":true})");

std::string text(int client, int n) {
  return "push " + std::to_string(client) + "-" + std::to_string(n) + " «olá» \"q\"\n\\ fim";
}

TEST(ChannelLoad, ConcurrentPushesWhileRequestsFlow) {
  constexpr int CLIENTS = 8, PUSHES = 100, PINGS = 200;
  TempHome home;
  ChannelServer server = startChannel(home);
  ASSERT_NE(0, server.port);
  std::vector<std::string> lines;
  std::thread reader([&] {
    for (std::optional<std::string> line; lines.size() < CLIENTS * PUSHES + PINGS;) {
      if (!(line = server.child->readLine(20s))) {
        return;
      }
      lines.push_back(*line);
    }
  });
  std::atomic<int> refused{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < CLIENTS; ++c) {
    clients.emplace_back([&, c] {
      for (int n = 0; n < PUSHES; ++n) {
        refused += roundTrip(server.port, post(text(c, n))) != OK;
      }
    });
  }
  for (int id = 1; id <= PINGS; ++id) {
    EXPECT_TRUE(server.child->write(request(id, "ping")));
  }
  for (auto& t : clients) {
    t.join();
  }
  reader.join();

  EXPECT_EQ(0, refused.load());
  std::multiset<std::string> pushed, wanted;
  std::vector<int> ids, wantedIds(PINGS);
  std::iota(wantedIds.begin(), wantedIds.end(), 1);
  for (const auto& line : lines) {
    auto message = nlohmann::json::parse(line, nullptr, false);
    ASSERT_TRUE(message.is_object()) << line;
    if (message.contains("id")) {
      ids.push_back(message["id"].get<int>());
    } else {
      pushed.insert(message["params"]["content"].get<std::string>());
    }
  }
  for (int c = 0; c < CLIENTS; ++c) {
    for (int n = 0; n < PUSHES; ++n) {
      wanted.insert(text(c, n));
    }
  }
  EXPECT_EQ(wanted, pushed);
  EXPECT_EQ(wantedIds, ids);
}

// Only the server's own lines may reach standard error, however it ends.
bool knownLine(const std::string& line) {
  for (const char* prefix :
       {"HTTP em 127.0.0.1:", "registro publicado: ", "corvane channel server no ar (v0.2.0)",
        "→ channel push: \"push ", "stdin fechado — encerrando (canal morre com a sessão)"}) {
    if (line.rfind(prefix, 0) == 0) {
      return true;
    }
  }
  return line == "\\ fim\"";  // the rest of a pushed text, which keeps its line feed
}

TEST(ChannelLoad, EndingUnderLoadIsClean) {
  for (bool bySignal : {true, false}) {
    SCOPED_TRACE(bySignal ? "SIGTERM" : "stdin closed");
    TempHome home;
    ChannelServer server = startChannel(home);
    ASSERT_NE(0, server.port);
    std::atomic<int> answered{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; ++c) {
      clients.emplace_back([&, c] {
        for (int n = 0; n < 2000 && !stop; ++n) {
          answered += roundTrip(server.port, post(text(c, n))) == OK;
        }
      });
    }
    std::thread drain([&] { server.child->readOutFor(15s); });
    for (auto until = std::chrono::steady_clock::now() + 10s;
         answered < 100 && std::chrono::steady_clock::now() < until;) {
      std::this_thread::sleep_for(1ms);
    }
    EXPECT_GE(answered.load(), 100);
    bySignal ? server.child->kill(SIGTERM) : server.child->closeInput();
    auto status = server.child->wait(10s);
    stop = true;
    for (auto& t : clients) {
      t.join();
    }
    drain.join();
    EXPECT_EQ(0, status);
    std::string err = server.child->readAllErr();
    for (size_t at = 0, end; (end = err.find('\n', at)) != std::string::npos; at = end + 1) {
      EXPECT_TRUE(knownLine(err.substr(at, end - at))) << err.substr(at, end - at);
    }
  }
}

TEST(ChannelLoad, AcceptingResumesWhenDescriptorsAreFreeAgain) {
  TempHome home;
  ChannelServer server = startChannel(home, {}, {"/bin/sh", "-c", "ulimit -n 32 && exec \"$0\""});
  ASSERT_NE(0, server.port) << server.child->errSoFar();
  std::vector<platform::UniqueFd> idle(64);
  for (auto& fd : idle) {
    ASSERT_TRUE(fd = connectTo(server.port));
  }
  platform::UniqueFd queued = connectTo(server.port);
  ASSERT_TRUE(sendAll(queued.get(), post("queued")));
  ASSERT_FALSE(readToEnd(queued.get(), 300ms)) << "the server was not out of descriptors";
  idle.clear();
  EXPECT_EQ(OK, readToEnd(queued.get(), 10s).value_or("<none>"));
  EXPECT_NE(std::string::npos, server.child->readLine().value_or("").find("\"queued\""));
  EXPECT_EQ(std::string::npos, server.child->errSoFar().find("listener falhou"));
}

}  // namespace
}  // namespace cstest
