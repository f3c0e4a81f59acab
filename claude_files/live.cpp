#include "claude_files/live.h"

#include "base/json.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace claude_files {
namespace {

std::optional<pid_t> pidOfName(std::string_view name) {
  if (!name.ends_with(".json") || name.size() == 5) {
    return std::nullopt;
  }
  std::string_view digits = name.substr(0, name.size() - 5);
  pid_t pid = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
  if (ec != std::errc{} || end != digits.data() + digits.size() || pid <= 0 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  return pid;
}

// A regular file of at most SESSION_FILE_MAX bytes; a fifo or a huge file is never waited on.
std::optional<std::string> readBounded(const std::string& path) {
  return platform::readRegularFile(path, nullptr, nullptr, SESSION_FILE_MAX + 1);
}

std::string text(const base::Json& obj, const char* key) {
  auto it = obj.find(key);
  return it != obj.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int64_t millis(const base::Json& obj, const char* key) {
  auto it = obj.find(key);
  if (it == obj.end() || !it->is_number()) {
    return 0;
  }
  double v = it->get<double>();
  return std::isfinite(v) && std::fabs(v) < 9e15 ? static_cast<int64_t>(v) : 0;
}

}  // namespace

std::optional<SessionFile> parseSessionFile(std::string_view bytes, pid_t pid) {
  base::Json doc = base::parseJson(bytes);
  if (doc.is_discarded() || !doc.is_object()) {
    return std::nullopt;
  }
  SessionFile f;
  LiveSession& s = f.session;
  s.pid = pid;
  s.sessionId = text(doc, "sessionId");
  if (s.sessionId.empty()) {
    return std::nullopt;
  }
  if (auto it = doc.find("pid");
      it != doc.end() && (!it->is_number_integer() || it->get<int64_t>() != pid)) {
    return std::nullopt;
  }
  s.cwd = text(doc, "cwd");
  s.startedAtMillis = millis(doc, "startedAt");
  s.name = text(doc, "name");
  s.status = text(doc, "status");
  if (auto it = doc.find("waitingFor"); it != doc.end() && it->is_string()) {
    s.waitingFor = it->get<std::string>();
  }
  s.updatedAtMillis = millis(doc, "updatedAt");
  s.messagingSocketPath = text(doc, "messagingSocketPath");
  if (auto it = doc.find("procStart"); it != doc.end()) {
    if (it->is_string()) {
      f.procStart = it->get<std::string>();
    } else if (it->is_number_unsigned() || it->is_number_integer()) {
      f.procStart = std::to_string(it->get<uint64_t>());
    } else if (it->is_number_float()) {
      f.procStart = std::to_string(static_cast<uint64_t>(it->get<double>()));
    }
  }
  return f;
}

bool stillRunning(const SessionFile& file) {
  pid_t pid = file.session.pid;
  // EPERM: the pid runs, but as another user, so not the claude that wrote our file.
  if (pid <= 0 || ::kill(pid, 0) != 0) {
    return false;
  }
  platform::ProcessIdentity id;
  if (file.procStart.empty() || !platform::processIdentity(pid, &id) || !id.startTicks) {
    return true;
  }
  return std::to_string(*id.startTicks) == file.procStart;
}

std::vector<LiveSession> readLiveSessions(const std::string& claudeDir) {
  std::vector<LiveSession> live;
  std::string dir = claudeDir + "/sessions";
  auto names = platform::listDir(dir);
  if (!names) {
    return live;
  }
  for (const std::string& name : *names) {
    auto pid = pidOfName(name);
    if (!pid) {
      continue;
    }
    auto bytes = readBounded(dir + "/" + name);
    auto file = bytes ? parseSessionFile(*bytes, *pid) : std::nullopt;
    if (file && stillRunning(*file)) {
      live.push_back(std::move(file->session));
    }
  }
  std::sort(live.begin(), live.end(), [](const LiveSession& a, const LiveSession& b) {
    return std::tie(a.startedAtMillis, a.pid) < std::tie(b.startedAtMillis, b.pid);
  });
  return live;
}

}  // namespace claude_files
