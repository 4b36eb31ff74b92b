#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/platform.h"
#include "base/posix/at_path.h"
#include "base/posix/head_reader.h"
#include "base/posix/posix_error.h"
#include "base/posix/read_all.h"

namespace wavtally {
namespace platform {

const wchar_t kNameSeparator = L'/';
const wchar_t kAltNameSeparator = 0;

size_t RootPrefixLength(std::wstring_view /*path*/) { return 0; }

namespace {

// strerror_r comes in two shapes depending on the feature macros; overloads on
// its result pick the right reading of the buffer for either.
[[maybe_unused]] const char* StrerrorResult(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* StrerrorResult(const char* result, const char* /*buffer*/) {
  return result;
}

}  // namespace

std::string ErrorText(int code) {
  char buffer[256] = {};
  const char* text = StrerrorResult(strerror_r(code, buffer, sizeof buffer), buffer);
  std::string result = (text != nullptr && *text != '\0') ? text : "error " + std::to_string(code);
  if (result[0] >= 'A' && result[0] <= 'Z') result[0] = static_cast<char>(result[0] - 'A' + 'a');
  return result;
}

namespace {

// Above this many descriptors allowed, what is open already hardly matters:
// a refusal would still be met by the walk's retry.
constexpr size_t kMostProbed = size_t{1} << 16;

// Returns how many of the descriptors below soft are open. A poll with no
// events marks each closed one POLLNVAL, so a call asks thousands at once.
// Only these count against the limit, since a new descriptor always takes
// the lowest free number.
size_t ProbeOpenDescriptors(size_t soft) {
  constexpr size_t kPerCall = 4096;
  pollfd asked[kPerCall];
  size_t open = 0;
  for (size_t first = 0; first < soft; first += kPerCall) {
    const size_t count = std::min(kPerCall, soft - first);
    for (size_t i = 0; i < count; ++i) asked[i] = {static_cast<int>(first + i), 0, 0};
    if (RetryInterrupted([&] { return ::poll(asked, count, 0); }) < 0) return 3;
    for (size_t i = 0; i < count; ++i) open += (asked[i].revents & POLLNVAL) == 0;
  }
  return open;
}

}  // namespace

size_t SpareDescriptors() {
  rlimit limit = {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    return std::numeric_limits<size_t>::max();
  }
  const auto soft = static_cast<size_t>(limit.rlim_cur);
  // What is open already (inherited ones included) is not ours to spend.
  size_t open = 3;
#if defined(WAVTALLY_HAVE_PROC_FD)
  // The kernel's list costs one listing however high the limit is.
  if (DIR* fds = opendir("/proc/self/fd")) {
    open = 0;
    // One above the limit, inherited from before it was lowered, takes no
    // number a new one could have.
    while (const dirent* entry = readdir(fds)) {
      if (entry->d_name[0] != '.' && std::strtoull(entry->d_name, nullptr, 10) < soft) ++open;
    }
    closedir(fds);
    if (open > 0) --open;  // the listing's own descriptor
  } else if (soft <= kMostProbed) {
    open = ProbeOpenDescriptors(soft);
  }
#else
  if (soft <= kMostProbed) open = ProbeOpenDescriptors(soft);
#endif
  return soft > open ? soft - open : 0;
}

}  // namespace platform

namespace {

using platform::AtPath;
using platform::ErrorText;
using platform::IsLimit;
using platform::LeadsNowhere;
using platform::OpenFailure;
using platform::PosixError;
using platform::RetryInterrupted;

class PosixFolder final : public Folder {
 public:
  explicit PosixFolder(int fd) : fd_(fd) {}
  ~PosixFolder() override {
    if (stream_ != nullptr) {
      closedir(stream_);
    } else {
      ::close(fd_);
    }
  }
  PosixFolder(const PosixFolder&) = delete;
  PosixFolder& operator=(const PosixFolder&) = delete;
  int Fd() const { return fd_; }
  /// Returns the folder's entries from the first, as the C library lists
  /// them, or null with errno set. The stream takes the descriptor over; it
  /// stays the folder's handle for the opens below it, which leave its
  /// position alone.
  DIR* Stream() const {
    if (stream_ == nullptr) {
      stream_ = fdopendir(fd_);
    } else {
      rewinddir(stream_);
    }
    return stream_;
  }

