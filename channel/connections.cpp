#include "channel/connections.h"

namespace channel {

ConnRegistry& connections = *new ConnRegistry;

void ConnRegistry::unorder(const Entry& entry) {
  if (entry.stage != Stage::Answering) {
    m_order[static_cast<int>(entry.stage)].erase(entry.seq);
  }
}

void ConnRegistry::add(const std::shared_ptr<HTTPConn>& conn) {
  std::lock_guard<std::mutex> hold(m_lock);
  uint64_t seq = m_next++;
  m_order[static_cast<int>(Stage::Reading)].emplace(seq, conn.get());
  m_conns.emplace(conn.get(), Entry{conn, seq, Stage::Reading});
}

void ConnRegistry::remove(const HTTPConn* conn) {
  std::shared_ptr<HTTPConn> gone;  // released after the lock, never under it
  std::lock_guard<std::mutex> hold(m_lock);
  auto it = m_conns.find(conn);
  if (it != m_conns.end()) {
    unorder(it->second);
    gone = std::move(it->second.conn);
    m_conns.erase(it);
  }
}

void ConnRegistry::setStage(const HTTPConn* conn, Stage stage) {
  std::lock_guard<std::mutex> hold(m_lock);
  auto it = m_conns.find(conn);
  if (it == m_conns.end()) {
    return;
  }
  unorder(it->second);
  it->second.stage = stage;
  if (stage != Stage::Answering) {
    m_order[static_cast<int>(stage)].emplace(it->second.seq, conn);
  }
}

size_t ConnRegistry::size() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_conns.size();
}

size_t ConnRegistry::reading() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_order[static_cast<int>(Stage::Reading)].size();
}

void ConnRegistry::forEach(const std::function<void(const std::shared_ptr<HTTPConn>&)>& fn) const {
  std::lock_guard<std::mutex> hold(m_lock);
  for (const auto& [key, entry] : m_conns) {
    fn(entry.conn);
  }
}

std::shared_ptr<HTTPConn> ConnRegistry::takeOldest(Stage stage) {
  std::lock_guard<std::mutex> hold(m_lock);
  auto& order = m_order[static_cast<int>(stage)];
  if (order.empty()) {
    return nullptr;
  }
  auto it = m_conns.find(order.begin()->second);
  order.erase(order.begin());
  std::shared_ptr<HTTPConn> taken = std::move(it->second.conn);
  m_conns.erase(it);
  return taken;
}

}  // namespace channel
