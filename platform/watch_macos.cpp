#include "platform/unique_fd.h"
#include "platform/watch.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <sys/event.h>
#include <unistd.h>

namespace platform {
namespace {

// Beyond this many folders the descriptors would crowd out the process's others.
constexpr size_t FOLDERS_MAX = 256;

class KqueueWatch final : public FolderWatch {
 public:
  explicit KqueueWatch(UniqueFd kq) : m_kq(std::move(kq)) {}

  bool seesAppends() const override { return false; }

  bool add(const std::string& folder) override {
    for (const auto& [fd, known] : m_folders) {
      if (known.path == folder) {
        return true;
      }
    }
    if (m_folders.size() >= FOLDERS_MAX) {
      return false;
    }
    UniqueFd fd{::open(folder.c_str(), O_EVTONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW)};
    if (!fd) {
      return errno == ENOENT;  // gone meanwhile: nothing to watch, no limit reached
    }
    struct kevent change {};
    EV_SET(&change, fd.get(), EVFILT_VNODE, EV_ADD | EV_CLEAR,
           NOTE_WRITE | NOTE_DELETE | NOTE_RENAME | NOTE_EXTEND, 0, nullptr);
    if (::kevent(m_kq.get(), &change, 1, nullptr, 0, nullptr) != 0) {
      return false;
    }
    int key = fd.get();
    m_folders.emplace(key, Folder{folder, std::move(fd)});
    return true;
  }

  std::vector<FolderChange> take(bool* lost) override {
    (void)lost;
    std::vector<FolderChange> out;
    struct kevent events[64];
    const timespec none{0, 0};
    for (;;) {
      int n = ::kevent(m_kq.get(), nullptr, 0, events, 64, &none);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        return out;
      }
      for (int i = 0; i < n; ++i) {
        auto it = m_folders.find(static_cast<int>(events[i].ident));
        if (it == m_folders.end()) {
          continue;
        }
        out.push_back(FolderChange{it->second.path, "", true});
        if ((events[i].fflags & (NOTE_DELETE | NOTE_RENAME)) != 0) {
          m_folders.erase(it);  // closes it, which also drops its event
        }
      }
    }
  }

 private:
  struct Folder {
    std::string path;
    UniqueFd fd;
  };
  UniqueFd m_kq;
  std::map<int, Folder> m_folders;
};

}  // namespace

std::unique_ptr<FolderWatch> FolderWatch::open() {
  UniqueFd kq{::kqueue()};
  if (!kq) {
    return nullptr;
  }
  ::fcntl(kq.get(), F_SETFD, FD_CLOEXEC);
  return std::make_unique<KqueueWatch>(std::move(kq));
}

}  // namespace platform
