#pragma once

// The channel's live connections, oldest first in each stage, so a newcomer can make room.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace channel {

class HTTPConn;

// Where a connection is: reading and draining ones may be closed to make room.
enum class Stage { Reading, Draining, Answering };

// The live connections. An entry is the only strong reference to its HTTPConn: callbacks hold
// it weakly, so removing the entry ends the connection once no callback of it is running.
class ConnRegistry {
 public:
  void add(const std::shared_ptr<HTTPConn>& conn);
  void remove(const HTTPConn* conn);  // an absent entry is not an error
  void setStage(const HTTPConn* conn, Stage stage);
  size_t size() const;
  size_t reading() const;
  // Calls `fn` for each, the lock held: `fn` must be quick and touch no registry.
  void forEach(const std::function<void(const std::shared_ptr<HTTPConn>&)>& fn) const;
  // Takes out the connection in `stage` that came first; null when there is none.
  std::shared_ptr<HTTPConn> takeOldest(Stage stage);

 private:
  struct Entry {
    std::shared_ptr<HTTPConn> conn;
    uint64_t seq;
    Stage stage;
  };
  void unorder(const Entry& entry);

  mutable std::mutex m_lock;
  std::unordered_map<const HTTPConn*, Entry> m_conns;
  std::map<uint64_t, const HTTPConn*> m_order[2];  // Reading, Draining
  uint64_t m_next = 0;
};

// Never destroyed: worker threads may still use it while the process exits.
extern ConnRegistry& connections;

}  // namespace channel
