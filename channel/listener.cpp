#include "channel/listener.h"

#include "base/log.h"
#include "channel/conn.h"
#include "channel/work_queue.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/posix.h"
#include "registry/registry.h"

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace channel {
namespace {

// Room for MAX_CONNECTIONS and the answers still draining, where the hard limit allows it.
constexpr uint64_t WANTED_DESCRIPTORS = 4096;
// Descriptors no connection may take: the app client, the record, the token file, a few more.
constexpr size_t RESERVED_DESCRIPTORS = 64;

// Connections open at once, so that descriptors stay free for everything else.
size_t connectionLimit() {
  rlimit limit{};
  auto open = platform::openDescriptorCount();
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || !open) {
    return 2 * MAX_CONNECTIONS;
  }
  auto total = static_cast<size_t>(limit.rlim_cur);
  size_t reserve = std::min(RESERVED_DESCRIPTORS, total / 4);
  size_t room = total > *open + reserve ? total - *open - reserve : 0;
  return std::clamp<size_t>(room, 4, 2 * MAX_CONNECTIONS);
}
constexpr auto ACCEPT_RETRY = std::chrono::milliseconds(50);

struct Listener {
  asio::ip::tcp::acceptor acceptor{workQueue()};
  asio::steady_timer retry{workQueue()};
};

// Lives for the rest of the process; workers read it. The listener is made only in channel mode,
// so other modes open no descriptor for it.
Listener* gListener = nullptr;
EndProcess gEnd = nullptr;
std::atomic<uint16_t> channelPort{0};

bool systemError(const asio::error_code& ec, std::initializer_list<int> values) {
  if (ec.category() != asio::error::get_system_category()) {
    return false;
  }
  for (int v : values) {
    if (ec.value() == v) {
      return true;
    }
  }
  return false;
}

void acceptNext();

void onAccept(const asio::error_code& ec, asio::ip::tcp::socket conn) {
  if (!ec) {
    startMoreWorkers();
    admit(std::move(conn));
    acceptNext();
    return;
  }
  // Out of descriptors: the pending connection stays queued until one is free again.
  if (systemError(ec, {EMFILE, ENFILE, ENOBUFS, ENOMEM})) {
    gListener->retry.expires_after(ACCEPT_RETRY);
    gListener->retry.async_wait([](const asio::error_code&) { acceptNext(); });
    return;
  }
  if (systemError(ec, {ECONNABORTED, EPROTO, EPERM, EINTR, EAGAIN})) {
    acceptNext();
    return;
  }
  base::logErr("listener falhou: " + ec.message());
  gEnd(1);
}

void acceptNext() {
  // Each connection gets a strand of its own, so its handlers never overlap.
  gListener->acceptor.async_accept(asio::make_strand(workQueue()),
                                   [](const asio::error_code& ec, asio::ip::tcp::socket conn) {
                                     onAccept(ec, std::move(conn));
                                   });
}

bool open(asio::ip::tcp::acceptor& acceptor, uint16_t port) {
  asio::ip::tcp::endpoint at(asio::ip::address_v4::loopback(), port);
  asio::error_code ec;
  acceptor.open(at.protocol(), ec);
  if (!ec) {
    // Lets a fixed port be taken again while answered connections sit in TIME_WAIT.
    acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  }
  if (!ec) {
    acceptor.bind(at, ec);
  }
  if (!ec) {
    acceptor.listen(asio::socket_base::max_listen_connections, ec);
  }
  return !ec;
}

}  // namespace

uint16_t boundPort() {
  return channelPort.load();
}

bool startListener(const ::registry::Identity& identity, EndProcess end) {
  gEnd = end;
  platform::raiseOpenFileLimit(WANTED_DESCRIPTORS);
  gListener = new Listener;
  setConnectionLimit(connectionLimit());
  if (!open(gListener->acceptor, identity.requestedPort)) {
    base::logErr("não consegui abrir listener (porta pedida: " +
                 std::to_string(identity.requestedPort) + ")");
    return false;
  }

  // Ready at once: the port is known before the first connection is accepted.
  asio::error_code ec;
  uint16_t bound = gListener->acceptor.local_endpoint(ec).port();
  channelPort = !ec && bound != 0 ? bound : identity.requestedPort;
  base::logErr("HTTP em 127.0.0.1:" + std::to_string(channelPort.load()) +
               " (projeto: " + identity.projectName + ")");
  setIdentity(identity, channelPort.load());
  ::registry::publishRegistry(identity, channelPort.load());
  ::registry::armRecordCleanup(identity.instanceID);

  startWorkers();
  acceptNext();
  return true;
}

}  // namespace channel
