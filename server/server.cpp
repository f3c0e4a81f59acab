#include "server/server.h"

#include "app/process.h"
#include "channel/listener.h"
#include "channel/token.h"
#include "platform/files.h"
#include "platform/posix.h"
#include "server/jsonrpc.h"
#include "server/line_reader.h"
#include "base/log.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

namespace server {
namespace {

// Where the token file was published; read by the exit handler, never freed.
std::string& gTokenPath = *new std::string;

void removeTokenFile() { channel::removeTokenFileIfHolds(gTokenPath, *app::channelToken); }

void readInput(bool channelMode) {
  LineReader reader;
  auto handleAll = [](const std::vector<std::string>& lines) {
    for (const auto& line : lines) {
      if (!line.empty()) {
        handleLine(line);
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
    handleAll(reader.feed(std::string_view(buf, static_cast<size_t>(n))));
  }
  handleAll(reader.finish());
  if (channelMode) {
    base::logErr("stdin fechado — encerrando (canal morre com a sessão)");
  }
  platform::exitProcess(0);
}

[[noreturn]] void park() {
  for (;;) {
    ::pause();
  }
}

void publishTokenFile(const std::string& token) {
  std::string path = channel::tokenPath();
  platform::removeFile(path);
  std::string err;
  if (!platform::createFile(path, token, 0600, &err)) {
    base::logErr("✗ não consegui publicar o token em " + path + ".");
    std::exit(1);
  }
  gTokenPath = path;
  platform::onExit(removeTokenFile);
}

}  // namespace

void runServer() {
  // A client that has gone away must not kill the server; a write to it just fails.
  ::signal(SIGPIPE, SIG_IGN);
  if (app::envFlag("CV_TOOLS_ONLY")) {
    std::thread(readInput, false).detach();
    base::logErr(std::string("corvane MCP em modo só-tools (v") + app::SERVER_VERSION +
           ") — sem canal HTTP");
    park();
  }
  auto token = app::envVar("CV_CHANNEL_TOKEN");
  if (!token || token->empty()) {
    base::logErr("✗ CV_CHANNEL_TOKEN ausente — recusando subir o canal.");
    base::logErr("  Suba a sessão pelo comando 'corvane-run' (ele gera o token da sessão).");
    std::exit(1);
  }
  app::channelToken = *token;
  publishTokenFile(*token);
  channel::startListener();
  std::thread(readInput, true).detach();
  base::logErr(std::string("corvane channel server no ar (v") + app::SERVER_VERSION + ")");
  park();
}

}  // namespace server
