#pragma once

// Reads the heads of many files in few system calls: their opens, and then
// their first bytes and closes, each step for all files at once through
// io_uring, with an fstat of each between. Where the kernel lacks io_uring
// or refuses it (as containers often do), or the build has no liburing,
// nothing is read and each file is opened on its own as before.

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <span>

#include "base/file_system.h"
#include "base/posix/posix_error.h"

struct io_uring;
struct io_uring_cqe;

namespace wavtally::platform {

/// How every file the walk reads is opened. O_NONBLOCK keeps a FIFO or a
/// device from stalling the walk in open(); it changes nothing for the
/// regular files that are kept.
constexpr int kFileOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

/// Tells what the file open at fd is, through fstat(fd, &info) (retried
/// while interrupted, as every call of the walk is). Returns true with *size
/// set for a regular file; false otherwise, with *error saying why fstat
/// failed, or not_file set and no text for something that is no regular
/// file.
template <typename Fstat>
bool InspectOpenFile(int fd, uint64_t* size, FsError* error, Fstat fstat) {
  struct stat info;
  if (RetryInterrupted([&] { return fstat(fd, &info); }) != 0) {
    // Opened, yet not to be looked at: a failing disk or share. The file is
    // named with the reason, as a failed open would be.
    *error = PosixError(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode) || info.st_size < 0) {
    error->not_file = true;
    return false;
  }
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

/// One file whose head is wanted: name (native, NUL-terminated) in the
/// folder open at descriptor dir, into head.
struct HeadFile {
  int dir;
  const char* name;
  FileHead* head;
};

/// The ring's own calls, which a test replaces to make any of them fail.
class RingCalls {
 public:
  virtual ~RingCalls() = default;
  /// Submits what was prepared and waits for wait completions; returns as
  /// io_uring_submit_and_wait does.
  virtual int SubmitAndWait(io_uring* ring, unsigned wait);
  /// Waits for the next completion; returns as io_uring_wait_cqe does.
  virtual int WaitCompletion(io_uring* ring, io_uring_cqe** cqe);
  /// Returns as fstat does.
  virtual int Fstat(int fd, struct stat* info) { return ::fstat(fd, info); }
};

/// Reads each file's head as an open, fstat and read at offset 0 would,
/// through calls (the real ones when null); heads come in unread. A file
/// that cannot be opened is left unread, so that its own open says why.
/// Returns false, with nothing read, when io_uring cannot be used or a step of it failed, and then
/// gives the ring up until AllowRing. Holds one descriptor a file while it runs, and none once it
/// returns, besides the ring's own.
bool ReadHeadsTogether(std::span<const HeadFile> files, RingCalls* calls = nullptr);

/// Returns how many descriptors reading heads together holds between calls
/// once it is used: the ring's own where the build has io_uring, else 0.
size_t RingDescriptors();

/// Lets ReadHeadsTogether make and use the ring, or closes it and gives its
/// descriptor back, for a process short of descriptors; returns nothing.
void AllowRing(bool allowed);

}  // namespace wavtally::platform
