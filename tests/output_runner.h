#pragma once

// Runs the built wavtally executable with a standard output (or standard
// error) that fails part way: a file that may grow only so far, a pipe whose
// reader leaves early, a non-blocking pipe that fills up, or no such
// descriptor at all. RunTool covers the outputs that fail at once.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "temp_tree.h"
#include "tool_runner.h"

namespace wavtally::test {

struct FailingOutput {
  enum class Kind {
    kFileLimit,   ///< a file that cannot grow past bytes
    kPipeReader,  ///< a pipe whose reader takes bytes and then closes its end
    kClosed,      ///< descriptor 1 not open at all
    /// a non-blocking pipe whose reader starts only once it is full (or the
    /// tool has ended), then reads to the end
    kFullNonBlockingPipe,
  };
  Kind kind = Kind::kFileLimit;
  size_t bytes = 0;
  /// Whether the tool starts with SIGPIPE ignored, as under some shells.
  bool ignore_sigpipe = false;
  /// Whether the tool runs as nobody when the tests run as root.
  bool unprivileged = false;
  /// The descriptor that fails: 1, or 2 for standard error (then standard
  /// output is a file, read into the result); kFileLimit limits both.
  int fd = 1;
};

/// Returns the tool's status, what reached its standard output and error:
/// all of it for kFileLimit and kFullNonBlockingPipe, what the reader took
/// for kPipeReader.
/// A tool still running after 60 s is killed and the test fails.
inline ToolResult RunToolWithFailingOutput(const std::vector<std::string>& args,
                                           const FailingOutput& how) {
  TempTree capture;
  const std::string out_path = capture.At("out");
  const std::string err_path = capture.At("err");
  std::vector<std::string> argv_text = {ToolBinary(how.unprivileged, capture)};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  int fds[2] = {-1, -1};
  const bool piped = how.kind == FailingOutput::Kind::kPipeReader ||
                     how.kind == FailingOutput::Kind::kFullNonBlockingPipe;
  if (piped && pipe(fds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  // The descriptor that does not fail goes to its file.
  const int other = how.fd == 1 ? 2 : 1;
  const std::string& failing_path = how.fd == 1 ? out_path : err_path;
  const pid_t pid = fork();
  if (pid == 0) {
    const int file =
        open((other == 1 ? out_path : err_path).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (file < 0 || in < 0) _exit(126);
    dup2(in, 0);
    dup2(file, other);
    switch (how.kind) {
      case FailingOutput::Kind::kFileLimit: {
        const int out = open(failing_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0) _exit(126);
        dup2(out, how.fd);
        // Past the limit write(2) fails with EFBIG instead of the signal
        // killing the tool.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit = {static_cast<rlim_t>(how.bytes), static_cast<rlim_t>(how.bytes)};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
        break;
      }
      case FailingOutput::Kind::kPipeReader:
        close(fds[0]);
        dup2(fds[1], how.fd);
        break;
      case FailingOutput::Kind::kClosed:
        close(how.fd);
        break;
      case FailingOutput::Kind::kFullNonBlockingPipe:
        close(fds[0]);
        fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
        dup2(fds[1], how.fd);
        break;
    }
    if (how.unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(126);
    }
    signal(SIGPIPE, how.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    execv(argv[0], argv.data());
    _exit(127);
  }

  ToolResult result;
  std::string& taken = how.fd == 1 ? result.out : result.err;
  const auto deadline = ToolDeadline();
  if (how.kind == FailingOutput::Kind::kPipeReader) {
    close(fds[1]);
    char buffer[4096];
    while (taken.size() < how.bytes && std::chrono::steady_clock::now() < deadline) {
      pollfd p = {fds[0], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const size_t want = std::min(sizeof buffer, how.bytes - taken.size());
      const ssize_t n = read(fds[0], buffer, want);
      if (n <= 0) break;
      taken.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
  }
  int wstatus = 0;
  bool ended = false;
  if (how.kind == FailingOutput::Kind::kFullNonBlockingPipe) {
    close(fds[1]);
    // Full means less than a page short of the capacity: a writer whose
    // line does not fit in the last page is refused before that.
    const int capacity = fcntl(fds[0], F_GETPIPE_SZ);
    int queued = 0;
    while (!ended && ioctl(fds[0], FIONREAD, &queued) == 0 && queued + 4096 < capacity &&
           std::chrono::steady_clock::now() < deadline) {
      ended = waitpid(pid, &wstatus, WNOHANG) == pid;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ReadUntil(fds[0], taken, deadline);
    close(fds[0]);
  }
  result.status = ended ? ExitStatusOf(wstatus) : WaitForTool(pid, deadline);
  (other == 1 ? result.out : result.err) = ReadWhole(other == 1 ? out_path : err_path);
  if (how.kind == FailingOutput::Kind::kFileLimit) taken = ReadWhole(failing_path);
  return result;
}

}  // namespace wavtally::test
