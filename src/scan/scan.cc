#include "scan/scan.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/path_find.h"
#include "base/wav_reader.h"
#include "report/report_sink.h"

namespace wavtally {
namespace {

const CStdStr kWavPattern = L"*.wav";
const CStdStr kMidiPattern = L"*.mid";

// How many subfolders of one folder are looked at (and listed) ahead of the
// walk, and at most how many such looks may wait across all levels, how
// many folders the walk keeps open on its way down, and how many reads may
// run at once. The last three shrink to what the process may hold open.
constexpr size_t kLookAheadPerFolder = 8;
constexpr size_t kMostLooksAhead = 64;
constexpr size_t kMostOpenFolders = 64;
// Kept free for what is opened for a moment beyond the walk's own handles:
// the pieces of a path too long for one call, a folder opened again.
constexpr size_t kReservedHandles = 4;

struct FolderIdHash {
  size_t operator()(const FolderId& id) const {
    return std::hash<uint64_t>()((id.device * 0x9E3779B97F4A7C15ULL ^ id.index) * 31 ^
                                 id.index_high);
  }
};

// Only a name without an extension may be a folder the walk descends into.
bool IsCandidate(std::wstring_view name) {
  return !name.empty() && name.find(L'.') == std::wstring_view::npos;
}

FsError OutOfMemory() {
  FsError error;
  error.text = "out of memory";
  error.limit = true;
  return error;
}

// A job of the walk: timed, so the gate can tell a slow file system, and
// able to say that it ran into a limit of the process and is worth a retry.
class WalkJob : public Job {
 public:
  explicit WalkJob(const LatencyGate& gate) : gate_(gate) {}
  void Run() final {
    const int64_t start = gate_.Now();
    Do();
    elapsed = gate_.Now() - start;
  }
  /// Returns true when the job failed for a limit of the process.
  virtual bool HitLimit() const = 0;

  int64_t elapsed = 0;

 protected:
  virtual void Do() = 0;

 private:
  const LatencyGate& gate_;
};

// Reads one WAV file's format, on whichever thread runs it.
class ProbeJob final : public WalkJob {
 public:
  ProbeJob(FileSystem& fs, const LatencyGate& gate, std::shared_ptr<const Folder> folder,
           std::wstring_view name)
      : WalkJob(gate), fs_(fs), folder_(std::move(folder)), name_(name) {}
  bool HitLimit() const override { return !ok && error.limit; }
  void Abandon() override {
    ok = false;
    error = OutOfMemory();
    folder_.reset();
  }
  /// Makes every later run open the file's folder again below top, the
  /// folder the walk started in, where relative is the file's path; for a
  /// retry when the walk may have closed the folder. Returns nothing.
  void ByPath(std::shared_ptr<const Folder> top, std::wstring_view relative) {
    top_ = std::move(top);
    const size_t sep = relative.rfind(Path::GetNameSeparator());
    folder_below_ = sep == std::wstring_view::npos ? CStdStr() : CStdStr(relative.substr(0, sep));
  }

  bool ok = false;
  FormatSummary summary;
  FsError error;

 private:
  void Do() override {
    std::shared_ptr<const Folder> folder = std::move(folder_);
    if (!folder && folder_below_.empty()) folder = top_;
    if (!folder) {
      FolderLook look = fs_.OpenFolderBelow(*top_, folder_below_);
      if (look.kind != FolderLook::Kind::kFolder) {
        ok = false;
        error = look.error.Failed() ? look.error : FsError{"no such file or directory", false};
        return;
      }
      folder = std::move(look.folder);
    }
    // Once done, the probe holds no handle, whether it is to be retried or
    // not: the walk may close the folder to stay within its handles.
    ok = ProbeWavFormat(fs_, *folder, name_, summary, &error);
  }

