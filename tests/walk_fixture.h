#pragma once

// One way for tests to run a walk over the memory file system: any tree, one
// at a time, on threads, on a scripted executor that finishes jobs in an
// order a seed picks, or with few handles, and the report, messages, result
// and counts taken whole, so that every schedule can be compared with the
// plain one-at-a-time walk.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/terminal.h"
#include "memory_file_system.h"
#include "report/progress.h"
#include "scan/scan.h"
#include "wave_builder.h"

namespace wavtally::test {

/// The values of a line of Stereo16(frames), with the line end.
inline std::string Values(uint32_t frames) {
  return "\t0x0001\t2\t0x00000000\t44100\t176400\t4\t16\t" + std::to_string(frames) + "\n";
}

/// The values of a line of "N/A", with the line end.
inline const std::string kNaLine = "\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\t\n";

/// Something of every kind a walk meets, each rule of the walk at work: WAV
/// files, then MIDI files, then folders, each in name order; names that are
/// neither; files refused or gone; folders that cannot be listed or are
/// reached again; headers past the first 4 KiB, which a head read ahead lacks.
inline void EveryKindOfEntry(MemoryFileSystem& fs) {
  using Call = MemoryFileSystem::Call;
  fs.File("/r/b.wav", Stereo16(2));
  fs.File("/r/A.WAV", Stereo16(1));
  fs.File("/r/bad.wav", {'x'});
  fs.File("/r/gone.wav", Stereo16(3));
  fs.Fail(Call::kOpen, "/r/gone.wav", "no such file or directory");
  fs.File("/r/far.wav", Riff().Chunk("LIST", 5000).Fmt(1, 1, 8000, 16000, 2, 16).Data(40).Bytes());
  fs.File("/r/far-data.wav",
          Riff().Fmt(1, 1, 8000, 16000, 2, 16).Chunk("junk", 9000).Data(60).Bytes());
  fs.File("/r/m.mid");
  fs.File("/r/L.MID");
  fs.File("/r/.wav", Stereo16(9));
  fs.File("/r/empty.wav");
  for (const char* other :
       {"/r/x.wav.bak", "/r/x.wave", "/r/x.midi", "/r/noext", "/r/trailing.wav ", "/r/wav"}) {
    fs.File(other, Stereo16(1));
  }
  fs.File("/r/folder.wav/w.wav", Stereo16(1));
  fs.File("/r/take.01/h.wav", Stereo16(8));
  fs.File("/r/.hidden/h.wav", Stereo16(8));
  for (int i = 0; i < 30; ++i) fs.File("/r/many/f" + std::to_string(100 + i) + ".wav", Stereo16(i));
  fs.File("/r/sub/c.wav", Stereo16(4));
  fs.File("/r/sub/deep/d.wav", Stereo16(5));
  fs.File("/r/sub/deep/e.mid");
  fs.Alias("/r/sub/deep/up", "/r/sub");
  fs.Alias("/r/twin", "/r/sub/deep");
  fs.File("/r/locked/f.wav", Stereo16(6));
  fs.Lock("/r/locked");
  fs.Alias("/r/locked2", "/r/locked");
  fs.File("/r/unlisted/g.wav", Stereo16(7));
  fs.Fail(Call::kList, "/r/unlisted", "input/output error");
  fs.File("/r/unseen/g.wav", Stereo16(7));
  fs.Fail(Call::kStat, "/r/unseen", "permission denied");
}

/// Runs jobs only when the walk waits for one, each time a job picked at
/// random among those handed over, so they finish in any order the seed
/// gives; some run right when they are handed over. No threads, no timing:
/// the same seed always gives the same order.
class ShuffledExecutor : public Executor {
 public:
  explicit ShuffledExecutor(unsigned seed) : random_(seed) {}

  void Submit(std::shared_ptr<Job> job) override {
    ++submitted;
    pending_.push_back(std::move(job));
    most_pending = std::max(most_pending, pending_.size());
    if (random_() % 4 == 0) RunOne();
  }
  void Wait(const Job& job) override {
    while (!job.Done()) {
      if (pending_.empty()) {
        ADD_FAILURE() << "waited for a job that was never handed over";
        return;
      }
      RunOne();
    }
  }
  void WaitAll() override {
    while (!pending_.empty()) RunOne();
  }
  void SetParallelism(size_t jobs) override { parallelism = jobs; }

  size_t submitted = 0;
  size_t most_pending = 0;
  size_t parallelism = 0;

