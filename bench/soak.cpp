// soak: a bounded run of mixed load against one channel server, then the checks. Exits 1 when a
// check fails. Usage: soak [--seconds N] [--seed N] [--skip KIND,...] [--binary PATH]
// KIND: push, slow, reset (to find which load drives a figure).

#include "bench/soak.h"

#include "platform/platform.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <signal.h>
#include <sys/stat.h>
#include <tuple>

namespace soak {
namespace {

using bench::secondsSince;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Time kept back for slow clients to finish and the server to settle.
constexpr int TAIL_SECONDS = 5;
constexpr double MIB = 1024.0 * 1024.0;

// MCP requests on stdin: every method the server knows, some it does not, notifications and
// broken lines, and tool calls that make the stand-in app answer, split, stall or close early.
void writeRequests(bench::Child& server, OutputChecker& checker, Load& load, unsigned seed,
                   std::map<std::string, size_t>* sent) {
  const char* const BEHAVIOURS[] = {"answer", "split answer",     "100 KB answer",
                                    "stall",  "close mid-answer", "close unread"};
  // Requests with an answer: what the tally calls them, method, params.
  const std::tuple<const char*, const char*, Json> ANSWERED[] = {
      {"ping", "ping", nullptr},
      {"tools/list", "tools/list", nullptr},
      {"resources/list", "resources/list", nullptr},
      {"unknown method", "soak/unknown", nullptr},
      {"initialize", "initialize", Json{{"protocolVersion", "2025-06-18"}}}};
  const char* const BROKEN[] = {R"({"jsonrpc":"2.0","id":)", "[{\"id\":1,\"method\":\"ping\"}]",
                                "null", R"({"id":null,"method":"ping"})", "\xff\xfe{"};
  std::mt19937 rng(seed);
  const int kWeights[] = {25, 8, 4, 4, 2, 5, 5, 20}, bWeights[] = {40, 15, 8, 8, 10, 10};
  std::discrete_distribution<int> pick(std::begin(kWeights), std::end(kWeights));
  std::discrete_distribution<int> behaviourOf(std::begin(bWeights), std::end(bWeights));
  for (uint32_t k = 1; !load.stop; ++k) {
    // A few requests ahead of the answers, as a client that does not wait for each.
    while (checker.outstanding() >= 8 && !load.stop) {
      std::this_thread::sleep_for(milliseconds(1));
    }
    Json id = k % 3 == 0 ? Json("s-" + std::to_string(k)) : Json(k);
    auto request = [&](const std::string& method, const Json& params) {
      Json msg{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}};
      if (!params.is_null()) {
        msg["params"] = params;
      }
      return msg.dump();
    };
    std::string line;
    if (int kind = pick(rng); kind < 5) {
      const auto& [tally, method, params] = ANSWERED[kind];
      checker.expect({id, method, ""});
      ++(*sent)[tally];
      line = request(method, params);
    } else if (kind == 5) {
      line = R"({"jsonrpc":"2.0","method":"notifications/initialized"})";
      ++(*sent)["notification (no answer)"];
    } else if (kind == 6) {
      line = BROKEN[k % std::size(BROKEN)];
      ++(*sent)["broken line (no answer)"];
    } else {
      int behaviour = behaviourOf(rng);
      {
        std::lock_guard<std::mutex> hold(load.appLock);
        load.appQueue.push_back(behaviour);
      }
      ++(*sent)[std::string("tools/call, app: ") + BEHAVIOURS[behaviour]];
      checker.expect({id, "tools/call", expectedToolText(behaviour, k)});
      line = request(
          "tools/call",
          Json{{"name", "session_activity"},
               {"arguments", {{"name", std::to_string(behaviour) + "-" + std::to_string(k)}}}});
    }
    if (!server.write(line + "\n")) {
      return;
    }
    std::this_thread::sleep_for(milliseconds(std::uniform_int_distribution<int>(0, 3)(rng)));
  }
}

bool waitFor(Clock::time_point deadline, const std::function<bool()>& done) {
  for (; !done(); std::this_thread::sleep_for(milliseconds(20))) {
    if (Clock::now() >= deadline) {
      return false;
    }
  }
  return true;
}

// What the OS tells of the server now; fields it cannot read stay -1.
bench::ProcessStats stats(pid_t pid) {
  bench::ProcessStats s;
  bench::processStats(pid, &s);
  return s;
}

// A byte count in MiB or a plain count; "n/a" where the OS did not tell.
std::string shown(int64_t v, bool bytes = false) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.1f MiB", static_cast<double>(v) / MIB);
  return v < 0 ? "n/a" : bytes ? buf : std::to_string(v);
}

