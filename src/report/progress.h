#pragma once

// What a person at a terminal sees while a run goes on: one line on standard
// error, redrawn in place, with how far the walk got and the folder it reads;
// at the end, one line that sums up the run. It shows only when standard
// error is a terminal and the report goes elsewhere; otherwise there is no
// Progress at all and the walk pays nothing for it.

#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include "base/line_writer.h"
#include "base/terminal.h"
#include "base/text.h"
#include "base/thread.h"
#include "report/run_tally.h"

namespace wavtally {

/// What the walk has reported so far.
struct ProgressCounts {
  uint64_t wav = 0;         ///< WAV files, readable or not
  uint64_t unreadable = 0;  ///< WAV files whose header could not be read
  uint64_t midi = 0;        ///< MIDI files
  uint64_t folders = 0;     ///< folders listed
  uint64_t skipped = 0;     ///< folders not listed, or skipped as seen before

  /// Returns the files looked at: every WAV and MIDI file.
  uint64_t Files() const { return wav + midi; }
};

/// Returns the progress line for counts, rate (files per second) and folder
/// (as the report writes paths, unescaped), at most width - 1 columns wide so
/// that no terminal wraps it; a width of 0 counts as 80. What does not fit
/// goes: first the left of the folder (an ellipsis stands for it), then the
/// folder, then the end of the counts.
CStdStr RenderProgressLine(const ProgressCounts& counts, uint64_t rate, std::wstring_view folder,
                           size_t width);

/// Returns the line that sums up a run of elapsed nanoseconds, without a
/// line end.
CStdStr RenderSummary(const ProgressCounts& counts, int64_t elapsed);

/// Returns the columns code point c takes on a terminal: none for combining
/// marks and format characters, two for East Asian wide and full-width
/// characters and emoji shown as such, one for any other.
size_t CodePointColumns(uint32_t c);

/// Appends value in decimal with a comma between each group of three
/// digits; returns nothing.
void AppendCount(uint64_t value, CStdStr& out);
/// Appends "N thing" or "N things"; returns nothing.
void AppendCounted(uint64_t value, std::wstring_view thing, CStdStr& out);

/// Returns the columns text takes on a terminal, the sum of its characters'.
size_t TerminalColumns(std::wstring_view text);

/// The rate of files over the last two seconds of a run, so that a wait on
/// one slow folder shows as a rate that falls.
class RateWindow {
 public:
  /// Starts counting at time start (nanoseconds) with no files.
  explicit RateWindow(int64_t start) { samples_.emplace_back(start, 0); }
  /// Takes the count of files at time now, never earlier than the last;
  /// returns files per second over the last two seconds, or since the start
  /// while the run is younger.
  uint64_t Add(int64_t now, uint64_t files);

 private:
  std::deque<std::pair<int64_t, uint64_t>> samples_;  // time, files; oldest first
};

/// How a Progress keeps time.
struct ProgressOptions {
  /// Returns the time now in nanoseconds on a steady clock; empty means the
  /// steady clock itself.
  std::function<int64_t()> clock;
  /// Whether a thread of its own draws the frames; without it only Tick
  /// draws, as tests drive it.
  bool timer = true;
  /// Starts the timer's thread; empty means a thread of a small stack. May
  /// return null, as the system may refuse a thread.
  std::function<std::unique_ptr<Thread>(std::function<void()>)> start_thread;
};

/// The progress line on a terminal and the summary at the end. The walk's
/// single sink tells it what it writes; a timer thread of its own draws.
class Progress {
 public:
  /// Returns the display on standard error, whose summary goes through
  /// messages (standard error's writer); returns null when progress must
  /// not show (standard error is no terminal, or standard output is one) or
  /// cannot (no thread or memory for it): the run goes on without it.
  static std::unique_ptr<Progress> Open(LineWriter& messages,
                                        ProgressOptions options = ProgressOptions());

