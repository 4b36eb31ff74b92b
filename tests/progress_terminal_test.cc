// The progress display on a real pseudo-terminal: when it opens, the bytes
// it draws and erases, and that nothing of it shows when it must not.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/line_writer.h"
#include "base/terminal.h"
#include "process_runner.h"
#include "report/progress.h"
#include "temp_tree.h"
#include "terminal_shown.h"

namespace wavtally::test {
namespace {

constexpr int64_t kMs = 1'000'000;

TEST(TerminalTest, OpensOnlyWhenStandardErrorAloneIsATerminal) {
  const struct {
    Sink out;
    Sink err;
    std::vector<std::string> env;
    bool opens;
  } kCases[] = {
      {Sink::kFile, Sink::kTerminal, {}, true},
      {Sink::kPipe, Sink::kTerminal, {}, true},
      {Sink::kTerminal, Sink::kTerminal, {}, false},
      {Sink::kTerminal, Sink::kFile, {}, false},
      {Sink::kFile, Sink::kFile, {}, false},
      {Sink::kFile, Sink::kTerminal, {"TERM=dumb"}, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(c.out) << static_cast<int>(c.err));
    RunOptions options = OnTerminal();
    options.out = c.out;
    options.err = c.err;
    options.env = c.env;
    const RunResult r = RunChild([] { return OpenProgressTerminal() ? 0 : 1; }, options);
    EXPECT_EQ(r.status, c.opens ? 0 : 1);
    EXPECT_EQ(r.terminal + r.out + r.err, "");
  }
}

TEST(TerminalTest, DrawsInPlaceErasesAndFollowsTheWidth) {
  RunOptions options = OnTerminal();
  options.columns = 57;
  const RunResult r = RunChild(
      [] {
        const std::unique_ptr<Terminal> terminal = OpenProgressTerminal();
        if (!terminal || terminal->Width() != 57) return 2;
        winsize size = {};
        size.ws_col = 101;
        size.ws_row = 24;
        ioctl(STDERR_FILENO, TIOCSWINSZ, &size);
        if (terminal->Width() != 101) return 3;
        const bool drawn =
            terminal->Draw(L"one") && terminal->Draw(L"caf\u00e9") && terminal->Erase();
        terminal->EraseForStop();
        return drawn ? 0 : 4;
      },
      options);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.terminal, "\rone\x1b[K\rcaf\xc3\xa9\x1b[K\r\x1b[K\r\x1b[K");
}

TEST(ProgressTerminalTest, FramesStepAsideForAWholeMessageThenTheSummaryStays) {
  const RunResult r = RunChild(
      [] {
        std::unique_ptr<Terminal> terminal = OpenProgressTerminal();
        if (!terminal) return 2;
        int64_t now = 0;
        Progress progress(std::move(terminal), StdErr(),
                          {[&] { return now; }, /*timer=*/false, {}});
        progress.CountWav(true);
        progress.CountFolder();
        progress.SetFolder(L"a\tb");
        now = 500 * kMs;
        progress.Tick();
        {
          ProgressMessage message(&progress);
          StdErr().Write(std::string_view("wavtally: cannot open file 'x.wav': gone"));
          StdErr().EndLine();
        }
        progress.CountMidi();
        now = 600 * kMs;
        progress.Tick();
        now = 1500 * kMs;
        progress.Finish();
        return 0;
      },
      OnTerminal());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.terminal,
            "\r1 file (1 WAV), 1 folder, 2 files/s, reading /a\\tb\x1b[K"
            "\r\x1b[K"
            "wavtally: cannot open file 'x.wav': gone\n"
            "\r2 files (1 WAV), 1 folder, 3 files/s, reading /a\\tb\x1b[K"
            "\r\x1b[K"
            "1 WAV file, 1 MIDI file, 1 folder, in 1.5 s\n");
}

// A report longer than a terminal or a pipe holds, so that a run whose
// reader waits lasts longer than the first frame's half second; and one
// message.
struct LongRun {
  TempTree tree;
  std::string report = kReportHeader;
  std::string message;

