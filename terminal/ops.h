#pragma once

// The companion's terminal ops: a session reads and types into the terminals open in its own
// folder, and never sees any other.

#include "ops/context.h"

namespace terminal {

// {"terminals":[{"name","id","running","last_lines"}]} without `terminal`; with it
// {"terminal","running","lines"} (or "lines":null and a "reason" when it is not running).
ops::Json terminalRead(const ops::Json& request, const ops::Context& ctx);

// {"ok":true,"terminal","typed_chars"}: `text` at the prompt, never submitted.
ops::Json terminalWrite(const ops::Json& request, const ops::Context& ctx);

}  // namespace terminal
