#pragma once

// The one keeper of the handles (open folders, files and the batch reader's
// own) that a walk spends. It shares them out at the start among the folders
// held open on the way down, the folders looked at ahead, the reads in flight
// and the batch reader, holds the folders on the way down, and decides what
// to close and open again when the system refuses a handle. The system may
// refuse sooner than it said (a limit lowered during the run, descriptors
// that could not be counted, memory): every refusal shrinks the shares to
// what worked, so the keeper follows the system rather than one reading of
// it.

#include <cstddef>
#include <memory>
#include <vector>

#include "base/file_system.h"

namespace wavtally {

/// Something that holds a handle it can give back and open again later.
class HandleHolder {
 public:
  virtual ~HandleHolder() = default;
  /// Gives the handle back; returns nothing.
  virtual void ReleaseHandles() = 0;
};

class HandleKeeper {
 public:
  /// What the walk does about an entry refused for a limit of the process,
  /// after waiting for everything in flight.
  enum class Step {
    kAgain,   ///< run it again: the keeper now spends fewer handles
    kGiveUp,  ///< name it and leave it out: even that did not help
  };

  /// Takes told handles of fs, or what fs has to spare when told is 0; at
  /// most most_reads reads run at once. The batch reader gets its handles
  /// only when they leave the walk enough to work with; fs is told whether
  /// it may read in batches.
  HandleKeeper(FileSystem& fs, size_t told, size_t most_reads);
  /// Gives back what the batch reader holds.
  ~HandleKeeper();
  HandleKeeper(const HandleKeeper&) = delete;
  HandleKeeper& operator=(const HandleKeeper&) = delete;

  /// Returns how many folders may be looked at ahead of the walk.
  size_t LooksAhead() const { return looks_ahead_; }
  /// Returns how many reads may be in flight at once.
  size_t Reads() const { return reads_; }

  /// Holds folder, where the walk started, open to the end; returns nothing.
  void HoldStart(std::shared_ptr<const Folder> folder) { start_ = std::move(folder); }
  /// Returns the folder where the walk started.
  const std::shared_ptr<const Folder>& Start() const { return start_; }
  /// Holds folder as the deepest on the way down, closing those nearest the
  /// start beyond the share: the walk gets back to them last. Returns
  /// nothing.
  void Push(std::shared_ptr<const Folder> folder);
  /// Drops the deepest folder on the way down; returns nothing.
  void Pop();
  /// Returns the folder at depth on the way down, or null once it was closed
  /// (the walk opens it again below the start and hands it to Reopened).
  std::shared_ptr<const Folder> At(size_t depth) const;
  /// Holds folder, opened again, at depth; returns nothing.
  void Reopened(size_t depth, std::shared_ptr<const Folder> folder);

  /// Returns true when one more look may wait ahead of the walk.
  bool MayLookAhead() const { return ahead_.size() < looks_ahead_; }
  /// Counts look, handed out and not yet done with, as ahead and as one to
  /// release on a refusal, until Taken; returns nothing.
  void Ahead(HandleHolder* look) { ahead_.push_back(look); }
  /// Stops counting look; returns nothing.
  void Taken(const HandleHolder* look);

  /// Takes a refusal of an entry while reads_now reads could run at once;
  /// *released starts false for each entry. Gives the batch reader's
  /// handles back first, then halves the shares until one read at a time,
  /// no look ahead and one open folder are left, then releases every handle
  /// that can be had again (the folders on the way down but the start, what
  /// is counted as releasable) and sets *released, then gives up. Returns
  /// what the walk does next.
  Step Refused(bool* released, size_t reads_now);

 private:
  /// Closes folders nearest the start while more than the share are open.
  void CloseOld();
  void Close(size_t depth);

  FileSystem& fs_;
  size_t open_folders_;
  size_t looks_ahead_;
  size_t reads_;
  bool batches_ = false;
  std::shared_ptr<const Folder> start_;
  std::vector<std::shared_ptr<const Folder>> way_;  // a folder a level, null once closed
  size_t open_ = 0;                                 // of way_, the start not counted
  size_t oldest_ = 0;  // the folders of way_ before this one are closed
  std::vector<HandleHolder*> ahead_;
};

}  // namespace wavtally