 private:
  int fd_;
  mutable DIR* stream_ = nullptr;  // listed once at a time, by the job that lists it
};

// A regular file open for reading, closed when destroyed.
class PosixFile final : public ByteSource {
 public:
  PosixFile(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~PosixFile() override { ::close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  uint64_t Size() const override { return size_; }
  void SetSize(uint64_t size) { size_ = size; }
  size_t ReadAt(uint64_t offset, void* data, size_t size) override {
    return platform::ReadAllAt(fd_, data, size, offset, &::pread);
  }

 private:
  int fd_;
  uint64_t size_;
};

// Returns the bytes the system calls take for text, or false when it holds a
// NUL: the call would silently act on a shorter, different path.
bool ToNative(std::wstring_view text, std::string* native) {
  *native = EncodeUtf8(text);
  return native->find('\0') == std::string::npos;
}

// Opens name in dir (a descriptor or AT_FDCWD) as a folder. When that fails,
// a look at the entry tells a folder that may not be opened (still worth a
// word, and still one folder for the once-a-folder rule) from no folder at
// all.
FolderLook OpenFolderIn(int dir, const char* name) {
  FolderLook look;
  // O_NONBLOCK: a FIFO must fail with ENOTDIR, not wait for a writer.
  const int fd = RetryInterrupted(
      [&] { return ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC); });
  const int open_code = fd < 0 ? errno : 0;
  if (fd >= 0) {
    auto folder = std::make_unique<PosixFolder>(fd);
    struct stat info;
    if (RetryInterrupted([&] { return ::fstat(fd, &info); }) != 0) {
      look.kind = FolderLook::Kind::kFailed;
      look.error = PosixError(errno);
      return look;
    }
    look.kind = FolderLook::Kind::kFolder;
    look.folder = std::move(folder);
    look.has_id = true;
    look.id = FolderId{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
    return look;
  }
  if (IsLimit(open_code)) {
    look.kind = FolderLook::Kind::kFailed;
    look.error = PosixError(open_code);
    return look;
  }
  struct stat info;
  if (RetryInterrupted([&] { return ::fstatat(dir, name, &info, 0); }) != 0) {
    const int code = errno;
    // A link that leads nowhere names no folder, and says nothing. Anything
    // else was listed a moment ago and may hide a whole tree: gone since,
    // a loop of links, a path too long, a parent that may not be searched.
    if (!LeadsNowhere(dir, name, code)) {
      look.kind = FolderLook::Kind::kFailed;
      look.error = PosixError(code);
    }
    return look;
  }
  if (!S_ISDIR(info.st_mode)) return look;
  look.kind = FolderLook::Kind::kUnlistable;
  look.has_id = true;
  look.id = FolderId{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  look.error = PosixError(open_code);
  return look;
}

FolderLook InvalidName() {
  FolderLook look;
  look.kind = FolderLook::Kind::kFailed;
  look.error = PosixError(EINVAL);
  return look;
}

// Opens the folder at path relative to dir (a descriptor or AT_FDCWD) in as
// few calls as its length allows.
FolderLook OpenBelow(int dir, std::wstring_view path) {
  std::string native;
  if (path.empty() || !ToNative(path, &native)) return InvalidName();
  AtPath at;
  int code = 0;
  if (!at.Resolve(native, &code, dir)) {
    FolderLook look;
    look.kind = FolderLook::Kind::kFailed;
    look.error = PosixError(code);
    return look;
  }
  return OpenFolderIn(at.Dir(), at.Name());
}

// Opens the regular file name in dir, without blocking on a FIFO or device.
std::unique_ptr<ByteSource> OpenFileIn(int dir, const char* name, FsError* error) {
  const int fd = RetryInterrupted([&] { return ::openat(dir, name, platform::kFileOpenFlags); });
  if (fd < 0) {
    const int code = errno;
    if (!LeadsNowhere(dir, name, code)) *error = OpenFailure(code);
    return nullptr;
  }
  // Owned from here, so that no way out leaks it: a walk over many entries
  // that are no regular files would run out of descriptors.
  auto file = std::make_unique<PosixFile>(fd, 0);
  uint64_t size = 0;
  if (!platform::InspectOpenFile(fd, &size, error, &::fstat)) return nullptr;
  file->SetSize(size);
  return file;
}

// Adds the entry name to names unless it is "." or ".."; is_folder comes
// free with the name where the system gives d_type, and DT_UNKNOWN (some
// file systems) and links say nothing, so they count as no folder.
void AddEntry(std::string_view name, bool is_folder, NameList* names) {
  if (name == "." || name == "..") return;
  names->AddUtf8(name, is_folder);
}

#if defined(WAVTALLY_HAVE_GETDENTS64)
// Reads the entries of the folder open as fd in large reads straight from
// the descriptor, which stays the folder's handle for the opens below it.
bool ReadNamesInBulk(int fd, NameList* names, FsError* error) {
  constexpr size_t kBufferSize = 32 * 1024;
  const std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBufferSize]);
  if (!buffer) {
    *error = PosixError(ENOMEM);
    return false;
  }
  for (;;) {
    const ssize_t got =
        RetryInterrupted([&] { return ::getdents64(fd, buffer.get(), kBufferSize); });
    if (got < 0) {
      *error = PosixError(errno);
      return false;
    }
    if (got == 0) return true;
    for (ssize_t at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer.get() + at);
      at += entry->d_reclen;
      AddEntry(entry->d_name, entry->d_type == DT_DIR, names);
    }
  }
}
#else
// Reads the entries of folder through the C library's stream over it.
bool ReadNamesFromStream(const PosixFolder& folder, NameList* names, FsError* error) {
  DIR* const stream = folder.Stream();
  if (stream == nullptr) {
    *error = PosixError(errno);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(stream);
    if (entry == nullptr) {
      if (errno == 0) return true;
      *error = PosixError(errno);
      return false;
    }
#if defined(WAVTALLY_HAVE_D_TYPE)
    AddEntry(entry->d_name, entry->d_type == DT_DIR, names);
#else
    AddEntry(entry->d_name, false, names);
#endif
  }
}
#endif

class PosixFileSystem final : public FileSystem {
 public:
  size_t SpareHandles() override { return platform::SpareDescriptors(); }
  size_t BatchHandles() override { return platform::RingDescriptors(); }
  void UseBatches(bool use) override { platform::AllowRing(use); }

