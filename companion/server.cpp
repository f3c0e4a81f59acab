#include "companion/server.h"

#include "base/log.h"
#include "companion/live_data.h"
#include "companion/op_table.h"
#include "ops/ops.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "platform/unique_fd.h"
#include "query/starter.h"
#include "sessions/names.h"
#include "state/state.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace companion {

using namespace ops;
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

volatile std::sig_atomic_t gStop = 0;
std::atomic<int> gClients{0};

void onSignal(int sig) {
  gStop = sig;
}

struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileId&) const = default;
};

std::optional<FileId> fileId(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return std::nullopt;
  }
  return FileId{st.st_dev, st.st_ino};
}

// "o companion (pid N)", "o processo N (<program>)", or "o app corvane" when no pid can be had.
std::string whoAnswers(const std::string& path) {
  sockaddr_un addr{};
  platform::UniqueFd sock{::socket(AF_UNIX, SOCK_STREAM, 0)};
  pid_t pid = 0;
  if (!sock || !platform::makeUnixAddress(path, &addr) ||
      ::connect(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 ||
      !platform::peerPid(sock.get(), &pid)) {
    return "o app corvane";
  }
  platform::ProcessIdentity id;
  if (platform::processIdentity(pid, &id) && id.executable == platform::executablePath()) {
    return "o companion (pid " + std::to_string(pid) + ")";
  }
  std::string program = id.executable.substr(id.executable.find_last_of('/') + 1);
  return "o processo " + std::to_string(pid) + (program.empty() ? "" : " (" + program + ")");
}

enum class Claim { Ours, Taken, Failed };

// Binds the socket, replacing a file nobody answers on; a live one belongs to someone else.
Claim claimSocket(const std::string& path, platform::UniqueFd* out, std::string* err) {
  sockaddr_un addr{};
  if (!platform::makeUnixAddress(path, &addr)) {
    *err = "caminho demasiado longo para um socket: " + path;
    return Claim::Failed;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    query::Probe probe = query::probeSocket(path);
    if (probe == query::Probe::Live) {
      return Claim::Taken;
    }
    if (platform::exists(path)) {
      ::unlink(path.c_str());
      base::logErr("ℹ️ socket sem dono substituído: " + path);
    }
    platform::UniqueFd sock{::socket(AF_UNIX, SOCK_STREAM, 0)};
    if (!sock) {
      *err = std::string("socket: ") + std::strerror(errno);
      return Claim::Failed;
    }
    ::fcntl(sock.get(), F_SETFD, FD_CLOEXEC);
    int rc;
    {
      platform::UmaskScope mask(077);
      rc = ::bind(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    }
    if (rc != 0) {
      int e = errno;
      *err = "bind " + path + ": " + std::strerror(e);
      if (e == EADDRINUSE) {
        continue;  // another companion got there first: look again
      }
      return Claim::Failed;
    }
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(sock.get(), 128) != 0) {
      *err = "listen " + path + ": " + std::strerror(errno);
      ::unlink(path.c_str());
      return Claim::Failed;
    }
    *out = std::move(sock);
    return Claim::Ours;
  }
  return query::probeSocket(path) == query::Probe::Live ? Claim::Taken : Claim::Failed;
}

enum class Read { Line, Closed, TooLarge, TimedOut };

Read readRequest(int fd, Clock::time_point deadline, std::string* line) {
  char buf[16384];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      return Read::TimedOut;
    }
    pollfd p{fd, POLLIN, 0};
    int n = ::poll(&p, 1, static_cast<int>(left.count()));
    if (n < 0 && errno != EINTR) {
      return Read::Closed;
    }
    if (n <= 0) {
      continue;
    }
    ssize_t got = ::read(fd, buf, sizeof(buf));
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
      continue;
    }
    if (got <= 0) {
      return line->empty() ? Read::Closed : Read::Line;
    }
    size_t before = line->size();
    line->append(buf, static_cast<size_t>(got));
    size_t lf = line->find('\n', before);
    if (lf != std::string::npos && lf <= MAX_REQUEST_BYTES) {
      line->resize(lf);
      return Read::Line;
    }
    if (line->size() > MAX_REQUEST_BYTES) {
      return Read::TooLarge;
    }
  }
}

