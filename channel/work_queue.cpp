#include "channel/work_queue.h"

#include "base/log.h"

#include <asio/executor_work_guard.hpp>

#include <algorithm>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

namespace channel {

asio::io_context& workQueue() {
  static asio::io_context* queue = new asio::io_context;
  return *queue;
}

namespace {

void runWorker() {
  for (;;) {
    // A handler that throws loses its own connection, not the worker.
    try {
      workQueue().run();
    } catch (const std::exception& e) {
      base::logErr(std::string("✗ exceção num trabalho do canal: ") + e.what());
    } catch (...) {
      base::logErr("✗ exceção num trabalho do canal: desconhecida");
    }
  }
}

}  // namespace

void startWorkers() {
  static std::once_flag started;
  std::call_once(started, [] {
    // Keeps run() from returning while no handler is pending.
    static auto* busy =
        new asio::executor_work_guard<asio::io_context::executor_type>(workQueue().get_executor());
    (void)busy;
    std::thread(runWorker).detach();
  });
}

void startMoreWorkers() {
  static std::once_flag started;
  std::call_once(started, [] {
    unsigned count = std::clamp(std::thread::hardware_concurrency(), 2u, 4u);
    for (unsigned i = 1; i < count; ++i) {
      std::thread(runWorker).detach();
    }
  });
}

}  // namespace channel
