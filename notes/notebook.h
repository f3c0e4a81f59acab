#pragma once

// The user's notebooks: one Markdown file per folder, and the heading outline that lets a reader
// jump into a long one. Pure apart from nothing: no file is touched here.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace notes {

// ~/.corvane/notes/<folder with "%" as "%25" and "/" as "%2F">.md: unique and reversible. A name
// past NAME_MAX (255 bytes) keeps its first part and ends in "%~" and 16 hex digits of a hash of
// the whole folder, so that it fits; reading and writing use this one rule.
std::string notebookPath(const std::string& stateDir, std::string_view folder);

struct Heading {
  std::string title;
  int level = 1;     // 1 for "#" to 6 for "######"
  std::string path;  // ancestors' titles and its own, joined by " > "
  size_t start = 0;  // character offset of the heading line
  size_t end = 0;    // where its section, subsections included, ends
};

// ATX headings outside fenced code blocks (``` or ~~~), in order.
std::vector<Heading> outlineOf(std::string_view text);

// Path of the innermost heading whose section holds character `offset`; none before the first.
std::optional<std::string> headingAt(const std::vector<Heading>& outline, size_t offset);

// Sections whose title (or, with " > " in `query`, whose path) equals `query`, ignoring ASCII
// case and the white space around each part.
std::vector<const Heading*> sectionsNamed(const std::vector<Heading>& outline,
                                          std::string_view query);

}  // namespace notes
