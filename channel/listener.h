#pragma once

#include "registry/identity.h"

#include <cstdint>

namespace channel {

// Ends the process with a status; it does not return.
using EndProcess = void (*)(int status);

// Opens the loopback listener on the requested port (or any free port) on the shared worker pool.
// When ready: sets boundPort(), logs the "HTTP em" line, publishes the record and arms its
// cleanup. False after its line when the listener cannot be created; a listener that fails later
// calls `end` with status 1 from its worker thread.
bool startListener(const ::registry::Identity& identity, EndProcess end);

// The port the listener serves on; 0 before startListener.
uint16_t boundPort();

}  // namespace channel
