#pragma once

// Paths longer than the system takes in one call (PATH_MAX) are still opened:
// the folders on the way are opened a piece at a time, and the last call is
// made relative to the nearest one. Short paths, nearly all of them, cost
// nothing extra. The walk itself opens entries relative to their folder, so
// only the root and folders opened again by path come here.

#include <fcntl.h>

#include <string>

#include "base/file_system.h"

namespace wavtally::platform {

class AtPath {
 public:
  AtPath() = default;
  ~AtPath();
  AtPath(const AtPath&) = delete;
  AtPath& operator=(const AtPath&) = delete;

  /// Prepares native, relative to the folder descriptor from (or the
  /// current folder), for the *at calls; returns false and sets *code (an
  /// errno value) when a folder on the way cannot be opened. from stays the
  /// caller's.
  bool Resolve(const std::string& native, int* code, int from = AT_FDCWD);
  /// Returns the folder descriptor the name is relative to (from for a
  /// short path).
  int Dir() const { return dir_; }
  /// Returns the name to pass with Dir(), shorter than PATH_MAX.
  const char* Name() const { return name_.c_str(); }

 private:
  int dir_ = AT_FDCWD;
  bool owned_ = false;  // whether dir_ was opened here
  std::string name_;
};

/// Returns true when code, the errno of a call on name in dir that followed
/// links, only says that name is a link that leads nowhere: ENOENT while the
/// link itself is there. Such a link names nothing and is not worth a word.
bool LeadsNowhere(int dir, const char* name, int code);

}  // namespace wavtally::platform
