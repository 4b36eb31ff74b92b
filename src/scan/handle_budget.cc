#include "scan/handle_budget.h"

#include <algorithm>

namespace wavtally {
namespace {

// Beyond these, more open folders or looks ahead gain nothing measurable.
constexpr size_t kMostLooksAhead = 64;
constexpr size_t kMostOpenFolders = 64;
// Kept free for what is opened for a moment beyond the walk's own handles:
// the pieces of a path too long for one call, a folder opened again.
constexpr size_t kReservedHandles = 4;

}  // namespace

HandleBudget::HandleBudget(size_t spare, size_t most_reads) {
  const size_t budget = spare > kReservedHandles ? spare - kReservedHandles : 1;
  open_folders_ = std::clamp<size_t>(budget / 4, 1, kMostOpenFolders);
  looks_ahead_ = std::min(budget / 4, kMostLooksAhead);
  reads_ = std::clamp<size_t>(budget - std::min(budget, open_folders_ + looks_ahead_), 1,
                              std::max<size_t>(most_reads, 1));
}

HandleBudget::Step HandleBudget::Refused(bool released, size_t folders_open, size_t reads_now) {
  const size_t reads = std::min(reads_, std::max<size_t>(reads_now, 1));
  if (reads > 1 || looks_ahead_ > 0 || open_folders_ > 1) {
    // What was in use when the system refused was too much: from now on at
    // most half of it.
    reads_ = std::max<size_t>(reads / 2, 1);
    looks_ahead_ /= 2;
    open_folders_ = std::max<size_t>(std::min(open_folders_, folders_open) / 2, 1);
    return Step::kFewer;
  }
  // Already down to the least: one release of all that can be had again,
  // for each entry, before it is given up.
  return released ? Step::kGiveUp : Step::kReleaseSpare;
}

}  // namespace wavtally
