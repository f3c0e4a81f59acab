#include "server/line_reader.h"

#include "platform/text.h"

#include <utility>

namespace server {
namespace {

// A pending buffer larger than this is given back once its line is done.
constexpr size_t KEPT_CAPACITY = 1 << 16;

std::string finishLine(std::string_view raw) {
  if (!raw.empty() && raw.back() == '\r') {
    raw.remove_suffix(1);
  }
  return platform::sanitizeUtf8(raw);
}

}  // namespace

void LineReader::release() {
  if (m_pending.capacity() > KEPT_CAPACITY) {
    std::string().swap(m_pending);
  } else {
    m_pending.clear();
  }
}

std::vector<std::string> LineReader::feed(std::string_view bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl = bytes.find('\n'); nl != std::string_view::npos; nl = bytes.find('\n', start)) {
    std::string_view piece = bytes.substr(start, nl - start);
    start = nl + 1;
    if (std::exchange(m_skipping, false)) {
      continue;
    }
    if (m_pending.size() + piece.size() > MAX_LINE) {
      release();
    } else if (m_pending.empty()) {
      lines.push_back(finishLine(piece));
    } else {
      m_pending.append(piece);
      lines.push_back(finishLine(m_pending));
      release();
    }
  }
  std::string_view rest = bytes.substr(start);
  if (m_skipping) {
    return lines;
  }
  if (m_pending.size() + rest.size() > MAX_LINE) {
    m_skipping = true;
    release();
  } else {
    m_pending.append(rest);
  }
  return lines;
}

std::vector<std::string> LineReader::finish() {
  std::vector<std::string> lines;
  if (!m_skipping && !m_pending.empty()) {
    lines.push_back(finishLine(m_pending));
  }
  m_skipping = false;
  release();
  return lines;
}

}  // namespace server
