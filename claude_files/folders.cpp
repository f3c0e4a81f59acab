#include "claude_files/folders.h"

#include "base/json.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace claude_files {
namespace {

constexpr size_t META_MAX = 64 * 1024;

}  // namespace

bool endsWith(const std::string& s, std::string_view tail) {
  return s.size() > tail.size() && std::string_view(s).substr(s.size() - tail.size()) == tail;
}

bool isSessionId(std::string_view text) {
  if (text.size() != 36) {
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (dash ? c != '-' : !hex) {
      return false;
    }
  }
  return true;
}

Listing listFolder(int at, const std::string& path) {
  Listing out;
  int fd = ::openat(at, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    return out;
  }
  out.dir.reset(::fdopendir(fd));
  if (!out.dir) {
    ::close(fd);
    return out;
  }
  while (const dirent* e = ::readdir(out.dir.get())) {
    std::string name = e->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    bool isDir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st {};
      isDir =
          ::fstatat(out.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    out.entries.push_back(FolderEntry{std::move(name), isDir});
  }
  return out;
}

std::optional<TranscriptPlace> placeOf(const std::string& relative) {
  std::vector<std::string> parts;
  for (size_t at = 0; at <= relative.size();) {
    size_t slash = relative.find('/', at);
    slash = slash == std::string::npos ? relative.size() : slash;
    parts.push_back(relative.substr(at, slash - at));
    at = slash + 1;
  }
  if (parts.size() < 2 || !endsWith(parts.back(), ".jsonl") || parts[0].empty()) {
    return std::nullopt;
  }
  if (parts.size() == 2) {
    return TranscriptPlace{parts[0] + "/" + fileStem(parts[1]), true};
  }
  if (parts.size() < 4 || parts.size() > 4 + SUBAGENT_DEPTH || parts[2] != "subagents" ||
      parts[1].empty()) {
    return std::nullopt;
  }
  return TranscriptPlace{parts[0] + "/" + parts[1], false};
}

std::string fileStem(const std::string& path) {
  std::string name = path.substr(path.rfind('/') + 1);
  return endsWith(name, ".jsonl") ? name.substr(0, name.size() - 6) : name;
}

std::string agentName(const std::string& transcriptPath) {
  std::string stem = transcriptPath.substr(0, transcriptPath.size() - 6);
  std::string name = fileStem(transcriptPath);
  platform::UniqueFd fd{
      ::open((stem + ".meta.json").c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW)};
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size > static_cast<off_t>(META_MAX)) {
    return name;
  }
  std::string text(static_cast<size_t>(st.st_size), '\0');
  ssize_t n = ::read(fd.get(), text.data(), text.size());
  base::Json meta = base::parseJson(text.substr(0, n > 0 ? static_cast<size_t>(n) : 0));
  if (!meta.is_object()) {
    return name;
  }
  for (const char* key : {"agentType", "subagentType", "subagent_type"}) {
    if (auto it = meta.find(key); it != meta.end() && it->is_string() && !it->empty()) {
      return it->get<std::string>();
    }
  }
  return name;
}

}  // namespace claude_files
