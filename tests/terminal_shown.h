#pragma once

// Reads what a person saw on a terminal that progress is drawn on, from the
// bytes written to it.

#include <string>
#include <string_view>
#include <vector>

namespace wavtally::test {

/// What a person saw happen on a terminal that progress is drawn on.
struct Shown {
  enum class Kind {
    kFrame,   ///< a line drawn in place: "\r", text, clear to the end
    kErase,   ///< "\r" and clear to the end
    kLine,    ///< text and "\n", a line that stays
    kBroken,  ///< anything else, to the end of the bytes
  };
  Kind kind;
  std::string text;
};

/// Returns the frames, erases and lines that make up terminal, in order.
inline std::vector<Shown> ShownOn(std::string_view terminal) {
  constexpr std::string_view kClear = "\x1b[K";
  std::vector<Shown> shown;
  while (!terminal.empty()) {
    if (terminal.substr(0, 1 + kClear.size()) == "\r\x1b[K") {
      shown.push_back({Shown::Kind::kErase, ""});
      terminal.remove_prefix(1 + kClear.size());
      continue;
    }
    const bool frame = terminal.front() == '\r';
    const std::string_view end = frame ? kClear : "\n";
    const size_t start = frame ? 1 : 0;
    const size_t stop = terminal.find(end);
    const std::string_view text =
        stop == std::string_view::npos ? terminal : terminal.substr(start, stop - start);
    if (stop == std::string_view::npos || text.find_first_of("\r\n\x1b") != std::string::npos) {
      shown.push_back({Shown::Kind::kBroken, std::string(terminal)});
      break;
    }
    shown.push_back({frame ? Shown::Kind::kFrame : Shown::Kind::kLine, std::string(text)});
    terminal.remove_prefix(stop + end.size());
  }
  return shown;
}

/// Returns the order of what shown holds, a letter each, with frames in a
/// row as one: "F" frames, "E" an erase, "L" a line, "?" broken bytes.
/// "FEL" is a message or summary after frames that stepped aside for it.
inline std::string ShapeOf(const std::vector<Shown>& shown) {
  std::string shape;
  for (const Shown& s : shown) {
    const char letter = s.kind == Shown::Kind::kFrame   ? 'F'
                        : s.kind == Shown::Kind::kErase ? 'E'
                        : s.kind == Shown::Kind::kLine  ? 'L'
                                                        : '?';
    if (letter != 'F' || shape.empty() || shape.back() != 'F') shape.push_back(letter);
  }
  return shape;
}

}  // namespace wavtally::test
