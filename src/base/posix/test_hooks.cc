#include "base/posix/test_hooks.h"

#include <fcntl.h>

#if __has_include(<pty.h>)
#include <pty.h>  // glibc, musl
#elif __has_include(<util.h>)
#include <util.h>  // macOS, NetBSD, OpenBSD
#else
#include <libutil.h>  // FreeBSD
#endif
#if __has_include(<malloc.h>)
#include <malloc.h>
#endif

namespace wavtally::platform {

int OpenPseudoTerminal(int* master, int* slave, const winsize& size) {
  winsize copy = size;
  return openpty(master, slave, nullptr, nullptr, &copy);
}

bool ShrinkPipe([[maybe_unused]] int fd, [[maybe_unused]] size_t bytes) {
#if defined(F_SETPIPE_SZ)
  return fcntl(fd, F_SETPIPE_SZ, static_cast<int>(bytes)) >= 0;
#else
  return true;
#endif
}

void TrimHeap() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace wavtally::platform
