#include "terminal/screen.h"

#include <algorithm>
#include <vterm.h>

namespace terminal {
namespace {

constexpr std::string_view PASTE_ON = "\x1b[?2004h";
constexpr std::string_view PASTE_OFF = "\x1b[?2004l";

void appendUtf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x110000) {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// The right half of a wide character holds (uint32_t)-1; an untouched cell holds 0.
std::string lineText(const VTermScreenCell* cells, int cols) {
  std::string text;
  for (int col = 0; col < cols; ++col) {
    const VTermScreenCell& cell = cells[col];
    if (cell.chars[0] == static_cast<uint32_t>(-1)) {
      continue;
    }
    if (cell.chars[0] == 0) {
      text.push_back(' ');
      continue;
    }
    for (int i = 0; i < VTERM_MAX_CHARS_PER_CELL && cell.chars[i] != 0; ++i) {
      appendUtf8(cell.chars[i], &text);
    }
  }
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

std::string rowText(VTermScreen* screen, int row, int cols) {
  std::vector<VTermScreenCell> cells(static_cast<size_t>(cols));
  for (int col = 0; col < cols; ++col) {
    vterm_screen_get_cell(screen, VTermPos{row, col}, &cells[static_cast<size_t>(col)]);
  }
  return lineText(cells.data(), cols);
}

}  // namespace

struct ScreenCallbacks {
  static int pushLine(int cols, const VTermScreenCell* cells, void* user) {
    auto* self = static_cast<Screen*>(user);
    if (self->m_capacity == 0) {
      return 1;
    }
    if (self->m_scrollback.size() == self->m_capacity) {
      self->m_scrollback.pop_front();
    }
    self->m_scrollback.push_back(lineText(cells, cols));
    return 1;
  }
  static int termProp(VTermProp prop, VTermValue* value, void* user) {
    if (prop == VTERM_PROP_ALTSCREEN) {
      static_cast<Screen*>(user)->m_altScreen = value->boolean != 0;
    }
    return 1;
  }
};

namespace {

const VTermScreenCallbacks CALLBACKS = {nullptr,
                                        nullptr,
                                        nullptr,
                                        ScreenCallbacks::termProp,
                                        nullptr,
                                        nullptr,
                                        ScreenCallbacks::pushLine,
                                        nullptr};

}  // namespace

Screen::Screen(int rows, int cols, size_t scrollback)
    : m_vt(vterm_new(std::max(rows, 1), std::max(cols, 1))), m_capacity(scrollback) {
  vterm_set_utf8(m_vt, 1);
  m_screen = vterm_obtain_screen(m_vt);
  vterm_screen_set_callbacks(m_screen, &CALLBACKS, this);
  vterm_screen_enable_altscreen(m_screen, 1);
  vterm_screen_reset(m_screen, 1);
}

Screen::~Screen() {
  vterm_free(m_vt);
}

void Screen::feed(std::string_view bytes) {
  std::lock_guard lock(m_mutex);
  vterm_input_write(m_vt, bytes.data(), bytes.size());
  // Answers to the program's queries are the user's terminal's business: ours are dropped.
  char sink[256];
  while (vterm_output_read(m_vt, sink, sizeof(sink)) > 0) {
  }
  watchPasteMode(bytes);
}

void Screen::watchPasteMode(std::string_view bytes) {
  // libvterm keeps no record of this mode, so its switches are found in the byte stream, also
  // when one is cut in two between feeds. Positions count from the start of the kept tail.
  const long shift = static_cast<long>(m_tail.size());
  std::string edge = m_tail;
  edge.append(bytes.substr(0, PASTE_ON.size() - 1));
  auto last = [&](std::string_view needle) {
    size_t inEdge = std::string_view(edge).rfind(needle);
    size_t inBytes = bytes.rfind(needle);
    long at = inEdge == std::string_view::npos ? -1 : static_cast<long>(inEdge);
    return inBytes == std::string_view::npos ? at
                                             : std::max(at, static_cast<long>(inBytes) + shift);
  };
  long on = last(PASTE_ON);
  long off = last(PASTE_OFF);
  if (on >= 0 || off >= 0) {
    m_paste = on > off;
  }
  if (bytes.size() >= PASTE_ON.size() - 1) {
    m_tail = bytes.substr(bytes.size() - (PASTE_ON.size() - 1));
  } else {
    m_tail = edge.substr(edge.size() - std::min(edge.size(), PASTE_ON.size() - 1));
  }
}

void Screen::resize(int rows, int cols) {
  std::lock_guard lock(m_mutex);
  int oldRows = 0;
  int oldCols = 0;
  vterm_get_size(m_vt, &oldRows, &oldCols);
  if (rows > 0 && cols > 0 && (rows != oldRows || cols != oldCols)) {
    vterm_set_size(m_vt, rows, cols);
  }
}

std::vector<std::string> Screen::lastLines(size_t n) const {
  std::lock_guard lock(m_mutex);
  int rows = 0;
  int cols = 0;
  vterm_get_size(m_vt, &rows, &cols);
  VTermPos cursor{};
  vterm_state_get_cursorpos(vterm_obtain_state(m_vt), &cursor);
  std::vector<std::string> screen;
  for (int row = 0; row < rows; ++row) {
    screen.push_back(rowText(m_screen, row, cols));
  }
  // Rows below both the cursor and the last written row are not shown as lines.
  size_t used = std::min(screen.size(), static_cast<size_t>(std::max(cursor.row, 0)) + 1);
  for (size_t row = used; row < screen.size(); ++row) {
    if (!screen[row].empty()) {
      used = row + 1;
    }
  }
  screen.resize(used);
  std::vector<std::string> out;
  size_t fromScreen = std::min(n, screen.size());
  size_t fromBack = m_altScreen ? 0 : std::min(n - fromScreen, m_scrollback.size());
  out.reserve(fromBack + fromScreen);
  out.insert(out.end(), m_scrollback.end() - static_cast<std::ptrdiff_t>(fromBack),
             m_scrollback.end());
  out.insert(out.end(), screen.end() - static_cast<std::ptrdiff_t>(fromScreen), screen.end());
  return out;
}

bool Screen::bracketedPaste() const {
  std::lock_guard lock(m_mutex);
  return m_paste;
}

}  // namespace terminal
