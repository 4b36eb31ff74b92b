#pragma once

// Runs a function, or the built wavtally executable, in a child process whose
// standard output and error are what a shell, a terminal window or a failing
// device gives a program: a file, a pipe, a pseudo-terminal, nothing at all.
// Captures every byte that reaches each, the exit status and the peak memory.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/line_writer.h"
#include "base/posix/test_hooks.h"
#include "report/report_writer.h"
#include "temp_tree.h"

namespace wavtally::test {

/// Where one of the child's standard streams goes.
enum class Sink {
  kFile,      ///< a file, read into the result at the end
  kTerminal,  ///< the pseudo-terminal
  /// a pipe of one page, so a line longer than a page always takes several
  /// writes. Its reader starts once hold has passed (or release_on has
  /// shown) and closes its end after take bytes.
  kPipe,
  /// a non-blocking pipe whose reader starts only once the pipe is full, or
  /// the child has ended, and then reads to the end
  kFullPipe,
  kGonePipe,  ///< a pipe whose reader has gone before the child starts
  kClosed,    ///< the descriptor is not open at all
};

struct RunOptions {
  Sink out = Sink::kFile;
  Sink err = Sink::kFile;
  /// For standard output on kFile: this file, which the result does not read.
  std::string out_path;
  /// The size past which the child's files cannot grow (writes fail with
  /// EFBIG rather than a signal ending it); 0 for none.
  size_t file_limit = 0;
  /// The most descriptors the child may have open (ulimit -n); 0 for no
  /// change.
  size_t descriptor_limit = 0;
  /// The bytes a pipe's reader takes before it closes its end.
  size_t take = SIZE_MAX;
  /// How long the reader of standard output (a pipe, or the terminal when
  /// the output is on it) waits before reading: a child that writes more than
  /// either holds cannot end sooner. Not a measure of anything.
  std::chrono::milliseconds hold{0};
  /// Text the terminal must show before standard output is read, instead of
  /// the hold: a child that writes more than the pipe holds waits for it,
  /// however long that takes. Empty for none.
  std::string release_on;
  /// Whether the terminal goes away, as a closed window takes it, once
  /// release_on has shown. The child runs with SIGHUP ignored, as under
  /// nohup, so that it lives on and its writes to the terminal fail.
  bool hang_up = false;
  /// The terminal's size.
  unsigned short columns = 80;
  unsigned short rows = 24;
  /// Extra "NAME=value" entries for the environment; TERM is xterm when a
  /// terminal is used, unless set here.
  std::vector<std::string> env;
  /// Working folder; empty for the test's own.
  std::string cwd;
  /// Whether the child starts with SIGPIPE ignored, as under some shells.
  bool ignore_sigpipe = false;
  /// Whether the child runs as the unprivileged user nobody when the tests
  /// run as root, so that permissions apply to it.
  bool unprivileged = false;
  /// A signal sent once signal_delay has passed since the start; 0 for none.
  int signal = 0;
  std::chrono::microseconds signal_delay{0};
};

struct RunResult {
  int status = -1;        ///< exit status, or 128 + signal number
  std::string out;        ///< standard output, when not on the terminal
  std::string err;        ///< standard error, when not on the terminal
  std::string terminal;   ///< the bytes on the terminal, exactly as written
  long peak_rss_kib = 0;  ///< the child's peak resident memory
};

inline std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

/// Returns when a child started now must have ended: a guard against hangs,
/// not a measure of speed.
inline std::chrono::steady_clock::time_point ToolDeadline() {
  return std::chrono::steady_clock::now() + std::chrono::seconds(60);
}

/// Returns the exit status in wstatus, or 128 + the signal that ended it.
inline int ExitStatusOf(int wstatus) {
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

/// Waits for pid and returns its exit status, or 128 + the signal that ended
/// it. A child still running at deadline is killed and the test fails.
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

/// The four lines every report starts with; their text is checked by
/// ReportWriterTest.
inline const std::string kReportHeader = [] {
  StringLineWriter header;
  PrintReportHeader(header);
  return header.Text();
}();

namespace runner_detail {

/// The child, reaped at most once, whether by a look while it runs or by the
/// wait at the end.
struct Child {
  pid_t pid = -1;
  bool ended = false;
  int wstatus = 0;
  rusage usage = {};

  bool Ended() {
    if (!ended && wait4(pid, &wstatus, WNOHANG, &usage) == pid) ended = true;
    return ended;
  }
  int Wait(std::chrono::steady_clock::time_point deadline) {
    return ended ? ExitStatusOf(wstatus) : WaitForTool(pid, deadline, &usage);
  }
};

/// Tells when a pipe nobody reads is full: its writer is refused.
class FullPipe {
 public:
  /// Returns true once the pipe at fd holds less than a page short of its
  /// capacity, or has held as much as now for a while: pipe pages are not
  /// shared between writes that do not fit together, so a pipe written in
  /// pieces of a few KiB is full with far less queued.
  bool Full(int fd) {
    int queued = 0;
    if (ioctl(fd, FIONREAD, &queued) != 0) return true;
    if (queued + 4096 >= fcntl(fd, F_GETPIPE_SZ)) return true;
    stalled_ = queued == last_ && queued > 0 ? stalled_ + 1 : 0;
    last_ = queued;
    return stalled_ >= 50;
  }

 private:
  int last_ = 0;
  int stalled_ = 0;
};

/// One stream the parent reads: the terminal or a pipe.
struct Reader {
  int fd = -1;
  std::string* into = nullptr;
  bool is_output = false;  ///< carries standard output, so waits for release
  bool when_full = false;  ///< reads only once the pipe is full
  FullPipe full;
};

}  // namespace runner_detail

/// Runs child in a child process set up as options say and returns what it
/// wrote and how it ended: its return value is the exit status. The terminal
/// passes bytes through unchanged (no "\r" is added before "\n"). A child
/// still running after 60 s is killed and the test fails.
inline RunResult RunChild(const std::function<int()>& child, const RunOptions& options = {}) {
  using runner_detail::Reader;
  RunResult result;
  const Sink sinks[2] = {options.out, options.err};
  const bool terminal = options.out == Sink::kTerminal || options.err == Sink::kTerminal;
  int master = -1;
  int slave = -1;
  if (terminal) {
    winsize size = {};
    size.ws_col = options.columns;
    size.ws_row = options.rows;
    if (platform::OpenPseudoTerminal(&master, &slave, size) != 0) {
      ADD_FAILURE() << "openpty failed";
      return result;
    }
    termios mode = {};
    tcgetattr(slave, &mode);
    mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tcsetattr(slave, TCSANOW, &mode);
  }
  int pipes[2][2] = {{-1, -1}, {-1, -1}};
  for (int i = 0; i < 2; ++i) {
    if (sinks[i] != Sink::kPipe && sinks[i] != Sink::kFullPipe) continue;
    if (pipe(pipes[i]) != 0 ||
        (sinks[i] == Sink::kPipe && !platform::ShrinkPipe(pipes[i][0], 4096))) {
      ADD_FAILURE() << "pipe failed";
      return result;
    }
  }
  TempTree capture;
  const std::string paths[2] = {options.out_path.empty() ? capture.At("out") : options.out_path,
                                capture.At("err")};

  // A child's peak memory counts the pages it shares with this process from
  // the fork until its exec, so what earlier tests freed goes back first.
  platform::TrimHeap();
  runner_detail::Child process;
  process.pid = fork();
  if (process.pid == 0) {
    if (terminal) {
      // A session of its own with the terminal as its controlling one, as a
      // shell gives a program it starts.
      setsid();
      ioctl(slave, TIOCSCTTY, 0);
    }
    // Everything is opened before any standard descriptor is closed, so that
    // nothing opened lands on one that must stay closed.
    int targets[3] = {open("/dev/null", O_RDONLY), -1, -1};
    for (int i = 0; i < 2; ++i) {
      switch (sinks[i]) {
        case Sink::kFile:
          targets[i + 1] = open(paths[i].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
          break;
        case Sink::kTerminal:
          targets[i + 1] = slave;
          break;
        case Sink::kFullPipe:
          fcntl(pipes[i][1], F_SETFL, fcntl(pipes[i][1], F_GETFL) | O_NONBLOCK);
          [[fallthrough]];
        case Sink::kPipe:
          close(pipes[i][0]);
          targets[i + 1] = pipes[i][1];
          break;
        case Sink::kGonePipe: {
          int gone[2];
          if (pipe(gone) != 0) _exit(126);
          close(gone[0]);
          targets[i + 1] = gone[1];
          break;
        }
        case Sink::kClosed:
          break;
      }
    }
    for (int fd = 0; fd < 3; ++fd) {
      if (fd > 0 && sinks[fd - 1] == Sink::kClosed) {
        close(fd);
      } else if (targets[fd] < 0 || dup2(targets[fd], fd) < 0) {
        _exit(126);
      }
    }
    if (master >= 0) close(master);
    if (options.file_limit > 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit = {options.file_limit, options.file_limit};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    if (options.descriptor_limit > 0) {
      // Only the standard streams count against the limit, whatever the test
      // process has open.
      for (int fd = 3; fd < 1024; ++fd) close(fd);
      const rlimit limit = {options.descriptor_limit, options.descriptor_limit};
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
    }
    if (options.unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(126);
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    if (terminal) setenv("TERM", "xterm", 1);
    for (const std::string& e : options.env) putenv(const_cast<char*>(e.c_str()));
    // A test run from a job that ignores them would see no signal land.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGPIPE, options.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    signal(SIGHUP, options.hang_up ? SIG_IGN : SIG_DFL);
    _exit(child());
  }
  if (slave >= 0) close(slave);
  std::vector<Reader> readers;
  if (master >= 0)
    readers.push_back({master, &result.terminal, options.out == Sink::kTerminal, false, {}});
  for (int i = 0; i < 2; ++i) {
    if (pipes[i][1] >= 0) close(pipes[i][1]);
    if (pipes[i][0] >= 0) {
      readers.push_back({pipes[i][0],
                         i == 0 ? &result.out : &result.err,
                         i == 0,
                         sinks[i] == Sink::kFullPipe,
                         {}});
    }
  }

  const auto start = std::chrono::steady_clock::now();
  const auto deadline = ToolDeadline();
  const auto release = start + options.hold;
  const auto signal_at = start + options.signal_delay;
  bool signalled = options.signal == 0;
  bool shown = false;
  bool terminal_open = master >= 0;
  char buffer[4096];
  for (auto now = start; now < deadline; now = std::chrono::steady_clock::now()) {
    if (!signalled && now >= signal_at) {
      if (!process.Ended()) kill(process.pid, options.signal);
      signalled = true;
    }
    const bool released = options.release_on.empty() ? now >= release : shown || !terminal_open;
    std::vector<pollfd> polls;
    std::vector<Reader*> polled;
    for (Reader& r : readers) {
      if (r.is_output && !released) continue;
      if (r.when_full && !r.full.Full(r.fd) && !process.Ended()) continue;
      r.when_full = false;  // read to the end from now on
      polls.push_back({r.fd, POLLIN, 0});
      polled.push_back(&r);
    }
    if (readers.empty() && signalled) break;
    if (polls.empty() || poll(polls.data(), polls.size(), 10) <= 0) {
      if (polls.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    for (size_t k = 0; k < polls.size(); ++k) {
      if (polls[k].revents == 0) continue;
      Reader& r = *polled[k];
      const size_t want =
          std::min(sizeof buffer, options.take - std::min(options.take, r.into->size()));
      const ssize_t n = want == 0 ? 0 : read(r.fd, buffer, want);
      if (n > 0) r.into->append(buffer, static_cast<size_t>(n));
      // The end of a pipe, its reader done, or EIO once no process holds the
      // terminal open.
      if (n <= 0 || (r.fd != master && r.into->size() >= options.take)) {
        if (r.fd == master) terminal_open = false;
        close(r.fd);
        r.fd = -1;
      }
    }
    if (!shown && !options.release_on.empty() &&
        result.terminal.find(options.release_on) != std::string::npos) {
      shown = true;
      if (options.hang_up && terminal_open) {
        close(master);
        terminal_open = false;
        for (Reader& r : readers) r.fd = r.fd == master ? -1 : r.fd;
      }
    }
    std::erase_if(readers, [](const Reader& r) { return r.fd < 0; });
  }
  for (const Reader& r : readers) close(r.fd);
  result.status = process.Wait(deadline);
  result.peak_rss_kib = process.usage.ru_maxrss;
  for (int i = 0; i < 2; ++i) {
    if (sinks[i] == Sink::kFile && (i == 1 || options.out_path.empty())) {
      (i == 0 ? result.out : result.err) = ReadWhole(paths[i]);
    }
  }
  return result;
}

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

/// Returns the options of a run in a terminal window whose report goes to a
/// file: standard error on the terminal.
inline RunOptions OnTerminal() {
  RunOptions options;
  options.err = Sink::kTerminal;
  return options;
}

/// Runs the built wavtally with args, the arguments after the program name,
/// in a child set up as options say.
inline RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options = {}) {
  TempTree copy;
  std::vector<std::string> argv_text = {ToolBinary(options.unprivileged, copy)};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  return RunChild(
      [&] {
        std::vector<char*> argv;
        for (std::string& a : argv_text) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        return 127;
      },
      options);
}

}  // namespace wavtally::test
