#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "base/posix/write_all.h"
#include "base/terminal.h"
#include "base/text.h"

namespace wavtally {
namespace {

// Back to the first column, then clear to the end of the line: what every
// terminal emulator since the VT100 understands.
constexpr char kErase[] = "\r\x1b[K";

class FdTerminal : public Terminal {
 public:
  size_t Width() override {
    winsize size = {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
  }

  bool Draw(std::wstring_view line) override {
    // Clearing after the text rather than before keeps the old frame on
    // screen until the new one covers it, so a redraw never flickers.
    bytes_.clear();
    bytes_.push_back('\r');
    AppendUtf8(line, bytes_);
    bytes_.append(kErase + 1);
    return Write(bytes_);
  }

  bool Erase() override { return Write(kErase); }

  void EraseForStop() override {
    // One try: at the end of the process a failed write has no one to tell.
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kErase, std::strlen(kErase));
  }

 private:
  static bool Write(std::string_view bytes) {
    size_t written = 0;
    return platform::WriteAll(STDERR_FILENO, bytes.data(), bytes.size(), &written) == 0;
  }

  std::string bytes_;
};

}  // namespace

std::unique_ptr<Terminal> OpenProgressTerminal() {
  // A terminal on standard output shows the report itself as it grows. A
  // "dumb" terminal (an editor's shell buffer) would print the escape.
  if (!isatty(STDERR_FILENO) || isatty(STDOUT_FILENO)) return nullptr;
  const char* term = getenv("TERM");
  if (term != nullptr && std::strcmp(term, "dumb") == 0) return nullptr;
  return std::make_unique<FdTerminal>();
}

}  // namespace wavtally
