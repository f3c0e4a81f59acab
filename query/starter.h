#pragma once

// Finding the companion on its socket, and starting it when nobody answers there.

#include <chrono>
#include <string>

namespace query {

enum class Probe {
  Live,    // something accepts connections (or its backlog is full)
  Absent,  // no file, or a file nobody listens on
  Other,   // another failure (permissions, a path too long): starting would not help
};

// One non-blocking connect; never waits.
Probe probeSocket(const std::string& path);

// Starts `channel-server app` detached (its own session, output appended to
// ~/.corvane/companion.log) when nobody listens at state::companionSocket(), then waits at most
// `wait` for the socket to answer. True when it answers. Two callers racing leave one companion:
// the later one stands aside.
bool startCompanion(std::chrono::milliseconds wait = std::chrono::seconds(2));

}  // namespace query