  FileSystem& fs_;
  std::shared_ptr<const Folder> folder_;  // until the first run
  const CStdStr name_;
  std::shared_ptr<const Folder> top_;  // for a retry: the folder is below top_,
  CStdStr folder_below_;               // there (empty for top_ itself)
};

// Looks at one entry that may be a folder (or opens a folder again by its
// path) and, when it is one, lists it, so that the walk finds the listing
// ready when it gets there.
class LookJob final : public WalkJob {
 public:
  /// Looks at name in parent.
  LookJob(FileSystem& fs, const LatencyGate& gate, std::shared_ptr<const Folder> parent,
          std::wstring_view name)
      : WalkJob(gate), name(name), fs_(fs), parent_(std::move(parent)) {}
  /// Looks at the folder at path.
  LookJob(FileSystem& fs, const LatencyGate& gate, const CStdStr& path)
      : WalkJob(gate), name(path), fs_(fs), path_(path) {}
  bool HitLimit() const override {
    return (look.kind == FolderLook::Kind::kFailed && look.error.limit) ||
           (listing && listing->ErrorIsLimit());
  }
  void Abandon() override {
    look = FolderLook();
    look.kind = FolderLook::Kind::kFailed;
    look.error = OutOfMemory();
    listing.reset();
    parent_.reset();
  }
  /// Makes every later run look at the folder at relative below top, the
  /// folder the walk started in, for a retry or when the walk closed the
  /// parent; returns nothing.
  void ByPath(std::shared_ptr<const Folder> top, std::wstring_view relative) {
    top_ = std::move(top);
    below_ = relative;
  }
  /// Drops what a finished look holds, so that it must run again in a
  /// parent that Reuse gives; returns nothing.
  void Release() {
    look = FolderLook();
    listing.reset();
    released = true;
    Rearm();
  }
  /// Readies a released look to run again in parent; returns nothing.
  void Reuse(std::shared_ptr<const Folder> parent) {
    parent_ = std::move(parent);
    released = false;
  }

  const CStdStr name;
  FolderLook look;
  std::shared_ptr<const FolderListing> listing;
  bool released = false;  // must be handed to an executor again

 private:
  void Do() override {
    listing.reset();
    // Once done, the look holds no handle of its parent: the walk may close
    // the parent to stay within its handles.
    const std::shared_ptr<const Folder> parent = std::move(parent_);
    if (top_) {
      look = fs_.OpenFolderBelow(*top_, below_);
    } else {
      look = !path_.empty() ? fs_.OpenFolder(path_) : fs_.OpenFolderAt(*parent, name);
    }
    if (look.kind == FolderLook::Kind::kFolder) listing = FolderListing::Read(fs_, *look.folder);
  }

  FileSystem& fs_;
  std::shared_ptr<const Folder> parent_;  // until the first run
  CStdStr path_;                          // or the path to look at as typed
  std::shared_ptr<const Folder> top_;     // or the folder below which
  CStdStr below_;                         // the names lead to it
};

// One line of output in walk order: a report line, ready or waiting for its
// probe, or a message for standard error.
struct Slot {
  enum class Kind { kWav, kMidi, kUnlistable, kSeen };
  Kind kind;
  CStdStr path;                     // the entry's full path
  std::shared_ptr<ProbeJob> probe;  // kWav only
  std::string reason;               // kUnlistable
  CStdStr first;                    // kSeen: where the folder was reported first
};

// A folder on the walk's way down, from the root to the folder being walked.
struct Frame {
  std::shared_ptr<const Folder> folder;  // null once closed to keep handles bounded
  std::shared_ptr<const FolderListing> listing;
  size_t next = 0;       // the first name not yet handed to a look
  size_t path_size = 0;  // the length of the folder's path in the walk's path
  uint32_t seen = 0;     // the folder's entry among the folders seen
  // Looks handed out for the candidates before next, in order; those before
  // ahead_head are taken.
  std::vector<std::shared_ptr<LookJob>> ahead;
  size_t ahead_head = 0;
};

class Walk {
 public:
  Walk(const Path& root, ScanOutput& out, FileSystem& fs, const ScanTuning& tuning)
      : sink_(out.report, out.errors, out.progress), fs_(fs), tuning_(tuning), gate_(tuning.clock) {
    // The handles a walk may hold are shared out once: the open folders on
    // its way down, the folders looked at ahead, the reads in flight.
    size_t budget = tuning.handles != 0 ? tuning.handles : fs.SpareHandles();
    budget = budget > kReservedHandles ? budget - kReservedHandles : 1;
    open_limit_ = std::clamp<size_t>(budget / 4, 1, kMostOpenFolders);
    looks_limit_ = std::min(budget / 4, kMostLooksAhead);
    gate_.Cap(std::clamp<size_t>(budget - std::min(budget, open_limit_ + looks_limit_), 1,
                                 LatencyGate::kMaxThreads));
    root_text_ = root.GetFullPath();
    full_prefix_ = root_text_;
    if (Path::RelativeStart(root_text_) > root_text_.size()) {
      full_prefix_ += Path::GetNameSeparator();
    }
  }

