#pragma once

// How many handles (open folders and files) a walk may hold at once, and what
// it does when the system refuses one anyway. The handles are shared out at
// the start among the folders held open on the way down, the folders looked
// at ahead and the reads in flight. The system may refuse sooner than it
// said (a limit lowered during the run, descriptors that could not be
// counted, memory): every refusal shrinks the shares to what worked, so the
// budget follows the system rather than one reading of it.

#include <cstddef>

namespace wavtally {

class HandleBudget {
 public:
  /// What the walk does about an entry refused for a limit of the process,
  /// after waiting for everything in flight.
  enum class Step {
    kFewer,         ///< run it again with the smaller shares now in force
    kReleaseSpare,  ///< close every handle that can be had again, then run it again
    kGiveUp,        ///< name it and leave it out: even that did not help
  };

  /// Shares out spare handles, of which a few stay free for what is opened
  /// for a moment beyond the walk's own (the pieces of a long path); at most
  /// most_reads reads run at once.
  HandleBudget(size_t spare, size_t most_reads);

  /// Returns how many folders on the way down may be held open, besides the
  /// folder the walk started in, which stays open for the whole walk.
  size_t OpenFolders() const { return open_folders_; }
  /// Returns how many folders may be looked at ahead of the walk.
  size_t LooksAhead() const { return looks_ahead_; }
  /// Returns how many reads may be in flight at once.
  size_t Reads() const { return reads_; }

  /// Takes a refusal of an entry while folders_open folders were held on
  /// the way down and reads_now reads could run at once; released tells
  /// whether everything spare was already released for this entry. Returns
  /// what to do next: halve the shares until one read at a time, no look
  /// ahead and one open folder are left, then release everything spare
  /// once, then give up.
  Step Refused(bool released, size_t folders_open, size_t reads_now);

 private:
  size_t open_folders_;
  size_t looks_ahead_;
  size_t reads_;
};

}  // namespace wavtally
