#include "report/progress.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/text.h"

namespace wavtally {
namespace {

constexpr int64_t kMs = 1'000'000;

std::string Line(const ProgressCounts& counts, uint64_t rate, const char* folder, size_t width) {
  return EncodeUtf8(RenderProgressLine(counts, rate, DecodeUtf8(folder), width));
}

TEST(ProgressLineTest, CountsRateAndFolderWithSeparators) {
  const ProgressCounts counts{12000, 0, 345, 210, 0};
  EXPECT_EQ(Line(counts, 1234, "Group3/take 7", 200),
            "12,345 files (12,000 WAV), 210 folders, 1,234 files/s, reading /Group3/take 7");
  EXPECT_EQ(Line({1, 0, 0, 1, 0}, 0, "", 200), "1 file (1 WAV), 1 folder, 0 files/s, reading /");
  EXPECT_EQ(Line({999, 0, 1, 1000000, 0}, 999, "a", 200),
            "1,000 files (999 WAV), 1,000,000 folders, 999 files/s, reading /a");
  // Control characters are escaped as in the report, so the line stays one;
  // and nothing else a name holds talks to the terminal: C1 controls (CSI,
  // OSC), raw bytes of a name that is not UTF-8 (0x9B is CSI on an 8-bit
  // terminal), bidi controls, line and paragraph separators.
  EXPECT_EQ(Line({}, 0, "a\tb/c\nd\x1b", 200),
            "0 files (0 WAV), 0 folders, 0 files/s, reading /a\\tb/c\\nd\\x1b");
  EXPECT_EQ(Line({}, 0,
                 "\xc2\x9b"
                 "2J\xc2\x9d"
                 "0;t\x9b"
                 "2J/\xe2\x80\xae"
                 "fdp.exe\xe2\x80\xa8"
                 "x",
                 200),
            "0 files (0 WAV), 0 folders, 0 files/s, reading "
            "/\\x9b2J\\x9d0;t\\x9b2J/\\u202efdp.exe\\u2028x");
  for (const char* bidi : {"\xd8\x9c", "\xe2\x80\x8e", "\xe2\x80\x8f", "\xe2\x80\xaa",
                           "\xe2\x81\xa6", "\xe2\x81\xa9", "\xe2\x80\xa9"}) {
    const std::string line = Line({}, 0, bidi, 200);
    EXPECT_EQ(line.substr(line.size() - 6, 2), "\\u") << line;
  }
  // Ordinary letters of any script stay as they are.
  EXPECT_EQ(Line({}, 0, "caf\xc3\xa9 \xe5\x8f\xb0", 200),
            "0 files (0 WAV), 0 folders, 0 files/s, reading /caf\xc3\xa9 \xe5\x8f\xb0");
}

TEST(ProgressLineTest, CutsTheFolderAtTheLeftAndNeverFillsTheLastColumn) {
  const ProgressCounts counts{5, 0, 0, 2, 0};
  const std::string stats = "5 files (5 WAV), 2 folders, 7 files/s";
  const std::string full = stats + ", reading /library/strings/violin";
  EXPECT_EQ(Line(counts, 7, "library/strings/violin", full.size() + 1), full);
  EXPECT_EQ(Line(counts, 7, "library/strings/violin", full.size()),
            stats + ", reading \xe2\x80\xa6ibrary/strings/violin");
  EXPECT_EQ(Line(counts, 7, "library/strings/violin", stats.size() + 20),
            stats + ", reading \xe2\x80\xa6s/violin");
  // Eight columns are the least a folder is shown in; fewer say nothing.
  EXPECT_EQ(Line(counts, 7, "library/strings/violin", stats.size() + 19),
            stats + ", reading \xe2\x80\xa6/violin");
  EXPECT_EQ(Line(counts, 7, "library/strings/violin", stats.size() + 18), stats);
  EXPECT_EQ(Line(counts, 7, "library/strings/violin", stats.size() + 17), stats);
  EXPECT_EQ(Line(counts, 7, "x", stats.size() + 1), stats);
  // Too narrow even for the counts: they are cut at the right.
  EXPECT_EQ(Line(counts, 7, "x", 10), "5 files (");
  EXPECT_EQ(Line(counts, 7, "x", 1), "");
  // An unknown width is taken as 80.
  EXPECT_EQ(TerminalColumns(RenderProgressLine(counts, 7, std::wstring(200, L'a'), 0)), 79u);

  // An escape is kept whole or cut off whole; wide characters take two
  // columns. At every width the line fits.
  const CStdStr folder = DecodeUtf8("\xe9\x9f\xb3\xe6\xa5\xbd/\x01/caf\xc3\xa9\xf0\x9f\x8e\xb5/z");
  for (size_t width = 1; width < 90; ++width) {
    SCOPED_TRACE(width);
    const CStdStr line = RenderProgressLine(counts, 7, folder, width);
    EXPECT_LE(TerminalColumns(line), width - 1);
    const size_t escape = line.find(L"x01");
    if (escape != CStdStr::npos) {
      EXPECT_EQ(line[escape - 1], L'\\');
    }
  }
  EXPECT_EQ(TerminalColumns(DecodeUtf8("\xe9\x9f\xb3\xe6\xa5\xbd"
                                       "a\xf0\x9f\x8e\xb5\xc3\xa9")),
            8u);
  EXPECT_EQ(Line(counts, 7, "\xe9\x9f\xb3\xe6\xa5\xbd\xe9\x9f\xb3\xe6\xa5\xbd/\x01/ab",
                 stats.size() + 22),
            stats + ", reading \xe2\x80\xa6\xe6\xa5\xbd/\\x01/ab");
}

TEST(TerminalColumnsTest, AgreesWithTheCLibraryOverEveryCodePoint) {
  // glibc's wcwidth is an independent reading of the same Unicode data; it
  // knows no width for what is unassigned in its version, and two ranges it
  // reads otherwise than Unicode 15 does: U+3248..U+324F are East Asian
  // "ambiguous" (one column outside CJK locales), and the Yijing hexagrams
  // U+4DC0..U+4DFF are "neutral".
  ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  size_t compared = 0;
  for (uint32_t c = 0xA0; c <= 0x10FFFF; ++c) {
    if ((c >= 0xD800 && c <= 0xDFFF) || (c >= 0x3248 && c <= 0x324F) ||
        (c >= 0x4DC0 && c <= 0x4DFF)) {
      continue;
    }
    const int theirs = wcwidth(static_cast<wchar_t>(c));
    if (theirs < 0) continue;
    ++compared;
    ASSERT_EQ(CodePointColumns(c), static_cast<size_t>(theirs)) << std::hex << "U+" << c;
  }
  EXPECT_GT(compared, 280'000u);
  setlocale(LC_CTYPE, "C");
  // Those that were missing before: a star and an hourglass are emoji.
  EXPECT_EQ(TerminalColumns(L"\u2b50\u23f3"), 4u);
  EXPECT_EQ(TerminalColumns(L"e\u0301\u200d"), 1u);
}

TEST(ProgressSummaryTest, OptionalPartsSingularsAndDurations) {
  EXPECT_EQ(
      EncodeUtf8(RenderSummary({2000, 3, 100, 21, 1}, 7'560 * kMs)),
      "2,000 WAV files (3 unreadable), 100 MIDI files, 21 folders, 1 folder skipped, in 7.6 s");
  EXPECT_EQ(EncodeUtf8(RenderSummary({1, 0, 1, 1, 0}, 0)),
            "1 WAV file, 1 MIDI file, 1 folder, in 0.0 s");
  EXPECT_EQ(EncodeUtf8(RenderSummary({0, 0, 0, 3, 2}, 59'949 * kMs)),
            "0 WAV files, 0 MIDI files, 3 folders, 2 folders skipped, in 59.9 s");
  EXPECT_EQ(EncodeUtf8(RenderSummary({}, 59'950 * kMs)),
            "0 WAV files, 0 MIDI files, 0 folders, in 1 min 0 s");
  EXPECT_EQ(EncodeUtf8(RenderSummary({}, 3'599'400 * kMs)),
            "0 WAV files, 0 MIDI files, 0 folders, in 59 min 59 s");
  EXPECT_EQ(EncodeUtf8(RenderSummary({}, 7'380'000 * kMs)),
            "0 WAV files, 0 MIDI files, 0 folders, in 2 h 3 min");
}

TEST(RateWindowTest, RateOverTheLastTwoSecondsFallsToZeroInAWait) {
  RateWindow rate(1000 * kMs);
  EXPECT_EQ(rate.Add(1500 * kMs, 50), 100u);  // younger than the window: since the start
  EXPECT_EQ(rate.Add(3000 * kMs, 200), 100u);
  EXPECT_EQ(rate.Add(4000 * kMs, 1200), 460u);  // (1200 - 50) over 2.5 s, the newest base
  EXPECT_EQ(rate.Add(5000 * kMs, 1200), 500u);  // since 3.0 s
  EXPECT_EQ(rate.Add(6100 * kMs, 1200), 0u);    // nothing since 4.0 s
  EXPECT_EQ(rate.Add(6100 * kMs, 1200), 0u);
}

// Draws into a log shared with the messages, so that their order shows.
struct Screen {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> log;
  std::atomic<bool> drawn{false};
  std::atomic<bool> message_over_line{false};  // a message written while a line was drawn
  std::atomic<size_t> width{60};
  bool fail = false;

  std::string last_draw;

  void Add(std::string entry) {
    std::lock_guard<std::mutex> lock(mutex);
    if (entry.rfind("draw", 0) == 0) last_draw = entry;
    log.push_back(std::move(entry));
    changed.notify_all();
  }
};

class FakeTerminal : public Terminal {
 public:
  explicit FakeTerminal(Screen& screen) : screen_(screen) {}
  size_t Width() override { return screen_.width; }
  bool Draw(std::wstring_view line) override {
    if (screen_.fail) return false;
    screen_.drawn = true;
    screen_.Add("draw " + EncodeUtf8(line));
    return true;
  }
  bool Erase() override {
    screen_.drawn = false;
    screen_.Add("erase");
    return !screen_.fail;
  }
  void EraseForStop() override { screen_.Add("stop erase"); }

 private:
  Screen& screen_;
};

class ScreenWriter : public LineWriter {
 public:
  explicit ScreenWriter(Screen& screen) : screen_(screen) {}

 protected:
  EmitResult Emit(std::wstring_view lines, std::string*) override {
    // A message takes a while to write, and no frame may come meanwhile.
    for (int i = 0; i < 20; ++i) {
      if (screen_.drawn) screen_.message_over_line = true;
      std::this_thread::yield();
    }
    screen_.Add("message " + EncodeUtf8(lines));
    return EmitResult::kOk;
  }

 private:
  Screen& screen_;
};

struct Display {
  Screen screen;
  ScreenWriter messages{screen};
  std::atomic<int64_t> now{0};
  std::unique_ptr<Progress> owner = std::make_unique<Progress>(
      std::make_unique<FakeTerminal>(screen), messages,
      ProgressOptions{[this] { return now.load(); }, /*timer=*/false, {}});
  Progress& progress = *owner;

  // Returns the log since the last call.
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(screen.mutex);
    return std::exchange(screen.log, {});
  }
};

void Message(LineWriter& out, Progress* progress, const std::string& text) {
  ProgressMessage hold(progress);
  out.Write(text);
  out.EndLine();
}

TEST(ProgressTest, FramesStartLateAreSparseAndStepAsideForMessages) {
  Display d;
  const std::string frame = "draw 1 file (1 WAV), 1 folder, ";
  d.progress.CountWav(false);
  d.progress.CountFolder();
  d.progress.SetFolder(L"a");
  d.now = 499 * kMs;
  EXPECT_EQ(d.progress.Tick(), 500 * kMs);
  d.now = 500 * kMs;
  EXPECT_EQ(d.progress.Tick(), 600 * kMs);
  d.now = 599 * kMs;
  EXPECT_EQ(d.progress.Tick(), 600 * kMs);
  EXPECT_EQ(d.Take(), std::vector<std::string>{frame + "2 files/s, reading /a"});

  // Erased before the message, kept off while it is under way, back after.
  d.progress.BeginMessage();
  Message(d.messages, &d.progress, "wavtally: cannot open file '/a/x.wav': gone");
  d.now = 700 * kMs;
  EXPECT_EQ(d.progress.Tick(), 800 * kMs);
  d.progress.EndMessage();
  EXPECT_EQ(d.Take(), (std::vector<std::string>{
                          "erase", "message wavtally: cannot open file '/a/x.wav': gone\n"}));
  d.progress.CountMidi();
  d.progress.CountSkipped();
  d.progress.Tick();
  EXPECT_EQ(d.Take(),
            std::vector<std::string>{"draw 2 files (1 WAV), 1 folder, 3 files/s, reading /a"});

  d.now = 2000 * kMs;
  d.progress.Finish();
  d.progress.Finish();
  EXPECT_EQ(d.Take(),
            (std::vector<std::string>{"erase",
                                      "message 1 WAV file (1 unreadable), 1 MIDI file, 1 folder, "
                                      "1 folder skipped, in 2.0 s\n"}));
  EXPECT_EQ(d.progress.Tick(), INT64_MAX);
  EXPECT_TRUE(d.Take().empty());
}

TEST(ProgressTest, EndsQuietlyWithoutFramesAfterAFailureOrWithoutFinish) {
  {
    // A quick run shows only the summary.
    Display d;
    d.now = 100 * kMs;
    d.progress.Finish();
    EXPECT_EQ(d.Take(),
              std::vector<std::string>{"message 0 WAV files, 0 MIDI files, 0 folders, in 0.1 s\n"});
  }
  {
    // A terminal that fails takes the display with it, summary and all.
    Display d;
    d.screen.fail = true;
    d.now = 500 * kMs;
    EXPECT_EQ(d.progress.Tick(), INT64_MAX);
    d.progress.BeginMessage();
    d.progress.EndMessage();
    d.progress.Finish();
    EXPECT_TRUE(d.Take().empty());
  }
  {
    // Gone without Finish (the run failed): the line goes, no summary.
    Display d;
    d.now = 500 * kMs;
    d.progress.Tick();
    d.owner.reset();
    EXPECT_EQ(d.Take(), (std::vector<std::string>{
                            "draw 0 files (0 WAV), 0 folders, 0 files/s, reading /", "erase"}));
  }
}

TEST(ProgressTest, StopCleanupErasesOnlyALineThatIsDrawn) {
  Display d;
  Progress::EraseOnStop();
  d.now = 500 * kMs;
  d.progress.Tick();
  Progress::EraseOnStop();
  d.progress.BeginMessage();
  Progress::EraseOnStop();
  d.progress.EndMessage();
  d.progress.Finish();
  Progress::EraseOnStop();
  const std::vector<std::string> log = d.Take();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[1], "stop erase");
  EXPECT_EQ(log[2], "erase");
}

TEST(ProgressTest, TimerThreadDrawsAndNoFrameLandsInsideAMessage) {
  Screen screen;
  ScreenWriter messages(screen);
  // The first looks at the clock leap to the first frame; later ones come
  // a millisecond short of a frame apart, so the timer waits that long and
  // then draws, as often as it can.
  std::atomic<int64_t> now{0};
  Progress progress(
      std::make_unique<FakeTerminal>(screen), messages,
      ProgressOptions{[&] { return now += (now < 1000 * kMs ? 250 : 99) * kMs; }, true, {}});
  const auto drawn = [&](const std::string& start) {
    // A hang guard only: the timer draws as soon as it runs.
    std::unique_lock<std::mutex> lock(screen.mutex);
    screen.changed.wait_for(lock, std::chrono::seconds(60),
                            [&] { return screen.last_draw.rfind(start, 0) == 0; });
  };
  drawn("draw");
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      // A writer of its own: one LineWriter serves one thread.
      ScreenWriter errors(screen);
      for (int i = 0; i < 200; ++i) {
        progress.CountWav(true);
        if (i % 4 == 0) Message(errors, &progress, "thread " + std::to_string(t));
      }
    });
  }
  for (std::thread& w : writers) w.join();
  drawn("draw 800 files");
  progress.Finish();
  EXPECT_FALSE(screen.message_over_line);
  EXPECT_FALSE(screen.drawn);
  size_t draws = 0;
  size_t thread_messages = 0;
  for (const std::string& e : screen.log) {
    draws += e.rfind("draw", 0) == 0;
    thread_messages += e.rfind("message thread ", 0) == 0;
  }
  EXPECT_GT(draws, 0u);
  EXPECT_EQ(thread_messages, 200u);
  EXPECT_EQ(screen.log.back().rfind("message 800 WAV files, 0 MIDI files, 0 folders, in ", 0), 0u);
}

}  // namespace
}  // namespace wavtally