  ScanResult Run(const Path& folder) {
    path_ = folder.GetFullPath();
    // A folder outside the root is reported under its full path.
    if (path_.compare(0, full_prefix_.size(), full_prefix_) != 0 && path_ != root_text_) {
      full_prefix_.clear();
    }
    auto look = std::make_shared<LookJob>(fs_, gate_, path_);
    look->RunToEnd();
    if (look->HitLimit() && !Retry(*look)) {
      Put(Slot{Slot::Kind::kUnlistable, path_, nullptr, look->look.error.text, {}});
      incomplete_ = true;
    } else if (look->look.kind == FolderLook::Kind::kFolder) {
      seen_.emplace(look->look.id, AddSeen(UINT32_MAX, path_));
      Push(*look, 0);
      if (!frames_.back().listing->Error().empty()) incomplete_ = true;
      Enter();
      WalkTree();
    } else {
      // The root was looked at a moment ago; anything but a folder now is
      // a root that cannot be listed.
      const FsError& error = look->look.error;
      Put(Slot{Slot::Kind::kUnlistable,
               path_,
               nullptr,
               error.Failed() ? error.text : std::string("not a directory"),
               {}});
      incomplete_ = true;
    }
    Drain();
    sink_.Flush();
    return incomplete_ ? ScanResult::kIncomplete : ScanResult::kComplete;
  }

 private:
  bool Stopped() const { return sink_.Failed(); }

  // The walk proper: the folder on top of the stack looks at its next
  // candidate, which, when it is a folder to walk, becomes the top.
  void WalkTree() {
    while (!frames_.empty() && !Stopped()) {
      const std::shared_ptr<LookJob> look = NextLook();
      if (!look) {
        Pop();
        continue;
      }
      TopUpLooks();
      Await(*look);
      Record(look->elapsed);
      // Back to the folder whose entries these are, once the entry turned
      // out to be none to walk.
      if (look->look.kind != FolderLook::Kind::kFolder) ShowReading({});
      path_.resize(frames_.back().path_size);
      Path::AppendName(path_, look->name);
      if (look->HitLimit()) look->ByPath(Start(), Below(path_));
      if (look->HitLimit() && !Retry(*look)) {
        Put(Slot{Slot::Kind::kUnlistable,
                 path_,
                 nullptr,
                 look->look.error.Failed() ? look->look.error.text : look->listing->Error(),
                 {}});
        incomplete_ = true;
        continue;
      }
      Descend(*look);
    }
  }

  // Returns the look for the top folder's next candidate, handed out now if
  // it was not looked at ahead; returns null when none is left. Names the
  // entry for a person watching while the walk waits for its look: run on
  // this thread, the look is under way inside Submit, and a look that hangs
  // there (a dead mount point in a local tree) must show where it hangs.
  std::shared_ptr<LookJob> NextLook() {
    Frame& top = frames_.back();
    std::shared_ptr<LookJob> look;
    if (top.ahead_head < top.ahead.size()) {
      look = std::move(top.ahead[top.ahead_head++]);
      --looks_ahead_;
      if (top.ahead_head == top.ahead.size()) {
        top.ahead.clear();
        top.ahead_head = 0;
      }
      if (look->released) {
        const std::shared_ptr<const Folder> folder = TopFolder();
        if (!folder) return nullptr;
        look->Reuse(folder);
        ShowReading(look->name);
        Submit(look);
      } else if (!look->Done()) {
        ShowReading(look->name);
      }
      return look;
    }
    if (!FindCandidate(top)) return nullptr;
    const std::shared_ptr<const Folder> folder = TopFolder();
    if (!folder) return nullptr;
    look = std::make_shared<LookJob>(fs_, gate_, folder, top.listing->Names()[top.next++]);
    ShowReading(look->name);
    Submit(look);
    return look;
  }

