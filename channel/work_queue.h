#pragma once

// The shared concurrent work queue of the channel: one io_context run by a few detached worker
// threads. Neither is ever destroyed, so a worker still running while the process exits never
// touches a destroyed object.

#include <asio/io_context.hpp>

namespace channel {

// Created on first use.
asio::io_context& workQueue();

// Starts the worker threads once; later calls do nothing.
void startWorkers();

}  // namespace channel
