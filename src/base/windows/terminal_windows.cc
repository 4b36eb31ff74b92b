#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>

#include "base/terminal.h"

namespace wavtally {
namespace {

// The widest line the stop cleanup can clear on a console without escape
// sequences: it may not allocate, so its spaces are made beforehand.
constexpr size_t kMaxStopWidth = 1024;

class ConsoleTerminal : public Terminal {
 public:
  ConsoleTerminal(HANDLE console, DWORD mode) : console_(console), mode_(mode) {
    // Consoles since Windows 10 clear a line with the same escape as a VT100
    // once asked to; older ones can only be written over with spaces.
    vt_ = (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
          SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    stop_text_.assign(kMaxStopWidth + 1, L' ');
    stop_text_[0] = L'\r';
  }
  ~ConsoleTerminal() override {
    // The console outlives the process and belongs to the shell as well.
    if ((mode_ & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0) SetConsoleMode(console_, mode_);
  }
  ConsoleTerminal(const ConsoleTerminal&) = delete;
  ConsoleTerminal& operator=(const ConsoleTerminal&) = delete;

  size_t Width() override {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(console_, &info)) return 0;
    // The window shows part of a wider buffer; a line past its right edge
    // would be out of sight, and the buffer's width would wrap it.
    const size_t width = static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
    width_.store(width);
    return width;
  }

  bool Draw(std::wstring_view line) override {
    text_.clear();
    if (vt_) {
      text_.append(L"\r").append(line).append(L"\x1b[K");
    } else {
      AppendBlank();
      text_.append(line);
    }
    return Write(text_);
  }

  bool Erase() override {
    text_.clear();
    if (vt_) {
      text_.assign(L"\r\x1b[K");
    } else {
      AppendBlank();
    }
    return Write(text_);
  }

  void EraseForStop() override {
    DWORD written = 0;
    if (vt_) {
      WriteConsoleW(console_, L"\r\x1b[K", 4, &written, nullptr);
      return;
    }
    const size_t width = std::min(width_.load(), kMaxStopWidth);
    if (width < 2) return;
    WriteConsoleW(console_, stop_text_.data(), static_cast<DWORD>(width), &written, nullptr);
    WriteConsoleW(console_, L"\r", 1, &written, nullptr);
  }

 private:
  // Appends a carriage return, spaces over every column but the last (which
  // would move a console's cursor to the next line) and a carriage return.
  void AppendBlank() {
    const size_t width = width_.load();
    text_.append(L"\r");
    if (width > 1) text_.append(width - 1, L' ').append(L"\r");
  }

  bool Write(std::wstring_view text) const {
    DWORD written = 0;
    return WriteConsoleW(console_, text.data(), static_cast<DWORD>(text.size()), &written,
                         nullptr) != 0 &&
           written == text.size();
  }

  HANDLE console_;
  DWORD mode_;
  bool vt_ = false;
  std::atomic<size_t> width_{0};  // as last asked for, read by the stop cleanup
  std::wstring text_;
  std::wstring stop_text_;  // "\r" and spaces, for EraseForStop
};

}  // namespace

std::unique_ptr<Terminal> OpenProgressTerminal() {
  // GetConsoleMode succeeds on a console only: a redirected stream (a pipe,
  // a file, NUL) has no mode.
  DWORD mode = 0;
  DWORD out_mode = 0;
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE || !GetConsoleMode(err, &mode)) return nullptr;
  if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &out_mode)) return nullptr;
  return std::make_unique<ConsoleTerminal>(err, mode);
}

}  // namespace wavtally
