#include "scan/scan.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/path_find.h"
#include "base/wav_reader.h"

namespace wavtally {
namespace {

const CStdStr kWavPattern = L"*.wav";
const CStdStr kMidiPattern = L"*.mid";
const CStdStr kAnyPattern = L"*";

// How many subfolders of one folder are looked at (and listed) ahead of the
// walk, and how many such looks may wait across all levels at once.
constexpr size_t kLookAheadPerFolder = 8;
constexpr size_t kLookAheadTotal = 64;

struct FolderIdHash {
  size_t operator()(const FolderId& id) const {
    return std::hash<uint64_t>()(id.device * 0x9E3779B97F4A7C15ULL ^ id.index);
  }
};

// Reads one WAV file's format, on whichever thread runs it.
class ProbeJob final : public Job {
 public:
  ProbeJob(FileSystem& fs, const LatencyGate& gate, CStdStr path)
      : path(std::move(path)), fs_(fs), gate_(gate) {}
  void Run() override {
    const int64_t start = gate_.Now();
    ok = ProbeWavFormat(fs_, path, summary, &error);
    elapsed = gate_.Now() - start;
  }
  void Abandon() override {
    ok = false;
    error.clear();
  }

  const CStdStr path;
  bool ok = false;
  FormatSummary summary;
  std::string error;
  int64_t elapsed = 0;

 private:
  FileSystem& fs_;
  const LatencyGate& gate_;
};

// Looks at one entry that may be a folder and, when it is one, lists it, so
// that the walk finds the listing ready when it gets there.
class LookJob final : public Job {
 public:
  LookJob(FileSystem& fs, const LatencyGate& gate, Path entry, bool list)
      : entry(std::move(entry)), fs_(fs), gate_(gate), list_(list) {}
  void Run() override {
    const int64_t start = gate_.Now();
    folder = fs_.StatFolder(entry.GetFullPath(), &id, &error);
    elapsed = gate_.Now() - start;
    if (folder && list_) listing = FolderListing::Read(fs_, entry.GetFullPath());
  }
  void Abandon() override {
    folder = false;
    error = "out of memory";
    listing.reset();
  }

  const Path entry;
  bool folder = false;
  FolderId id;
  std::string error;
  std::shared_ptr<const FolderListing> listing;
  int64_t elapsed = 0;

 private:
  FileSystem& fs_;
  const LatencyGate& gate_;
  const bool list_;
};

// One line of output in walk order: a report line, ready or waiting for its
// probe, or a message for standard error.
struct Slot {
  enum class Kind { kWav, kMidi, kUnlistable, kSeen };
  Kind kind;
  Path entry;                       // relative for report lines, full for messages
  std::shared_ptr<ProbeJob> probe;  // kWav only
  std::string reason;               // kUnlistable
  CStdStr first;                    // kSeen: where the folder was reported first
};

class Walk {
 public:
  Walk(const Path& root, FormatSummary& record, ScanOutput& out, FileSystem& fs,
       const ScanTuning& tuning)
      : root_(root), record_(record), out_(out), fs_(fs), tuning_(tuning), gate_(tuning.clock) {
    if (tuning_.mode != ScanTuning::Mode::kInline) {
      executor_ = tuning_.executor;
      if (executor_ == nullptr) {
        own_pool_ = std::make_unique<ThreadPool>(LatencyGate::kThreads);
        executor_ = own_pool_.get();
      }
    }
  }

  bool Run(const Path& folder) {
    FolderId id;
    std::string error;
    if (fs_.StatFolder(folder.GetFullPath(), &id, &error)) seen_.emplace(id, folder.GetFullPath());
    const std::shared_ptr<const FolderListing> listing = FolderListing::Read(fs_, folder);
    const bool listed = listing->Error().empty();
    Scan(folder, listing);
    Drain();
    return listed;
  }

 private:
  bool Stopped() const { return out_.report.Failed(); }

  bool Pooled() const {
    switch (tuning_.mode) {
      case ScanTuning::Mode::kInline:
        return false;
      case ScanTuning::Mode::kPooled:
        return true;
      case ScanTuning::Mode::kAdaptive:
        break;
    }
    return gate_.Slow();
  }

  size_t Window() const {
    if (tuning_.window != 0) return tuning_.window;
    return 4 * gate_.Parallelism();
  }

  void Record(int64_t elapsed) {
    const size_t before = gate_.Parallelism();
    gate_.Record(elapsed);
    if (executor_ != nullptr && gate_.Parallelism() != before) {
      executor_->SetParallelism(gate_.Parallelism());
    }
  }

