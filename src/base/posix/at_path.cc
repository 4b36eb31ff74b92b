#include "base/posix/at_path.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/platform.h"
#include "base/posix/posix_error.h"

namespace wavtally::platform {
namespace {

// A folder on the way is opened only to search it: O_PATH (Linux) and
// O_SEARCH (POSIX) need no read permission, which a folder one may pass
// through need not grant; without either it must be readable.
#if defined(WAVTALLY_HAVE_O_PATH)
constexpr int kSearchFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int kSearchFlags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kSearchFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

}  // namespace

AtPath::~AtPath() {
  if (owned_) ::close(dir_);
}

bool AtPath::Resolve(const std::string& native, int* code, int from) {
  if (owned_) ::close(dir_);
  dir_ = from;
  owned_ = false;
  size_t start = 0;
  // PATH_MAX counts the terminating NUL, so a text of PATH_MAX bytes is
  // already one too long for a single call.
  while (native.size() - start >= PATH_MAX) {
    // The longest piece that ends at a separator; names are far shorter than
    // PATH_MAX, so there always is one.
    const size_t slash = native.rfind('/', start + PATH_MAX - 2);
    if (slash == std::string::npos || slash < start) {
      *code = ENAMETOOLONG;
      return false;
    }
    const std::string piece = slash == start ? "/" : native.substr(start, slash - start);
    const int next = RetryInterrupted([&] { return ::openat(dir_, piece.c_str(), kSearchFlags); });
    if (next < 0) {
      *code = errno;
      return false;
    }
    if (owned_) ::close(dir_);
    dir_ = next;
    owned_ = true;
    start = slash + 1;
  }
  name_ = native.substr(start);
  return true;
}

bool LeadsNowhere(int dir, const char* name, int code) {
  if (code != ENOENT) return false;
  struct stat info;
  return ::fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

}  // namespace wavtally::platform
