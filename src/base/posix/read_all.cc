#include "base/posix/read_all.h"

#include <cerrno>
#include <limits>

#include "base/posix/posix_error.h"

namespace wavtally::platform {

size_t ReadAllAt(int fd, void* data, size_t size, uint64_t offset, PreadFunction read_at) {
  auto* out = static_cast<char*>(data);
  size_t done = 0;
  int interruptions = 0;
  while (done < size) {
    const uint64_t at = offset + done;
    if (at < offset || at > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) break;
    const ssize_t n = read_at(fd, out + done, size - done, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR && ++interruptions <= kMostInterruptions) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
    interruptions = 0;
  }
  return done;
}

}  // namespace wavtally::platform
