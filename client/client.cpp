#include "client/client.h"

#include "base/log.h"
#include "base/terminal_text.h"
#include "client/http.h"
#include "client/pick.h"
#include "client/targets.h"
#include "platform/files.h"
#include "registry/registry.h"
#include "sessions/names.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <signal.h>
#include <thread>
#include <unistd.h>
#include <variant>

namespace client {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// How long a session that is not ready yet is waited for, all attempts together.
constexpr auto READY_LIMIT = 30s;
// The server itself may hold a push up to READY_LIMIT before it answers.
constexpr auto PUSH_LIMIT = 35s;
constexpr auto INFO_LIMIT = 3s;

// Lines name sessions and folders from records, and echo answers: shown escaped.
int failed(const std::string& line) {
  base::logErr("✗ " + base::terminalSafe(line));
  return 1;
}

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& word : words) {
    text += (text.empty() ? "" : " ") + word;
  }
  return text;
}

// Standard input, one byte past MAX_TEXT at most, so that a longer text is seen as such.
std::optional<std::string> readInput(std::string* err) {
  std::string text;
  char buf[65536];
  while (text.size() <= MAX_TEXT) {
    ssize_t n = ::read(STDIN_FILENO, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      *err = std::string("não consegui ler a entrada padrão: ") + std::strerror(errno);
      return std::nullopt;
    }
    if (n == 0) {
      break;
    }
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

// A session's name in a message: quoted and escaped, as it is data.
std::string shownName(const Json& name) {
  return name.is_string() ? "\"" + base::terminalSafe(name.get<std::string>()) + "\"" : "?";
}

struct Picked {
  Json record;
  std::string name;  // what the messages call it
};

int several(const std::vector<Json>& found, const std::vector<Named>& named) {
  base::logErr("ℹ️  " + std::to_string(found.size()) +
               " sessões combinam; escolha uma com --to e um destes nomes:");
  for (const auto& record : found) {
    base::logErr(describe(record, nameOf(record, named)));
  }
  return 2;
}

// The one live session the options name, or the exit status that ends the command.
std::variant<Picked, int> pickSession(const Options& opts) {
  std::string cwd = platform::currentDir();
  std::string toFolder =
      opts.to && platform::isDirectory(*opts.to) ? platform::resolvePath(*opts.to) : std::string();
  std::vector<Json> live = registry::liveRegistry();
  auto found = chooseSessions(live, opts.to, toFolder, cwd);
  std::vector<Named> named;
  if (found.empty() && opts.to && !opts.to->empty()) {
    // Not a record's name, instance or folder: a session name, as the tools look it up.
    named = namedChannels(live, true);
    std::vector<ops::SessionRef> refs;
    for (const Named& n : named) {
      refs.push_back(n.session);
    }
    ops::Lookup hit = ops::lookUp(*opts.to, refs, {});
    if (hit.session) {
      for (const Named& n : named) {
        if (n.session.id == hit.session->id) {
          return Picked{n.record, shownName(n.session.name)};
        }
      }
    }
    if (hit.error.is_object() && hit.error.contains("matches")) {
      for (const Named& n : named) {
        for (const Json& name : hit.error["matches"]) {
          if (name == n.session.name) {
            found.push_back(n.record);
          }
        }
      }
    }
  }
  if (found.empty()) {
    return failed(opts.to ? "nenhuma sessão-canal viva se chama '" + *opts.to +
                                "' ('channel-server sessions' mostra os nomes)"
                          : "nenhuma sessão-canal viva nesta pasta (" + cwd +
                                "); abra uma com corvane-run ou use --to");
  }
  if (found.size() > 1) {
    return several(found, named.empty() ? namedChannels(live, false) : named);
  }
  std::string name = shownName(opts.to ? Json(*opts.to) : found.front().value("name", Json(cwd)));
  return Picked{found.front(), name};
}

std::variant<Picked, int> parseAndPick(Verb verb, const std::vector<std::string>& args,
                                       Options* opts) {
  std::string usage;
  auto parsed = parseOptions(verb, args, &usage);
  if (!parsed) {
    base::logErr(usage);
    return 2;
  }
  *opts = *parsed;
  return pickSession(*opts);
}

}  // namespace

int runPush(const std::vector<std::string>& args) {
  ::signal(SIGPIPE, SIG_IGN);
  std::string usage;
  auto opts = parseOptions(Verb::Push, args, &usage);
  if (!opts) {
    base::logErr(usage);
    return 2;
  }
  if (opts->words.empty() && ::isatty(STDIN_FILENO) != 0) {
    base::logErr(
        "✗ sem texto: escreva-o depois de push, ou mande-o pela entrada padrão "
        "(git diff | channel-server push)");
    return 2;
  }
  // The text is judged before any connection: nothing is half sent.
  std::string err;
  std::optional<std::string> text = opts->words.empty() ? readInput(&err) : joined(opts->words);
  if (!text) {
    return failed(err);
  }
  if (auto problem = textProblem(*text)) {
    return failed(*problem);
  }
  auto picked = pickSession(*opts);
  if (const int* status = std::get_if<int>(&picked)) {
    return *status;
  }
  const Picked& chosen = std::get<Picked>(picked);
  // Named, not bound: a lambda below takes the name, which clang 14 refuses for a binding.
  const Json& record = chosen.record;
  const std::string& name = chosen.name;
  auto port = recordPort(record);
  auto token = record.find("token");
  if (!port || token == record.end() || !token->is_string()) {
    return failed("o registro da sessão " + name + " não tem porta nem token");
  }
  std::string reply;
  // The token goes only to the process the record names: after a crash the port may be another's.
  if (!exchange(*port, infoRequest(*port), INFO_LIMIT, &reply, &err)) {
    return failed("o servidor da sessão " + name + " não responde (" + err + ")");
  }
  auto info = parseReply(reply);
  if (!info || info->status != 200 || !sameServer(record, info->body)) {
    return failed("a porta " + std::to_string(*port) + " não é do servidor da sessão " + name +
                  " (pid ou instância diferentes); nada enviado");
  }
  bool told = ::isatty(STDERR_FILENO) == 0;
  auto deadline = Clock::now() + READY_LIMIT;
  for (;;) {
    auto slow = [&] {
      if (!told) {
        base::logErr("ℹ️  a sessão " + name + " ainda não está pronta; espero até 30 s…");
        told = true;
      }
    };
    if (!exchange(*port, pushRequest(*port, token->get<std::string>(), *text), PUSH_LIMIT, &reply,
                  &err, slow)) {
      return failed("o texto não chegou à sessão " + name + " (" + err + ")");
    }
    auto answer = parseReply(reply);
    if (!answer) {
      return failed("a sessão " + name + " deu uma resposta que não entendo; talvez nada enviado");
    }
    if (answer->status == 200) {
      return 0;
    }
    auto wait = std::chrono::seconds(answer->retryAfter);
    if (answer->retryAfter == 0 || Clock::now() + wait >= deadline) {
      return failed(refusalLine(*answer, name));
    }
    slow();
    std::this_thread::sleep_for(wait);
  }
}

int runType(const std::vector<std::string>& args) {
  ::signal(SIGPIPE, SIG_IGN);
  Options opts;
  auto picked = parseAndPick(Verb::Type, args, &opts);
  if (const int* status = std::get_if<int>(&picked)) {
    return *status;
  }
  const auto& [record, name] = std::get<Picked>(picked);
  auto inject = record.find("inject");
  if (inject == record.end() || !inject->is_string() || inject->get<std::string>().empty()) {
    return failed("a sessão " + name +
                  " não tem terminal onde digitar: só as abertas com corvane-run têm "
                  "(para texto, use push)");
  }
  std::string err;
  std::string bytes = joined(opts.words) + (opts.enter ? "\r" : "");
  return writeToSocket(inject->get<std::string>(), bytes, &err)
             ? 0
             : failed("não consegui digitar na sessão " + name + " (" + err + ")");
}

}  // namespace client
