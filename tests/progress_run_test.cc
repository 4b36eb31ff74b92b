// Whole runs with progress on a real pseudo-terminal: the tool's front end in
// a child process, over a memory file system whose calls take time on a
// clock of their own. The display draws when the file system is called, as
// if its timer woke right then, so every frame falls at the same point of
// every run and nothing depends on how fast the machine is.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/entry.h"
#include "base/line_writer.h"
#include "base/terminal.h"
#include "cli/wavtally.h"
#include "memory_file_system.h"
#include "process_runner.h"
#include "report/progress.h"
#include "terminal_shown.h"
#include "wave_builder.h"

namespace wavtally::test {
namespace {

using Call = MemoryFileSystem::Call;
using Kind = Shown::Kind;
using Mode = ScanTuning::Mode;
constexpr int64_t kMs = 1'000'000;

// A run of the tool on DIR over fs, whose every call takes latency.
struct SlowRun {
  MemoryFileSystem fs;
  ScanTuning tuning;
  std::string dir;
  // Runs before each call of the run with a terminal, after the frame due.
  std::function<void(Call, const std::string&)> on_call;
  std::function<int64_t()> calls_clock = fs.Clock();
  std::atomic<int64_t> waited{0};  // what Wait added to the calls' time
  Progress* progress = nullptr;    // while a run with a terminal goes on

  explicit SlowRun(std::string root, int64_t latency, Mode mode = Mode::kInline)
      : dir(std::move(root)) {
    tuning.mode = mode;
    fs.SetLatency(latency);
    fs.SetHook([this](Call call, const std::string& path) {
      if (progress == nullptr) return;
      progress->Tick();
      if (on_call) on_call(call, path);
    });
  }

  // A call that hangs for nanoseconds, while the timer goes on drawing.
  void Wait(int64_t nanoseconds) {
    for (int64_t left = nanoseconds; left > 0; left -= 100 * kMs) {
      waited += 100 * kMs;
      progress->Tick();
    }
  }

  // In the child: the run with this process's standard output and error.
  int Run() {
    const ProgressOpener open = [this](LineWriter& messages) -> std::unique_ptr<Progress> {
      std::unique_ptr<Terminal> terminal = OpenProgressTerminal();
      if (!terminal) return nullptr;
      auto opened = std::make_unique<Progress>(
          std::move(terminal), messages,
          ProgressOptions{[this] { return calls_clock() + waited.load(); }, /*timer=*/false, {}});
      progress = opened.get();
      return opened;
    };
    return RunWavtally({DecodeUtf8(dir)}, StdOut(), StdErr(), fs, open, tuning);
  }

