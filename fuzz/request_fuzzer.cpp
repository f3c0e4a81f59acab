#include "channel/request.h"
#include "channel/routes.h"

#include <cstddef>
#include <cstdint>

// Feeds a request in chunks whose size the first byte picks, as receives would deliver it, and
// checks that the chunked parse agrees with parsing the whole buffer at once.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  size_t step = data[0] % 32 + 1;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  channel::Request chunked, whole;
  for (size_t at = 0; at < bytes.size(); at += step) {
    chunked.buffer += bytes.substr(at, step);
    channel::parseHeadersIfNeeded(chunked);
  }
  whole.buffer = bytes;
  channel::parseHeadersIfNeeded(whole);
  if (chunked.bodyStart != whole.bodyStart || chunked.requestLine != whole.requestLine ||
      chunked.token != whole.token || chunked.contentLength != whole.contentLength) {
    __builtin_trap();
  }
  channel::progress(chunked, true);
  channel::Decision d = channel::route(chunked, {8080, "tok", "proj", "ID", "0.2.0", 1});
  channel::responseText(d.status, d.body);
  return 0;
}
