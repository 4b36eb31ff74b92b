#include "scan/scan.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/path_find.h"
#include "base/wav_reader.h"
#include "report/report_sink.h"
#include "scan/handle_budget.h"
#include "scan/ordered_output.h"
#include "scan/seen_folders.h"
#include "scan/walk_jobs.h"

namespace wavtally {
namespace {

const CStdStr kWavPattern = L"*.wav";
const CStdStr kMidiPattern = L"*.mid";

// How many subfolders of one folder are looked at (and listed) ahead of the
// walk; the budget bounds how many wait across all levels.
constexpr size_t kLookAheadPerFolder = 8;

// Only a name without an extension may be a folder the walk descends into.
bool IsCandidate(std::wstring_view name) {
  return !name.empty() && name.find(L'.') == std::wstring_view::npos;
}

// A folder on the walk's way down, from the root to the folder being walked.
struct Frame {
  std::shared_ptr<const Folder> folder;  // null once closed to keep handles bounded
  std::shared_ptr<const FolderListing> listing;
  size_t next = 0;       // the first name not yet handed to a look
  size_t path_size = 0;  // the length of the folder's path in the walk's path
  SeenFolders::Node seen = SeenFolders::kNone;
  // Looks handed out for the candidates before next, in order; those before
  // ahead_head are taken.
  std::vector<std::shared_ptr<LookJob>> ahead;
  size_t ahead_head = 0;
};

class Walk {
 public:
  Walk(const Path& root, ScanOutput& out, FileSystem& fs, const ScanTuning& tuning)
      : sink_(out.report, out.errors, out.progress),
        output_(sink_, [this](const CStdStr& path, ProbeJob& probe) { Settle(path, probe); }),
        fs_(fs),
        tuning_(tuning),
        gate_(tuning.clock),
        budget_(tuning.handles != 0 ? tuning.handles : fs.SpareHandles(),
                LatencyGate::kMaxThreads) {
    ShareOutReads();
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
    output_.SetPrefix(full_prefix_.size());
    below_start_ = Path::RelativeStart(path_);
    auto look = std::make_shared<LookJob>(fs_, gate_, path_);
    look->RunToEnd();
    if (look->HitLimit() && !Retry(*look)) {
      Unlistable(path_, look->Reason(), true);
    } else if (look->look.kind == FolderLook::Kind::kFolder) {
      // The folder the walk started in stays open to the end: every folder
      // the walk must open again is opened below it, never by the text the
      // user typed, which the system may read differently.
      start_ = std::shared_ptr<const Folder>(std::move(look->look.folder));
      Push(*look, seen_.Add(SeenFolders::kNone, path_, &look->look.id), start_);
      Enter(/*root=*/true);
      WalkTree();
    } else {
      // The root was looked at a moment ago; anything but a folder now is
      // a root that cannot be listed.
      Unlistable(path_, look->Reason(), true);
    }
    Drain();
    sink_.Flush();
    return output_.Incomplete() ? ScanResult::kIncomplete : ScanResult::kComplete;
  }

 private:
  bool Stopped() const { return sink_.Failed(); }

  void Unlistable(const CStdStr& path, const std::string& reason, bool fails_run) {
    output_.Put(Slot{Slot::Kind::kUnlistable, path, nullptr, reason, {}, fails_run});
  }

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
      if (look->HitLimit()) {
        look->ByPath(start_, Below(path_));
        if (!Retry(*look)) {
          Unlistable(path_, look->Reason(), true);
          continue;
        }
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
        std::shared_ptr<const Folder> folder = TopFolder();
        if (!folder) return nullptr;
        look->Reuse(std::move(folder));
        ShowReading(look->name);
        Submit(look);
      } else if (!look->Done()) {
        ShowReading(look->name);
      }
      return look;
    }
    if (!FindCandidate(top)) return nullptr;
    std::shared_ptr<const Folder> folder = TopFolder();
    if (!folder) return nullptr;
    look =
        std::make_shared<LookJob>(fs_, gate_, std::move(folder), top.listing->Names()[top.next++]);
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
    sink_.Reading(output_.Relative(path_));
  }