  // Tells a progress display that the walk reads the entry name of the top
  // folder, or the top folder itself for an empty name.
  void ShowReading(std::wstring_view name) {
    if (!sink_.ShowsProgress()) return;
    path_.resize(frames_.back().path_size);
    if (!name.empty()) Path::AppendName(path_, name);
    sink_.Reading(Relative(path_));
  }

  // Hands out looks at the top folder's next few candidates, so that on a
  // slow file system their listings are read while the walk is busy. Run
  // one at a time they would gain nothing, only hold their handles longer.
  void TopUpLooks() {
    if (&Current() == &inline_) return;
    Frame& top = frames_.back();
    const size_t per_folder = std::min(kLookAheadPerFolder, looks_limit_);
    while (top.ahead.size() - top.ahead_head < per_folder && looks_ahead_ < looks_limit_ &&
           FindCandidate(top)) {
      const std::shared_ptr<const Folder> folder = TopFolder();
      if (!folder) return;
      auto look = std::make_shared<LookJob>(fs_, gate_, folder, top.listing->Names()[top.next++]);
      Submit(look);
      top.ahead.push_back(std::move(look));
      ++looks_ahead_;
    }
  }

  // Moves frame.next to its next candidate; returns false when none is left.
  static bool FindCandidate(Frame& frame) {
    const NameList& names = frame.listing->Names();
    while (frame.next < names.size() && !IsCandidate(names[frame.next])) ++frame.next;
    return frame.next < names.size();
  }

  // Returns true when the top folder has nothing left to look at.
  bool TopIsDone() {
    Frame& top = frames_.back();
    return top.ahead_head == top.ahead.size() && !FindCandidate(top);
  }

  void Descend(LookJob& look) {
    path_.resize(frames_.back().path_size);
    Path::AppendName(path_, look.name);
    FolderLook& found = look.look;
    switch (found.kind) {
      case FolderLook::Kind::kNone:
        return;
      case FolderLook::Kind::kFailed:
        // An entry that cannot even be looked at may be a folder, and all
        // its files would be missing from the report without a word.
        Put(Slot{Slot::Kind::kUnlistable, path_, nullptr, found.error.text, {}});
        return;
      case FolderLook::Kind::kUnlistable:
      case FolderLook::Kind::kFolder:
        break;
    }
    // Each folder is walked once: a second way to it (a link, a bind mount)
    // would report its files twice, and links that lead round in circles or
    // to each other would never let the walk end. A folder the system gave
    // no identity for cannot be told apart, so it takes no part.
    if (found.has_id) {
      const auto it = seen_.find(found.id);
      if (it != seen_.end()) {
        Put(Slot{Slot::Kind::kSeen, path_, nullptr, {}, SeenPath(it->second)});
        return;
      }
    }
    if (found.kind == FolderLook::Kind::kUnlistable) {
      if (found.has_id) seen_.emplace(found.id, AddSeen(frames_.back().seen, look.name));
      Put(Slot{Slot::Kind::kUnlistable, path_, nullptr, found.error.text, {}});
      return;
    }
    const uint32_t seen = AddSeen(frames_.back().seen, look.name);
    if (found.has_id) seen_.emplace(found.id, seen);
    // A folder with nothing left to look at is done with: a tree as deep as
    // a chain costs no more than one folder on the stack.
    if (TopIsDone()) Pop();
    Push(look, seen);
    Enter();
  }

  // Makes the folder of look, whose path is path_, the top of the stack.
  void Push(LookJob& look, uint32_t seen) {
    if (frames_.empty()) below_start_ = Path::RelativeStart(path_);
    Frame frame;
    frame.folder = std::shared_ptr<const Folder>(std::move(look.look.folder));
    frame.listing = std::move(look.listing);
    frame.path_size = path_.size();
    frame.seen = seen;
    frames_.push_back(std::move(frame));
    ++open_folders_;
    CloseOldFolders();
  }

