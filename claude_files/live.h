#pragma once

// Claude Code's live session files, `sessions/<pid>.json`. A file counts only while its pid runs
// the very process that wrote it; files of any other name are not looked at.

#include "claude_files/summary.h"

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace claude_files {

inline constexpr size_t SESSION_FILE_MAX = 64 * 1024;

struct SessionFile {
  LiveSession session;
  std::string procStart;  // as decimal text; empty when the file has none
};

// One file's text. nullopt when it is not a JSON object with a sessionId, or names another pid.
std::optional<SessionFile> parseSessionFile(std::string_view text, pid_t pid);

// The pid answers signal 0 and, where the OS tells a process's start, it is the one recorded.
bool stillRunning(const SessionFile& file);

// The live sessions of `<claudeDir>/sessions`, oldest first; an unreadable folder gives none.
std::vector<LiveSession> readLiveSessions(const std::string& claudeDir);

}  // namespace claude_files
