#pragma once

// The session's identity, read once from the environment on the main thread before a mode runs.

#include "registry/identity.h"

#include <optional>
#include <string>

namespace app {

// `given` when it is a valid instance name, else a fresh UUID: the identifier names files, so
// anything that could leave the registry folder is replaced.
std::string chooseInstance(const std::optional<std::string>& given);

// CV_INSTANCE (through chooseInstance), CV_LAUNCH_CWD (else the current folder) and its last
// component, CV_CHANNEL_PORT, CV_CHANNEL_TOKEN, CV_INJECT_SOCK and CV_LAUNCHER_PID.
registry::Identity readIdentity();

}  // namespace app
