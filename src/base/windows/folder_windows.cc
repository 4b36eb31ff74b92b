#include <windows.h>

#include <memory>
#include <type_traits>

#include "base/file_system.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/windows/native_path.h"

namespace wavtally {
namespace platform {

const wchar_t kNameSeparator = L'\\';
const wchar_t kAltNameSeparator = L'/';

size_t RootPrefixLength(std::wstring_view path) { return WindowsRootLength(path); }

// Windows has no small limit on open handles for a process.
size_t SpareDescriptors() { return FileSystem::kManyHandles; }

}  // namespace platform

namespace {

using platform::ErrorText;
using platform::NativePath;

struct FindCloser {
  void operator()(HANDLE find) const {
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
  }
};
using FindHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, FindCloser>;

struct HandleCloser {
  void operator()(HANDLE handle) const {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};
using FileHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

// A folder here is its path: Windows names every entry by a full path, so
// holding a handle would save nothing.
class WindowsFolder final : public Folder {
 public:
  explicit WindowsFolder(CStdStr path) : path_(std::move(path)) {}
  const CStdStr& PathText() const { return path_; }

 private:
  CStdStr path_;
};

// A regular file open for reading, closed when destroyed.
class WindowsFile final : public ByteSource {
 public:
  WindowsFile(HANDLE handle, uint64_t size) : handle_(handle), size_(size) {}
  ~WindowsFile() override { CloseHandle(handle_); }
  WindowsFile(const WindowsFile&) = delete;
  WindowsFile& operator=(const WindowsFile&) = delete;

  uint64_t Size() const override { return size_; }
  size_t ReadAt(uint64_t offset, void* data, size_t size) override {
    auto* out = static_cast<char*>(data);
    size_t done = 0;
    while (done < size) {
      const uint64_t at = offset + done;
      if (at < offset) break;
      // The handle is synchronous, so the offset in OVERLAPPED positions
      // this one read and no shared file pointer is involved.
      OVERLAPPED where = {};
      where.Offset = static_cast<DWORD>(at);
      where.OffsetHigh = static_cast<DWORD>(at >> 32);
      const DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
      DWORD got = 0;
      if (!ReadFile(handle_, out + done, want, &got, &where) || got == 0) break;
      done += got;
    }
    return done;
  }

