#include "platform/unique_fd.h"
#include "platform/watch.h"

#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>
#include <unordered_map>

namespace platform {
namespace {

constexpr uint32_t EVENTS = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM |
                            IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

class InotifyWatch final : public FolderWatch {
 public:
  explicit InotifyWatch(UniqueFd fd) : m_fd(std::move(fd)) {}

  bool add(const std::string& folder) override {
    int wd = ::inotify_add_watch(m_fd.get(), folder.c_str(), EVENTS);
    if (wd < 0) {
      return false;
    }
    m_folders[wd] = folder;
    return true;
  }

  std::vector<FolderChange> take(bool* lost) override {
    std::vector<FolderChange> out;
    // Aligned as the kernel's records are; one read returns whole records only.
    alignas(inotify_event) char buf[64 * 1024];
    for (;;) {
      ssize_t n = ::read(m_fd.get(), buf, sizeof(buf));
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        return out;
      }
      for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        if ((e->mask & IN_Q_OVERFLOW) != 0) {
          *lost = true;
          continue;
        }
        auto it = m_folders.find(e->wd);
        if (it == m_folders.end()) {
          continue;
        }
        if ((e->mask & IN_IGNORED) != 0) {
          out.push_back(FolderChange{it->second, "", true});
          m_folders.erase(it);
          continue;
        }
        std::string name = e->len > 0 ? std::string(e->name, ::strnlen(e->name, e->len)) : "";
        out.push_back(FolderChange{it->second, std::move(name), (e->mask & IN_ISDIR) != 0});
      }
    }
  }

 private:
  UniqueFd m_fd;
  std::unordered_map<int, std::string> m_folders;
};

}  // namespace

std::unique_ptr<FolderWatch> FolderWatch::open() {
  UniqueFd fd{::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)};
  if (!fd) {
    return nullptr;
  }
  return std::make_unique<InotifyWatch>(std::move(fd));
}

}  // namespace platform
