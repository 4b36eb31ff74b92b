#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "base/entry.h"
#include "base/line_writer.h"
#include "base/platform.h"
#include "base/text.h"

namespace wavtally {
namespace {

constexpr wchar_t kReplacement = 0xFFFD;

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c < 0xDC00; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c < 0xE000; }

// Returns the system error code of a failed _write that set errno to
// runtime_code, where short says that a file on disk took only part of it.
// After a short write to a full disk the runtime leaves _doserrno and
// GetLastError() at 0, whose text would be "success", and errno at ENOSPC
// (Windows) or EINVAL (Wine); a code of 0 is never the answer.
unsigned long WriteErrorCode(int runtime_code, bool short_write) {
  if (_doserrno != 0) return _doserrno;
  if (const DWORD last = GetLastError(); last != 0) return last;
  if (runtime_code == ENOSPC || short_write) return ERROR_DISK_FULL;
  switch (runtime_code) {
    case EPIPE:
      return ERROR_BROKEN_PIPE;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EACCES:
      return ERROR_ACCESS_DENIED;
    default:
      return ERROR_WRITE_FAULT;
  }
}

// Standard output and error in the C runtime's UTF-8 text mode: the runtime
// turns the UTF-16 text into UTF-8 and "\n" into "\r\n", which is what a
// Windows console, pipe or file expects. Each line (or batch of held lines)
// is a single _write.
class ConsoleLineWriter : public LineWriter {
 public:
  explicit ConsoleLineWriter(FILE* stream) : fd_(_fileno(stream)) {
    // Must happen before anything is written; a process started without the
    // stream has no descriptor to switch.
    if (fd_ < 0) return;
    _setmode(fd_, _O_U8TEXT);
    on_disk_ = GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd_))) == FILE_TYPE_DISK;
  }

 protected:
  EmitResult Emit(std::wstring_view lines, std::string* error) override {
    // A surrogate without its partner would reach the runtime's converter,
    // whose answer differs between runtimes; the report gets U+FFFD instead,
    // as AppendUtf8 writes it.
    wide_.assign(lines);
    for (size_t i = 0; i < wide_.size(); ++i) {
      if (IsHighSurrogate(wide_[i]) && i + 1 < wide_.size() && IsLowSurrogate(wide_[i + 1])) {
        ++i;
      } else if (IsHighSurrogate(wide_[i]) || IsLowSurrogate(wide_[i])) {
        wide_[i] = kReplacement;
      }
    }
    if (fd_ < 0) {
      *error = platform::ErrorText(ERROR_INVALID_HANDLE);
      return EmitResult::kFailed;
    }
    const auto bytes = static_cast<unsigned>(wide_.size() * sizeof(wchar_t));
    // Only a file on disk fills up, and only its position tells how much of
    // a failed write went out: the runtime does not say.
    const __int64 start = on_disk_ ? _telli64(fd_) : -1;
    _doserrno = 0;
    errno = 0;
    SetLastError(0);
    if (_write(fd_, wide_.data(), bytes) >= 0) return EmitResult::kOk;
    const int runtime_code = errno;
    const std::string disk_form = start >= 0 ? OnDiskForm(wide_) : std::string();
    const __int64 end = start >= 0 ? _telli64(fd_) : -1;
    const bool short_write = end >= start && static_cast<uint64_t>(end - start) < disk_form.size();
    const unsigned long code = WriteErrorCode(runtime_code, short_write);
    *error = platform::ErrorText(static_cast<int>(code));
    if (end > start) *error += CutLineNote(disk_form, static_cast<size_t>(end - start));
    // The reader of a pipe went away: Windows says "the pipe is being
    // closed" (ERROR_NO_DATA), Wine says the pipe is not connected.
    const bool closed = code == ERROR_NO_DATA || code == ERROR_BROKEN_PIPE ||
                        code == ERROR_PIPE_NOT_CONNECTED || runtime_code == EPIPE;
    return closed ? EmitResult::kClosed : EmitResult::kFailed;
  }

 private:
  // Returns lines as the runtime puts them on disk: UTF-8, CR LF line ends.
  static std::string OnDiskForm(std::wstring_view lines) {
    std::string text;
    for (const char c : EncodeUtf8(lines)) {
      if (c == '\n') text.push_back('\r');
      text.push_back(c);
    }
    return text;
  }

  int fd_;
  bool on_disk_ = false;
  std::wstring wide_;
};

// The console runs this on a thread of its own. RequestStop returns only
// while a writer is sending, and that writer ends the process once its lines
// are out; this thread waits for that rather than returning, since after a
// closed window the system would end the process as soon as it returned.
BOOL WINAPI OnConsoleStop(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  RequestStop(event == CTRL_CLOSE_EVENT ? SIGTERM : SIGINT);
  for (;;) Sleep(INFINITE);
}

}  // namespace

LineWriter& StdOut() {
  static ConsoleLineWriter writer(stdout);
  return writer;
}

LineWriter& StdErr() {
  static ConsoleLineWriter writer(stderr);
  return writer;
}

namespace platform {

void EndBySignal(int) { ExitProcess(STATUS_CONTROL_C_EXIT); }

}  // namespace platform

int RunEntry(int argc, wchar_t** argv, EntryFunction fn) {
  // Both streams switch to UTF-8 text mode now, before the first write.
  StdOut();
  StdErr();
  SetConsoleCtrlHandler(OnConsoleStop, TRUE);
  std::vector<CStdStr> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return fn(args);
}

}  // namespace wavtally
