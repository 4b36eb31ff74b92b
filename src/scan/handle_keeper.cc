#include "scan/handle_keeper.h"

#include <algorithm>

namespace wavtally {
namespace {

// Beyond these, more open folders or looks ahead gain nothing measurable.
constexpr size_t kMostLooksAhead = 64;
constexpr size_t kMostOpenFolders = 64;
// Kept free for what is opened for a moment beyond the walk's own handles:
// the pieces of a path too long for one call, a folder opened again.
constexpr size_t kReservedHandles = 4;
// The least a walk works with besides the start: a folder on the way down
// and a file. The batch reader's handles come out of what is left above it,
// never out of these, for they would leave no file readable.
constexpr size_t kLeastToWalk = 2;

}  // namespace

HandleKeeper::HandleKeeper(FileSystem& fs, size_t told, size_t most_reads) : fs_(fs) {
  const size_t spare = told != 0 ? told : fs.SpareHandles();
  size_t budget = spare > kReservedHandles ? spare - kReservedHandles : 1;
  const size_t batch = fs.BatchHandles();
  batches_ = budget > batch + kLeastToWalk;
  if (batches_) budget -= batch;
  fs_.UseBatches(batches_);
  open_folders_ = std::clamp<size_t>(budget / 4, 1, kMostOpenFolders);
  looks_ahead_ = std::min(budget / 4, kMostLooksAhead);
  reads_ = std::clamp<size_t>(budget - std::min(budget, open_folders_ + looks_ahead_), 1,
                              std::max<size_t>(most_reads, 1));
}

HandleKeeper::~HandleKeeper() {
  if (batches_) fs_.UseBatches(false);
}

void HandleKeeper::Push(std::shared_ptr<const Folder> folder) {
  if (folder && folder != start_) ++open_;
  way_.push_back(std::move(folder));
  CloseOld();
}

void HandleKeeper::Pop() {
  Close(way_.size() - 1);
  way_.pop_back();
  oldest_ = std::min(oldest_, way_.size());
}

std::shared_ptr<const Folder> HandleKeeper::At(size_t depth) const { return way_[depth]; }

void HandleKeeper::Reopened(size_t depth, std::shared_ptr<const Folder> folder) {
  way_[depth] = std::move(folder);
  ++open_;
  oldest_ = std::min(oldest_, depth);
  CloseOld();
}

void HandleKeeper::Taken(const HandleHolder* look) {
  const auto it = std::find(ahead_.begin(), ahead_.end(), look);
  if (it != ahead_.end()) ahead_.erase(it);
}

void HandleKeeper::CloseOld() {
  // The deepest folder is the one the walk works in: it stays.
  while (open_ > open_folders_ && oldest_ + 1 < way_.size()) Close(oldest_++);
}

void HandleKeeper::Close(size_t depth) {
  std::shared_ptr<const Folder>& folder = way_[depth];
  if (!folder || folder == start_) return;
  folder.reset();
  --open_;
}

HandleKeeper::Step HandleKeeper::Refused(bool* released, size_t reads_now) {
  if (batches_) {
    // The batch reader's handles are the ones the walk can best do without.
    fs_.UseBatches(false);
    batches_ = false;
    return Step::kAgain;
  }
  const size_t reads = std::min(reads_, std::max<size_t>(reads_now, 1));
  if (reads > 1 || looks_ahead_ > 0 || open_folders_ > 1) {
    // What was in use when the system refused was too much: from now on at
    // most half of it.
    reads_ = std::max<size_t>(reads / 2, 1);
    looks_ahead_ /= 2;
    open_folders_ = std::max<size_t>(std::min(open_folders_, open_) / 2, 1);
    CloseOld();
    return Step::kAgain;
  }
  // Already down to the least: one release of all that can be had again,
  // for each entry, before it is given up.
  if (*released) return Step::kGiveUp;
  for (size_t depth = 0; depth < way_.size(); ++depth) Close(depth);
  oldest_ = way_.size();
  for (HandleHolder* look : ahead_) look->ReleaseHandles();
  *released = true;
  return Step::kAgain;
}

}  // namespace wavtally
