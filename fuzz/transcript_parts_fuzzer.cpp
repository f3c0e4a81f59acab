// Transcript bytes read at once, and read in two parts joined: a join that is accepted must give
// what one reader gives; one refused is read again, as the index does.

#include "claude_files/transcript.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) {
    return 0;
  }
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  // The cut is after the n-th line feed, n from the first byte, as a reader cuts at line starts.
  size_t cut = 0;
  for (unsigned n = data[0]; n > 0; --n) {
    size_t nl = bytes.find('\n', cut);
    if (nl == std::string_view::npos) {
      break;
    }
    cut = nl + 1;
  }
  claude_files::LineParser parser;
  claude_files::TranscriptReader whole(true, "main");
  whole.feed(bytes, 0, parser);
  whole.finish(parser);
  claude_files::TranscriptReader first(true, "main");
  auto later = claude_files::TranscriptReader::laterPart(true, "main", true);
  first.feed(bytes.substr(0, cut), 0, parser);
  later->feed(bytes.substr(cut), 0, parser);
  if (!first.join(*later)) {
    first.feed(bytes.substr(cut), 0, parser);
  }
  first.finish(parser);
  if (!(first.aggregate().summary == whole.aggregate().summary)) {
    std::abort();
  }
  return 0;
}
