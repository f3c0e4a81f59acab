#include "channel/log_text.h"
#include "channel/request.h"
#include "channel/routes.h"

#include <cstddef>
#include <cstdint>

namespace {

// No byte of request data may end a log line or reach the terminal as a control character.
void checkLogLine(const std::optional<std::string>& line) {
  if (!line) {
    return;
  }
  for (char c : *line) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      __builtin_trap();
    }
  }
}

}  // namespace

// Feeds a request in chunks whose size the first byte picks, as receives would deliver it, and
// checks that the chunked parse agrees with parsing the whole buffer at once, that what the
// headers decide agrees with the whole route, and that log lines stay one line.
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
      chunked.token != whole.token || chunked.contentLength != whole.contentLength ||
      chunked.transferEncoding != whole.transferEncoding) {
    __builtin_trap();
  }
  channel::progress(chunked, true);
  channel::progress(chunked, false);
  const channel::RouteContext ctx{8080, "tok", "proj", "ID", "0.2.0", 1};
  auto early = channel::headerVerdict(chunked, ctx);
  channel::Decision d = channel::route(chunked, ctx);
  // A request the headers decide gets that same answer once whole, and never a push.
  if (early && (early->status != d.status || early->body != d.body || d.push)) {
    __builtin_trap();
  }
  checkLogLine(d.log);
  for (auto limit :
       {channel::Limit::Timeout, channel::Limit::ShortBody, channel::Limit::NotReady}) {
    checkLogLine(channel::refusal(chunked, limit).log);
  }
  if (channel::loggedValue(bytes).size() > 6 * channel::MAX_LOGGED_VALUE + 40) {
    __builtin_trap();
  }
  channel::responseText(d.status, d.body, d.retryAfter);
  return 0;
}