 private:
  void RunOne() {
    const size_t i = random_() % pending_.size();
    std::shared_ptr<Job> job = std::move(pending_[i]);
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(i));
    job->RunToEnd();
  }

  std::mt19937 random_;
  std::vector<std::shared_ptr<Job>> pending_;
};

/// A terminal that takes every drawing and shows nothing, so that a walk
/// keeps the counts a progress display would show.
class BlindTerminal : public Terminal {
 public:
  size_t Width() override { return 80; }
  bool Draw(std::wstring_view) override { return true; }
  bool Erase() override { return true; }
  void EraseForStop() override {}
};

/// Keeps what it is sent and adds it to log too: both streams in one, as
/// `2>&1` into a file shows them.
class LoggedWriter : public StringLineWriter {
 public:
  explicit LoggedWriter(std::string& log) : log_(log) {}

 protected:
  EmitResult Emit(std::wstring_view lines, std::string* error) override {
    AppendUtf8(lines, log_);
    return StringLineWriter::Emit(lines, error);
  }

 private:
  std::string& log_;
};

/// What a walk wrote and how it ended.
struct WalkResult {
  std::string report;
  std::string errors;
  std::string log;  ///< the report's lines and the messages, in the order sent
  ScanResult result = ScanResult::kIncomplete;
  ProgressCounts counts;
  std::vector<std::string> summary;  ///< the summary's lines after the first
  size_t most_frames = 0;            ///< the most folders held on the way down
  bool complete() const { return result == ScanResult::kComplete; }
};

/// Walks root of fs as tuning says, the report going to report (a string
/// when null).
inline WalkResult WalkTree(FileSystem& fs, const ScanTuning& tuning, const std::string& root = "/r",
                           LineWriter* report_to = nullptr) {
  WalkResult r;
  LoggedWriter own_report(r.log), errors(r.log);
  StringLineWriter summary;
  LineWriter& report = report_to != nullptr ? *report_to : own_report;
  ProgressOptions options;
  options.clock = [] { return int64_t{0}; };
  options.timer = false;
  Progress progress(std::make_unique<BlindTerminal>(), summary, options);
  ScanOutput out{report, errors, &progress, &r.most_frames};
  const Path root_path(DecodeUtf8(root));
  r.result = ScanFolder(root_path, root_path, out, fs, tuning);
  r.report = own_report.Text();
  r.errors = errors.Text();
  r.counts = progress.Counts();
  for (const CStdStr& line : progress.Tally().Render(200)) r.summary.push_back(EncodeUtf8(line));
  return r;
}

/// Returns "" when a and b are the same text, else the first line where they
/// part, from each: reports are too long to be shown whole.
inline std::string Difference(const std::string& a, const std::string& b) {
  if (a == b) return "";
  size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  const size_t line = a.rfind('\n', at == 0 ? 0 : at - 1);
  const size_t start = line == std::string::npos ? 0 : line + 1;
  return "\n  got:      " + a.substr(start, 80) + "\n  expected: " + b.substr(start, 80);
}

/// Every read on the walking thread, one at a time.
inline ScanTuning OneAtATime() {
  ScanTuning tuning;
  tuning.mode = ScanTuning::Mode::kInline;
  return tuning;
}

/// Every read on the walking thread, a batch of files at a time, their heads
/// read together first: as on a fast file system. The clock never moves, so
/// the walk never takes the file system for slow.
inline ScanTuning Batches() {
  ScanTuning tuning;
  tuning.mode = ScanTuning::Mode::kAdaptive;
  tuning.clock = [] { return int64_t{0}; };
  tuning.cores = 1;
  return tuning;
}

/// Every read in groups of files on the walk's own threads, one a core: as
/// on a fast file system with cores to spare.
inline ScanTuning Groups() {
  ScanTuning tuning = Batches();
  tuning.cores = 2;
  return tuning;
}

/// Every read on a pool of real threads.
inline ScanTuning Threads() {
  ScanTuning tuning;
  tuning.mode = ScanTuning::Mode::kPooled;
  return tuning;
}

/// Every read through executor, with window reads at most ahead of the
/// report (0: the walk's own choice).
inline ScanTuning Through(Executor& executor, size_t window = 0) {
  ScanTuning tuning;
  tuning.mode = ScanTuning::Mode::kPooled;
  tuning.executor = &executor;
  tuning.window = window;
  return tuning;
}

}  // namespace wavtally::test
