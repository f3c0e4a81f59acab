#include "server/line_reader.h"

#include "platform/text.h"

namespace server {
namespace {

std::string finishLine(std::string_view raw) {
  if (!raw.empty() && raw.back() == '\r') {
    raw.remove_suffix(1);
  }
  return platform::sanitizeUtf8(raw);
}

}  // namespace

std::vector<std::string> LineReader::feed(std::string_view bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl = bytes.find('\n'); nl != std::string_view::npos; nl = bytes.find('\n', start)) {
    if (m_pending.empty()) {
      lines.push_back(finishLine(bytes.substr(start, nl - start)));
    } else {
      m_pending.append(bytes.data() + start, nl - start);
      lines.push_back(finishLine(m_pending));
      m_pending.clear();
    }
    start = nl + 1;
  }
  m_pending.append(bytes.data() + start, bytes.size() - start);
  return lines;
}

std::vector<std::string> LineReader::finish() {
  std::vector<std::string> lines;
  if (!m_pending.empty()) {
    lines.push_back(finishLine(m_pending));
    m_pending.clear();
  }
  return lines;
}

}  // namespace server
