#include <windows.h>

#include <algorithm>

#include "base/platform.h"
#include "base/windows/native_path.h"

namespace wavtally::platform {

namespace {

HANDLE AsHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

std::unique_ptr<RegularFile> RegularFile::Open(const CStdStr& path, std::string* error) {
  error->clear();
  if (path.empty() || path.find(L'\0') != CStdStr::npos) return nullptr;
  // Sharing everything lets a file that another program is writing, or is
  // about to rename or delete, still be read, as on POSIX.
  const HANDLE handle = CreateFileW(NativePath(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    // Only a file that could not be reached is worth a word; one that is
    // there but may not be read just gets its N/A line.
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
        code == ERROR_CANT_RESOLVE_FILENAME || code == ERROR_FILENAME_EXCED_RANGE) {
      *error = ErrorText(static_cast<int>(code));
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
  return std::unique_ptr<RegularFile>(
      new RegularFile(reinterpret_cast<intptr_t>(handle), static_cast<uint64_t>(size.QuadPart)));
}

RegularFile::~RegularFile() { CloseHandle(AsHandle(handle_)); }

size_t RegularFile::ReadAt(uint64_t offset, void* data, size_t size) {
  auto* out = static_cast<char*>(data);
  size_t done = 0;
  while (done < size) {
    const uint64_t at = offset + done;
    if (at < offset) break;
    // The handle is synchronous, so the offset in OVERLAPPED positions this
    // one read and no shared file pointer is involved.
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    const DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(AsHandle(handle_), out + done, want, &got, &where) || got == 0) break;
    done += got;
  }
  return done;
}

}  // namespace wavtally::platform
