#include "base/line_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/entry.h"
#include "process_runner.h"
#include "temp_tree.h"

namespace wavtally {
namespace {

// Keeps each Emit apart; the Emit numbered fail_at fails.
class RecordingWriter : public LineWriter {
 public:
  std::vector<std::string> emits;
  size_t fail_at = SIZE_MAX;

 protected:
  EmitResult Emit(std::wstring_view lines, std::string* error) override {
    emits.push_back(EncodeUtf8(lines));
    if (emits.size() - 1 != fail_at) return EmitResult::kOk;
    *error = "disk full";
    return EmitResult::kFailed;
  }
};

void Line(LineWriter& w, std::string_view text) {
  w.Write(text);
  w.EndLine();
}

TEST(LineWriterTest, HeldLinesGoOutInOneEmitOtherLinesOneEach) {
  RecordingWriter w;
  Line(w, "a");
  w.HoldLines();
  Line(w, "b");
  Line(w, "c");
  EXPECT_EQ(w.emits, std::vector<std::string>{"a\n"});
  // A line begun but not ended stays behind the held ones.
  w.Write(std::string_view("d"));
  w.SendHeld();
  w.SendHeld();
  w.EndLine();
  Line(w, "e");
  EXPECT_EQ(w.emits, (std::vector<std::string>{"a\n", "b\nc\n", "d\n", "e\n"}));

  StringLineWriter s;
  s.HoldLines();
  Line(s, "x");
  Line(s, "y");
  EXPECT_EQ(s.Text(), "");
  s.SendHeld();
  EXPECT_EQ(s.Text(), "x\ny\n");
}

TEST(LineWriterTest, NothingIsSentAfterAFailureHeldOrNot) {
  RecordingWriter w;
  w.fail_at = 1;
  Line(w, "a");
  w.HoldLines();
  Line(w, "b");
  Line(w, "c");
  w.SendHeld();
  EXPECT_TRUE(w.Failed());
  EXPECT_FALSE(w.Closed());
  EXPECT_EQ(w.Error(), "disk full");
  w.HoldLines();
  Line(w, "d");
  w.SendHeld();
  Line(w, "e");
  EXPECT_EQ(w.emits, (std::vector<std::string>{"a\n", "b\nc\n"}));
}

// ---------------------------------------------------------------------------
// The real standard output, and stop signals, in a child process.

// What the child runs, set before the fork: RunEntry takes a plain function.
std::function<void(int fd)> child_body;

int ChildEntry(const std::vector<CStdStr>&) {
  child_body(STDERR_FILENO);
  return 0;
}

// Runs body(fd) under RunEntry in a child process, as wavtally's main would,
// and returns how the child ended and, as its err, what it wrote to fd, a
// pipe.
test::RunResult RunInChild(std::function<void(int fd)> body) {
  child_body = std::move(body);
  test::RunOptions options;
  options.err = test::Sink::kPipe;
  return test::RunChild(
      [] {
        char name[] = "child";
        char* argv[] = {name, nullptr};
        return RunEntry(1, argv, ChildEntry);
      },
      options);
}

void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n <= 0) _exit(126);
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

TEST(StdOutTest, LineCutByAFullFileIsCountedInTheMessage) {
  // Each case: the file's size limit, what must be in it, and the message.
  const struct {
    size_t limit;
    std::string kept;
    std::string error;
  } kCases[] = {
      {22, "first line\nsecond\nthir", "file too large (wrote 4 of 11 bytes of the last line)"},
      {18, "first line\nsecond\n", "file too large"},
      {5, "first", "file too large (wrote 5 of 11 bytes of the last line)"},
      {11, "first line\n", "file too large"},
      // Nothing went out at all: no line was cut.
      {0, "", "file too large"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.limit);
    test::TempTree tree;
    const std::string path = tree.At("out");
    const test::RunResult r = RunInChild([&](int fd) {
      const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (file < 0 || dup2(file, STDOUT_FILENO) < 0) _exit(126);
      // Past the limit write(2) fails with EFBIG instead of the signal
      // ending the child.
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit = {c.limit, c.limit};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
      LineWriter& out = StdOut();
      Line(out, "first line");
      out.HoldLines();
      Line(out, "second");
      Line(out, "third line");
      out.SendHeld();
      Line(out, "fourth");
      WriteAll(fd, out.Error());
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, c.error);
    EXPECT_EQ(test::ReadWhole(path), c.kept);
  }
}

// Sends lines to fd, running mid_send after half the bytes of each Emit: a
// signal then lands in the middle of a line, as it may in a long write(2).
class InterruptedSink : public LineWriter {
 public:
  InterruptedSink(int fd, std::function<void()> mid_send)
      : fd_(fd), mid_send_(std::move(mid_send)) {}

 protected:
  EmitResult Emit(std::wstring_view lines, std::string*) override {
    const std::string bytes = EncodeUtf8(lines);
    WriteAll(fd_, std::string_view(bytes).substr(0, bytes.size() / 2));
    mid_send_();
    WriteAll(fd_, std::string_view(bytes).substr(bytes.size() / 2));
    return EmitResult::kOk;
  }

 private:
  int fd_;
  std::function<void()> mid_send_;
};

void WriteCleanupMark() { WriteAll(STDERR_FILENO, "[cleanup]"); }

TEST(StopSignalTest, LinesBeingSentAreFinishedThenTheStopEndsTheRun) {
  enum class Lands { kOnTheWriter, kOnAnotherThread, kTwice, kBetweenLines };
  const struct {
    int sig;
    Lands lands;
    std::string out;
  } kCases[] = {
      {SIGINT, Lands::kOnTheWriter, "one\ntwo\nthree\n[cleanup]"},
      {SIGTERM, Lands::kOnAnotherThread, "one\ntwo\nthree\n[cleanup]"},
      {SIGTERM, Lands::kBetweenLines, "one\n[cleanup]"},
      // A second stop does not wait for a write that may never end, nor for
      // the cleanup.
      {SIGINT, Lands::kTwice, "one\ntwo\nt"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(static_cast<int>(c.lands));
    const test::RunResult r = RunInChild([&](int fd) {
      SetStopCleanup(WriteCleanupMark);
      bool armed = false;
      InterruptedSink sink(fd, [&] {
        if (!armed) return;
        if (c.lands == Lands::kOnAnotherThread) {
          std::thread([&] { RequestStop(c.sig); }).join();
        } else {
          RequestStop(c.sig);
          if (c.lands == Lands::kTwice) RequestStop(c.sig);
        }
      });
      Line(sink, "one");
      if (c.lands == Lands::kBetweenLines) RequestStop(c.sig);
      armed = true;
      sink.HoldLines();
      Line(sink, "two");
      Line(sink, "three");
      sink.SendHeld();
      Line(sink, "four");
    });
    EXPECT_EQ(r.status, 128 + c.sig);
    EXPECT_EQ(r.err, c.out);
  }
}

TEST(StopSignalTest, NoSendBeginsOnceAStopIsWaitingForTheSendUnderWay) {
  const test::RunResult r = RunInChild([](int fd) {
    std::atomic<bool> other_sent{false};
    InterruptedSink other(fd, [] {});
    InterruptedSink sink(fd, [&] {
      RequestStop(SIGINT);
      // Another thread's line, begun now, must never go out; give it time
      // to, then finish this one.
      std::thread([&] {
        Line(other, "other");
        other_sent = true;
      }).detach();
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
      while (!other_sent && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    Line(sink, "one");
    Line(sink, "two");
  });
  EXPECT_EQ(r.status, 128 + SIGINT);
  EXPECT_EQ(r.err, "one\n");
}

// Where the stop cleanup writes, set before the fork: it takes no arguments.
int cleanup_fd = -1;

TEST(StopSignalTest, AScopedSendIsWaitedForThenTheCleanupRuns) {
  for (const bool inside : {true, false}) {
    SCOPED_TRACE(inside);
    const test::RunResult r = RunInChild([&](int fd) {
      cleanup_fd = fd;
      SetStopCleanup([] { WriteAll(cleanup_fd, "cleanup\n"); });
      if (inside) {
        ScopedSend send;
        RequestStop(SIGTERM);
        WriteAll(fd, "inside\n");
      } else {
        RequestStop(SIGTERM);
      }
      WriteAll(fd, "after\n");
    });
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_EQ(r.err, inside ? "inside\ncleanup\n" : "cleanup\n");
  }
}

// ---------------------------------------------------------------------------
// Real SIGINT and SIGTERM, sent to a child under RunEntry whose only other
// thread is stuck where no signal handler runs.

// Stands for a thread in a kernel wait that no handled signal cuts short (a
// read that a share never answers): every signal blocked, then waiting for
// good. The line written in between tells the test that the thread is past
// the point where a handler could still run on it.
void BlockAllSignals() {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

[[noreturn]] void WaitForever() {
  for (;;) pause();
}

void WriteCleanupToStdErr() { WriteAll(STDERR_FILENO, "cleanup\n"); }

int StuckAfterTwoLines(const std::vector<CStdStr>&) {
  SetStopCleanup(WriteCleanupToStdErr);
  Line(StdOut(), "one");
  BlockAllSignals();
  Line(StdOut(), "two");
  WaitForever();
}

int StuckInTheMiddleOfALine(const std::vector<CStdStr>&) {
  SetStopCleanup(WriteCleanupToStdErr);
  Line(StdOut(), "one");
  BlockAllSignals();
  InterruptedSink sink(STDOUT_FILENO, [] { WaitForever(); });
  Line(sink, "two");
  return 0;
}

// A child whose standard output and error share one pipe, so that what it
// writes keeps its order, and which is killed once deadline has passed.
struct SignalledChild {
  pid_t pid = -1;
  int fd = -1;
  std::string out;
  std::chrono::steady_clock::time_point deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(20);

  /// Starts entry under RunEntry with SIGINT and SIGTERM at their defaults,
  /// but ignored (0 for none) ignored from the start.
  SignalledChild(EntryFunction entry, int ignored) {
    int fds[2];
    if (pipe(fds) != 0) {
      ADD_FAILURE() << "pipe failed";
      return;
    }
    pid = fork();
    if (pid == 0) {
      close(fds[0]);
      if (dup2(fds[1], STDOUT_FILENO) < 0 || dup2(fds[1], STDERR_FILENO) < 0) _exit(126);
      for (const int sig : {SIGINT, SIGTERM}) signal(sig, sig == ignored ? SIG_IGN : SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      pthread_sigmask(SIG_SETMASK, &none, nullptr);
      char name[] = "child";
      char* argv[] = {name, nullptr};
      _exit(RunEntry(1, argv, entry));
    }
    close(fds[1]);
    fd = fds[0];
  }
  ~SignalledChild() {
    if (fd >= 0) close(fd);
    // A test that stopped early leaves no child behind.
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

  /// Reads until the output is as long as text; returns whether it is text.
  bool Wrote(const std::string& text) {
    char buffer[256];
    while (out.size() < text.size() && std::chrono::steady_clock::now() < deadline) {
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      out.append(buffer, static_cast<size_t>(n));
    }
    return out == text;
  }

  /// Sends sig and waits until the process no longer has it pending: taken,
  /// thrown away as ignored, or the process ended. Returns false when it is
  /// still pending at the deadline.
  bool Signal(int sig) {
    kill(pid, sig);
    const std::string status = "/proc/" + std::to_string(pid) + "/status";
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string text = test::ReadWhole(status);
      const size_t at = text.find("ShdPnd:");
      // A process that is gone, or a zombie, takes nothing more.
      if (at == std::string::npos || text.find("State:\tZ") != std::string::npos) return true;
      if ((std::stoull(text.substr(at + 7), nullptr, 16) >> (sig - 1) & 1) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ADD_FAILURE() << "signal " << sig << " still pending";
    return false;
  }

  /// Returns the exit status, or 128 + the signal that ended the child,
  /// once its output has ended.
  int Status() {
    test::ReadUntil(fd, out, deadline);
    const int status = test::WaitForTool(pid, deadline);
    pid = -1;
    return status;
  }
};

TEST(StopSignalTest, RealSignalsEndARunStuckWhereNoHandlerRuns) {
  if (access("/proc/self/status", R_OK) != 0) {
    GTEST_SKIP() << "needs /proc to tell when the child took a signal";
  }
  // Each case: what the child runs, a signal it starts with ignored, what it
  // writes before it is stuck, the signals sent in turn (the last one ends
  // it) and everything it must have written by then.
  const struct {
    EntryFunction entry;
    int ignored;
    std::string before;
    std::vector<int> signals;
    std::string out;
  } kCases[] = {
      {StuckAfterTwoLines, 0, "one\ntwo\n", {SIGINT}, "one\ntwo\ncleanup\n"},
      {StuckAfterTwoLines, 0, "one\ntwo\n", {SIGTERM}, "one\ntwo\ncleanup\n"},
      // The first signal waits for the line under way; the second does not.
      {StuckInTheMiddleOfALine, 0, "one\ntw", {SIGINT, SIGTERM}, "one\ntw"},
      {StuckInTheMiddleOfALine, 0, "one\ntw", {SIGTERM, SIGINT}, "one\ntw"},
      {StuckAfterTwoLines, SIGINT, "one\ntwo\n", {SIGINT, SIGTERM}, "one\ntwo\ncleanup\n"},
      {StuckAfterTwoLines, SIGTERM, "one\ntwo\n", {SIGTERM, SIGINT}, "one\ntwo\ncleanup\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.signals) + " ignored " + std::to_string(c.ignored));
    SignalledChild child(c.entry, c.ignored);
    ASSERT_TRUE(child.Wrote(c.before));
    for (const int sig : c.signals) {
      if (!child.Signal(sig)) break;
    }
    EXPECT_EQ(child.Status(), 128 + c.signals.back());
    EXPECT_EQ(child.out, c.out);
  }
}

}  // namespace
}  // namespace wavtally
