#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "base/platform.h"
#include "base/posix/at_path.h"

namespace wavtally::platform {

const wchar_t kNameSeparator = L'/';
const wchar_t kAltNameSeparator = 0;

size_t RootPrefixLength(std::wstring_view /*path*/) { return 0; }

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// Returns the bytes the system calls take for path, or false when the text
// holds a NUL: the call would silently act on a shorter, different path.
bool ToNative(const CStdStr& path, std::string* native) {
  *native = EncodeUtf8(path);
  return native->find('\0') == std::string::npos;
}

// strerror_r comes in two shapes depending on the feature macros; overloads on
// its result pick the right reading of the buffer for either.
[[maybe_unused]] const char* StrerrorResult(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* StrerrorResult(const char* result, const char* /*buffer*/) {
  return result;
}

}  // namespace

bool ReadFolderNames(const CStdStr& folder, std::vector<CStdStr>* names, std::string* error) {
  names->clear();
  error->clear();
  std::string native;
  if (!ToNative(folder, &native)) {
    *error = ErrorText(EINVAL);
    return false;
  }
  AtPath at;
  int code = 0;
  if (!at.Resolve(native, &code)) {
    *error = ErrorText(code);
    return false;
  }
  int fd;
  do {
    fd = ::openat(at.Dir(), at.Name(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *error = ErrorText(errno);
    return false;
  }
  const std::unique_ptr<DIR, DirCloser> dir(fdopendir(fd));
  if (!dir) {
    *error = ErrorText(errno);
    ::close(fd);
    return false;
  }
  for (;;) {
    // readdir signals both the end and an error with null; only errno tells
    // them apart.
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names->push_back(DecodeUtf8(name));
  }
  if (errno != 0) {
    *error = ErrorText(errno);
    names->clear();
    return false;
  }
  return true;
}

bool StatFolder(const CStdStr& path, FolderId* id, std::string* error) {
  if (error != nullptr) error->clear();
  std::string native;
  if (path.empty() || !ToNative(path, &native)) return false;
  AtPath at;
  int code = 0;
  struct stat info;
  if (at.Resolve(native, &code) && ::fstatat(at.Dir(), at.Name(), &info, 0) != 0) code = errno;
  if (code != 0) {
    // A link that leads nowhere names no folder, and says nothing. Anything
    // else was listed a moment ago and may hide a whole tree: gone since,
    // a folder on the way replaced by a file, a loop of links, a path too
    // long, a parent that may not be searched.
    if (error != nullptr && !at.LeadsNowhere(code)) *error = ErrorText(code);
    return false;
  }
  if (!S_ISDIR(info.st_mode)) return false;
  if (id != nullptr) {
    id->device = static_cast<uint64_t>(info.st_dev);
    id->index = static_cast<uint64_t>(info.st_ino);
  }
  return true;
}

std::string ErrorText(int code) {
  char buffer[256] = {};
  const char* text = StrerrorResult(strerror_r(code, buffer, sizeof buffer), buffer);
  std::string result = (text != nullptr && *text != '\0') ? text : "error " + std::to_string(code);
  if (result[0] >= 'A' && result[0] <= 'Z') result[0] = static_cast<char>(result[0] - 'A' + 'a');
  return result;
}

}  // namespace wavtally::platform