// Every push's fate against the notifications seen for it.
void checkLedger(Ledger& ledger, Problems& problems, std::map<std::string, size_t>* tally) {
  for (uint32_t n = 0; n < std::min(ledger.next.load(), Ledger::CAPACITY); ++n) {
    auto fate = static_cast<Fate>(ledger.fate[n].load());
    uint8_t seen = ledger.seen[n];
    std::string what = "push " + std::to_string(n) + " ";
    auto fail = [&](const std::string& key, const std::string& why) {
      ++(*tally)[key];
      problems.add(what + why + " but notified " + std::to_string(seen) + " time(s)");
    };
    if (fate == Fate::Accepted) {
      ++(*tally)["accepted"];
      if (seen != 1 || ledger.prefix[n]) {
        fail(seen == 0 ? "lost" : seen > 1 ? "duplicated" : "altered", "answered 200");
      }
    } else if (fate == Fate::Refused) {
      ++(*tally)["refused"];
      if (seen != 0) {
        fail("pushed though refused", "was refused or cut off");
      }
    } else {
      ++(*tally)[fate == Fate::Cut ? "cut" : "uncertain"];
      (*tally)["cut and pushed"] += fate == Fate::Cut && seen == 1 ? 1 : 0;
      if (seen > 1 || (fate != Fate::Cut && ledger.prefix[n])) {
        fail("duplicated", fate == Fate::Cut ? "was reset inside the body" : "had no answer");
      }
    }
  }
}

