#pragma once

// One HTTP request as a connection receives it, and the pure steps that read it: the header block
// once it is whole, the request line, the body. Nothing here touches a socket.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace channel {

// Bytes asked for by one receive.
inline constexpr size_t MAX_RECEIVE = 65536;
// A request (header block and body together) larger than this is refused.
inline constexpr size_t MAX_REQUEST = 1 << 20;

struct Request {
  std::string buffer;                // every byte received so far
  std::optional<int64_t> bodyStart;  // set once the header block is parsed
  int64_t contentLength = 0;         // 0 when absent or unparsable; may be negative
  std::optional<std::string> token;
  std::optional<std::string> origin;
  std::optional<std::string> host;
  bool transferEncoding = false;  // any transfer-encoding header, whatever its value
  std::string requestLine;
  // Bytes of `buffer` already searched for the header terminator, so a client that sends one
  // byte at a time costs linear time, not quadratic.
  size_t scanned = 0;
};

// Parses the header block once "\r\n\r\n" is in `buffer`; does nothing before that or after it.
void parseHeadersIfNeeded(Request& req);

enum class Progress {
  ReadMore,   // wait for more bytes
  Complete,   // answer now: the request is whole, or the peer stopped sending
  TooLarge,   // the request has passed MAX_REQUEST, or announces a body that would
  ShortBody,  // the peer stopped sending before the announced body was whole
};

// What to do after a receive; `peerDone` when the peer finished sending.
Progress progress(const Request& req, bool peerDone);

struct RequestLine {
  std::string method;  // "" when the line is empty
  std::string path;    // "/" when the line has no second piece
};

// Splits at spaces, runs of spaces counting as one separator.
RequestLine splitRequestLine(std::string_view line);

// The body as text: at most contentLength bytes after the header block when that is positive,
// otherwise all of them; "" when there is no header block or the bytes are not valid UTF-8.
std::string requestBody(const Request& req);

// The request line for a log line written before the header block is whole: the first
// CRLF-terminated line when there is one and it is valid UTF-8, otherwise "".
std::string knownRequestLine(const Request& req);

}  // namespace channel