  FolderLook OpenFolder(const CStdStr& path) override { return OpenBelow(AT_FDCWD, path); }

  FolderLook OpenFolderBelow(const Folder& top, std::wstring_view relative) override {
    return OpenBelow(static_cast<const PosixFolder&>(top).Fd(), relative);
  }

  FolderLook OpenFolderAt(const Folder& parent, std::wstring_view name) override {
    std::string native;
    if (name.empty() || !ToNative(name, &native)) return InvalidName();
    return OpenFolderIn(static_cast<const PosixFolder&>(parent).Fd(), native.c_str());
  }

  bool ReadNames(const Folder& folder, NameList* names, FsError* error) override {
    error->Clear();
#if defined(WAVTALLY_HAVE_GETDENTS64)
    return ReadNamesInBulk(static_cast<const PosixFolder&>(folder).Fd(), names, error);
#else
    return ReadNamesFromStream(static_cast<const PosixFolder&>(folder), names, error);
#endif
  }

  std::unique_ptr<ByteSource> OpenFileAt(const Folder& parent, std::wstring_view name,
                                         FsError* error) override {
    error->Clear();
    std::string native;
    if (name.empty() || !ToNative(name, &native)) return nullptr;
    return OpenFileIn(static_cast<const PosixFolder&>(parent).Fd(), native.c_str(), error);
  }

  // A head that cannot be read together with the others is left unread,
  // and its file is opened on its own.
  void ReadHeads(std::span<const HeadRequest> requests) override {
    std::vector<std::string> names(requests.size());
    std::vector<platform::HeadFile> files;
    files.reserve(requests.size());
    for (size_t i = 0; i < requests.size(); ++i) {
      if (requests[i].name.empty() || !ToNative(requests[i].name, &names[i])) continue;
      files.push_back({static_cast<const PosixFolder&>(*requests[i].folder).Fd(), names[i].c_str(),
                       requests[i].head});
    }
    platform::ReadHeadsTogether(files);
  }

  // One openat relative to top, or a few for a path past PATH_MAX, and no
  // descriptor held for the file's folder.
  std::unique_ptr<ByteSource> OpenFileBelow(const Folder& top, std::wstring_view relative,
                                            FsError* error) override {
    error->Clear();
    std::string native;
    if (relative.empty() || !ToNative(relative, &native)) return nullptr;
    AtPath at;
    int code = 0;
    if (!at.Resolve(native, &code, static_cast<const PosixFolder&>(top).Fd())) {
      *error = PosixError(code);
      return nullptr;
    }
    return OpenFileIn(at.Dir(), at.Name(), error);
  }
};

}  // namespace

FileSystem& DiskFileSystem() {
  // Never destroyed: worker threads may still hold it while the process ends.
  static PosixFileSystem* const fs = new PosixFileSystem();
  return *fs;
}

}  // namespace wavtally
