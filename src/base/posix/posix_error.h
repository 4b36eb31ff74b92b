#pragma once

// What an errno value means to the walk, decided in this one place: its
// text, whether it is a limit of the process (worth a retry with fewer
// handles) rather than a property of the entry, and which failures to open
// a file need no word.

#include <cerrno>

#include "base/file_system.h"

namespace wavtally::platform {

/// Returns true when code says that the process ran into a limit of its own
/// or of the system (open descriptors, memory) rather than something about
/// the entry.
bool IsLimit(int code);

/// Returns the failure code stands for: its text, and whether it is a limit.
FsError PosixError(int code);

/// How many interruptions in a row a call is given before its EINTR is taken
/// as its failure: a signal now and then is retried, a call that is never let
/// finish (a share that answers EINTR to every read) ends with its reason.
constexpr int kMostInterruptions = 64;

/// Runs call, a system call that returns a negative value with errno set on
/// failure, again while it is interrupted, at most kMostInterruptions times
/// more; returns its last result, with errno as it left it.
template <typename Call>
auto RetryInterrupted(Call call) {
  auto result = call();
  for (int i = 0; i < kMostInterruptions && result < 0 && errno == EINTR; ++i) result = call();
  return result;
}

/// Returns the failure that code, the errno of a failed open of a file,
/// stands for: as PosixError, but nothing to say when the file is there and
/// may not be read or is no file to read.
FsError OpenFailure(int code);

}  // namespace wavtally::platform
