#include "channel/conn.h"

#include "base/log.h"
#include "base/version.h"
#include "channel/deadlines.h"
#include "channel/push.h"
#include "platform/platform.h"

#include <asio/defer.hpp>
#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>
#include <unistd.h>

namespace channel {
namespace {

using Clock = std::chrono::steady_clock;

// After a refusal the client has this long, and this many bytes, to stop sending: enough to read
// its answer rather than a reset, too little to hold a slot.
constexpr auto REFUSAL_LINGER = std::chrono::seconds(1);
constexpr size_t REFUSAL_DISCARD = 4 * MAX_REQUEST;
// A request's first receive; later ones grow with what has arrived.
constexpr size_t FIRST_RECEIVE = 4096;
// Free memory goes back to the system once the bytes held fall under TRIM_LOW after passing
// TRIM_HIGH.
constexpr size_t TRIM_HIGH = 4 << 20;
constexpr size_t TRIM_LOW = 1 << 20;

std::atomic<size_t> gBuffered{0};
std::atomic<bool> gTrimDue{false};
std::atomic<size_t> gConnectionLimit{2 * MAX_CONNECTIONS};
std::atomic<int> gPushesWaiting{0};

bool claim(size_t n, bool bounded = true) {
  size_t now = gBuffered.fetch_add(n) + n;
  if (bounded && now > MAX_BUFFERED) {
    gBuffered.fetch_sub(n);
    return false;
  }
  if (now > TRIM_HIGH) {
    gTrimDue = true;
  }
  return true;
}

void unclaim(size_t n) {
  size_t now = gBuffered.fetch_sub(n) - n;
  if (now < TRIM_LOW && gTrimDue.exchange(false)) {
    platform::releaseFreeMemory();
  }
}

// Written once by setIdentity before the workers start; read-only afterwards. The context views
// the identity.
::registry::Identity& gIdentity = *new ::registry::Identity;
RouteContext& gContext = *new RouteContext;

}  // namespace

void setIdentity(const ::registry::Identity& identity, uint16_t port) {
  gIdentity = identity;
  gContext.port = port;
  if (gIdentity.channelToken) {
    gContext.token = *gIdentity.channelToken;
  }
  gContext.projectName = gIdentity.projectName;
  gContext.instanceID = gIdentity.instanceID;
  gContext.version = base::SERVER_VERSION;
  gContext.pid = ::getpid();
}

void setConnectionLimit(size_t limit) {
  gConnectionLimit = limit;
}

void admit(asio::ip::tcp::socket conn) {
  auto http = std::make_shared<HTTPConn>(std::move(conn));
  bool full = connections.size() >= gConnectionLimit;
  if (full || connections.reading() >= MAX_CONNECTIONS) {
    auto victim = connections.takeOldest(Stage::Reading);
    if (!victim && full) {
      victim = connections.takeOldest(Stage::Draining);
    }
    if (victim) {
      victim->evict();
    } else if (full) {
      http->refuse();
      return;
    }
  }
  http->start();
}

void settlePushes(std::chrono::milliseconds limit) {
  for (auto until = Clock::now() + limit; gPushesWaiting > 0 && Clock::now() < until;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

HTTPConn::HTTPConn(asio::ip::tcp::socket conn) : m_conn(std::move(conn)), m_started(Clock::now()) {}

HTTPConn::~HTTPConn() {
  unclaim(m_claimed);
}

template <typename Step>
void HTTPConn::onStrand(Step step) {
  asio::dispatch(m_conn.get_executor(), [weak = weak_from_this(), step] {
    if (auto self = weak.lock()) {
      step(*self);
    }
  });
}

void HTTPConn::start() {
  connections.add(shared_from_this());
  onStrand([](HTTPConn& c) {
    c.armTimer(HEADER_TIMEOUT);
    c.receive();
  });
}

void HTTPConn::refuse() {
  connections.add(shared_from_this());
  onStrand([](HTTPConn& c) {
    c.m_lingers = false;
    c.finish(refusal(c.m_request, Limit::TooManyConnections));
  });
}

void HTTPConn::evict() {
  asio::post(m_conn.get_executor(), [self = shared_from_this()] {
    asio::error_code ignored;
    self->m_conn.close(ignored);
  });
}

bool HTTPConn::overdue(Clock::time_point now) const {
  auto deadline = m_deadline.load(std::memory_order_relaxed);
  return deadline != 0 && deadline <= now.time_since_epoch().count();
}

void HTTPConn::expire() {
  onStrand([](HTTPConn& c) { c.onTimer(); });
}

void HTTPConn::armTimer(Clock::duration after) {
  m_deadline = (Clock::now() + after).time_since_epoch().count();
  sweepSoon();
}

void HTTPConn::receive() {
  size_t want = m_chunk.size();
  if (!m_finished) {
    // Room for this receive in the chunk and in the request, or the shared budget is spent.
    size_t held = m_request.buffer.size();
    want = std::clamp(held, FIRST_RECEIVE, MAX_RECEIVE);
    size_t need =
        std::max(want, m_chunk.size()) + std::max(held + want, m_request.buffer.capacity());
    if (need > m_claimed && !claim(need - m_claimed)) {
      finish(refusal(m_request, Limit::NoMemory));
      want = m_chunk.size();
    } else {
      m_claimed = std::max(need, m_claimed);
      m_chunk.resize(std::max(want, m_chunk.size()));
      m_request.buffer.reserve(held + want);
      // The allocator may round up; what it really holds is counted, past the bound or not.
      size_t real = m_chunk.capacity() + m_request.buffer.capacity();
      if (real > m_claimed) {
        claim(real - m_claimed, false);
        m_claimed = real;
      }
    }
  }
  if (want == 0) {
    stopReading();
    return;
  }
  m_conn.async_read_some(asio::buffer(m_chunk.data(), want),
                         [weak = weak_from_this()](const asio::error_code& ec, size_t n) {
                           if (auto self = weak.lock()) {
                             self->onReceive(ec, n);
                           }
                         });
}

void HTTPConn::onReceive(const asio::error_code& ec, size_t n) {
  if (m_finished) {
    // Read and discard, so the client reads its answer instead of a reset.
    m_discarded += n;
    if (ec || m_discarded > m_discardLimit) {
      stopReading();
    } else {
      receive();
    }
    return;
  }
  if (ec && ec != asio::error::eof) {
    close();  // reset mid-request: nothing of it is pushed, and nobody reads an answer
    return;
  }
  m_request.buffer.append(m_chunk.data(), n);
  bool hadHeaders = m_request.bodyStart.has_value();
  parseHeadersIfNeeded(m_request);
  bool headersNow = !hadHeaders && m_request.bodyStart;
  m_readDone = static_cast<bool>(ec);
  Progress next = progress(m_request, m_readDone);
  std::optional<Decision> decision;
  if (next == Progress::TooLarge) {
    decision = refusal(m_request, Limit::TooLarge);
  } else if (headersNow) {
    decision = headerVerdict(m_request, gContext);
  }
  if (decision) {
  } else if (next == Progress::ShortBody) {
    decision = refusal(m_request, Limit::ShortBody);
  } else if (next == Progress::Complete) {
    decision = route(m_request, gContext);
  }
  if (decision) {
    finish(*decision);
  } else if (headersNow) {
    armTimer(m_started + REQUEST_TIMEOUT - Clock::now());
  }
  if (!m_readDone) {
    receive();
  }
}

void HTTPConn::onTimer() {
  // The deadline may have moved, or gone, since the sweep saw it.
  if (m_pushWaiting || !overdue(Clock::now())) {
    return;
  }
  m_deadline = 0;
  if (m_finished) {
    close();
  } else {
    finish(refusal(m_request, Limit::Timeout));
  }
}

void HTTPConn::releaseBuffer() {
  size_t kept = m_chunk.capacity();
  std::string().swap(m_request.buffer);
  if (m_claimed > kept) {
    unclaim(m_claimed - kept);
    m_claimed = kept;
  }
}

void HTTPConn::finish(const Decision& decision) {
  m_finished = true;
  releaseBuffer();
  connections.setStage(this, Stage::Answering);
  if (!decision.push) {
    if (decision.log) {
      base::logErr(*decision.log);
    }
    respond(decision);
    return;
  }
  // The answer waits for the line to be on standard output, however long the request took.
  m_deadline = 0;
  m_pushWaiting = true;
  ++gPushesWaiting;
  m_pushLog = decision.log.value_or("");
  // An answer that comes before pushToChannel returns is on this strand already: acted on
  // here. One from another thread comes back through the strand; from a worker that wrote this
  // line with its own, it waits for that worker (defer), which wakes no thread.
  m_pushing = true;
  pushToChannel(*decision.push, {{"kind", "wakeword"}},
                [self = shared_from_this(), on = std::this_thread::get_id()](outbox::Delivery how) {
                  if (std::this_thread::get_id() == on && self->m_pushing) {
                    self->m_deliveredNow = how;
                    return;
                  }
                  asio::defer(self->m_conn.get_executor(), [self, how] { self->onDelivered(how); });
                });
  m_pushing = false;
  if (auto how = std::exchange(m_deliveredNow, std::nullopt)) {
    onDelivered(*how);
  }
}

void HTTPConn::onDelivered(outbox::Delivery how) {
  Decision decision;
  switch (how) {
    case outbox::Delivery::Written:
      if (!m_pushLog.empty()) {
        base::logErr(m_pushLog);
      }
      decision.status = "200 OK";
      decision.body = R"({"ok":true})";
      respond(decision);
      return;
    case outbox::Delivery::NotReady:
      decision = refusal(m_request, Limit::NotReady);
      break;
    case outbox::Delivery::Busy:
      decision = refusal(m_request, Limit::SessionBusy);
      break;
    case outbox::Delivery::Gone:
      decision = refusal(m_request, Limit::SessionEnded);
      break;
  }
  base::logErr(decision.log.value_or(""));
  respond(decision);
}

void HTTPConn::respond(const Decision& decision) {
  bool refused = !decision.status.starts_with("200 ");
  if (refused) {
    m_discardLimit = REFUSAL_DISCARD;
  }
  armTimer(refused ? Clock::duration(REFUSAL_LINGER) : Clock::duration(REQUEST_TIMEOUT));
  m_answer = responseText(decision.status, decision.body, decision.retryAfter);
  send();
}

void HTTPConn::send() {
  // A short answer on a fresh connection almost always fits the socket at once: written here,
  // with no completion for another thread to pick up.
  ssize_t n = -1;
  do {
    n = platform::writeWithoutWaiting(m_conn.native_handle(), m_answer.data(), m_answer.size());
  } while (n < 0 && errno == EINTR);
  if (n >= 0 && static_cast<size_t>(n) == m_answer.size()) {
    onSent({});
    return;
  }
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTSUP && errno != EOPNOTSUPP) {
    onSent(asio::error_code(errno, asio::error::get_system_category()));
    return;
  }
  size_t sent = n > 0 ? static_cast<size_t>(n) : 0;
  asio::async_write(m_conn, asio::buffer(m_answer.data() + sent, m_answer.size() - sent),
                    [weak = weak_from_this()](const asio::error_code& ec, size_t) {
                      if (auto self = weak.lock()) {
                        self->onSent(ec);
                      }
                    });
}

void HTTPConn::onSent(const asio::error_code& ec) {
  if (std::exchange(m_pushWaiting, false)) {
    --gPushesWaiting;
  }
  if (ec) {
    close();
    return;
  }
  asio::error_code ignored;
  m_conn.shutdown(asio::socket_base::shutdown_send, ignored);
  m_sent = true;
  connections.setStage(this, Stage::Draining);
  if (m_readDone || !m_lingers) {
    close();
  }
}

void HTTPConn::stopReading() {
  m_readDone = true;
  if (m_sent) {
    close();
  }
}

void HTTPConn::close() {
  asio::error_code ignored;
  m_conn.close(ignored);
  m_deadline = 0;
  connections.remove(this);
}

}  // namespace channel