void writeAnswer(int fd, const std::string& text, Clock::time_point deadline) {
  std::string_view rest = text;
  while (!rest.empty() && Clock::now() < deadline) {
    ssize_t n = platform::sendNoSigpipe(fd, rest.data(), rest.size());
    if (n > 0) {
      rest.remove_prefix(static_cast<size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
    } else {
      return;
    }
  }
}

struct Shared {
  Shared(OpTable table, const std::string& dir) : ops(std::move(table)), data(dir), stateDir(dir) {}
  OpTable ops;
  LiveData data;
  std::string stateDir;
};

void serveConnection(platform::UniqueFd conn, Shared& shared) {
  auto started = Clock::now();
  auto deadline = started + REQUEST_TIMEOUT;
  uid_t peer = 0;
  if (!platform::peerUid(conn.get(), &peer) || peer != ::geteuid()) {
    base::logErr("✋ ligação recusada: o cliente é de outro usuário");
    return;
  }
  std::string line;
  Json answer;
  std::string what = "pedido";
  bool refused = true;
  bool quiet = false;
  switch (readRequest(conn.get(), deadline, &line)) {
    case Read::Closed:
      return;
    case Read::TooLarge:
      answer = {{"error", "the request is larger than 1 MiB"}};
      break;
    case Read::TimedOut:
      answer = {{"error", "the request was not complete within 10 seconds"}};
      break;
    case Read::Line:
      if (auto request = parseRequest(line, &answer)) {
        // Quoted and cut: the op is the client's text, and a log line stays one line.
        what =
            Json(request->op.substr(0, 60)).dump(-1, ' ', false, Json::error_handler_t::replace) +
            " (pid " + std::to_string(request->callerPid) + ")";
        refused = false;
        // A status line asks every second or so per session: its answers would flood the log.
        quiet = request->op == "statusline";
        if (!quiet) {
          base::logErr("→ " + what);
        }
        // Filled in place over the snapshot; its `find` reads its own copies, so it outlives it.
        Context ctx;
        bool outside = asksTerminals(request->op);
        answer = shared.data.with(request->body, [&](const SessionData& data) {
          int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
          buildContext(request->callerPid, data, shared.stateDir, now, &ctx);
          if (outside) {
            ctx.sessions = nullptr;
            return Json();
          }
          return dispatch(shared.ops, *request, ctx);
        });
        // No lock is held while a terminal is waited on.
        if (outside) {
          answer = dispatch(shared.ops, *request, ctx);
        }
      }
      break;
  }
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  if (refused) {
    base::logErr("✗ " + what + ": " + answer["error"].dump() + " em " + std::to_string(ms) + " ms");
  } else if (!quiet) {
    base::logErr("← " + what + " em " + std::to_string(ms) + " ms");
  }
  // The answer gets its own time: a request that used up its 10 s still hears why.
  writeAnswer(conn.get(), answerText(answer) + "\n", Clock::now() + REQUEST_TIMEOUT);
}

// Refuses a client beyond the cap at once, without reading: the busy answer fits any buffer.
void refuseBusy(int fd) {
  static const char BUSY[] = "{\"error\":\"the companion is busy; try again\"}\n";
  (void)platform::sendNoSigpipe(fd, BUSY, sizeof(BUSY) - 1);
}

// Leases are advisory and short-lived: a store that will not open is moved aside and made anew.
// Should even that fail, the lease ops answer an error and every other op works on.
leases::LeaseStore* openLeases(const std::string& path) {
  auto* store = new leases::LeaseStore;  // lives until the process ends
  std::string err;
  if (store->open(path, &err)) {
    return store;
  }
  std::string aside = path + ".broken-" + std::to_string(platform::nowSeconds());
  base::logErr("✗ companion: " + err + " — o banco vai para " + aside + " e é recriado");
  for (const char* suffix : {"-wal", "-shm"}) {
    ::rename((path + suffix).c_str(), (aside + suffix).c_str());
  }
  if (::rename(path.c_str(), aside.c_str()) != 0 && errno != ENOENT) {
    base::logErr("✗ companion: rename " + path + ": " + std::strerror(errno));
  }
  if (!store->open(path, &err)) {
    base::logErr("✗ companion: sem reservas (" + err + "); as outras ferramentas seguem");
  }
  return store;
}

std::atomic<const char*> gSocketToRemove{nullptr};

void removeOwnSocket() {
  if (const char* path = gSocketToRemove.load()) {
    ::unlink(path);
  }
}

}  // namespace

