#pragma once

// Work groups on disk: ~/.corvane/groups/NAME/ holds `members` (one absolute folder a line), the
// documents contract.md, decisions.md, questions.md and board.md, and `.lock` for writers;
// ~/.corvane/groups/.lock is held while members change.

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace groups {

inline constexpr std::array<const char*, 4> DOCS = {"contract", "decisions", "questions", "board"};

struct Group {
  std::string name;
  std::vector<std::string> folders;  // absolute, no trailing slash
};

// Letters, digits, '-' and '_', 1 to 64 of them, the first a letter or digit.
bool validGroupName(std::string_view name);
bool validDoc(std::string_view doc);

std::string groupDir(const std::string& stateDir, const std::string& name);
std::string docPath(const std::string& stateDir, const std::string& group, std::string_view doc);
std::string lockPath(const std::string& stateDir, const std::string& group);

// `path` is `folder` or lies below it.
bool isUnder(std::string_view path, std::string_view folder);

// The group whose folder is the nearest ancestor of `cwd` (or `cwd` itself); null when none.
const Group* groupFor(const std::vector<Group>& all, std::string_view cwd);

// Every group with a valid name and a readable members file, sorted by name.
std::vector<Group> loadGroups(const std::string& stateDir);

enum class Change { Create, Add, Remove };

// Applies the change to the members file under one lock over all groups (groups/.lock). Folders
// must be absolute.
// Create makes the folder (0700) and the empty documents; a folder may belong to one group only.
bool changeMembers(const std::string& stateDir, const std::string& name, Change change,
                   const std::vector<std::string>& folders, std::string* err);

// Ends the group: its members file goes, so no session belongs to it any more. The documents stay
// (a later create takes them up again) unless `documents`. False with *err for no such group.
bool deleteGroup(const std::string& stateDir, const std::string& name, bool documents,
                 std::string* err);

}  // namespace groups
