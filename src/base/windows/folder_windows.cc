#include <windows.h>

#include <memory>
#include <type_traits>

#include "base/path.h"
#include "base/platform.h"
#include "base/windows/native_path.h"

namespace wavtally::platform {

const wchar_t kNameSeparator = L'\\';
const wchar_t kAltNameSeparator = L'/';

size_t RootPrefixLength(std::wstring_view path) { return WindowsRootLength(path); }

namespace {

struct FindCloser {
  void operator()(HANDLE find) const { FindClose(find); }
};
using FindHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, FindCloser>;

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using FileHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

// A NUL would end the text the system reads early, so the call would act on
// a shorter, different path.
bool HasNul(const CStdStr& path) { return path.find(L'\0') != CStdStr::npos; }

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

}  // namespace

bool ReadFolderNames(const CStdStr& folder, std::vector<CStdStr>* names, std::string* error) {
  names->clear();
  error->clear();
  if (HasNul(folder)) {
    *error = ErrorText(ERROR_INVALID_NAME);
    return false;
  }
  // Every name is listed and matched by the caller: the system's own
  // matching would also match 8.3 short names ("X~1.WAV" for "x.wave") and
  // has rules of its own for "*.wav".
  WIN32_FIND_DATAW data;
  const FindHandle find(FindFirstFileExW(NativePath(ListPattern(folder)).c_str(), FindExInfoBasic,
                                         &data, FindExSearchNameMatch, nullptr, 0));
  if (find.get() == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    // A root folder has no "." or "..", so an empty one matches nothing.
    if (code == ERROR_FILE_NOT_FOUND) return true;
    *error = ErrorText(static_cast<int>(code));
    return false;
  }
  do {
    const std::wstring_view name = data.cFileName;
    if (name != L"." && name != L"..") names->emplace_back(name);
  } while (FindNextFileW(find.get(), &data));
  const DWORD code = GetLastError();
  if (code != ERROR_NO_MORE_FILES) {
    *error = ErrorText(static_cast<int>(code));
    names->clear();
    return false;
  }
  return true;
}

bool StatFolder(const CStdStr& path, FolderId* id, std::string* error) {
  // A folder that cannot be opened for its attributes is still reported as a
  // folder below, so its listing fails with a message; every other failure
  // means there is no folder here.
  if (error != nullptr) error->clear();
  if (path.empty() || HasNul(path)) return false;
  // Opening the folder itself follows links and junctions, as stat does;
  // GetFileAttributesW would describe a link rather than its target.
  const FileHandle handle(CreateFileW(NativePath(path).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (handle.get() == INVALID_HANDLE_VALUE) {
    // A folder that will not even be opened for its attributes is still a
    // folder to the user, whose listing then fails with a message, as on
    // POSIX. GetFileAttributesW reads the entry in its parent instead. Not
    // listable, it can never lead back up the branch, so an identity that no
    // real folder has (serial numbers are 32 bits) is enough.
    if (GetLastError() != ERROR_ACCESS_DENIED) return false;
    const DWORD attributes = GetFileAttributesW(NativePath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return false;
    }
    if (id != nullptr) *id = FolderId{uint64_t{1} << 32, 0};
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle.get(), &info)) return false;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
  if (id != nullptr) {
    id->device = info.dwVolumeSerialNumber;
    id->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  }
  return true;
}

}  // namespace wavtally::platform
