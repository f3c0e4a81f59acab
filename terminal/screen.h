#pragma once

// What a terminal shows: the bytes a program prints, run through a terminal emulator, read back as
// lines of text. Any thread may feed or read it.

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct VTerm;
struct VTermScreen;

namespace terminal {

inline constexpr size_t DEFAULT_SCROLLBACK = 5000;

class Screen {
 public:
  Screen(int rows, int cols, size_t scrollback = DEFAULT_SCROLLBACK);
  ~Screen();
  Screen(const Screen&) = delete;
  Screen& operator=(const Screen&) = delete;

  void feed(std::string_view bytes);
  // Nothing when the size is already this one or is not positive.
  void resize(int rows, int cols);

  // The last `n` lines as the user sees them, oldest first, UTF-8, trailing blanks trimmed: the
  // scrollback and then the screen down to its last written row or the cursor. A full-screen
  // program on the alternate screen gives only that screen.
  std::vector<std::string> lastLines(size_t n) const;

  // The program asked for bracketed paste (DECSET 2004) and has not turned it off.
  bool bracketedPaste() const;

 private:
  friend struct ScreenCallbacks;
  void watchPasteMode(std::string_view bytes);

  mutable std::mutex m_mutex;
  VTerm* m_vt = nullptr;
  VTermScreen* m_screen = nullptr;
  size_t m_capacity;
  std::deque<std::string> m_scrollback;
  bool m_altScreen = false;
  bool m_paste = false;
  std::string m_tail;  // the end of the last feed, for a mode switch cut in two
};

}  // namespace terminal