  void Scan(const Path& folder, const std::shared_ptr<const FolderListing>& listing) {
    if (Stopped()) return;
    if (!listing->Error().empty()) {
      Put(Slot{Slot::Kind::kUnlistable, folder, nullptr, listing->Error(), {}});
    }
    for (PathFind find(listing, kWavPattern); find.HasNext() && !Stopped();) {
      ProbeWav(find.Next());
    }
    for (PathFind find(listing, kMidiPattern); find.HasNext() && !Stopped();) {
      Path entry = find.Next();
      entry.MakePathRelative(root_);
      Put(Slot{Slot::Kind::kMidi, std::move(entry), nullptr, {}, {}});
    }
    ScanSubfolders(listing);
  }

  void ProbeWav(Path entry) {
    if (!Pooled()) {
      // Order is kept by the queue: a file read here must not pass the ones
      // still being read by the threads.
      Drain();
      const CStdStr path = entry.GetFullPath();
      std::string error;
      const int64_t start = gate_.Now();
      const bool ok = ProbeWavFormat(fs_, path, record_, &error);
      Record(gate_.Now() - start);
      entry.MakePathRelative(root_);
      WriteWav(path, entry, ok, record_, error);
      return;
    }
    auto job = std::make_shared<ProbeJob>(fs_, gate_, entry.GetFullPath());
    executor_->Submit(job);
    entry.MakePathRelative(root_);
    slots_.push_back(Slot{Slot::Kind::kWav, std::move(entry), std::move(job), {}, {}});
    Pump();
    while (slots_.size() >= Window() && !Stopped()) {
      executor_->Wait(*slots_.front().probe);
      Pump();
    }
  }

  void ScanSubfolders(const std::shared_ptr<const FolderListing>& listing) {
    // Only names without an extension are candidates: a folder whose name
    // has one is never descended into.
    std::vector<Path> candidates;
    for (PathFind find(listing, kAnyPattern); find.HasNext();) {
      Path entry = find.Next();
      if (entry.GetFileExtension().empty()) candidates.push_back(std::move(entry));
    }
    std::deque<std::shared_ptr<LookJob>> ahead;  // looks for candidates[next..]
    size_t next = 0;                             // first candidate not handed off
    for (size_t i = 0; i < candidates.size() && !Stopped(); ++i) {
      if (Pooled()) {
        // The listings of the next few subfolders are read while this one
        // is walked; on a share that hides the listing's round trips.
        next = std::max(next, i);
        while (next < candidates.size() && next < i + kLookAheadPerFolder &&
               (ahead.empty() || looks_ahead_ < kLookAheadTotal)) {
          auto job = std::make_shared<LookJob>(fs_, gate_, candidates[next], true);
          executor_->Submit(job);
          ahead.push_back(std::move(job));
          ++looks_ahead_;
          ++next;
        }
      }
      std::shared_ptr<LookJob> look;
      if (!ahead.empty() && i < next) {
        look = std::move(ahead.front());
        ahead.pop_front();
        --looks_ahead_;
        Pump();
        executor_->Wait(*look);
        Record(look->elapsed);
      } else {
        look = std::make_shared<LookJob>(fs_, gate_, std::move(candidates[i]), false);
        look->Run();
        Record(look->elapsed);
      }
      Descend(*look);
    }
    // Looks left over when the walk stopped early are simply dropped.
    looks_ahead_ -= ahead.size();
  }

  void Descend(LookJob& look) {
    if (!look.folder) {
      // An entry that cannot even be looked at may be a folder, and all its
      // files would be missing from the report without a word.
      if (!look.error.empty()) {
        Put(Slot{Slot::Kind::kUnlistable, look.entry, nullptr, look.error, {}});
      }
      return;
    }
    // Each folder is walked once: a second way to it (a link, a bind mount)
    // would report its files twice, and links that lead round in circles or
    // to each other would never let the walk end.
    const auto [it, fresh] = seen_.try_emplace(look.id, look.entry.GetFullPath());
    if (!fresh) {
      Put(Slot{Slot::Kind::kSeen, look.entry, nullptr, {}, it->second});
      return;
    }
    std::shared_ptr<const FolderListing> listing = std::move(look.listing);
    if (!listing) listing = FolderListing::Read(fs_, look.entry.GetFullPath());
    Scan(look.entry, listing);
  }

  // Writes slot now when nothing waits before it, or queues it behind.
  void Put(Slot slot) {
    if (slots_.empty()) {
      Emit(slot);
    } else {
      slots_.push_back(std::move(slot));
    }
  }

