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
#include "scan/handle_keeper.h"
#include "scan/ordered_output.h"
#include "scan/schedule.h"
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
        most_frames_out_(out.most_frames),
        keeper_(fs, tuning.handles, LatencyGate::kMaxThreads),
        schedule_(fs, tuning) {
    schedule_.SetReads(keeper_.Reads());
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
    auto look = std::make_shared<LookJob>(fs_, Gate(), path_);
    look->RunToEnd();
    if (look->HitLimit() && !Retry(*look)) {
      Unlistable(path_, look->Reason(), true);
    } else if (look->look.kind == FolderLook::Kind::kFolder) {
      // The folder the walk started in stays open to the end: every folder
      // the walk must open again is opened below it, never by the text the
      // user typed, which the system may read differently.
      keeper_.HoldStart(std::shared_ptr<const Folder>(std::move(look->look.folder)));
      Push(*look, seen_.Add(SeenFolders::kNone, path_, &look->look.id), keeper_.Start());
      Enter(/*root=*/true);
      WalkTree();
    } else {
      // The root was looked at a moment ago; anything but a folder now is
      // a root that cannot be listed.
      Unlistable(path_, look->Reason(), true);
    }
    Drain();
    sink_.Flush();
    if (most_frames_out_ != nullptr) *most_frames_out_ = most_frames_;
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
      if (!AwaitLook(look)) continue;
      schedule_.Record(look->elapsed);
      // Back to the folder whose entries these are, once the entry turned
      // out to be none to walk.
      if (look->look.kind != FolderLook::Kind::kFolder) ShowReading({});
      path_.resize(frames_.back().path_size);
      Path::AppendName(path_, look->name);
      if (look->HitLimit()) {
        look->ByPath(keeper_.Start(), Below(path_));
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
      keeper_.Taken(look.get());
      if (top.ahead_head == top.ahead.size()) {
        top.ahead.clear();
        top.ahead_head = 0;
      }
      if (look->released) {
        std::shared_ptr<const Folder> folder = TopFolder();
        if (!folder) return nullptr;
        look->Reuse(std::move(folder));
        ShowReading(look->name);
        schedule_.Submit(look);
      } else if (!look->Done()) {
        ShowReading(look->name);
      }
      return look;
    }
    if (!FindCandidate(top)) return nullptr;
    std::shared_ptr<const Folder> folder = TopFolder();
    if (!folder) return nullptr;
    look =
        std::make_shared<LookJob>(fs_, Gate(), std::move(folder), top.listing->Names()[top.next++]);
    ShowReading(look->name);
    schedule_.Submit(look);
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
    if (!schedule_.RunsAhead()) return;
    Frame& top = frames_.back();
    const size_t per_folder = std::min(kLookAheadPerFolder, keeper_.LooksAhead());
    while (top.ahead.size() - top.ahead_head < per_folder && keeper_.MayLookAhead() &&
           FindCandidate(top)) {
      std::shared_ptr<const Folder> folder = TopFolder();
      if (!folder) return;
      auto look = std::make_shared<LookJob>(fs_, Gate(), std::move(folder),
                                            top.listing->Names()[top.next++]);
      schedule_.Submit(look);
      keeper_.Ahead(look.get());
      top.ahead.push_back(std::move(look));
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
        // Its handle goes first: putting the slot may run a probe again
        // that a full descriptor table stopped, and that probe needs it.
        found.folder.reset();
        look.listing.reset();
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
    frame.listing = std::move(look.listing);
    frame.path_size = path_.size();
    frame.seen = seen;
    frames_.push_back(std::move(frame));
    keeper_.Push(std::move(folder));
    most_frames_ = std::max(most_frames_, frames_.size());
  }

  void Pop() {
    Frame& top = frames_.back();
    for (size_t i = top.ahead_head; i < top.ahead.size(); ++i) keeper_.Taken(top.ahead[i].get());
    frames_.pop_back();
    keeper_.Pop();
  }

  // Returns the top folder, opened again below the start when the keeper
  // closed it; returns null, with a message, when that fails.
  std::shared_ptr<const Folder> TopFolder() {
    Frame& top = frames_.back();
    const size_t depth = frames_.size() - 1;
    if (std::shared_ptr<const Folder> folder = keeper_.At(depth)) return folder;
    const CStdStr path = path_.substr(0, top.path_size);
    auto look = std::make_shared<LookJob>(fs_, Gate(), path);
    look->ByPath(keeper_.Start(), Below(path));
    look->RunToEnd();
    if ((!look->HitLimit() || Retry(*look)) && look->look.kind == FolderLook::Kind::kFolder) {
      keeper_.Reopened(depth, std::shared_ptr<const Folder>(std::move(look->look.folder)));
      return keeper_.At(depth);
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
      auto probe = std::make_shared<ProbeJob>(fs_, Gate(), std::move(folder), name);
      schedule_.Submit(probe);
      output_.Queue(Slot{Slot::Kind::kWav, EntryPath(path_size, name), std::move(probe), {}, {}});
      output_.Pump();
      while (output_.Size() >= schedule_.Window() && !Stopped()) {
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

  const LatencyGate& Gate() const { return schedule_.Gate(); }

  // Waits for look, writing what is ready meanwhile. A probe run again among
  // what is written may need the handle the look holds, so the keeper counts
  // it among those it may release; a look released so is run again. Returns
  // false, with a message, when its folder cannot be had again.
  bool AwaitLook(const std::shared_ptr<LookJob>& look) {
    keeper_.Ahead(look.get());
    while (!look->Done() || look->released) {
      if (look->released) {
        std::shared_ptr<const Folder> folder = TopFolder();
        if (!folder) {
          keeper_.Taken(look.get());
          return false;
        }
        look->Reuse(std::move(folder));
        schedule_.Submit(look);
        continue;
      }
      output_.Pump();
      if (!look->released) schedule_.Wait(*look);
    }
    keeper_.Taken(look.get());
    return true;
  }

  // No pump here: it could write the front and free the probe waited for.
  void AwaitFront() {
    if (const ProbeJob* probe = output_.Awaited()) schedule_.Wait(*probe);
  }

  // Waits for and writes everything queued.
  void Drain() {
    while (output_.Size() > 0 && !Stopped()) {
      AwaitFront();
      output_.Pump();
    }
  }

  // A probe at the front of the output is done: its time goes to the gate,
  // and one stopped by a limit of the process runs again.
  void Settle(const CStdStr& path, ProbeJob& probe) {
    schedule_.Record(probe.elapsed);
    if (!probe.HitLimit()) return;
    probe.ByPath(keeper_.Start(), Below(path));
    Retry(probe);
  }

  // Runs job again after a limit of the process stopped it (too many open
  // files, no memory): alone, after everything in flight has finished, with
  // fewer handles in use from then on, as the keeper decides. Returns false
  // when it fails even so.
  bool Retry(WalkJob& job) {
    bool released = false;
    while (job.HitLimit()) {
      schedule_.WaitAll();
      if (keeper_.Refused(&released, schedule_.Parallelism()) == HandleKeeper::Step::kGiveUp) {
        return false;
      }
      schedule_.SetReads(keeper_.Reads());
      job.Rearm();
      job.RunToEnd();
    }
    return true;
  }

  // Returns the names of path below the folder the walk started in.
  std::wstring_view Below(std::wstring_view path) const {
    return path.substr(std::min(below_start_, path.size()));
  }

  ReportSink sink_;
  OrderedOutput output_;
  FileSystem& fs_;
  SeenFolders seen_;
  CStdStr root_text_;
  CStdStr full_prefix_;  // the root and a separator: what a full path has more than a relative one
  CStdStr path_;         // the folder or entry being handled, from the root on
  std::vector<Frame> frames_;
  size_t below_start_ = 0;  // where the names below the start begin in a path
  size_t most_frames_ = 0;
  size_t* most_frames_out_;
  // Last, so that its jobs, which may still hold the keeper's folders, are
  // done with first.
  HandleKeeper keeper_;
  Schedule schedule_;
};

}  // namespace

ScanResult ScanFolder(const Path& root, const Path& folder, ScanOutput& out, FileSystem& fs,
                      const ScanTuning& tuning) {
  return Walk(root, out, fs, tuning).Run(folder);
}

}  // namespace wavtally
