#pragma once

// Reads the heads of many files in few system calls: their opens, and then
// their first bytes and closes, each step for all files at once through
// io_uring, with an fstat of each between. Where the kernel lacks io_uring
// or refuses it (as containers often do), or the build has no liburing,
// nothing is read and each file is opened on its own as before.

#include <fcntl.h>

#include <span>

#include "base/file_system.h"

namespace wavtally::platform {

/// How every file the walk reads is opened. O_NONBLOCK keeps a FIFO or a
/// device from stalling the walk in open(); it changes nothing for the
/// regular files that are kept.
constexpr int kFileOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

/// One file whose head is wanted: name (native, NUL-terminated) in the
/// folder open at descriptor dir, into head.
struct HeadFile {
  int dir;
  const char* name;
  FileHead* head;
};

/// Reads each file's head as an open, fstat and read at offset 0 would. A
/// file that cannot be opened is left unread, so that its own open says
/// why. Returns false, with nothing read, when io_uring cannot be used.
/// Holds one descriptor a file while it runs, and none once it returns.
bool ReadHeadsTogether(std::span<const HeadFile> files);

}  // namespace wavtally::platform
