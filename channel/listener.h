#pragma once

namespace channel {

// Opens the loopback listener on requestedPort (or any free port) on the shared worker pool and
// registers the exit handler that removes the registry record. When ready: sets channelPort,
// logs the "HTTP em" line, publishes the record and arms the signal cleanup. A listener that
// cannot be created or that fails ends the process with status 1 after its line.
void startListener();

}  // namespace channel