  /// Shows progress on terminal from now, the start of the run.
  Progress(std::unique_ptr<Terminal> terminal, LineWriter& messages, ProgressOptions options = {});
  /// Returns false when the timer was asked for and could not start: such a
  /// display would never draw, and must not be used.
  bool Started() const { return started_; }
  /// Stops the timer and erases the line, without a summary unless Finish
  /// wrote it.
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  /// Counts a WAV file; safe on any thread. Returns nothing.
  void CountWav(bool readable) {
    wav_.fetch_add(1, std::memory_order_relaxed);
    if (!readable) unreadable_.fetch_add(1, std::memory_order_relaxed);
  }
  /// Counts a MIDI file; safe on any thread. Returns nothing.
  void CountMidi() { midi_.fetch_add(1, std::memory_order_relaxed); }
  /// Counts a folder listed; safe on any thread. Returns nothing.
  void CountFolder() { folders_.fetch_add(1, std::memory_order_relaxed); }
  /// Counts a folder not listed or skipped; safe on any thread. Returns
  /// nothing.
  void CountSkipped() { skipped_.fetch_add(1, std::memory_order_relaxed); }
  /// Names the folder being read now, relative to DIR as the report's paths
  /// are but without their leading separator (empty for DIR itself); safe on
  /// any thread. Returns nothing.
  void SetFolder(std::wstring_view relative);
  /// Returns the counts so far; safe on any thread.
  ProgressCounts Counts() const;
  /// Returns what the summary tells beyond the counts; for the thread that
  /// writes the report, until Finish.
  RunTally& Tally() { return tally_; }

  /// Erases the line, if drawn, and keeps it off until EndMessage, so that a
  /// message goes to standard error whole, on a line of its own; safe on any
  /// thread, and the calls nest. Returns nothing.
  void BeginMessage();
  /// Lets the line be drawn again, at the next frame; returns nothing.
  void EndMessage();

  /// Stops the timer, erases the line and writes the summary; later calls do
  /// nothing. Returns nothing.
  void Finish();

  /// Draws a frame if one is due: the first half a second after the start,
  /// then at most one each tenth of a second, none during a message. Returns
  /// the time the next one may be due, or INT64_MAX when there will be none
  /// (finished, or the terminal failed). Called by the timer, or by tests.
  int64_t Tick();

  /// Erases the line of the display that shows now, if it has one drawn;
  /// safe in a signal handler. The stop cleanup each display registers.
  /// Returns nothing.
  static void EraseOnStop();

 private:
  // Stops the timer and erases the line; returns nothing.
  void Stop();
  // Draws frames until Stop asks the timer to end; returns nothing.
  void RunTimer();

  std::unique_ptr<Terminal> terminal_;
  LineWriter& messages_;
  std::function<int64_t()> clock_;
  const int64_t start_;

  std::atomic<uint64_t> wav_{0};
  std::atomic<uint64_t> unreadable_{0};
  std::atomic<uint64_t> midi_{0};
  std::atomic<uint64_t> folders_{0};
  std::atomic<uint64_t> skipped_{0};
  RunTally tally_;

  std::mutex folder_mutex_;  // apart, so that naming a folder never waits on the terminal
  CStdStr folder_;

  std::mutex mutex_;  // held over every use of the terminal
  RateWindow rate_;
  int messages_under_way_ = 0;
  int64_t last_frame_ = INT64_MIN;  // none yet
  bool stopped_ = false;
  bool failed_ = false;
  bool finished_ = false;
  std::atomic<bool> drawn_{false};  // read by the stop cleanup

  bool started_ = true;
  std::mutex timer_mutex_;
  std::condition_variable timer_wake_;
  bool timer_stop_ = false;        // under timer_mutex_
  std::unique_ptr<Thread> timer_;  // last, so that it stops before the rest goes
};

/// Keeps progress off the terminal while it lives, for one message to
/// standard error; does nothing for a null Progress.
class ProgressMessage {
 public:
  explicit ProgressMessage(Progress* progress) : progress_(progress) {
    if (progress_ != nullptr) progress_->BeginMessage();
  }
  ~ProgressMessage() {
    if (progress_ != nullptr) progress_->EndMessage();
  }
  ProgressMessage(const ProgressMessage&) = delete;
  ProgressMessage& operator=(const ProgressMessage&) = delete;

 private:
  Progress* progress_;
};

}  // namespace wavtally
