#pragma once

// The shared concurrent work queue of the channel: one io_context run by a few detached worker
// threads. Neither is ever destroyed, so a worker still running while the process exits never
// touches a destroyed object.

#include <asio/io_context.hpp>

namespace channel {

// Created on first use.
asio::io_context& workQueue();

// Starts one worker thread once; later calls do nothing.
void startWorkers();
// Starts the other workers once, when there is work for them: not at start-up, where each thread
// made is time before the first answer.
void startMoreWorkers();

}  // namespace channel