  // Writes every slot at the front that is complete; lines complete
  // together go out in one write.
  void Pump() {
    pumping_ = true;
    out_.report.HoldLines();
    while (!slots_.empty() && !Stopped()) {
      Slot& slot = slots_.front();
      if (slot.probe && !slot.probe->Done()) break;
      Emit(slot);
      slots_.pop_front();
    }
    out_.report.SendHeld();
    pumping_ = false;
    if (Stopped()) slots_.clear();
  }

  // Waits for and writes everything queued.
  void Drain() {
    while (!slots_.empty() && !Stopped()) {
      if (slots_.front().probe) executor_->Wait(*slots_.front().probe);
      Pump();
    }
  }

  void Emit(const Slot& slot) {
    switch (slot.kind) {
      case Slot::Kind::kWav: {
        const ProbeJob& probe = *slot.probe;
        Record(probe.elapsed);
        WriteWav(probe.path, slot.entry, probe.ok, probe.summary, probe.error);
        break;
      }
      case Slot::Kind::kMidi:
        PrintUnavailableLine(out_.report, slot.entry);
        break;
      case Slot::Kind::kUnlistable:
        Message("cannot list folder '", slot.entry.GetFullPath(), "': ", slot.reason);
        break;
      case Slot::Kind::kSeen:
        Message("skipping folder '", slot.entry.GetFullPath(), "': already reported as '",
                slot.first + L"'");
        break;
    }
  }

  // Writes a WAV file's report line under its relative entry, after the
  // message naming path when the file could not be reached at all.
  void WriteWav(const CStdStr& path, const Path& entry, bool ok, const FormatSummary& summary,
                const std::string& error) {
    if (!error.empty()) Message("cannot open file '", path, "': ", error);
    if (ok) {
      PrintFormatLine(out_.report, entry, summary);
    } else {
      PrintUnavailableLine(out_.report, entry);
    }
  }

  template <typename Tail>
  void Message(std::string_view head, const CStdStr& path, std::string_view middle,
               const Tail& tail) {
    // Report lines held back so far come before the message, as they do
    // in the walk.
    out_.report.SendHeld();
    if (pumping_) out_.report.HoldLines();
    LineWriter& err = out_.errors;
    err.Write(std::string_view("wavtally: "));
    err.Write(head);
    WriteEscapedPath(err, path);
    err.Write(middle);
    if constexpr (std::is_same_v<Tail, CStdStr>) {
      // A path again, escaped like the first; the closing quote is its last
      // character and needs no escaping.
      WriteEscapedPath(err, tail);
    } else {
      err.Write(std::string_view(tail));
    }
    err.EndLine();
  }

  const Path& root_;
  FormatSummary& record_;
  ScanOutput& out_;
  FileSystem& fs_;
  const ScanTuning& tuning_;
  LatencyGate gate_;
  std::unordered_map<FolderId, CStdStr, FolderIdHash> seen_;
  std::deque<Slot> slots_;
  size_t looks_ahead_ = 0;
  bool pumping_ = false;  // report lines are being held for one write
  Executor* executor_ = nullptr;
  // Declared last: destroying it joins the threads before anything they
  // might still touch goes.
  std::unique_ptr<ThreadPool> own_pool_;
};

}  // namespace

bool ProbeWavFormat(const CStdStr& pathText, FormatSummary& out) {
  std::string error;
  return ProbeWavFormat(DiskFileSystem(), pathText, out, &error);
}

bool ProbeWavFormat(FileSystem& fs, const CStdStr& pathText, FormatSummary& out,
                    std::string* error) {
  const std::unique_ptr<TqAudioFileReader> reader(
      TqAudioFileReader::Create(fs, pathText.c_str(), nullptr, error));
  if (!reader ||
      !reader->Open(TqAudioFileReader::kReadFormat | TqAudioFileReader::kReadSampleCount)) {
    return false;
  }
  const TqAudioFormat& format = reader->GetFormat();
  FormatSummary summary;
  summary.formatTag = format.formatTag;
  summary.numChannels = format.numChannels;
  summary.sampleRate = format.sampleRate;
  summary.avgBytesPerSec = format.avgBytesPerSec;
  summary.blockAlign = format.blockAlign;
  summary.bitDepth = format.bitsPerSample;
  summary.channelMask = format.channelConfig >> 12;
  summary.numSamples = reader->GetNumSamples();
  out = summary;
  return true;
}

bool ScanFolder(const Path& root, const Path& folder, FormatSummary& record, ScanOutput& out) {
  return ScanFolder(root, folder, record, out, DiskFileSystem(), ScanTuning());
}

bool ScanFolder(const Path& root, const Path& folder, FormatSummary& record, ScanOutput& out,
                FileSystem& fs, const ScanTuning& tuning) {
  return Walk(root, record, out, fs, tuning).Run(folder);
}

}  // namespace wavtally
