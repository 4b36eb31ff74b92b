#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/entry.h"
#include "base/line_writer.h"
#include "base/platform.h"
#include "base/posix/write_all.h"
#include "base/text.h"

namespace wavtally {
namespace {

// Standard output and error as raw descriptors: the bytes are UTF-8 made by
// AppendUtf8, so neither the C locale nor stdio buffering can alter or hold
// them back, and each line (or batch of held lines) costs a single write(2).
class FdLineWriter : public LineWriter {
 public:
  explicit FdLineWriter(int fd) : fd_(fd) {}

 protected:
  EmitResult Emit(std::wstring_view lines, std::string* error) override {
    bytes_.clear();
    AppendUtf8(lines, bytes_);
    size_t done = 0;
    const int code = platform::WriteAll(fd_, bytes_.data(), bytes_.size(), &done);
    if (code == 0) return EmitResult::kOk;
    // A file that filled up in the middle of a line keeps the part that
    // fitted; whoever reads it is told how much of that line is there.
    *error = platform::ErrorText(code) + CutLineNote(bytes_, done);
    return code == EPIPE ? EmitResult::kClosed : EmitResult::kFailed;
  }

 private:
  int fd_;
  std::string bytes_;
};

// SIGINT, SIGTERM and SIGHUP (the terminal closed), less those the caller
// had ignored (a background job of a non-interactive shell, nohup), which
// stay ignored. Set before the
// thread that waits for them starts, read-only after.
sigset_t stop_signals;

// Takes the first stop signal and asks for the stop. From then on the
// signals reach this thread at their default action, so a second one ends
// the process at once, whatever the other threads wait for.
void* WaitForStopSignal(void*) {
  int sig = 0;
  while (sigwait(&stop_signals, &sig) != 0) {
  }
  pthread_sigmask(SIG_UNBLOCK, &stop_signals, nullptr);
  RequestStop(sig);
  // A line is under way; its writer ends the process once it is out.
  for (;;) pause();
}

// Leaves the stop signals to a thread that does nothing but wait for them,
// blocking them here before any other thread exists, so that every thread
// inherits the mask. A handler runs only on a thread that comes back from
// the kernel, and a thread stuck in a wait that no handled signal cuts
// short (a read that a share never answers, where only SIGKILL gets
// through) would hold it off for good; the default action of the signal
// that ends the process reaches every thread, that one too.
void WaitForStopSignals() {
  sigemptyset(&stop_signals);
  bool any = false;
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old = {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
      sigaddset(&stop_signals, sig);
      any = true;
    }
  }
  if (!any) return;
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  pthread_t thread;
  if (pthread_create(&thread, nullptr, WaitForStopSignal, nullptr) != 0) {
    // Blocked with no thread to take them, the signals would do nothing at
    // all; let through, they end the run at once, mid-line or not.
    pthread_sigmask(SIG_UNBLOCK, &stop_signals, nullptr);
    return;
  }
  pthread_detach(thread);
}

// Returns whether SIGPIPE was ignored before, and ignores it from now on:
// a reader of standard error that goes away must not end the report, so a
// closed pipe shows as EPIPE and each writer decides for itself.
bool IgnoreSigpipe() {
  struct sigaction old = {};
  const bool was_ignored = sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_IGN;
  signal(SIGPIPE, SIG_IGN);
  return was_ignored;
}

}  // namespace

LineWriter& StdOut() {
  static FdLineWriter writer(STDOUT_FILENO);
  return writer;
}

LineWriter& StdErr() {
  static FdLineWriter writer(STDERR_FILENO);
  return writer;
}

namespace platform {

void EndBySignal(int sig) {
  signal(sig, SIG_DFL);
  raise(sig);
  // Every thread but the one waiting for them blocks the stop signals;
  // letting it through here ends the process before any more of the
  // program runs.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  _exit(128 + sig);
}

}  // namespace platform

int RunEntry(int argc, char** argv, EntryFunction fn) {
  const bool sigpipe_was_ignored = IgnoreSigpipe();
  WaitForStopSignals();
  // Arguments are bytes here; decoding them without loss lets a folder whose
  // name is not valid UTF-8 still be opened.
  std::vector<CStdStr> args;
  for (int i = 1; i < argc; ++i) args.push_back(DecodeUtf8(argv[i]));
  const int status = fn(args);
  // A reader of the report that went away ends the run as it always has:
  // by SIGPIPE, which a shell shows as 141 and `set -o pipefail` or a
  // caller's waitpid may rely on, or with status 1 where SIGPIPE was
  // ignored from the start. Dying only now, once the walk has stopped,
  // rather than inside write(2), lets every thread be joined first.
  if (StdOut().Closed() && !sigpipe_was_ignored) platform::EndBySignal(SIGPIPE);
  return status;
}

}  // namespace wavtally