// `skip`: client kinds left out, comma-separated.
int run(int runSeconds, unsigned seed, const std::string& binary, const std::string& skip) {
  bench::raiseFdLimit(4096);
  bench::TempDir home;
  ::mkdir((home / ".corvane").c_str(), 0700);
  Load load;
  Ledger& ledger = load.ledger;
  Problems& problems = load.problems;
  OutputChecker checker(ledger, problems);
  std::atomic<size_t> pushLogLines{0};
  auto onErr = [&](std::string_view line) {
    if (line.rfind("→ channel push: \"soak#", 0) == 0) {
      ++pushLogLines;
    }
  };
  auto start = Clock::now();
  auto server = bench::startServer(binary, home.path(), true, onErr);
  if (!server) {
    std::printf("soak: FAIL: the server did not start (%s)\n", binary.c_str());
    return 1;
  }
  pid_t pid = server->child->pid();
  load.port = server->port;
  load.token = server->token;
  bench::StandinApp app(home / ".corvane/sessions.sock", [&](int fd) { serveApp(load, fd); });

  std::atomic<bool> readerDone{false};
  std::thread reader([&] {
    while (auto line = server->child->readLine(Clock::now() + seconds(3600))) {
      checker.line(*line);
    }
    readerDone = true;
  });
  std::this_thread::sleep_for(milliseconds(300));
  bench::ProcessStats before = stats(pid);
  std::vector<std::thread> clients = startClients(load, seed, skip);
  std::map<std::string, size_t> sent;
  std::thread writer([&] { writeRequests(*server->child, checker, load, seed + 17, &sent); });

  int total = std::max(runSeconds, TAIL_SECONDS + 20);
  auto endOfLoad = start + seconds(total - TAIL_SECONDS);
  std::vector<bench::ProcessStats> trend;
  // Resident memory every 2 s until the load ends, or the server's output does.
  for (auto next = Clock::now();
       !waitFor(std::min(next, endOfLoad), [&] { return readerDone.load(); }) && next < endOfLoad;
       next += seconds(2)) {
    trend.push_back(stats(pid));
  }
  load.stop = true;
  writer.join();
  for (auto& t : clients) {
    t.join();
  }
  if (readerDone) {
    problems.add("the server's standard output ended during the run");
  }
  // A last request: once its answer is in, every earlier one must have been.
  checker.expect({Json("final"), "ping", ""});
  server->child->write(R"({"jsonrpc":"2.0","id":"final","method":"ping"})"
                       "\n");
  if (!waitFor(Clock::now() + seconds(35), [&] { return checker.outstanding() == 0; })) {
    problems.add(std::to_string(checker.outstanding()) + " requests never answered");
  }
  // Connections drain once their clients are gone; give the server a moment to close them.
  bool fdsBack =
      waitFor(Clock::now() + seconds(12), [&] { return stats(pid).openFds <= before.openFds; });
  std::this_thread::sleep_for(milliseconds(300));
  bench::ProcessStats after = stats(pid);

  auto stopAt = Clock::now();
  server->child->closeInput();
  auto status = server->child->wait(Clock::now() + seconds(10));
  double stopSeconds = secondsSince(stopAt);
  if (!status) {
    ::kill(pid, SIGKILL);  // a hung server must not hang the soak: the reader waits for its end
  }
  reader.join();
  std::error_code ec;
  bool recordGone = true, tokenGone = !std::filesystem::exists(home / ".corvane/channel.token", ec);
  for (const auto& entry : std::filesystem::directory_iterator(home / ".corvane/sessions", ec)) {
    recordGone = recordGone && entry.path().extension() != ".json";
  }

  std::map<std::string, size_t> tally;
  checkLedger(ledger, problems, &tally);
  if (!status || *status != 0) {
    problems.add(status ? "exit status " + std::to_string(*status) + " on stdin close"
                        : "no exit within 10 s of stdin close");
  }
  if (!recordGone || !tokenGone) {
    problems.add("registry record or token file left behind");
  }
  if (!fdsBack && after.openFds >= 0) {
    problems.add("descriptors: " + shown(before.openFds) + " before, " + shown(after.openFds) +
                 " after");
  }
  // A leak grows with the load; allocator caches level off. So the second half of the loaded run
  // is held against its first half, with a small allowance for caches still filling.
  int64_t firstHalf = -1, secondHalf = -1;
  for (size_t i = 0; i < trend.size(); ++i) {
    int64_t& peak = i < trend.size() / 2 ? firstHalf : secondHalf;
    peak = std::max(peak, trend[i].residentBytes);
  }
  int64_t allowance = std::max<int64_t>(2 * 1024 * 1024, firstHalf / 10);
  if (firstHalf >= 0 && secondHalf - firstHalf > allowance) {
    problems.add("resident memory kept growing under load: peak " + shown(firstHalf, true) +
                 " in the first half, " + shown(secondHalf, true) + " in the second");
  }
  if (pushLogLines.load() != checker.notifications.load()) {
    problems.add(std::to_string(checker.notifications.load()) + " notifications but " +
                 std::to_string(pushLogLines.load()) + " push log lines");
  }

  std::printf("soak: %d s (seed %u) against %s\n", total, seed, binary.c_str());
  std::printf("  pushes: %u sent; %zu accepted (200), %zu refused, %zu unanswered (reset)\n",
              ledger.next.load(), tally["accepted"], tally["refused"], tally["uncertain"]);
  std::printf("  notifications: %zu; lost %zu, duplicated %zu, pushed though refused %zu\n",
              checker.notifications.load(), tally["lost"], tally["duplicated"],
              tally["pushed though refused"]);
  std::printf("  reset inside the body: %zu, of which %zu pushed the part received\n", tally["cut"],
              tally["cut and pushed"]);
  for (const auto& [title, counts] :
       {std::pair{"clients by kind and answer", ledger.counts}, std::pair{"MCP requests", sent}}) {
    std::printf("  %s:\n", title);
    for (const auto& [what, n] : counts) {
      std::printf("    %-34s %zu\n", what.c_str(), n);
    }
  }
  std::printf("  MCP: %zu answers, each checked and in request order unless listed below\n",
              checker.answers.load());
  std::printf("  descriptors: %s at the start, %s at the end\n", shown(before.openFds).c_str(),
              shown(after.openFds).c_str());
  std::printf("  resident memory: %s at the start, %s at the end; under load every 2 s:",
              shown(before.residentBytes, true).c_str(), shown(after.residentBytes, true).c_str());
  for (const auto& t : trend) {
    std::printf(" %.1f", static_cast<double>(t.residentBytes) / MIB);
  }
  std::printf("\n  stdin closed: %s in %.2f s; record %s, token file %s\n",
              status ? ("exit status " + std::to_string(*status)).c_str() : "no exit", stopSeconds,
              recordGone ? "removed" : "LEFT", tokenGone ? "removed" : "LEFT");
  size_t failed = problems.count;
  for (const auto& p : problems.first) {
    std::printf("  problem: %s\n", p.c_str());
  }
  std::printf("soak: %s (%zu problems)\n", failed == 0 ? "PASS" : "FAIL", failed);
  return failed == 0 ? 0 : 1;
}

}  // namespace
}  // namespace soak

int main(int argc, char** argv) {
  std::string seconds = "120", seed = "1", binary = CS_BINARY_PATH, skip;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string* value = arg == "--seconds"  ? &seconds
                         : arg == "--seed"   ? &seed
                         : arg == "--skip"   ? &skip
                         : arg == "--binary" ? &binary
                                             : nullptr;
    if (value != nullptr && i + 1 < argc) {
      *value = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--seconds N] [--seed N] [--skip KIND,...] [--binary PATH]\n",
                   argv[0]);
      return 2;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  return soak::run(std::atoi(seconds.c_str()), static_cast<unsigned>(std::atoi(seed.c_str())),
                   binary, skip);
}
