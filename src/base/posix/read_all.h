#pragma once

// Reading a range of a file whole. A read may return fewer bytes than asked
// for at any time (a network file system, a FUSE share, a signal), and only
// at the end of the file does that mean there is no more.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace wavtally::platform {

/// The system's pread, or a stand-in for tests.
using PreadFunction = ssize_t (*)(int fd, void* data, size_t size, off_t offset);

/// Reads the size bytes at offset of fd into data, however many reads that
/// takes; returns how many were read, fewer only at the end of the file or
/// on an error.
size_t ReadAllAt(int fd, void* data, size_t size, uint64_t offset, PreadFunction read_at);

}  // namespace wavtally::platform
