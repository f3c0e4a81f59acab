#include "channel/conn.h"

#include "app/process.h"
#include "channel/push.h"
#include "base/log.h"

#include <asio/dispatch.hpp>
#include <asio/write.hpp>

#include <unistd.h>

namespace channel {
namespace {

RouteContext currentContext() {
  RouteContext ctx;
  ctx.port = app::channelPort.load();
  if (app::channelToken) {
    ctx.token = *app::channelToken;
  }
  ctx.projectName = app::projectName;
  ctx.instanceID = app::instanceID;
  ctx.version = app::SERVER_VERSION;
  ctx.pid = ::getpid();
  return ctx;
}

}  // namespace

ConnRegistry& registry = *new ConnRegistry;

void ConnRegistry::add(const std::shared_ptr<HTTPConn>& conn) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_conns.emplace(conn.get(), conn);
}

void ConnRegistry::remove(const HTTPConn* conn) {
  std::shared_ptr<HTTPConn> gone;  // released after the lock, never under it
  std::lock_guard<std::mutex> hold(m_lock);
  auto it = m_conns.find(conn);
  if (it != m_conns.end()) {
    gone = std::move(it->second);
    m_conns.erase(it);
  }
}

size_t ConnRegistry::size() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_conns.size();
}

HTTPConn::HTTPConn(asio::ip::tcp::socket conn)
    : m_conn(std::move(conn)), m_timer(m_conn.get_executor()) {}

template <typename Step>
void HTTPConn::onStrand(Step step) {
  asio::dispatch(m_conn.get_executor(), [weak = weak_from_this(), step] {
    if (auto self = weak.lock()) {
      step(*self);
    }
  });
}

void HTTPConn::start() {
  registry.add(shared_from_this());
  onStrand([](HTTPConn& c) {
    c.armTimer();
    c.receive();
  });
}

void HTTPConn::refuse() {
  registry.add(shared_from_this());
  onStrand([](HTTPConn& c) {
    c.finish(refusal(c.m_request, Limit::TooManyConnections));
    c.receive();
  });
}

void HTTPConn::armTimer() {
  m_timer.expires_after(REQUEST_TIMEOUT);
  m_timer.async_wait([weak = weak_from_this()](const asio::error_code& ec) {
    if (auto self = weak.lock()) {
      self->onTimer(ec);
    }
  });
}

void HTTPConn::receive() {
  m_conn.async_read_some(asio::buffer(m_chunk),
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
    if (ec || m_discarded > MAX_REQUEST) {
      stopReading();
    } else {
      receive();
    }
    return;
  }
  m_request.buffer.append(m_chunk.data(), n);
  parseHeadersIfNeeded(m_request);
  Progress next = progress(m_request, static_cast<bool>(ec));
  if (next == Progress::ReadMore) {
    receive();
    return;
  }
  m_readDone = static_cast<bool>(ec);
  if (next == Progress::TooLarge) {
    finish(refusal(m_request, Limit::TooLarge));
  } else {
    complete();
  }
  if (!m_readDone) {
    receive();
  }
}

void HTTPConn::onTimer(const asio::error_code& ec) {
  // A wait that completed just before the timer was re-armed still arrives, without an error.
  if (ec || m_timer.expiry() > std::chrono::steady_clock::now()) {
    return;
  }
  if (m_finished) {
    close();
  } else {
    finish(refusal(m_request, Limit::Timeout));
  }
}

void HTTPConn::complete() {
  if (!m_finished) {
    finish(route(m_request, currentContext()));
  }
}

void HTTPConn::finish(const Decision& decision) {
  m_finished = true;
  armTimer();
  if (decision.push) {
    pushToChannel(*decision.push, {{"kind", "wakeword"}});
  }
  if (decision.log) {
    base::logErr(*decision.log);
  }
  respond(decision.status, decision.body);
}

void HTTPConn::respond(std::string_view status, std::string_view body) {
  m_answer = responseText(status, body);
  asio::async_write(m_conn, asio::buffer(m_answer),
                    [weak = weak_from_this()](const asio::error_code& ec, size_t) {
                      if (auto self = weak.lock()) {
                        self->onSent(ec);
                      }
                    });
}

void HTTPConn::onSent(const asio::error_code& ec) {
  if (ec) {
    close();
    return;
  }
  asio::error_code ignored;
  m_conn.shutdown(asio::socket_base::shutdown_send, ignored);
  m_sent = true;
  if (m_readDone) {
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
  registry.remove(this);
}

}  // namespace channel