 private:
  HANDLE handle_;
  uint64_t size_;
};

// A NUL would end the text the system reads early, so the call would act on
// a shorter, different path.
bool HasNul(std::wstring_view path) { return path.find(L'\0') != std::wstring_view::npos; }

// Returns the pattern that lists every name in folder. "C:" is the current
// folder of drive C, so it takes no separator, nor does a root that has one.
CStdStr ListPattern(const CStdStr& folder) {
  CStdStr pattern = folder;
  const wchar_t last = pattern.empty() ? L'\\' : pattern.back();
  if (last != L'\\' && last != L'/' && !(pattern.size() == 2 && last == L':')) {
    pattern.push_back(L'\\');
  }
  pattern.push_back(L'*');
  return pattern;
}

FsError ErrorOf(DWORD code) {
  FsError error;
  error.text = ErrorText(static_cast<int>(code));
  error.limit = code == ERROR_TOO_MANY_OPEN_FILES || code == ERROR_NOT_ENOUGH_MEMORY ||
                code == ERROR_OUTOFMEMORY || code == ERROR_NO_SYSTEM_RESOURCES;
  return error;
}

// Looks at the folder at path: opening it follows links and junctions, as
// stat does; GetFileAttributesW would describe a link rather than its
// target.
FolderLook LookAt(const CStdStr& path) {
  FolderLook look;
  if (path.empty() || HasNul(path)) return look;
  const FileHandle handle(CreateFileW(NativePath(path).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (handle.get() == INVALID_HANDLE_VALUE) {
    // A folder that will not even be opened for its attributes is still a
    // folder to the user, whose listing then fails with a message, as on
    // POSIX. GetFileAttributesW reads the entry in its parent instead.
    const DWORD code = GetLastError();
    if (code != ERROR_ACCESS_DENIED) return look;
    const DWORD attributes = GetFileAttributesW(NativePath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return look;
    }
    look.kind = FolderLook::Kind::kUnlistable;
    look.error = ErrorOf(code);
    return look;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle.get(), &info)) return look;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return look;
  look.kind = FolderLook::Kind::kFolder;
  look.has_id = true;
  look.id.device = info.dwVolumeSerialNumber;
  look.id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  look.folder = std::make_unique<WindowsFolder>(path);
  return look;
}

CStdStr ChildPath(const Folder& parent, std::wstring_view name) {
  CStdStr path = static_cast<const WindowsFolder&>(parent).PathText();
  Path::AppendName(path, name);
  return path;
}

class WindowsFileSystem final : public FileSystem {
 public:
  FolderLook OpenFolder(const CStdStr& path) override { return LookAt(Path(path).GetFullPath()); }

  FolderLook OpenFolderAt(const Folder& parent, std::wstring_view name) override {
    return LookAt(ChildPath(parent, name));
  }

  bool ReadNames(const Folder& folder, NameList* names, FsError* error) override {
    error->Clear();
    const CStdStr& path = static_cast<const WindowsFolder&>(folder).PathText();
    if (HasNul(path)) {
      *error = ErrorOf(ERROR_INVALID_NAME);
      return false;
    }
    // Every name is listed and matched by the caller: the system's own
    // matching would also match 8.3 short names ("X~1.WAV" for "x.wave") and
    // has rules of its own for "*.wav".
    WIN32_FIND_DATAW data;
    const FindHandle find(FindFirstFileExW(NativePath(ListPattern(path)).c_str(), FindExInfoBasic,
                                           &data, FindExSearchNameMatch, nullptr, 0));
    if (find.get() == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      // A root folder has no "." or "..", so an empty one matches nothing.
      if (code == ERROR_FILE_NOT_FOUND) return true;
      *error = ErrorOf(code);
      return false;
    }
    do {
      const std::wstring_view name = data.cFileName;
      if (name != L"." && name != L"..") names->Add(name);
    } while (FindNextFileW(find.get(), &data));
    const DWORD code = GetLastError();
    if (code != ERROR_NO_MORE_FILES) {
      *error = ErrorOf(code);
      return false;
    }
    return true;
  }

  std::unique_ptr<ByteSource> OpenFileAt(const Folder& parent, std::wstring_view name,
                                         FsError* error) override {
    error->Clear();
    const CStdStr path = ChildPath(parent, name);
    if (name.empty() || HasNul(path)) return nullptr;
    // Sharing everything lets a file that another program is writing, or is
    // about to rename or delete, still be read, as on POSIX.
    const HANDLE handle = CreateFileW(NativePath(path).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      // Only a file that could not be reached is worth a word; one that is
      // there but may not be read just gets its N/A line.
      const DWORD code = GetLastError();
      if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
          code == ERROR_CANT_RESOLVE_FILENAME || code == ERROR_FILENAME_EXCED_RANGE) {
        *error = ErrorOf(code);
      }
      return nullptr;
    }
    // Reserved names such as "con.wav" open a device, and a pipe or console
    // could stall a read; only a file on disk is kept.
    BY_HANDLE_FILE_INFORMATION info;
    LARGE_INTEGER size;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !GetFileSizeEx(handle, &size) ||
        size.QuadPart < 0) {
      CloseHandle(handle);
      return nullptr;
    }
    return std::make_unique<WindowsFile>(handle, static_cast<uint64_t>(size.QuadPart));
  }
};

}  // namespace

FileSystem& DiskFileSystem() {
  // Never destroyed: worker threads may still hold it while the process ends.
  static WindowsFileSystem* const fs = new WindowsFileSystem();
  return *fs;
}

}  // namespace wavtally
