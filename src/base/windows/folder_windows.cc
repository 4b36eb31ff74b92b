#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <type_traits>

#include "base/file_system.h"
#include "base/path.h"
#include "base/platform.h"
#include "base/windows/windows_error.h"

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

// A folder here is its full path in the "\\?\" form: Windows names every
// entry by a full path, so holding a handle would save nothing, and in that
// form the system opens exactly the name a listing gave, at any length.
class WindowsFolder final : public Folder {
 public:
  explicit WindowsFolder(std::wstring long_path) : long_path_(std::move(long_path)) {}
  const std::wstring& LongPath() const { return long_path_; }

 private:
  std::wstring long_path_;
};

const std::wstring& LongPathOf(const Folder& folder) {
  return static_cast<const WindowsFolder&>(folder).LongPath();
}

// A regular file open for reading, closed when destroyed.
class WindowsFile final : public ByteSource {
 public:
  WindowsFile(FileHandle handle, uint64_t size) : handle_(std::move(handle)), size_(size) {}

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
      if (!ReadFile(handle_.get(), out + done, want, &got, &where) || got == 0) break;
      done += got;
    }
    return done;
  }

 private:
  FileHandle handle_;
  uint64_t size_;
};

// A NUL would end the text the system reads early, so the call would act on
// a shorter, different path.
bool HasNul(std::wstring_view path) { return path.find(L'\0') != std::wstring_view::npos; }

FsError ErrorOf(DWORD code) { return platform::WindowsError(code); }

FolderLook Failed(DWORD code) {
  FolderLook look;
  look.kind = FolderLook::Kind::kFailed;
  look.error = ErrorOf(code);
  return look;
}

// Returns true when code, the error of an open that followed links, only
// says that the entry, whose own attributes (GetFileAttributesW, a link not
// followed) are attributes, is a link or junction that leads nowhere: such
// a link names nothing and is not worth a word.
bool LeadsNowhere(DWORD attributes, DWORD code) {
  return (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) &&
         attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Returns the identity of the open folder that info describes: the 128-bit
// file id where the volume has one (ReFS), the 64-bit index otherwise.
FolderId FolderIdOf(HANDLE handle, const BY_HANDLE_FILE_INFORMATION& info) {
  FILE_ID_INFO wide = {};
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &wide, sizeof wide)) {
    uint64_t low = 0, high = 0;
    static_assert(sizeof wide.FileId.Identifier == 2 * sizeof low);
    std::memcpy(&low, wide.FileId.Identifier, sizeof low);
    std::memcpy(&high, wide.FileId.Identifier + sizeof low, sizeof high);
    return FolderId{wide.VolumeSerialNumber, low, high};
  }
  return FolderId{info.dwVolumeSerialNumber,
                  (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow, 0};
}

