#pragma once

namespace launcher {

// Install mode: puts the corvane-run link on the user's PATH.
[[noreturn]] void runInstallCLI();

}  // namespace launcher
