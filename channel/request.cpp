#include "channel/request.h"

#include "base/text.h"
#include "platform/text.h"

#include <algorithm>
#include <vector>

namespace channel {
namespace {

constexpr std::string_view TERMINATOR = "\r\n\r\n";

// Splits at every CRLF and drops empty pieces, as a split on the CRLF character does.
std::vector<std::string_view> headerLines(std::string_view block) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (;;) {
    size_t end = block.find("\r\n", start);
    std::string_view piece = block.substr(start, end == std::string_view::npos ? end : end - start);
    if (!piece.empty()) {
      lines.push_back(piece);
    }
    if (end == std::string_view::npos) {
      return lines;
    }
    start = end + 2;
  }
}

// Splits at ':' into at most two pieces, dropping empty ones; a dropped piece does not use up
// the split, so ":a:b" gives "a" and "b".
std::vector<std::string_view> nameAndValue(std::string_view line) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != ':') {
      continue;
    }
    if (i > start) {
      pieces.push_back(line.substr(start, i - start));
    }
    start = i + 1;
    if (pieces.size() == 1) {
      break;
    }
  }
  if (start < line.size()) {
    pieces.push_back(line.substr(start));
  }
  return pieces;
}

std::string lowerName(std::string_view name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    // Unicode lower-casing turns the Kelvin sign into 'k'; no other non-ASCII letter can become
    // part of a header name we look for.
    if (name.substr(i, 3) == "\xE2\x84\xAA") {
      out += 'k';
      i += 2;
      continue;
    }
    char c = name[i];
    out += base::asciiLower(c);
  }
  return out;
}

void storeHeader(Request& req, std::string_view line) {
  std::vector<std::string_view> pieces = nameAndValue(line);
  if (pieces.size() != 2) {
    return;
  }
  std::string name = lowerName(platform::trimHorizontalSpace(pieces[0]));
  std::string value(platform::trimHorizontalSpace(pieces[1]));
  if (name == "content-length") {
    long long n = 0;
    req.contentLength = platform::parseDecimal(value, &n) ? n : 0;
  } else if (name == "x-cv-token") {
    req.token = std::move(value);
  } else if (name == "origin") {
    req.origin = std::move(value);
  } else if (name == "host") {
    req.host = std::move(value);
  } else if (name == "transfer-encoding") {
    req.transferEncoding = true;
  }
}

}  // namespace

void parseHeadersIfNeeded(Request& req) {
  if (req.bodyStart) {
    return;
  }
  // A terminator can start at most three bytes before the end of what was searched last time.
  size_t from = req.scanned >= 3 ? req.scanned - 3 : 0;
  size_t at = req.buffer.find(TERMINATOR, from);
  req.scanned = req.buffer.size();
  if (at == std::string::npos) {
    return;
  }
  req.bodyStart = static_cast<int64_t>(at + TERMINATOR.size());
  std::string_view block(req.buffer.data(), at);
  if (!platform::isValidUtf8(block)) {
    return;
  }
  std::vector<std::string_view> lines = headerLines(block);
  if (lines.empty()) {
    return;
  }
  req.requestLine = std::string(lines[0]);
  for (size_t i = 1; i < lines.size(); ++i) {
    storeHeader(req, lines[i]);
  }
}

Progress progress(const Request& req, bool peerDone) {
  if (req.bodyStart) {
    auto start = static_cast<size_t>(*req.bodyStart);
    auto received = static_cast<int64_t>(req.buffer.size() - start);
    if (req.contentLength > 0 &&
        static_cast<uint64_t>(req.contentLength) > MAX_REQUEST - std::min(start, MAX_REQUEST)) {
      return Progress::TooLarge;
    }
    if (received >= req.contentLength) {
      // Bytes past a positive announced length are not part of the request.
      size_t size = req.contentLength > 0 ? start + static_cast<size_t>(req.contentLength)
                                          : req.buffer.size();
      return size > MAX_REQUEST ? Progress::TooLarge : Progress::Complete;
    }
  }
  if (req.buffer.size() > MAX_REQUEST) {
    return Progress::TooLarge;
  }
  if (!peerDone) {
    return Progress::ReadMore;
  }
  return req.bodyStart ? Progress::ShortBody : Progress::Complete;
}

RequestLine splitRequestLine(std::string_view line) {
  std::vector<std::string_view> pieces;
  size_t i = 0;
  while (i < line.size() && pieces.size() < 2) {
    size_t end = std::min(line.find(' ', i), line.size());
    if (end > i) {
      pieces.push_back(line.substr(i, end - i));
    }
    i = end + 1;
  }
  RequestLine out;
  out.method = pieces.empty() ? "" : std::string(pieces[0]);
  out.path = pieces.size() < 2 ? "/" : std::string(pieces[1]);
  return out;
}

std::string requestBody(const Request& req) {
  if (!req.bodyStart || req.buffer.size() < static_cast<size_t>(*req.bodyStart)) {
    return "";
  }
  auto start = static_cast<size_t>(*req.bodyStart);
  size_t length = req.buffer.size() - start;
  if (req.contentLength >= 1 && static_cast<uint64_t>(req.contentLength) < length) {
    length = static_cast<size_t>(req.contentLength);
  }
  std::string_view body(req.buffer.data() + start, length);
  return platform::isValidUtf8(body) ? std::string(body) : "";
}

std::string knownRequestLine(const Request& req) {
  if (req.bodyStart) {
    return req.requestLine;
  }
  size_t begin = 0;
  while (req.buffer.compare(begin, 2, "\r\n") == 0) {
    begin += 2;
  }
  size_t end = req.buffer.find("\r\n", begin);
  if (end == std::string::npos) {
    return "";
  }
  std::string_view line(req.buffer.data() + begin, end - begin);
  return platform::isValidUtf8(line) ? std::string(line) : "";
}

}  // namespace channel