// Looks at the folder at long_path: opening it follows links and junctions,
// as stat does; the entry's own attributes then tell a folder that may not
// be opened (still worth a word) from no folder at all. A folder that could
// not be opened has no identity here, so it takes no part in the
// once-a-folder rule.
FolderLook LookAt(const std::wstring& long_path) {
  if (HasNul(long_path)) return Failed(ERROR_INVALID_NAME);
  const FileHandle handle(CreateFileW(long_path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FolderLook look;
  if (handle.get() == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (ErrorOf(code).limit) return Failed(code);
    const DWORD attributes = GetFileAttributesW(long_path.c_str());
    if (LeadsNowhere(attributes, code)) return look;
    // Gone since it was listed, or out of reach: it may hide a whole tree.
    if (attributes == INVALID_FILE_ATTRIBUTES) return Failed(code);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return look;
    look.kind = FolderLook::Kind::kUnlistable;
    look.error = ErrorOf(code);
    return look;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle.get(), &info)) return Failed(GetLastError());
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return look;
  look.id = FolderIdOf(handle.get(), info);
  look.kind = FolderLook::Kind::kFolder;
  look.has_id = true;
  look.folder = std::make_unique<WindowsFolder>(long_path);
  return look;
}

// Returns the "\\?\" form of the folder path as the user typed it, read as
// Windows reads any typed path (relative to the current folder, "." and ".."
// resolved, a trailing dot or space of a name dropped), or sets *code. A
// path typed in the "\\?\" form is already literal.
bool LongFormOfTyped(const CStdStr& typed, std::wstring* long_path, DWORD* code) {
  if (typed.starts_with(L"\\\\?\\")) {
    *long_path = typed;
    return true;
  }
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size =
        GetFullPathNameW(typed.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (size == 0) {
      *code = GetLastError();
      return false;
    }
    if (size < full.size()) {
      full.resize(size);
      break;
    }
    full.resize(size);  // too small: size counts the NUL too
  }
  *long_path = WindowsLongForm(full);
  return true;
}

class WindowsFileSystem final : public FileSystem {
 public:
  FolderLook OpenFolder(const CStdStr& path) override {
    std::wstring long_path;
    DWORD code = ERROR_INVALID_NAME;
    if (path.empty() || HasNul(path) || !LongFormOfTyped(path, &long_path, &code)) {
      return Failed(code);
    }
    return LookAt(long_path);
  }

  FolderLook OpenFolderAt(const Folder& parent, std::wstring_view name) override {
    if (name.empty()) return Failed(ERROR_INVALID_NAME);
    return LookAt(JoinWindowsLongPath(LongPathOf(parent), name));
  }

  FolderLook OpenFolderBelow(const Folder& top, std::wstring_view relative) override {
    return OpenFolderAt(top, relative);
  }

  // One long path, so no handle is held for the file's folder.
  std::unique_ptr<ByteSource> OpenFileBelow(const Folder& top, std::wstring_view relative,
                                            FsError* error) override {
    return OpenFileAt(top, relative, error);
  }

  bool ReadNames(const Folder& folder, NameList* names, FsError* error) override {
    error->Clear();
    // Every name is listed and matched by the caller: the system's own
    // matching would also match 8.3 short names ("X~1.WAV" for "x.wave") and
    // has rules of its own for "*.wav".
    WIN32_FIND_DATAW data;
    const FindHandle find(FindFirstFileExW(JoinWindowsLongPath(LongPathOf(folder), L"*").c_str(),
                                           FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
    if (find.get() == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      // A root folder has no "." or "..", so an empty one matches nothing.
      if (code == ERROR_FILE_NOT_FOUND) return true;
      *error = ErrorOf(code);
      return false;
    }
    do {
      const std::wstring_view name = data.cFileName;
      if (name != L"." && name != L"..") {
        names->Add(name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                             (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0);
      }
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
    if (name.empty() || HasNul(name)) return nullptr;
    const std::wstring long_path = JoinWindowsLongPath(LongPathOf(parent), name);
    // Sharing everything lets a file that another program is writing, or is
    // about to rename or delete, still be read, as on POSIX.
    FileHandle handle(CreateFileW(long_path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (handle.get() == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      switch (code) {
        // There, but no file this process may read (or a folder): it gets
        // its N/A line and no word, as the file's own permissions are no
        // failure of the run.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
          break;
        default:
          if (!LeadsNowhere(GetFileAttributesW(long_path.c_str()), code)) *error = ErrorOf(code);
          break;
      }
      return nullptr;
    }
    // A pipe or console could stall a read; only a file on disk is kept.
    BY_HANDLE_FILE_INFORMATION info;
    LARGE_INTEGER size;
    if (GetFileType(handle.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(handle.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        !GetFileSizeEx(handle.get(), &size) || size.QuadPart < 0) {
      return nullptr;
    }
    return std::make_unique<WindowsFile>(std::move(handle), static_cast<uint64_t>(size.QuadPart));
  }
};

}  // namespace

FileSystem& DiskFileSystem() {
  // Never destroyed: worker threads may still hold it while the process ends.
  static WindowsFileSystem* const fs = new WindowsFileSystem();
  return *fs;
}

}  // namespace wavtally