  // The report and messages of the same run without a terminal.
  std::pair<std::string, std::string> Plain() {
    StringLineWriter out, err;
    RunWavtally({DecodeUtf8(dir)}, out, err, fs, nullptr, tuning);
    return {out.Text(), err.Text()};
  }
};

std::vector<std::string> Texts(const std::vector<Shown>& shown, Kind kind) {
  std::vector<std::string> texts;
  for (const Shown& s : shown) {
    if (s.kind == kind) texts.push_back(s.text);
  }
  return texts;
}

// Checks that line sums up a run as summary says, whatever time it took.
void ExpectSummary(const std::string& line, const std::string& summary) {
  EXPECT_EQ(line.substr(0, summary.size()), summary) << line;
  const std::string time = line.substr(std::min(line.size(), summary.size()));
  EXPECT_TRUE(time.size() >= 5 && time.substr(time.size() - 2) == " s" &&
              time.find_first_not_of("0123456789.", 0) == time.size() - 2)
      << line;
}

size_t Columns(const std::string& frame) { return TerminalColumns(DecodeUtf8(frame)); }

uint64_t RateOf(const std::string& frame) {
  const size_t end = frame.find(" files/s");
  const size_t start = frame.rfind(", ", end) + 2;
  return std::stoull(frame.substr(start, end - start));
}

TEST(ProgressRunTest, FramesStepAsideForAMessageAndAWaitShowsWhereItHangs) {
  for (const Mode mode : {Mode::kInline, Mode::kPooled}) {
    SCOPED_TRACE(mode == Mode::kInline ? "one call at a time" : "calls on threads");
    SlowRun run("/lib", 40 * kMs, mode);
    run.fs.File("/lib/top.mid");
    char name[32];
    for (int i = 0; i < 10; ++i) {
      std::snprintf(name, sizeof name, "/lib/a/a-%02d.wav", i);
      run.fs.File(name, Stereo16(1));
      std::snprintf(name, sizeof name, "/lib/c/c-%02d.wav", i);
      run.fs.File(name, Stereo16(1));
    }
    run.fs.File("/lib/c/bad.wav", {'R', 'I', 'F', 'F'});
    run.fs.File("/lib/c/x.mid");
    run.fs.File("/lib/c/y.mid");
    // A folder whose look hangs for three seconds, then cannot be listed.
    run.fs.Dir("/lib/b-hung");
    run.fs.Fail(Call::kList, "/lib/b-hung", "permission denied");
    run.on_call = [&run](Call call, const std::string& path) {
      if (call == Call::kStat && path == "/lib/b-hung") run.Wait(3000 * kMs);
    };
    const std::string message = "wavtally: cannot list folder '/lib/b-hung': permission denied";

    const RunResult r = RunChild([&] { return run.Run(); }, OnTerminal());
    const auto [report, errors] = run.Plain();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, report);
    EXPECT_EQ(errors, message + "\n");
    const std::vector<Shown> shown = ShownOn(r.terminal);
    // Frames, erased for the message, drawn again, erased for the summary.
    // On threads the message may wait for reads that end the run, and then
    // no frame comes between it and the summary.
    const std::string shape = ShapeOf(shown);
    EXPECT_TRUE(shape == "FELFELLL" || (mode == Mode::kPooled && shape == "FELLLL")) << r.terminal;
    const std::vector<std::string> lines = Texts(shown, Kind::kLine);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], message);
    ExpectSummary(lines[1],
                  "21 WAV files (1 unreadable), 3 MIDI files, 3 folders, "
                  "1 folder skipped, in ");
    EXPECT_EQ(lines[2], "formats: 20 \u00d7 44.1 kHz 16-bit 2 ch PCM");
    EXPECT_EQ(lines[3], "unreadable: 1 (1 RIFF of another form)");
    const std::vector<std::string> frames = Texts(shown, Kind::kFrame);
    for (const std::string& frame : frames) {
      EXPECT_LE(Columns(frame), 79u) << frame;
      EXPECT_NE(frame.find(" files/s, reading /"), std::string::npos) << frame;
    }
    if (mode != Mode::kInline) continue;
    // On threads, the wait may be over before the walk gets to it; on the
    // walk's own thread each frame of it names the folder, at a rate that
    // falls to nothing.
    std::vector<uint64_t> rates;
    for (const std::string& frame : frames) {
      if (frame.ends_with("reading /b-hung")) rates.push_back(RateOf(frame));
    }
    ASSERT_EQ(rates.size(), 30u);
    EXPECT_GT(rates.front(), 0u);
    EXPECT_TRUE(std::is_sorted(rates.rbegin(), rates.rend()));
    EXPECT_EQ(rates.back(), 0u);
    EXPECT_EQ(frames.front(), "10 files (9 WAV), 2 folders, 19 files/s, reading /a");
  }
}

TEST(ProgressRunTest, AQuickRunOrOneThatFailsShowsItsSummaryAlone) {
  SlowRun run("/lib", 10 * kMs);
  run.fs.File("/lib/a.wav", Stereo16(1));
  run.fs.File("/lib/b.wav", Stereo16(1));
  run.fs.File("/lib/c.mid");
  run.fs.File("/locked/d.mid");
  run.fs.Fail(Call::kList, "/locked", "permission denied");
  {
    SCOPED_TRACE("under half a second");
    const RunResult r = RunChild([&] { return run.Run(); }, OnTerminal());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, run.Plain().first);
    const std::vector<Shown> shown = ShownOn(r.terminal);
    ASSERT_EQ(ShapeOf(shown), "LL") << r.terminal;
    ExpectSummary(shown[0].text, "2 WAV files, 1 MIDI file, 1 folder, in ");
    EXPECT_EQ(shown[1].text, "formats: 2 \u00d7 44.1 kHz 16-bit 2 ch PCM");
  }
  {
    SCOPED_TRACE("a report that cannot be written");
    const RunResult r = RunChild(
        [&] {
          const int full = open("/dev/full", O_WRONLY);
          if (full < 0 || dup2(full, STDOUT_FILENO) < 0) return 126;
          return run.Run();
        },
        OnTerminal());
    EXPECT_EQ(r.status, 1);
    const std::vector<Shown> shown = ShownOn(r.terminal);
    ASSERT_EQ(ShapeOf(shown), "LL") << r.terminal;
    EXPECT_EQ(shown[0].text, "wavtally: cannot write report: no space left on device");
    ExpectSummary(shown[1].text, "0 WAV files, 0 MIDI files, 1 folder, in ");
  }
  {
    SCOPED_TRACE("a DIR that cannot be listed");
    run.dir = "/locked";
    const RunResult r = RunChild([&] { return run.Run(); }, OnTerminal());
    EXPECT_EQ(r.status, 1);
    const std::vector<Shown> shown = ShownOn(r.terminal);
    ASSERT_EQ(ShapeOf(shown), "LL") << r.terminal;
    EXPECT_EQ(shown[0].text, "wavtally: cannot list folder '/locked': permission denied");
    ExpectSummary(shown[1].text, "0 WAV files, 0 MIDI files, 0 folders, 1 folder skipped, in ");
  }
}

