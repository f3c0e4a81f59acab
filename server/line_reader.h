#pragma once

// Splits a byte stream into input lines: LF or CRLF ends a line, the last line may end at end of
// input, and ill-formed UTF-8 becomes U+FFFD. A line longer than MAX_LINE is skipped as it
// arrives, never held whole.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace server {

inline constexpr size_t MAX_LINE = 16 << 20;

class LineReader {
 public:
  // Appends bytes and returns the lines they complete, empty ones included.
  std::vector<std::string> feed(std::string_view bytes);
  // At end of input: the unterminated last line, if any bytes are pending.
  std::vector<std::string> finish();
  // Within a line that is being skipped.
  bool skipping() const { return m_skipping; }

 private:
  void release();

  std::string m_pending;
  bool m_skipping = false;
};

}  // namespace server