  void Pop() {
    Frame& top = frames_.back();
    if (top.folder) --open_folders_;
    looks_ahead_ -= top.ahead.size() - top.ahead_head;
    frames_.pop_back();
    oldest_open_ = std::min(oldest_open_, frames_.size());
  }

  // Keeps the folders held open on the way down within their share of the
  // handles, closing those nearest the root: the walk gets back to them
  // last, and opens them again below the start if it needs them. The start
  // stays open: names below it are what the listings gave, while its own
  // path is only the text the user typed, which the system may read
  // differently (Windows drops a trailing dot or space).
  void CloseOldFolders() {
    while (open_folders_ > open_limit_ && oldest_open_ + 1 < frames_.size()) {
      std::shared_ptr<const Folder>& folder = frames_[oldest_open_++].folder;
      if (!folder) continue;
      folder.reset();
      --open_folders_;
    }
  }

  // Returns the top folder, opened again by its path when it was closed;
  // returns null, with a message, when that fails.
  std::shared_ptr<const Folder> TopFolder() {
    Frame& top = frames_.back();
    if (top.folder) return top.folder;
    const CStdStr path = path_.substr(0, top.path_size);
    auto look = std::make_shared<LookJob>(fs_, gate_, path);
    look->ByPath(Start(), Below(path));
    look->RunToEnd();
    if ((!look->HitLimit() || Retry(*look)) && look->look.kind == FolderLook::Kind::kFolder) {
      top.folder = std::shared_ptr<const Folder>(std::move(look->look.folder));
      ++open_folders_;
      oldest_open_ = std::min(oldest_open_, frames_.size() - 1);
      CloseOldFolders();
      return top.folder;
    }
    // What is left of the folder cannot be reached any more.
    const FsError& error = look->look.error;
    Put(Slot{Slot::Kind::kUnlistable,
             path,
             nullptr,
             error.Failed() ? error.text : std::string("not a directory"),
             {}});
    if (error.limit) incomplete_ = true;
    top.next = top.listing->Names().size();
    return nullptr;
  }

  // Reports the files of the folder just pushed: its WAV files, then its MIDI
  // files. Its subfolders follow as the walk comes to them.
  void Enter() {
    const Frame& top = frames_.back();
    const std::shared_ptr<const FolderListing> listing = top.listing;
    const size_t path_size = top.path_size;
    if (!listing->Error().empty()) {
      Put(Slot{Slot::Kind::kUnlistable, path_.substr(0, path_size), nullptr, listing->Error(), {}});
      return;
    }
    sink_.FolderListed(Relative(std::wstring_view(path_).substr(0, path_size)));
    for (PathFind find(listing, kWavPattern); find.HasNext() && !Stopped();) {
      const std::wstring_view name = find.NextName();
      const std::shared_ptr<const Folder> folder = TopFolder();
      if (!folder) return;
      auto probe = std::make_shared<ProbeJob>(fs_, gate_, folder, name);
      Submit(probe);
      slots_.push_back(
          Slot{Slot::Kind::kWav, EntryPath(path_size, name), std::move(probe), {}, {}});
      Pump();
      while (slots_.size() >= Window() && !Stopped()) {
        AwaitFront();
        Pump();
      }
    }
    for (PathFind find(listing, kMidiPattern); find.HasNext() && !Stopped();) {
      Put(Slot{Slot::Kind::kMidi, EntryPath(path_size, find.NextName()), nullptr, {}, {}});
    }
  }

  CStdStr EntryPath(size_t folder_size, std::wstring_view name) const {
    CStdStr path(path_, 0, folder_size);
    Path::AppendName(path, name);
    return path;
  }

  Executor& Current() {
    switch (tuning_.mode) {
      case ScanTuning::Mode::kInline:
        return inline_;
      case ScanTuning::Mode::kPooled:
        return Pool();
      case ScanTuning::Mode::kAdaptive:
        break;
    }
    return gate_.Slow() ? Pool() : static_cast<Executor&>(inline_);
  }

