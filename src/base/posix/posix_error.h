#pragma once

// What an errno value means to the walk, decided in this one place: its
// text, whether it is a limit of the process (worth a retry with fewer
// handles) rather than a property of the entry, and which failures to open
// a file need no word.

#include "base/file_system.h"

namespace wavtally::platform {

/// Returns true when code says that the process ran into a limit of its own
/// or of the system (open descriptors, memory) rather than something about
/// the entry.
bool IsLimit(int code);

/// Returns the failure code stands for: its text, and whether it is a limit.
FsError PosixError(int code);

/// Returns the failure that code, the errno of a failed open of a file,
/// stands for: as PosixError, but nothing to say when the file is there and
/// may not be read or is no file to read.
FsError OpenFailure(int code);

}  // namespace wavtally::platform