int runApp(int* stoppedBy) {
  *stoppedBy = 0;
  ::signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    ::sigaction(sig, &sa, nullptr);
  }
  if (platform::homeDir().empty()) {
    base::logErr("✗ companion: sem diretório pessoal (HOME)");
    return 1;
  }
  std::string dir = state::dir();
  if (!platform::isDirectory(dir)) {
    base::logErr("✗ companion: mkdir " + dir + ": " + std::strerror(errno));
    return 1;
  }
  std::string path = state::companionSocket();
  if (path.empty()) {
    base::logErr("✗ companion: nenhuma pasta serve para o socket (caminho longo demais)");
    return 1;
  }
  platform::UniqueFd listener;
  std::string err;
  switch (claimSocket(path, &listener, &err)) {
    case Claim::Taken:
      base::logErr("✋ " + whoAnswers(path) + " já responde em " + path + " — este companion sai");
      return 0;
    case Claim::Failed:
      base::logErr("✗ companion: " + err);
      return 1;
    case Claim::Ours:
      break;
  }
  auto ours = fileId(path);
  // Kept for the exit handler, which must not touch a destroyed string.
  gSocketToRemove = (new std::string(path))->c_str();
  platform::onExit(removeOwnSocket);
  base::logErr("✓ companion a escutar em " + path + " (pid " + std::to_string(::getpid()) + ")");

  leases::LeaseStore* leaseStore = openLeases(state::file("companion.db"));
  auto* shared = new Shared(allOps(*leaseStore), dir);  // lives until the process ends
  auto lastRequest = Clock::now();
  auto lastCheck = Clock::now();
  while (!gStop) {
    pollfd p{listener.get(), POLLIN, 0};
    int n = ::poll(&p, 1, 500);
    if (n > 0) {
      platform::UniqueFd conn{::accept(listener.get(), nullptr, nullptr)};
      if (conn) {
        lastRequest = Clock::now();
        ::fcntl(conn.get(), F_SETFD, FD_CLOEXEC);
        ::fcntl(conn.get(), F_SETFL, ::fcntl(conn.get(), F_GETFL) | O_NONBLOCK);
        if (gClients.load() >= MAX_CLIENTS) {
          refuseBusy(conn.get());
        } else {
          ++gClients;
          std::thread([c = std::move(conn), shared]() mutable {
            serveConnection(std::move(c), *shared);
            --gClients;
          }).detach();
        }
      }
    }
    auto now = Clock::now();
    if (now - lastCheck >= 1s) {
      lastCheck = now;
      state::capLog(STDERR_FILENO);
      if (fileId(path) != ours) {
        gSocketToRemove = nullptr;
        base::logErr("ℹ️ o socket " + path + " foi removido ou substituído — o companion sai");
        return 0;
      }
      if (now - lastRequest >= IDLE_EXIT) {
        base::logErr("ℹ️ 30 minutos sem pedidos — o companion sai");
        return 0;
      }
    }
  }
  base::logErr("ℹ️ companion terminado por sinal");
  *stoppedBy = static_cast<int>(gStop);
  return 0;
}

}  // namespace companion