  Executor& Pool() {
    if (pool_ == nullptr) {
      pool_ = tuning_.executor;
      if (pool_ == nullptr) {
        own_pool_ = std::make_unique<ThreadPool>(gate_.Parallelism());
        pool_ = own_pool_.get();
      }
    }
    return *pool_;
  }

  void Submit(std::shared_ptr<Job> job) { Current().Submit(std::move(job)); }

  // Waits for job, writing what is ready meanwhile. Only jobs handed to the
  // pool can still be running.
  void Await(const Job& job) {
    if (job.Done()) return;
    Pump();
    if (!job.Done()) pool_->Wait(job);
  }

  void AwaitFront() {
    const Slot& front = slots_.front();
    if (front.probe && !front.probe->Done()) pool_->Wait(*front.probe);
  }

  size_t Window() const {
    if (tuning_.window != 0) return tuning_.window;
    return 4 * gate_.Parallelism();
  }

  void Record(int64_t elapsed) {
    const size_t before = gate_.Parallelism();
    gate_.Record(elapsed);
    if (pool_ != nullptr && gate_.Parallelism() != before) {
      pool_->SetParallelism(gate_.Parallelism());
    }
  }

  // Runs job again after a limit of the process stopped it (too many open
  // files, no memory): alone, after everything in flight has finished, with
  // fewer reads and looks in flight from then on; at the last, with every
  // handle the walk can spare closed. Returns false when it fails even so.
  bool Retry(WalkJob& job) {
    bool released = false;
    while (job.HitLimit()) {
      if (pool_ != nullptr) pool_->WaitAll();
      const size_t parallel = gate_.Parallelism();
      if (parallel > 1 || looks_limit_ > 0) {
        gate_.Cap(parallel / 2);
        looks_limit_ /= 2;
        if (pool_ != nullptr) pool_->SetParallelism(gate_.Parallelism());
      } else if (!released) {
        ReleaseSpare();
        released = true;
      } else {
        return false;
      }
      job.Rearm();
      job.RunToEnd();
    }
    return true;
  }

  // Closes every handle that can be had again later: the folders on the way
  // down but the one being walked, and what looks ahead hold.
  void ReleaseSpare() {
    for (size_t i = 0; i + 1 < frames_.size(); ++i) {
      if (frames_[i].folder) {
        frames_[i].folder.reset();
        --open_folders_;
      }
    }
    for (Frame& frame : frames_) {
      for (size_t i = frame.ahead_head; i < frame.ahead.size(); ++i) frame.ahead[i]->Release();
    }
  }

  // Queues slot behind what waits and writes what is ready.
  void Put(Slot slot) {
    slots_.push_back(std::move(slot));
    Pump();
  }

  // Writes every slot at the front that is complete; lines complete
  // together go out in one write.
  void Pump() {
    while (!slots_.empty() && !Stopped()) {
      Slot& slot = slots_.front();
      if (slot.probe) {
        if (!slot.probe->Done()) break;
        Record(slot.probe->elapsed);
        if (slot.probe->HitLimit()) {
          slot.probe->ByPath(Start(), Below(slot.path));
          Retry(*slot.probe);
        }
      }
      Emit(slot);
      slots_.pop_front();
    }
    sink_.Flush();
    if (Stopped()) slots_.clear();
  }

  // Waits for and writes everything queued.
  void Drain() {
    while (!slots_.empty() && !Stopped()) {
      AwaitFront();
      Pump();
    }
  }

  void Emit(const Slot& slot) {
    switch (slot.kind) {
      case Slot::Kind::kWav: {
        const ProbeJob& probe = *slot.probe;
        if (probe.error.Failed()) {
          sink_.Message("cannot open file '", slot.path, "': ", probe.error.text);
        }
        if (probe.HitLimit()) {
          // Not read at all, for want of a handle or memory: no line rather
          // than a line that would call the file unreadable.
          incomplete_ = true;
        } else if (probe.ok) {
          sink_.WavLine(Relative(slot.path), probe.summary);
        } else {
          sink_.UnreadableLine(Relative(slot.path));
        }
        break;
      }
      case Slot::Kind::kMidi:
        sink_.MidiLine(Relative(slot.path));
        break;
      case Slot::Kind::kUnlistable:
        sink_.FolderLeftOut();
        sink_.Message("cannot list folder '", slot.path, "': ", slot.reason);
        break;
      case Slot::Kind::kSeen:
        sink_.FolderLeftOut();
        sink_.Message("skipping folder '", slot.path, "': already reported as '", slot.first);
        break;
    }
  }

