#pragma once

// Runs a function, or the built wavtally executable, in a child process
// whose standard error (and standard output, if asked) is a pseudo-terminal,
// as when a person runs it in a terminal window, and captures every byte
// that reaches the terminal, the other stream and the exit status.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "temp_tree.h"
#include "tool_runner.h"

namespace wavtally::test {

struct PtyOptions {
  enum class Stream {
    kTerminal,  ///< the pseudo-terminal
    kFile,      ///< a file, read into the result at the end
    /// a pipe of one page (standard output only), which the runner starts to
    /// read only after hold: a report longer than that makes the run last
    kPipe,
  };
  Stream out = Stream::kFile;
  Stream err = Stream::kTerminal;
  /// How long the reader of the report waits before reading (the pipe, or
  /// the terminal when standard output is on it): a child that writes more
  /// than either holds cannot end sooner. Not a measure of anything.
  std::chrono::milliseconds hold{0};
  /// Text the terminal must show before the report is read, instead of the
  /// hold, when the report is not on the terminal: a child that writes more
  /// than the pipe holds waits for it, however long that takes. Empty for
  /// none.
  std::string release_on;
  /// Whether the terminal goes away, as a closed window takes it, once
  /// release_on has shown and before the report is read. The child runs
  /// with SIGHUP ignored, as under nohup, so that it lives on and its writes
  /// to the terminal fail.
  bool hang_up = false;
  /// The terminal's size.
  unsigned short columns = 80;
  unsigned short rows = 24;
  /// Extra "NAME=value" entries for the environment; TERM is xterm unless
  /// set here.
  std::vector<std::string> env;
};

struct PtyResult {
  int status = -1;       ///< exit status, or 128 + signal number
  std::string terminal;  ///< the bytes on the terminal, exactly as written
  std::string out;       ///< standard output, when not on the terminal
  std::string err;       ///< standard error, when not on the terminal
};

/// Runs child in a child process set up as options say and returns what it
/// wrote and how it ended: its return value is the exit status. The
/// terminal passes bytes through unchanged (no "\r" is added before "\n").
/// A child still running after 60 s is killed and the test fails.
inline PtyResult RunInTerminal(const std::function<int()>& child, const PtyOptions& options = {}) {
  using Stream = PtyOptions::Stream;
  PtyResult result;
  int master = -1;
  int slave = -1;
  winsize size = {};
  size.ws_col = options.columns;
  size.ws_row = options.rows;
  if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
    ADD_FAILURE() << "openpty failed";
    return result;
  }
  termios mode = {};
  tcgetattr(slave, &mode);
  mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tcsetattr(slave, TCSANOW, &mode);
  int pipe_fds[2] = {-1, -1};
  if (options.out == Stream::kPipe &&
      (pipe(pipe_fds) != 0 || fcntl(pipe_fds[0], F_SETPIPE_SZ, 4096) < 0)) {
    ADD_FAILURE() << "pipe failed";
    return result;
  }
  TempTree capture;
  const std::string out_path = capture.At("out");
  const std::string err_path = capture.At("err");

  const pid_t pid = fork();
  if (pid == 0) {
    // A session of its own with the terminal as its controlling one, as a
    // shell gives a program it starts.
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(options.out == Stream::kTerminal ? slave
         : options.out == Stream::kPipe   ? pipe_fds[1]
                                          : out,
         1);
    dup2(options.err == Stream::kTerminal ? slave : err, 2);
    close(master);
    setenv("TERM", "xterm", 1);
    for (const std::string& e : options.env) putenv(const_cast<char*>(e.c_str()));
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGHUP, options.hang_up ? SIG_IGN : SIG_DFL);
    _exit(child());
  }
  close(slave);
  if (pipe_fds[1] >= 0) close(pipe_fds[1]);

  // The terminal is read all along unless it carries the report; the report
  // is read once the hold is over or release_on has shown (or can no longer
  // show).
  const auto deadline = ToolDeadline();
  const auto release = std::chrono::steady_clock::now() + options.hold;
  const bool report_on_terminal = options.out == Stream::kTerminal;
  int open_fds[2] = {master, pipe_fds[0]};
  bool shown = false;
  char buffer[4096];
  while ((open_fds[0] >= 0 || open_fds[1] >= 0) && std::chrono::steady_clock::now() < deadline) {
    const bool released = options.release_on.empty() ? std::chrono::steady_clock::now() >= release
                                                     : shown || open_fds[0] < 0;
    pollfd polls[2];
    std::string* into[2];
    nfds_t count = 0;
    for (int i = 0; i < 2; ++i) {
      const bool is_report = i == 1 || report_on_terminal;
      if (open_fds[i] < 0 || (is_report && !released)) continue;
      polls[count] = {open_fds[i], POLLIN, 0};
      into[count++] = i == 0 ? &result.terminal : &result.out;
    }
    if (count == 0) {
      std::this_thread::sleep_until(release);
      continue;
    }
    if (poll(polls, count, 10) <= 0) continue;
    for (nfds_t k = 0; k < count; ++k) {
      if (polls[k].revents == 0) continue;
      const ssize_t n = read(polls[k].fd, buffer, sizeof buffer);
      if (n > 0) {
        into[k]->append(buffer, static_cast<size_t>(n));
        continue;
      }
      // The end of a pipe, or EIO once no process holds the terminal open.
      close(polls[k].fd);
      for (int& fd : open_fds) fd = fd == polls[k].fd ? -1 : fd;
    }
    if (!shown && !options.release_on.empty() &&
        result.terminal.find(options.release_on) != std::string::npos) {
      shown = true;
      if (options.hang_up && open_fds[0] >= 0) {
        close(open_fds[0]);
        open_fds[0] = -1;
      }
    }
  }
  for (const int fd : open_fds) {
    if (fd >= 0) close(fd);
  }
  result.status = WaitForTool(pid, deadline);
  if (options.out == Stream::kFile) result.out = ReadWhole(out_path);
  if (options.err == Stream::kFile) result.err = ReadWhole(err_path);
  return result;
}

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

/// Runs the built wavtally with args in a child set up as options say.
inline PtyResult RunToolInTerminal(const std::vector<std::string>& args,
                                   const PtyOptions& options = {}) {
  return RunInTerminal(
      [&] {
        std::vector<std::string> argv_text = {WAVTALLY_BINARY};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : argv_text) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        return 127;
      },
      options);
}

}  // namespace wavtally::test