// Twenty WAV files in a folder whose name is wider than any terminal here.
void TwentyInAWideFolder(SlowRun& run) {
  for (int i = 0; i < 20; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/t-%02d.wav", i);
    run.fs.File("/lib/" + std::string(100, 'w') + name, Stereo16(1));
  }
}

TEST(ProgressRunTest, ANarrowedTerminalNarrowsTheNextFrame) {
  SlowRun run("/lib", 40 * kMs);
  TwentyInAWideFolder(run);
  run.on_call = [](Call call, const std::string& path) {
    if (call != Call::kOpen || !path.ends_with("/t-15.wav")) return;
    winsize size = {};
    size.ws_col = 40;
    size.ws_row = 24;
    ioctl(STDERR_FILENO, TIOCSWINSZ, &size);
  };
  const RunResult r = RunChild([&] { return run.Run(); }, OnTerminal());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, run.Plain().first);
  const std::vector<Shown> shown = ShownOn(r.terminal);
  // The summary's lines after the first (which stays whole, wrapped or not)
  // fit the narrowed width too.
  EXPECT_EQ(ShapeOf(shown), "FELL") << r.terminal;
  const std::vector<std::string> lines = Texts(shown, Kind::kLine);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_LE(Columns(lines[1]), 39u) << lines[1];
  size_t wide = 0;
  size_t narrow = 0;
  for (const std::string& frame : Texts(shown, Kind::kFrame)) {
    if (narrow == 0 && Columns(frame) == 79) {
      ++wide;
    } else {
      EXPECT_LE(Columns(frame), 39u) << frame;
      ++narrow;
    }
  }
  EXPECT_GT(wide, 0u);
  EXPECT_GT(narrow, 0u);
}

// The run a child under RunEntry makes, set before the fork: RunEntry takes
// a plain function.
SlowRun* entry_run = nullptr;

TEST(ProgressRunTest, ADisplayThatCannotStartCostsTheRunNothing) {
  // No thread for the timer (an address space or process limit): the run
  // goes on as it would without a terminal.
  SlowRun run("/lib", 10 * kMs);
  TwentyInAWideFolder(run);
  const RunResult r = RunChild(
      [&] {
        const ProgressOpener open = [](LineWriter& messages) {
          ProgressOptions options;
          options.start_thread = [](std::function<void()>) { return std::unique_ptr<Thread>(); };
          return Progress::Open(messages, std::move(options));
        };
        return RunWavtally({DecodeUtf8(run.dir)}, StdOut(), StdErr(), run.fs, open, run.tuning);
      },
      OnTerminal());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, run.Plain().first);
  EXPECT_EQ(r.terminal, "");
}

TEST(ProgressRunTest, AStopSignalErasesTheLineAndTheReportEndsInAWholeLine) {
  // Ctrl-C, kill, and the terminal closing: each ends the run the same way.
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    SlowRun run("/lib", 40 * kMs);
    TwentyInAWideFolder(run);
    // Ctrl-C or kill while the walk waits for a file.
    run.on_call = [sig](Call call, const std::string& path) {
      if (call != Call::kOpen || !path.ends_with("/t-15.wav")) return;
      kill(getpid(), sig);
      for (;;) pause();
    };
    entry_run = &run;
    const RunResult r = RunChild(
        [] {
          char name[] = "wavtally";
          char* argv[] = {name, nullptr};
          return RunEntry(1, argv, [](const std::vector<CStdStr>&) { return entry_run->Run(); });
        },
        OnTerminal());
    EXPECT_EQ(r.status, 128 + sig);
    const std::string report = run.Plain().first;
    EXPECT_EQ(r.out, report.substr(0, report.find('/', report.find("t-14.wav"))));
    const std::vector<Shown> shown = ShownOn(r.terminal);
    EXPECT_EQ(ShapeOf(shown), "FE") << r.terminal;
  }
}

}  // namespace
}  // namespace wavtally::test
