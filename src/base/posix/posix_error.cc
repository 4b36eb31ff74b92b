#include "base/posix/posix_error.h"

#include <cerrno>

#include "base/platform.h"

namespace wavtally::platform {

bool IsLimit(int code) { return code == EMFILE || code == ENFILE || code == ENOMEM; }

FsError PosixError(int code) {
  FsError error;
  error.text = ErrorText(code);
  error.limit = IsLimit(code);
  return error;
}

FsError OpenFailure(int code) {
  switch (code) {
    // There, but no file this process may read: it gets its N/A line and no
    // word, as the file's own permissions are no failure of the run.
    case EACCES:
    case EPERM:
    case ENXIO:
    case ENODEV:
    case ETXTBSY:
    case EWOULDBLOCK:
      return FsError();
    default:
      return PosixError(code);
  }
}

}  // namespace wavtally::platform
