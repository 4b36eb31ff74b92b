#include "base/posix/write_all.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

namespace wavtally::platform {
namespace {

// Returns true once fd can take more bytes or has failed, so the next write
// tells which; false when it cannot be waited for.
bool WaitUntilWritable(int fd) {
  pollfd p = {fd, POLLOUT, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, -1);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

}  // namespace

int WriteAll(int fd, const char* data, size_t size, size_t* written) {
  size_t done = 0;
  int code = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n >= 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    code = errno;
    if (code == EINTR) continue;
    // A descriptor that someone sharing it made non-blocking (a parent
    // process, a program that used the terminal before) refuses bytes
    // whenever its reader falls behind; waiting for room keeps them whole
    // instead of failing.
    if ((code == EAGAIN || code == EWOULDBLOCK) && WaitUntilWritable(fd)) continue;
    break;
  }
  *written = done;
  return done == size ? 0 : code;
}

}  // namespace wavtally::platform
