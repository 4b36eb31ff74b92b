#pragma once

// Runs the built wavtally executable as a user would and captures what it
// writes, byte for byte.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "temp_tree.h"

namespace wavtally::test {

struct ToolResult {
  int status = -1;  ///< exit status, or 128 + signal number
  std::string out;
  std::string err;
  long peak_rss_kib = 0;  ///< the tool's peak resident memory
};

struct ToolOptions {
  /// Where standard output goes; empty for a file the result captures.
  std::string stdout_path;
  /// Extra "NAME=value" entries for the environment.
  std::vector<std::string> env;
  /// Working folder; empty for the test's own.
  std::string cwd;
  /// Whether the tool starts with SIGPIPE ignored, as under some shells.
  bool ignore_sigpipe = false;
  /// Whether standard output is a pipe whose reader has already gone.
  bool closed_pipe = false;
  /// Whether standard output is a pipe of one page, which the runner empties
  /// as fast as it can into the result: a line longer than a page then
  /// always takes several writes.
  bool one_page_pipe = false;
  /// Whether standard error is a pipe whose reader has already gone.
  bool closed_stderr_pipe = false;
  /// A signal sent to the tool once signal_delay has passed since it was
  /// started; 0 for none.
  int signal = 0;
  std::chrono::microseconds signal_delay{0};
  /// Whether the tool runs as the unprivileged user nobody when the tests run
  /// as root, so that permissions apply to it.
  bool unprivileged = false;
};

inline std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

/// Returns when a tool started now must have ended: a guard against hangs,
/// not a measure of speed.
inline std::chrono::steady_clock::time_point ToolDeadline() {
  return std::chrono::steady_clock::now() + std::chrono::seconds(60);
}

/// Returns the exit status in wstatus, or 128 + the signal that ended the
/// tool.
inline int ExitStatusOf(int wstatus) {
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

/// Waits for the tool pid and returns its exit status, or 128 + the signal
/// that ended it. A tool still running at deadline is killed and the test
/// fails.
inline int WaitForTool(pid_t pid, std::chrono::steady_clock::time_point deadline,
                       rusage* usage = nullptr) {
  int wstatus = 0;
  rusage ignored;
  if (usage == nullptr) usage = &ignored;
  while (wait4(pid, &wstatus, WNOHANG, usage) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      wait4(pid, &wstatus, 0, usage);
      ADD_FAILURE() << "did not finish by its deadline; killed";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return ExitStatusOf(wstatus);
}

/// Appends to into what fd gives until its end or the time until; returns
/// true at the end.
inline bool ReadUntil(int fd, std::string& into, std::chrono::steady_clock::time_point until) {
  char buffer[4096];
  for (auto now = std::chrono::steady_clock::now(); now < until;
       now = std::chrono::steady_clock::now()) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now);
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::min<int64_t>(wait.count(), 100))) <= 0) continue;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return true;
    into.append(buffer, static_cast<size_t>(n));
  }
  return false;
}

/// The four lines every report starts with.
inline const std::string kReportHeader =
    "WAV Files\n"
    "\n"
    "Path\tFormat Tag\tNum Channels\tChannel Mask\tSample Rate\tAvg Bytes Per Sec\t"
    "Block Align\tBit Depth\tNum Samples\n"
    "\n";

/// Returns the path to run the tool from. For a run as nobody it is a copy in
/// folder, which is opened up for that: the build tree may lie below a folder
/// only root may enter, and exec would then fail before the tool ran.
inline std::string ToolBinary(bool unprivileged, TempTree& folder) {
  if (!unprivileged || geteuid() != 0) return WAVTALLY_BINARY;
  const std::string copy = folder.At("wavtally");
  std::error_code ec;
  std::filesystem::copy_file(WAVTALLY_BINARY, copy, ec);
  EXPECT_FALSE(ec) << ec.message();
  chmod(folder.Root().c_str(), 0755);
  chmod(copy.c_str(), 0755);
  return copy;
}

/// Returns what the tool wrote and its status, for the arguments after the
/// program name. A tool still running after 60 s is killed, so a hang fails
/// the test instead of stalling the suite.
inline ToolResult RunTool(const std::vector<std::string>& args, const ToolOptions& opt = {}) {
  int fds[2] = {-1, -1};
  if (opt.one_page_pipe && (pipe(fds) != 0 || fcntl(fds[0], F_SETPIPE_SZ, 4096) < 0)) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  TempTree capture;
  const std::string out_path = opt.stdout_path.empty() ? capture.At("out") : opt.stdout_path;
  const std::string err_path = capture.At("err");
  std::vector<std::string> argv_text = {ToolBinary(opt.unprivileged, capture)};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) env_text.push_back(*e);
  env_text.insert(env_text.end(), opt.env.begin(), opt.env.end());
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (opt.one_page_pipe) {
      close(fds[0]);
      dup2(fds[1], 1);
    }
    for (const int fd : {opt.closed_pipe ? 1 : -1, opt.closed_stderr_pipe ? 2 : -1}) {
      int gone[2];
      if (fd < 0) continue;
      if (pipe(gone) != 0) _exit(126);
      close(gone[0]);
      dup2(gone[1], fd);
    }
    if (opt.unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(126);
    }
    if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0) _exit(126);
    signal(SIGPIPE, opt.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    // A test run from a job that ignores them would see no signal land.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  ToolResult result;
  const auto deadline = ToolDeadline();
  const auto signal_at = std::chrono::steady_clock::now() + opt.signal_delay;
  if (opt.one_page_pipe) close(fds[1]);
  bool ended = false;
  if (opt.signal != 0) {
    if (opt.one_page_pipe) {
      ended = ReadUntil(fds[0], result.out, signal_at);
    } else {
      std::this_thread::sleep_until(signal_at);
    }
    if (!ended) kill(pid, opt.signal);
  }
  if (opt.one_page_pipe) {
    if (!ended) ReadUntil(fds[0], result.out, deadline);
    close(fds[0]);
  }
  rusage usage = {};
  result.status = WaitForTool(pid, deadline, &usage);
  result.peak_rss_kib = usage.ru_maxrss;
  if (opt.stdout_path.empty() && !opt.one_page_pipe) result.out = ReadWhole(out_path);
  result.err = ReadWhole(err_path);
  return result;
}

}  // namespace wavtally::test
