#pragma once

// Splits a byte stream into input lines: LF or CRLF ends a line, the last line may end at end of
// input, lines have no length limit, and ill-formed UTF-8 becomes U+FFFD.

#include <string>
#include <string_view>
#include <vector>

namespace server {

class LineReader {
 public:
  // Appends bytes and returns the lines they complete, empty ones included.
  std::vector<std::string> feed(std::string_view bytes);
  // At end of input: the unterminated last line, if any bytes are pending.
  std::vector<std::string> finish();

 private:
  std::string m_pending;
};

}  // namespace server
