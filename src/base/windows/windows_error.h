#pragma once

// What a Windows error code means to the walk, decided in this one place:
// its text, and whether it is a limit of the process (worth a retry with
// fewer handles) rather than a property of the entry.

#include "base/file_system.h"

namespace wavtally::platform {

/// Returns the failure code (a GetLastError value) stands for: its text,
/// and whether it is a limit of the process (handles, memory).
FsError WindowsError(unsigned long code);

}  // namespace wavtally::platform