  // Returns the folder the walk started in, open for the whole walk.
  std::shared_ptr<const Folder> Start() const { return frames_.front().folder; }
  // Returns the names of path below the folder the walk started in.
  std::wstring_view Below(std::wstring_view path) const {
    return path.substr(std::min(below_start_, path.size()));
  }

  std::wstring_view Relative(std::wstring_view path) const {
    return path.substr(std::min(full_prefix_.size(), path.size()));
  }

  // The folders seen so far, each as its parent and its name, so that the
  // path a folder was first reported under costs its name alone.
  struct SeenFolder {
    uint32_t parent;  // UINT32_MAX for the root
    uint32_t name_size;
    size_t name_start;
  };

  uint32_t AddSeen(uint32_t parent, std::wstring_view name) {
    seen_nodes_.push_back(
        SeenFolder{parent, static_cast<uint32_t>(name.size()), seen_names_.size()});
    seen_names_.append(name);
    return static_cast<uint32_t>(seen_nodes_.size() - 1);
  }

  CStdStr SeenPath(uint32_t node) const {
    std::vector<uint32_t> chain;
    for (uint32_t at = node; at != UINT32_MAX; at = seen_nodes_[at].parent) chain.push_back(at);
    CStdStr path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
      const SeenFolder& folder = seen_nodes_[*it];
      const std::wstring_view name =
          std::wstring_view(seen_names_).substr(folder.name_start, folder.name_size);
      if (path.empty()) {
        path.assign(name);
      } else {
        Path::AppendName(path, name);
      }
    }
    return path;
  }

  ReportSink sink_;
  FileSystem& fs_;
  const ScanTuning& tuning_;
  LatencyGate gate_;
  CStdStr root_text_;
  CStdStr full_prefix_;  // the root and a separator: what a full path has more than a relative one
  CStdStr path_;         // the folder or entry being handled, from the root on
  std::vector<Frame> frames_;
  std::deque<Slot> slots_;
  std::unordered_map<FolderId, uint32_t, FolderIdHash> seen_;
  std::vector<SeenFolder> seen_nodes_;
  CStdStr seen_names_;
  size_t open_limit_ = 1;
  size_t looks_limit_ = 0;
  size_t open_folders_ = 0;
  size_t oldest_open_ = 1;  // the folders after the start and before this one are closed
  size_t below_start_ = 0;  // where the names below the start begin in a path
  size_t looks_ahead_ = 0;
  bool incomplete_ = false;
  InlineExecutor inline_;
  Executor* pool_ = nullptr;
  // Declared last: destroying it joins the threads before anything they
  // might still touch goes.
  std::unique_ptr<ThreadPool> own_pool_;
};

// Copies what the reader delivered into the eight reported values.
bool ReadSummary(TqAudioFileReader* created, FormatSummary& out) {
  const std::unique_ptr<TqAudioFileReader> reader(created);
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

}  // namespace

bool ProbeWavFormat(FileSystem& fs, const Folder& folder, std::wstring_view name,
                    FormatSummary& out, FsError* error) {
  return ReadSummary(TqAudioFileReader::Create(fs.OpenFileAt(folder, name, error), nullptr), out);
}

bool ProbeWavFormat(FileSystem& fs, const CStdStr& pathText, FormatSummary& out, FsError* error) {
  return ReadSummary(TqAudioFileReader::Create(fs, pathText.c_str(), nullptr, error), out);
}

ScanResult ScanFolder(const Path& root, const Path& folder, ScanOutput& out, FileSystem& fs,
                      const ScanTuning& tuning) {
  return Walk(root, out, fs, tuning).Run(folder);
}

}  // namespace wavtally
