// --install and --uninstall as text in, text out: settings.json is Claude Code's, so every other
// key keeps its place and the file its indentation.

#include "platform/text.h"
#include "statusline/statusline.h"

namespace statusline {
namespace {

constexpr const char* KEY = "statusLine";

// In the indentation of the file's first indented line: tabs, spaces, or none when the file is
// one line; two spaces for a new file.
std::string dumpLike(const Json& value, const std::string& original) {
  size_t nl = original.find('\n');
  int width = -1;
  char fill = ' ';
  while (nl != std::string::npos && nl + 1 < original.size()) {
    size_t start = nl + 1, end = start;
    while (end < original.size() && (original[end] == ' ' || original[end] == '\t')) {
      ++end;
    }
    if (end > start && end < original.size() && original[end] != '\n') {
      fill = original[start];
      width = static_cast<int>(end - start);
      break;
    }
    nl = original.find('\n', start);
  }
  if (width < 0 && (original.empty() || original.find('\n') != std::string::npos)) {
    width = 2;
  }
  std::string text = value.dump(width, fill, false, Json::error_handler_t::replace);
  return original.empty() || original.back() == '\n' ? text + "\n" : text;
}

// Claude re-runs the command only when its own session changes; the tick is what shows another
// session starting to wait while this one sits idle.
constexpr int REFRESH_SECONDS = 2;

Json setting(const std::string& command) {
  return {{"type", "command"}, {"command", command}, {"refreshInterval", REFRESH_SECONDS}};
}

// The command as we write it: an absolute path to a channel-server, then the word statusline.
bool isOurs(const Json& statusLine) {
  if (!statusLine.is_object()) {
    return false;
  }
  auto command = statusLine.find("command");
  if (command == statusLine.end() || !command->is_string()) {
    return false;
  }
  std::string c = command->get<std::string>();
  const std::string tail = " statusline";
  if (c.size() <= tail.size() || c.compare(c.size() - tail.size(), tail.size(), tail) != 0) {
    return false;
  }
  std::string path = c.substr(0, c.size() - tail.size());
  if (path.size() >= 2 && path.front() == '\'' && path.back() == '\'') {
    path = path.substr(1, path.size() - 2);
  }
  return !path.empty() && path[0] == '/' && platform::lastPathComponent(path) == "channel-server";
}

std::optional<Json> settingsObject(const std::optional<std::string>& text, std::string* message) {
  if (!text) {
    return Json::object();
  }
  Json doc = base::parseJson(*text);
  if (!doc.is_object()) {
    *message = "✗ settings.json não é um objeto JSON que eu saiba ler; nada foi mudado.";
    return std::nullopt;
  }
  return doc;
}

}  // namespace

SettingsChange installStatusLine(const std::optional<std::string>& text, const std::string& command,
                                 std::string* out, std::string* message) {
  std::string toAdd = "\"statusLine\": " + setting(command).dump();
  auto doc = settingsObject(text, message);
  if (!doc) {
    *message += "\nAcrescente à mão:\n  " + toAdd + "\n";
    return SettingsChange::Refused;
  }
  auto it = doc->find(KEY);
  if (it != doc->end() && isOurs(*it) && (*it)["command"] == command) {
    *message = "ℹ️ a linha de estado do corvane já está instalada.\n";
    return SettingsChange::Unchanged;
  }
  if (it != doc->end() && !isOurs(*it)) {
    *message =
        "✋ settings.json já tem uma statusLine, de outra ferramenta; o Claude Code só "
        "mostra uma, e ela fica.\nPara usar a do corvane, troque-a por:\n  " +
        toAdd + "\n";
    return SettingsChange::Refused;
  }
  (*doc)[KEY] = setting(command);
  *out = dumpLike(*doc, text.value_or(""));
  *message = "✓ linha de estado instalada; o Claude Code mostra-a na próxima mudança.\n";
  return SettingsChange::Written;
}

SettingsChange uninstallStatusLine(const std::optional<std::string>& text, std::string* out,
                                   std::string* message) {
  auto doc = settingsObject(text, message);
  if (!doc) {
    *message += "\n";
    return SettingsChange::Refused;
  }
  auto it = doc->find(KEY);
  if (it == doc->end() || !isOurs(*it)) {
    *message = it == doc->end()
                   ? "ℹ️ não há linha de estado instalada.\n"
                   : "ℹ️ a statusLine instalada não é a do corvane; fica como está.\n";
    return SettingsChange::Unchanged;
  }
  doc->erase(it);
  *out = dumpLike(*doc, text.value_or(""));
  *message = "✓ linha de estado do corvane removida.\n";
  return SettingsChange::Written;
}

}  // namespace statusline
