// Start-up, MCP round trips and the tool call: the server's stdio paths.

#include "bench/rows.h"

#include <sys/stat.h>
#include <unistd.h>

namespace bench {
namespace {

using std::chrono::seconds;

// One line out, one line back; the seconds it took, or a negative value on failure.
double roundTrip(Child& child, const std::string& line) {
  auto start = Clock::now();
  if (!child.write(line) || !child.readLine(start + seconds(5))) {
    return -1;
  }
  return secondsSince(start);
}

std::vector<Row> startupRows(const Config& config) {
  Row tools{"start-up, tools-only: spawn → `initialize` answer"};
  Row channel{"start-up, channel mode: spawn → listener up → `initialize` answer"};
  Figure spawnTrue;
  spawnTrue.what = "spawn /bin/true, read its exit";
  TempDir home;
  size_t count = scaled(config, 200);
  auto deadline = Clock::now() + seconds(30);
  // Interleaved, so a noisy moment costs all three alike.
  for (size_t i = 0; i < count && Clock::now() < deadline; ++i) {
    auto start = Clock::now();
    auto t = Child::spawn({"/bin/true"}, benchEnv(home.path()), drainErr());
    if (t && t->wait(start + seconds(5))) {
      spawnTrue.samples.add(secondsSince(start));
    }
    for (bool channelMode : {false, true}) {
      start = Clock::now();
      auto server = startServer(config.binary, home.path(), channelMode);
      if (!server) {
        continue;
      }
      (channelMode ? channel : tools).figure.samples.add(secondsSince(start));
      stopServer(*server, Clock::now() + seconds(5));
    }
  }
  tools.limit = channel.limit = spawnTrue;
  tools.aim = channel.aim = "ratio ≤ 3";
  return {tools, channel};
}

std::vector<Row> mcpRows(const Config& config) {
  Row ping{"MCP round trip: `ping`"};
  Row list{"MCP round trip: `tools/list`"};
  ping.limit.what = "one line echoed by `cat` over the same pipes";
  TempDir home;
  auto server = startServer(config.binary, home.path(), false);
  auto cat = Child::spawn({"/bin/cat"}, benchEnv(home.path()), {Err::Discard});
  if (!server || !cat) {
    ping.figure.skipped = list.figure.skipped = "server or cat did not start";
    return {ping, list};
  }
  Child& srv = *server->child;
  srv.write(request(1, "tools/list"));
  size_t listSize = srv.readLine(Clock::now() + seconds(5)).value_or("").size();
  list.limit.what = "a line of the same " + std::to_string(listSize) + " bytes echoed by `cat`";
  std::string pingLine = request(2, "ping");
  std::string bigLine = std::string(listSize, 'x') + "\n";

  int id = 10;
  sampleBoth(
      ping, scaled(config, 3000), [&](size_t) { return roundTrip(srv, request(id++, "ping")); },
      [&](size_t) { return roundTrip(*cat, pingLine); }, 50);
  sampleBoth(
      list, scaled(config, 1000),
      [&](size_t) { return roundTrip(srv, request(id++, "tools/list")); },
      [&](size_t) { return roundTrip(*cat, bigLine); });
  stopServer(*server, Clock::now() + seconds(5));
  return {ping, list};
}

Row toolCallRow(const Config& config) {
  Row row{"tool call round trip: `tools/call list_sessions` via stand-in app"};
  row.limit.what = "bare Unix-socket exchange with the same stand-in app";
  TempDir home;
  ::mkdir((home.path() + "/.corvane").c_str(), 0700);
  std::string sock = home.path() + "/.corvane/sessions.sock";
  const std::string answer = "{\"sessions\":[]}\n";
  StandinApp app(sock, [&](int fd) {
    readRequestLine(fd, Clock::now() + seconds(5));
    sendAll(fd, answer);
  });
  auto server = startServer(config.binary, home.path(), false);
  if (!app.listening() || !server) {
    row.figure.skipped = "stand-in app or server did not start";
    return row;
  }
  std::string appRequest = "{\"op\":\"list\",\"caller_pid\":1}\n";
  auto bare = [&](size_t) {
    auto start = Clock::now();
    UniqueFd fd = connectUnix(sock);
    std::string got;
    bool ok = fd && sendAll(fd.get(), appRequest) && recvAll(fd.get(), &got, start + seconds(5));
    return ok && got == answer ? secondsSince(start) : -1.0;
  };
  int id = 10;
  auto call = [&](size_t) {
    return roundTrip(*server->child,
                     request(id++, "tools/call", R"({"name":"list_sessions","arguments":{}})"));
  };
  sampleBoth(row, scaled(config, 2000), call, bare, 20);
  stopServer(*server, Clock::now() + seconds(5));
  return row;
}

}  // namespace

std::vector<Row> serverRows(const Config& config) {
  progress("start-up");
  std::vector<Row> rows = startupRows(config);
  progress("MCP round trips");
  std::vector<Row> mcp = mcpRows(config);
  rows.insert(rows.end(), mcp.begin(), mcp.end());
  progress("tool call");
  rows.push_back(toolCallRow(config));
  return rows;
}

}  // namespace bench
