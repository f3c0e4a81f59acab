#include "server/server.h"

#include "base/log.h"
#include "base/version.h"
#include "channel/conn.h"
#include "channel/listener.h"
#include "channel/token.h"
#include "outbox/outbox.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "query/client.h"
#include "server/input_queue.h"
#include "server/jsonrpc.h"
#include "server/line_reader.h"

#include <atomic>
#include <cerrno>
#include <signal.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace server {
namespace {

// Where the token file was published and what it holds; read by the exit handler, never freed.
std::string& gTokenPath = *new std::string;
std::string& gToken = *new std::string;

void removeTokenFile() {
  channel::removeTokenFileIfHolds(gTokenPath, gToken);
}

// A line this long is worth giving its memory back to the system once handled.
constexpr size_t BIG_LINE = 1 << 20;

std::atomic<bool> gChannelMode{false};
channel::EndProcess gEnd = nullptr;
InputQueue& gInput = *new InputQueue;

// The end through standard input or output: what is queued goes out first, pushes still waiting
// are refused, and their answers get a moment to leave before the exit handlers run.
[[noreturn]] void endServer() {
  static std::atomic_flag ending;
  if (ending.test_and_set()) {
    for (;;) {
      ::pause();  // the first end exits for both
    }
  }
  outbox::closeOutbox(std::chrono::seconds(2));
  if (gChannelMode) {
    base::logErr("stdin fechado — encerrando (canal morre com a sessão)");
    channel::settlePushes(std::chrono::seconds(1));
  }
  gEnd(0);
  for (;;) {
    ::pause();
  }
}

void handleInput(const std::string& projectName, Mode mode) {
  auto callTool = [](const std::string& name, const Json& args) {
    gInput.setInToolCall(true);
    std::string text = query::callSessionTool(name, args);
    gInput.setInToolCall(false);
    return text;
  };
  for (;;) {
    std::string line = gInput.take();
    handleLine(line, projectName, mode, callTool);
    if (line.size() > BIG_LINE) {
      line = std::string();
      platform::releaseFreeMemory();
    }
    gInput.done();
  }
}

[[noreturn]] void readInput() {
  LineReader reader;
  auto queueAll = [](std::vector<std::string> lines) {
    for (auto& line : lines) {
      if (!line.empty()) {
        gInput.put(std::move(line));
      }
    }
  };
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    bool wasSkipping = reader.skipping();
    queueAll(reader.feed(std::string_view(buf, static_cast<size_t>(n))));
    if (reader.skipping() && !wasSkipping) {
      platform::releaseFreeMemory();
    }
  }
  queueAll(reader.finish());
  gInput.drainOrAbandon();
  endServer();
}

// Standard input is read on the calling thread from here on.
[[noreturn]] void serveInput(const std::string& projectName, const Mode& mode,
                             const std::string& ready) {
  outbox::startWriter(endServer);
  std::thread(handleInput, projectName, mode).detach();
  base::logErr(ready);
  readInput();
}

bool publishTokenFile(const std::string& token) {
  std::string path = channel::tokenPath();
  platform::removeFile(path);
  std::string err;
  if (!platform::createFile(path, token, 0600, &err)) {
    base::logErr("✗ não consegui publicar o token em " + path + ".");
    base::logErr("  " + err);
    return false;
  }
  gTokenPath = path;
  gToken = token;
  platform::onExit(removeTokenFile);
  return true;
}

}  // namespace

int runServer(const registry::Identity& identity, const Mode& mode, channel::EndProcess end) {
  gEnd = end;
  // A client that has gone away must not kill the server; a write to it just fails.
  ::signal(SIGPIPE, SIG_IGN);
  if (mode.toolsOnly) {
    serveInput(identity.projectName, mode,
               std::string("corvane MCP em modo só-tools (v") + base::SERVER_VERSION +
                   ") — sem canal HTTP");
  }
  const auto& token = identity.channelToken;
  if (!token || token->empty()) {
    base::logErr("✗ CV_CHANNEL_TOKEN ausente — recusando subir o canal.");
    base::logErr("  Suba a sessão pelo comando 'corvane-run' (ele gera o token da sessão).");
    return 1;
  }
  gChannelMode = true;
  if (!publishTokenFile(*token) || !channel::startListener(identity, end)) {
    return 1;
  }
  serveInput(identity.projectName, mode,
             std::string("corvane channel server no ar (v") + base::SERVER_VERSION + ")");
}

}  // namespace server
