#include "notes/notebook.h"

#include "base/text.h"

#include <algorithm>
#include <cstdint>

namespace notes {
namespace {

constexpr size_t MAX_FILE_NAME = 255;  // NAME_MAX on Linux and macOS

// 16 hex digits of the 64-bit FNV-1a hash of `bytes`: the same on every machine and run.
std::string hashHex(std::string_view bytes) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : bytes) {
    h = (h ^ c) * 1099511628211ull;
  }
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, h >>= 4) {
    out[static_cast<size_t>(i)] = HEX[h & 15];
  }
  return out;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

std::string normalised(std::string_view s) {
  std::string out;
  size_t start = 0;
  // Each " > " part trimmed and lower-cased, so "deploy>Rollback " matches "Deploy > Rollback".
  while (start <= s.size()) {
    size_t end = std::min(s.find('>', start), s.size());
    if (start > 0) {
      out += '>';
    }
    for (char c : trimmed(s.substr(start, end - start))) {
      out += base::asciiLower(c);
    }
    start = end + 1;
  }
  return out;
}

size_t indentOf(std::string_view line) {
  size_t n = 0;
  while (n < line.size() && line[n] == ' ') {
    ++n;
  }
  return n;
}

// The fence's character and length when `line` opens or closes one, else 0.
size_t fenceRun(std::string_view line, char* mark) {
  size_t i = indentOf(line);
  if (i > 3 || i >= line.size() || (line[i] != '`' && line[i] != '~')) {
    return 0;
  }
  *mark = line[i];
  size_t n = 0;
  while (i + n < line.size() && line[i + n] == *mark) {
    ++n;
  }
  return n >= 3 ? n : 0;
}

std::optional<Heading> headingOf(std::string_view line) {
  size_t i = indentOf(line);
  size_t hashes = 0;
  while (i + hashes < line.size() && line[i + hashes] == '#') {
    ++hashes;
  }
  if (i > 3 || hashes < 1 || hashes > 6 ||
      (i + hashes < line.size() && line[i + hashes] != ' ' && line[i + hashes] != '\t' &&
       line[i + hashes] != '\r')) {
    return std::nullopt;
  }
  std::string_view title = trimmed(line.substr(i + hashes));
  size_t closing = title.find_last_not_of('#');
  if (closing == std::string_view::npos) {
    title = {};
  } else if (closing + 1 < title.size() && (title[closing] == ' ' || title[closing] == '\t')) {
    title = trimmed(title.substr(0, closing + 1));
  }
  if (title.empty()) {
    return std::nullopt;
  }
  return Heading{std::string(title), static_cast<int>(hashes), "", 0, 0};
}

}  // namespace

std::string notebookPath(const std::string& stateDir, std::string_view folder) {
  std::string name;
  for (char c : folder) {
    name += c == '%' ? "%25" : c == '/' ? "%2F" : std::string(1, c);
  }
  if (name.size() + 3 > MAX_FILE_NAME) {
    // "%~" never appears in an encoded name: a shortened one is never another folder's whole one.
    std::string tag = "%~" + hashHex(folder);
    size_t keep = MAX_FILE_NAME - 3 - tag.size();
    // Cut neither a "%2F" nor a UTF-8 character in two.
    while (keep > 0 && ((static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80 ||
                        name[keep - 1] == '%' || (keep >= 2 && name[keep - 2] == '%'))) {
      --keep;
    }
    name = name.substr(0, keep) + tag;
  }
  return stateDir + "/notes/" + name + ".md";
}

std::vector<Heading> outlineOf(std::string_view text) {
  std::vector<Heading> out;
  std::vector<size_t> open;  // indexes into `out` of the headings enclosing the current line
  char fenceMark = 0;
  size_t fenceLength = 0;
  size_t offset = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = std::min(text.find('\n', start), text.size());
    std::string_view line = text.substr(start, end - start);
    char mark = 0;
    size_t run = fenceRun(line, &mark);
    if (fenceLength > 0) {
      if (run >= fenceLength && mark == fenceMark &&
          trimmed(line.substr(indentOf(line) + run)).empty()) {
        fenceLength = 0;
      }
    } else if (run > 0) {
      fenceMark = mark;
      fenceLength = run;
    } else if (std::optional<Heading> h = headingOf(line)) {
      while (!open.empty() && out[open.back()].level >= h->level) {
        out[open.back()].end = offset;
        open.pop_back();
      }
      h->path = open.empty() ? h->title : out[open.back()].path + " > " + h->title;
      h->start = offset;
      open.push_back(out.size());
      out.push_back(std::move(*h));
    }
    offset += base::charCount(line) + (end < text.size() ? 1 : 0);
    start = end + 1;
  }
  for (size_t i : open) {
    out[i].end = offset;
  }
  return out;
}

std::optional<std::string> headingAt(const std::vector<Heading>& outline, size_t offset) {
  std::optional<std::string> found;
  for (const Heading& h : outline) {
    if (h.start <= offset && offset < h.end) {
      found = h.path;  // later ones that still hold it are nested deeper
    }
  }
  return found;
}

std::vector<const Heading*> sectionsNamed(const std::vector<Heading>& outline,
                                          std::string_view query) {
  bool byPath = query.find('>') != std::string_view::npos;
  std::string want = normalised(query);
  std::vector<const Heading*> out;
  for (const Heading& h : outline) {
    if (normalised(byPath ? h.path : h.title) == want) {
      out.push_back(&h);
    }
  }
  return out;
}

}  // namespace notes
