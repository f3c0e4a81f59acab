// The statusline command's I/O: standard input in, one exchange with the companion, the line out,
// and the settings file for --install / --uninstall.

#include "base/log.h"
#include "base/time_text.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "query/client.h"
#include "query/starter.h"
#include "statusline/statusline.h"

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace statusline {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t INPUT_MAX = 1024 * 1024;
constexpr std::chrono::milliseconds INPUT_WAIT{500};
// claude runs the command again on the next change, so a late answer is worth less than a line.
constexpr std::chrono::milliseconds COMPANION_WAIT{150};
constexpr size_t SETTINGS_MAX = 4 * 1024 * 1024;

// Standard input up to its end, INPUT_MAX bytes or INPUT_WAIT, whichever comes first; nullopt
// when it did not end in time or is larger (claude writes it whole, then closes).
std::optional<std::string> readInput() {
  std::string in;
  char buf[16384];
  auto deadline = Clock::now() + INPUT_WAIT;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{STDIN_FILENO, POLLIN, 0};
    int n = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return std::nullopt;
    }
    ssize_t got = ::read(STDIN_FILENO, buf, sizeof(buf));
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (got <= 0) {
      return got == 0 ? std::optional(in) : std::nullopt;
    }
    in.append(buf, static_cast<size_t>(got));
    if (in.size() > INPUT_MAX) {
      return std::nullopt;
    }
  }
}

void print(const std::string& text) {
  (void)platform::writeAll(STDOUT_FILENO, text.data(), text.size());
}

int render() {
  LineOptions options{columnsFrom(platform::envVar("COLUMNS")), !platform::envVar("NO_COLOR")};
  auto bytes = readInput();
  Json input = bytes ? base::parseJson(*bytes) : Json();
  if (!input.is_object()) {
    print("corvane: entrada inválida\n");
    return 0;
  }
  auto id = input.find("session_id");
  Json request = {{"op", "statusline"},
                  {"session_id", id != input.end() && id->is_string() ? *id : Json("")},
                  {"day_start", base::localDayStartMillis(platform::nowSeconds() * 1000)},
                  {"caller_pid", static_cast<int>(::getppid())}};
  std::string text;
  Json answer;
  Companion state = Companion::Failed;
  switch (query::askCompanion(request, COMPANION_WAIT, &text)) {
    case query::Reach::Answered:
      answer = base::parseJson(text);
      state =
          answer.is_object() && !answer.contains("error") ? Companion::Answered : Companion::Failed;
      break;
    case query::Reach::Absent:
      // Started in the background: this line says "…", the next one has the answer.
      query::startCompanion(std::chrono::milliseconds(0));
      state = Companion::Starting;
      break;
    case query::Reach::Failed:
      break;
  }
  print(renderStatus(input, answer, state, options));
  return 0;
}

std::string settingsPath() {
  auto dir = platform::envVar("CLAUDE_CONFIG_DIR");
  return (dir && !dir->empty() ? *dir : platform::homeDir() + "/.claude") + "/settings.json";
}

// A path the shell runs as one word.
std::string shellWord(const std::string& path) {
  bool plain = path.find_first_not_of(
                   "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                   "0123456789/._-+") == std::string::npos;
  return plain || path.find('\'') != std::string::npos ? path : "'" + path + "'";
}

int changeSettings(bool install) {
  std::string path = settingsPath();
  platform::ReadFailure why{};
  std::string err;
  auto text = platform::readRegularFile(path, &why, &err, SETTINGS_MAX);
  if (!text && why != platform::ReadFailure::Missing) {
    base::logErr("✗ não leio " + path + " como um ficheiro simples (" + err +
                 "); nada foi mudado.");
    return 1;
  }
  std::string binary = platform::resolvePath(platform::executablePath());
  std::string out, message;
  SettingsChange change =
      install ? installStatusLine(text, shellWord(binary) + " statusline", &out, &message)
              : uninstallStatusLine(text, &out, &message);
  if (change == SettingsChange::Written) {
    struct stat st {};
    mode_t mode = text && ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0600;
    std::string dir = path.substr(0, path.rfind('/'));
    if (!text && !platform::isDirectory(dir)) {
      ::mkdir(dir.c_str(), 0700);
    }
    if ((text && !platform::replaceFile(path + ".bak-corvane", *text, mode, &err)) ||
        !platform::replaceFile(path, out, mode, &err)) {
      base::logErr("✗ " + err + "; settings.json ficou como estava.");
      return 1;
    }
    message += text ? "  (cópia do anterior: " + path + ".bak-corvane)\n" : "";
  }
  print(message);
  return 0;
}

}  // namespace

int runStatusline(const std::vector<std::string>& args) {
  if (args.empty()) {
    return render();
  }
  if (args.size() == 1 && (args[0] == "--install" || args[0] == "--uninstall")) {
    return changeSettings(args[0] == "--install");
  }
  base::logErr("uso: channel-server statusline [--install | --uninstall]");
  return 2;
}

}  // namespace statusline
