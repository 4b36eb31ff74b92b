#pragma once

// Runs the built wavtally executable with a standard output that fails part
// way: a file that may grow only so far, a pipe whose reader leaves early, or
// no standard output at all. RunTool covers the outputs that fail at once.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
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
  };
  Kind kind = Kind::kFileLimit;
  size_t bytes = 0;
  /// Whether the tool starts with SIGPIPE ignored, as under some shells.
  bool ignore_sigpipe = false;
  /// Whether the tool runs as nobody when the tests run as root.
  bool unprivileged = false;
};

/// Returns the tool's status, what reached its standard output (all of it for
/// kFileLimit, what the reader took for kPipeReader) and its standard error.
/// A tool still running after 60 s is killed and the test fails.
inline ToolResult RunToolWithFailingOutput(const std::vector<std::string>& args,
                                           const FailingOutput& how) {
  TempTree capture;
  const std::string out_path = capture.At("out");
  const std::string err_path = capture.At("err");
  std::vector<std::string> argv_text = {WAVTALLY_BINARY};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  int fds[2] = {-1, -1};
  if (how.kind == FailingOutput::Kind::kPipeReader && pipe(fds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  const pid_t pid = fork();
  if (pid == 0) {
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (err < 0 || in < 0) _exit(126);
    dup2(in, 0);
    dup2(err, 2);
    switch (how.kind) {
      case FailingOutput::Kind::kFileLimit: {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0) _exit(126);
        dup2(out, 1);
        // Past the limit write(2) fails with EFBIG instead of the signal
        // killing the tool.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit = {static_cast<rlim_t>(how.bytes), static_cast<rlim_t>(how.bytes)};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
        break;
      }
      case FailingOutput::Kind::kPipeReader:
        close(fds[0]);
        dup2(fds[1], 1);
        break;
      case FailingOutput::Kind::kClosed:
        close(1);
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
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  if (how.kind == FailingOutput::Kind::kPipeReader) {
    close(fds[1]);
    char buffer[4096];
    while (result.out.size() < how.bytes && std::chrono::steady_clock::now() < deadline) {
      pollfd p = {fds[0], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const size_t want = std::min(sizeof buffer, how.bytes - result.out.size());
      const ssize_t n = read(fds[0], buffer, want);
      if (n <= 0) break;
      result.out.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      ADD_FAILURE() << "wavtally did not finish within 60 s";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  if (how.kind == FailingOutput::Kind::kFileLimit) result.out = ReadWhole(out_path);
  result.err = ReadWhole(err_path);
  return result;
}

}  // namespace wavtally::test
