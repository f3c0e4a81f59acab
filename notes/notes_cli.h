#pragma once

// `channel-server notes [DIR]`: opens DIR's notebook (the current folder's by default) in
// $VISUAL, else $EDITOR, else vi, creating it empty (0600) first.

#include <string>
#include <vector>

namespace notes {

// `args` follow the word "notes". Returns the editor's exit status, or 1 when it cannot start.
int runNotesCommand(const std::vector<std::string>& args);

}  // namespace notes
