#pragma once

// How the process ends. Only app/ ends it: the modes return a status, or are handed endWith, and
// a termination signal is turned into an orderly end here.

namespace app {

// Runs the exit handlers (the registry record, the token file while it holds our token, the
// companion's socket) and ends with `status`. Any thread; a second caller waits for the first.
[[noreturn]] void endWith(int status);

// From now on SIGTERM, SIGINT and SIGHUP run the same exit handlers on a thread of their own and
// then end the process by the same signal, with its default action, so the parent sees how it
// ended. Called once, on the main thread.
void endOnTerminationSignals();

// A status from a mode, or the signal that stopped it: the signal is passed on after clean-up.
[[noreturn]] void endAfter(int status, int signal);

}  // namespace app
