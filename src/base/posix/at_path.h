#pragma once

// Paths longer than the system takes in one call (PATH_MAX) are still opened:
// the folders on the way are opened a piece at a time, and the last call is
// made relative to the nearest one. Short paths, nearly all of them, cost
// nothing extra.

#include <fcntl.h>

#include <string>

namespace wavtally::platform {

class AtPath {
 public:
  AtPath() = default;
  ~AtPath();
  AtPath(const AtPath&) = delete;
  AtPath& operator=(const AtPath&) = delete;

  /// Prepares native for the *at calls; returns false and sets *code (an
  /// errno value) when a folder on the way cannot be opened.
  bool Resolve(const std::string& native, int* code);
  /// Returns the folder descriptor the name is relative to (AT_FDCWD for a
  /// short path).
  int Dir() const { return dir_; }
  /// Returns the name to pass with Dir(), shorter than PATH_MAX.
  const char* Name() const { return name_.c_str(); }

  /// Returns true when code, the errno of a call that followed links on
  /// this path, only says that the path is a link that leads nowhere: ENOENT
  /// while the link itself is there. Such a link names nothing and is not
  /// worth a word.
  bool LeadsNowhere(int code) const;

 private:
  int dir_ = AT_FDCWD;
  std::string name_;
};

/// Returns true when code says that a path could not be reached at all (it is
/// gone, a folder on the way is not one any more, links loop, or it is too
/// long), as opposed to being there and unreadable.
bool IsUnreachable(int code);

}  // namespace wavtally::platform
