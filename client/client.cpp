#include "client/client.h"

#include "base/log.h"
#include "base/terminal_text.h"
#include "client/http.h"
#include "client/pick.h"
#include "platform/files.h"
#include "registry/registry.h"

#include <cerrno>
#include <optional>
#include <signal.h>
#include <unistd.h>
#include <variant>

namespace client {
namespace {

using namespace std::chrono_literals;

// The server may hold a push until the session is ready to take it.
constexpr auto PUSH_LIMIT = 35s;
constexpr auto INFO_LIMIT = 3s;
constexpr size_t MAX_TEXT = 1 << 20;

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

// Standard input up to MAX_TEXT bytes; nullopt when it is longer or cannot be read.
std::optional<std::string> readInput() {
  std::string text;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 || text.size() + static_cast<size_t>(n) > MAX_TEXT) {
      return std::nullopt;
    }
    if (n == 0) {
      return text;
    }
    text.append(buf, static_cast<size_t>(n));
  }
}

// The one live session the options name, or the exit status that ends the command.
std::variant<Json, int> pickSession(Verb verb, const std::vector<std::string>& args,
                                    Options* opts) {
  std::string usage;
  auto parsed = parseOptions(verb, args, &usage);
  if (!parsed) {
    base::logErr(usage);
    return 2;
  }
  *opts = *parsed;
  std::string cwd = platform::currentDir();
  std::string toFolder = opts->to && platform::isDirectory(*opts->to)
                             ? platform::resolvePath(*opts->to)
                             : std::string();
  auto found = chooseSessions(registry::liveRegistry(), opts->to, toFolder, cwd);
  if (found.empty()) {
    return failed(opts->to ? "nenhuma sessão-canal viva combina com '" + *opts->to + "'"
                           : "nenhuma sessão-canal viva nesta pasta (" + cwd + ")");
  }
  if (found.size() > 1) {
    base::logErr("ℹ️  " + std::to_string(found.size()) +
                 " sessões combinam; escolha uma com --to NOME, INSTÂNCIA ou PASTA:");
    for (const auto& record : found) {
      base::logErr(base::terminalSafe(describe(record)));
    }
    return 2;
  }
  return found.front();
}

}  // namespace

int runPush(const std::vector<std::string>& args) {
  ::signal(SIGPIPE, SIG_IGN);
  Options opts;
  auto picked = pickSession(Verb::Push, args, &opts);
  if (const int* status = std::get_if<int>(&picked)) {
    return *status;
  }
  const Json& record = std::get<Json>(picked);
  auto port = recordPort(record);
  auto token = record.find("token");
  if (!port || token == record.end() || !token->is_string()) {
    return failed("o registro da sessão não tem porta nem token");
  }
  std::string reply, err;
  // The token goes only to the process the record names: after a crash the port may be another's.
  if (!exchange(*port, infoRequest(*port), INFO_LIMIT, &reply, &err)) {
    return failed("o servidor da sessão não responde: " + err);
  }
  auto info = parseReply(reply);
  if (!info || info->status != 200 || !sameServer(record, info->body)) {
    return failed("a porta " + std::to_string(*port) +
                  " não é do servidor da sessão (pid ou instância diferentes); nada enviado");
  }
  std::optional<std::string> text = opts.words.empty() ? readInput() : joined(opts.words);
  if (!text) {
    return failed("não consegui ler o texto da entrada padrão (até 1 MiB)");
  }
  if (!exchange(*port, pushRequest(*port, token->get<std::string>(), *text), PUSH_LIMIT, &reply,
                &err)) {
    return failed("push falhou: " + err);
  }
  auto answer = parseReply(reply);
  if (!answer) {
    return failed("push sem resposta HTTP válida");
  }
  return answer->status == 200 ? 0 : failed("push recusado: " + replyReason(*answer));
}

int runType(const std::vector<std::string>& args) {
  ::signal(SIGPIPE, SIG_IGN);
  Options opts;
  auto picked = pickSession(Verb::Type, args, &opts);
  if (const int* status = std::get_if<int>(&picked)) {
    return *status;
  }
  const Json& record = std::get<Json>(picked);
  auto inject = record.find("inject");
  if (inject == record.end() || !inject->is_string() || inject->get<std::string>().empty()) {
    return failed("a sessão não tem socket de injeção");
  }
  std::string err;
  std::string bytes = joined(opts.words) + (opts.enter ? "\r" : "");
  return writeToSocket(inject->get<std::string>(), bytes, &err) ? 0 : failed(err);
}

}  // namespace client