  // Hands out looks at the top folder's next few candidates, so that on a
  // slow file system their listings are read while the walk is busy. Run
  // one at a time they would gain nothing, only hold their handles longer.
  void TopUpLooks() {
    if (&Current() == &inline_ || &Current() == &batch_) return;
    Frame& top = frames_.back();
    const size_t per_folder = std::min(kLookAheadPerFolder, budget_.LooksAhead());
    while (top.ahead.size() - top.ahead_head < per_folder && looks_ahead_ < budget_.LooksAhead() &&
           FindCandidate(top)) {
      std::shared_ptr<const Folder> folder = TopFolder();
      if (!folder) return;
      auto look = std::make_shared<LookJob>(fs_, gate_, std::move(folder),
                                            top.listing->Names()[top.next++]);
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

  // Walks into the folder look found at path_, or names why not.
  void Descend(LookJob& look) {
    FolderLook& found = look.look;
    switch (found.kind) {
      case FolderLook::Kind::kNone:
        return;
      case FolderLook::Kind::kFailed:
        // An entry that cannot even be looked at may be a folder, and all
        // its files would be missing from the report without a word.
        Unlistable(path_, found.error.text, false);
        return;
      case FolderLook::Kind::kUnlistable:
      case FolderLook::Kind::kFolder:
        break;
    }
    // Each folder is walked once: a second way to it (a link, a bind mount)
    // would report its files twice, and links that lead round in circles or
    // to each other would never let the walk end. A folder the system gave
    // no identity for cannot be told apart, so it takes no part.
    const FolderId* id = found.has_id ? &found.id : nullptr;
    if (id != nullptr) {
      const SeenFolders::Node first = seen_.Find(*id);
      if (first != SeenFolders::kNone) {
        output_.Put(Slot{Slot::Kind::kSeen, path_, nullptr, {}, seen_.PathOf(first)});
        return;
      }
    }
    const SeenFolders::Node seen = seen_.Add(frames_.back().seen, look.name, id);
    if (found.kind == FolderLook::Kind::kUnlistable) {
      Unlistable(path_, found.error.text, false);
      return;
    }
    // A folder with nothing left to look at is done with: a tree as deep as
    // a chain costs no more than one folder on the stack.
    if (TopIsDone()) Pop();
    Push(look, seen, std::shared_ptr<const Folder>(std::move(found.folder)));
    Enter(/*root=*/false);
  }

  // Makes folder, the folder of look at path_, the top of the stack.
  void Push(LookJob& look, SeenFolders::Node seen, std::shared_ptr<const Folder> folder) {
    Frame frame;
    frame.folder = std::move(folder);
    frame.listing = std::move(look.listing);
    frame.path_size = path_.size();
    frame.seen = seen;
    if (frame.folder != start_) ++open_folders_;
    frames_.push_back(std::move(frame));
    CloseOldFolders();
  }

  void Pop() {
    Frame& top = frames_.back();
    if (top.folder && top.folder != start_) --open_folders_;
    looks_ahead_ -= top.ahead.size() - top.ahead_head;
    frames_.pop_back();
    oldest_open_ = std::min(oldest_open_, frames_.size());
  }

  // Keeps the folders held open on the way down within their share of the
  // handles, closing those nearest the root: the walk gets back to them
  // last, and opens them again below the start if it needs them. The start
  // itself is held apart and never closed.
  void CloseOldFolders() {
    while (open_folders_ > budget_.OpenFolders() && oldest_open_ + 1 < frames_.size()) {
      Close(frames_[oldest_open_++]);
    }
  }

  void Close(Frame& frame) {
    if (!frame.folder || frame.folder == start_) return;
    frame.folder.reset();
    --open_folders_;
  }

  // Returns the top folder, opened again below the start when it was
  // closed; returns null, with a message, when that fails.
  std::shared_ptr<const Folder> TopFolder() {
    Frame& top = frames_.back();
    if (top.folder) return top.folder;
    const CStdStr path = path_.substr(0, top.path_size);
    auto look = std::make_shared<LookJob>(fs_, gate_, path);
    look->ByPath(start_, Below(path));
    look->RunToEnd();
    if ((!look->HitLimit() || Retry(*look)) && look->look.kind == FolderLook::Kind::kFolder) {
      top.folder = std::shared_ptr<const Folder>(std::move(look->look.folder));
      ++open_folders_;
      oldest_open_ = std::min(oldest_open_, frames_.size() - 1);
      CloseOldFolders();
      return top.folder;
    }
    // What is left of the folder cannot be reached any more; for want of a
    // handle or memory, that leaves the report incomplete.
    Unlistable(path, look->Reason(), look->HitLimit() || look->look.error.limit);
    top.next = top.listing->Names().size();
    return nullptr;
  }

  // Reports the files of the folder just pushed: its WAV files, then its MIDI
  // files. Its subfolders follow as the walk comes to them.
  void Enter(bool root) {
    const Frame& top = frames_.back();
    const std::shared_ptr<const FolderListing> listing = top.listing;
    const size_t path_size = top.path_size;
    if (!listing->Error().empty()) {
      // The folder reported on must be listed for the report to mean
      // anything; below it, a folder that cannot be listed is named.
      Unlistable(path_.substr(0, path_size), listing->Error(), root);
      return;
    }
    sink_.FolderListed(output_.Relative(std::wstring_view(path_).substr(0, path_size)));
    if (sink_.ShowsProgress()) NameDottedFolders(*listing, path_size);
    for (PathFind find(listing, kWavPattern); find.HasNext() && !Stopped();) {
      const std::wstring_view name = find.NextName();
      std::shared_ptr<const Folder> folder = TopFolder();
      if (!folder) return;
      auto probe = std::make_shared<ProbeJob>(fs_, gate_, std::move(folder), name);
      Submit(probe);
      output_.Queue(Slot{Slot::Kind::kWav, EntryPath(path_size, name), std::move(probe), {}, {}});
      output_.Pump();
      while (output_.Size() >= Window() && !Stopped()) {
        AwaitFront();
        output_.Pump();
      }
    }
    for (PathFind find(listing, kMidiPattern); find.HasNext() && !Stopped();) {
      output_.Put(Slot{Slot::Kind::kMidi, EntryPath(path_size, find.NextName()), nullptr, {}, {}});
    }
  }

  // Tells a display of the folders in listing, at path_size of path_, that
  // the walk's rule leaves out for the dot in their name: only what the
  // listing itself says is a folder, so that it costs no call. Hidden ones
  // (a leading dot) are meant to be left out, and those named like a WAV or
  // MIDI file get a line of their own.
  void NameDottedFolders(const FolderListing& listing, size_t path_size) {
    const NameList& names = listing.Names();
    for (size_t i = 0; i < names.size(); ++i) {
      const std::wstring_view name = names[i];
      if (!names.IsFolder(i) || name.empty() || name[0] == L'.' ||
          name.find(L'.') == std::wstring_view::npos || MatchesPattern(kWavPattern, name) ||
          MatchesPattern(kMidiPattern, name)) {
        continue;
      }
      sink_.DottedFolder(output_.Relative(EntryPath(path_size, name)));
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
    // A fast file system is read a batch of files at a time on this thread:
    // a hand-over to threads would cost more than it saves.
    return gate_.Slow() ? Pool() : static_cast<Executor&>(batch_);
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

  // Lets the executors run as many reads at once as the budget allows.
  void ShareOutReads() {
    gate_.Cap(budget_.Reads());
    batch_.SetParallelism(budget_.Reads());
    if (pool_ != nullptr) pool_->SetParallelism(gate_.Parallelism());
  }

  // Waits for job, writing what is ready meanwhile.
  void Await(const Job& job) {
    if (job.Done()) return;
    output_.Pump();
    WaitFor(job);
  }

  // No pump here: it could write the front and free the probe waited for.
  void AwaitFront() {
    if (const ProbeJob* probe = output_.Awaited()) WaitFor(*probe);
  }

  // A job not done is in a batch not yet run, or in the pool's hands.
  void WaitFor(const Job& job) {
    batch_.Wait(job);
    if (!job.Done()) pool_->Wait(job);
  }

  // Waits for and writes everything queued.
  void Drain() {
    while (output_.Size() > 0 && !Stopped()) {
      AwaitFront();
      output_.Pump();
    }
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

  // A probe at the front of the output is done: its time goes to the gate,
  // and one stopped by a limit of the process runs again.
  void Settle(const CStdStr& path, ProbeJob& probe) {
    Record(probe.elapsed);
    if (!probe.HitLimit()) return;
    probe.ByPath(start_, Below(path));
    Retry(probe);
  }

  // Runs job again after a limit of the process stopped it (too many open
  // files, no memory): alone, after everything in flight has finished, with
  // fewer handles in use from then on; at the last, with every handle the
  // walk can spare closed. Returns false when it fails even so.
  bool Retry(WalkJob& job) {
    bool released = false;
    while (job.HitLimit()) {
      batch_.WaitAll();
      if (pool_ != nullptr) pool_->WaitAll();
      switch (budget_.Refused(released, open_folders_, gate_.Parallelism())) {
        case HandleBudget::Step::kFewer:
          ShareOutReads();
          CloseOldFolders();
          break;
        case HandleBudget::Step::kReleaseSpare:
          ReleaseSpare();
          released = true;
          break;
        case HandleBudget::Step::kGiveUp:
          return false;
      }
      job.Rearm();
      job.RunToEnd();
    }
    return true;
  }

  // Closes every handle that can be had again later: every folder on the
  // way down but the start (the top too: it is opened again when the walk
  // needs it), and what looks ahead hold.
  void ReleaseSpare() {
    for (Frame& frame : frames_) {
      Close(frame);
      for (size_t i = frame.ahead_head; i < frame.ahead.size(); ++i) frame.ahead[i]->Release();
    }
    oldest_open_ = frames_.size();
  }

  // Returns the names of path below the folder the walk started in.
  std::wstring_view Below(std::wstring_view path) const {
    return path.substr(std::min(below_start_, path.size()));
  }

  ReportSink sink_;
  OrderedOutput output_;
  FileSystem& fs_;
  const ScanTuning& tuning_;
  LatencyGate gate_;
  HandleBudget budget_;
  SeenFolders seen_;
  CStdStr root_text_;
  CStdStr full_prefix_;  // the root and a separator: what a full path has more than a relative one
  CStdStr path_;         // the folder or entry being handled, from the root on
  std::shared_ptr<const Folder> start_;  // open from the first listing to the end
  std::vector<Frame> frames_;
  size_t open_folders_ = 0;  // on the way down, the start not counted
  size_t oldest_open_ = 0;   // the folders before this one are closed, the start aside
  size_t below_start_ = 0;   // where the names below the start begin in a path
  size_t looks_ahead_ = 0;
  InlineExecutor inline_;
  BatchExecutor batch_{fs_, [this] { return gate_.Now(); }};
  Executor* pool_ = nullptr;
  // Declared last: destroying it joins the threads before anything they
  // might still touch goes.
  std::unique_ptr<ThreadPool> own_pool_;
};

}  // namespace

ScanResult ScanFolder(const Path& root, const Path& folder, ScanOutput& out, FileSystem& fs,
                      const ScanTuning& tuning) {
  return Walk(root, out, fs, tuning).Run(folder);
}

}  // namespace wavtally