  LongRun() {
    for (int i = 0; i < 200; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "take-%03d-", i);
      const std::string file = name + std::string(150, 'x') + ".mid";
      tree.File(file);
      report += "/" + file + "\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\t\n";
    }
    tree.Link("loop", "loop");
    message = "wavtally: cannot list folder '" + tree.At("loop") +
              "': too many levels of symbolic links\n";
  }
};

TEST(NoProgressTest, NothingMoreWhenTheReportIsOnTheTerminalOrStandardErrorIsNot) {
  LongRun run;
  RunOptions options = OnTerminal();
  options.hold = std::chrono::milliseconds(700);
  {
    SCOPED_TRACE("both on the terminal");
    options.out = Sink::kTerminal;
    options.err = Sink::kTerminal;
    const RunResult r = RunTool({run.tree.Root()}, options);
    EXPECT_EQ(r.status, 0);
    std::string terminal = r.terminal;
    const size_t at = terminal.find(run.message);
    ASSERT_NE(at, std::string::npos) << terminal;
    EXPECT_TRUE(at == 0 || terminal[at - 1] == '\n');
    terminal.erase(at, run.message.size());
    EXPECT_EQ(terminal, run.report);
  }
  {
    SCOPED_TRACE("the report on the terminal");
    options.out = Sink::kTerminal;
    options.err = Sink::kFile;
    const RunResult r = RunTool({run.tree.Root()}, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.terminal, run.report);
    EXPECT_EQ(r.err, run.message);
  }
  {
    SCOPED_TRACE("standard error in a file");
    options.out = Sink::kPipe;
    options.err = Sink::kFile;
    const RunResult r = RunTool({run.tree.Root()}, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.terminal, "");
    EXPECT_EQ(r.out, run.report);
    EXPECT_EQ(r.err, run.message);
  }
}

// Returns text with each number in it (digits, and commas between them) as
// one "#", so that a frame's shape can be compared whatever its counts.
std::string NumbersAsHash(const std::string& text) {
  std::string shape;
  for (size_t i = 0; i < text.size();) {
    if (text[i] < '0' || text[i] > '9') {
      shape += text[i++];
      continue;
    }
    while (i < text.size() && ((text[i] >= '0' && text[i] <= '9') || text[i] == ',')) ++i;
    shape += '#';
  }
  return shape;
}

TEST(ProgressToolTest, TheTimerDrawsWhileTheReportWaitsAndAClosedTerminalEndsOnlyTheDisplay) {
  LongRun run;
  RunOptions options = OnTerminal();
  options.out = Sink::kPipe;
  // The report waits for its reader, and the reader for the first frame.
  options.release_on = " files/s, reading /";
  {
    SCOPED_TRACE("drawn by the timer");
    const RunResult r = RunTool({run.tree.Root()}, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, run.report);
    const std::vector<Shown> shown = ShownOn(r.terminal);
    const std::string shape = ShapeOf(shown);
    // The message comes once the report is read, then perhaps more frames.
    EXPECT_TRUE(shape == "FELL" || shape == "FELFEL") << r.terminal;
    std::vector<std::string> lines;
    for (const Shown& s : shown) {
      if (s.kind == Shown::Kind::kFrame) {
        const std::string shape = NumbersAsHash(s.text);
        EXPECT_TRUE(shape == "# files (# WAV), # folder, # files/s, reading /" ||
                    shape == "# file (# WAV), # folder, # files/s, reading /")
            << s.text;
        EXPECT_NE(s.text.find(" (0 WAV), 1 folder, "), std::string::npos) << s.text;
      }
      if (s.kind == Shown::Kind::kLine) lines.push_back(s.text + "\n");
    }
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], run.message);
    const std::string summary = "0 WAV files, 200 MIDI files, 1 folder, 1 folder skipped, in ";
    EXPECT_EQ(lines[1].substr(0, summary.size()), summary);
    EXPECT_EQ(lines[1].substr(lines[1].size() - 3), " s\n");
  }
  {
    SCOPED_TRACE("the terminal closed after the first frame");
    options.hang_up = true;
    const RunResult r = RunTool({run.tree.Root()}, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, run.report);
    EXPECT_EQ(ShapeOf(ShownOn(r.terminal)), "F") << r.terminal;
  }
}

}  // namespace
}  // namespace wavtally::test
