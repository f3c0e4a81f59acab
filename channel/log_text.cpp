#include "channel/log_text.h"

namespace channel {

std::string escapeControls(std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += {'\\', 'x', HEX[c >> 4], HEX[c & 15]};
    } else if (c == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      auto next = static_cast<unsigned char>(text[++i]);
      out += {'\\', 'u', '0', '0', HEX[next >> 4], HEX[next & 15]};
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string loggedValue(std::string_view value) {
  if (value.size() <= MAX_LOGGED_VALUE) {
    return escapeControls(value);
  }
  size_t cut = MAX_LOGGED_VALUE;
  while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  return escapeControls(value.substr(0, cut)) + "… (" + std::to_string(value.size()) + " bytes)";
}

}  // namespace channel
