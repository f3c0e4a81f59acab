#include "outbox/lines.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/uio.h>
#include <vector>

namespace outbox {

size_t writeLines(int fd, std::span<const std::string_view> lines, size_t into,
                  const std::function<void(size_t)>& whole) {
  std::vector<iovec> iov;
  iov.reserve(std::min(lines.size(), MAX_BATCH_LINES));
  size_t done = 0;  // lines entirely written; `into` is how much of lines[done] is
  while (done < lines.size()) {
    iov.clear();
    size_t asked = 0;
    for (size_t i = done; i < lines.size() && iov.size() < MAX_BATCH_LINES; ++i) {
      size_t skip = i == done ? into : 0;
      iov.push_back({const_cast<char*>(lines[i].data()) + skip, lines[i].size() - skip});
      asked += iov.back().iov_len;
    }
    ssize_t n = ::writev(fd, iov.data(), static_cast<int>(iov.size()));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pfd{fd, POLLOUT, 0};
      ::poll(&pfd, 1, 1000);
      continue;
    }
    if (n < 0 || (n == 0 && asked > 0)) {
      return done;
    }
    auto left = static_cast<size_t>(n);
    while (done < lines.size() && left >= lines[done].size() - into) {
      left -= lines[done].size() - into;
      into = 0;
      whole(done++);
    }
    into += left;
  }
  return done;
}

}  // namespace outbox
