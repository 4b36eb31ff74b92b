#include <windows.h>

#include <string>

#include "base/platform.h"
#include "base/windows/windows_error.h"

namespace wavtally::platform {

namespace {

struct KnownError {
  DWORD code;
  const char* text;
};

// The errors a walk meets, in the same short lower-case style as the POSIX
// texts; the system's own messages are long sentences and follow the UI
// language.
constexpr KnownError kKnownErrors[] = {
    {ERROR_FILE_NOT_FOUND, "file not found"},
    {ERROR_PATH_NOT_FOUND, "path not found"},
    {ERROR_ACCESS_DENIED, "access denied"},
    {ERROR_INVALID_HANDLE, "invalid handle"},
    {ERROR_NOT_ENOUGH_MEMORY, "out of memory"},
    {ERROR_OUTOFMEMORY, "out of memory"},
    {ERROR_INVALID_DRIVE, "drive not found"},
    {ERROR_NOT_READY, "device not ready"},
    {ERROR_WRITE_FAULT, "write fault"},
    {ERROR_READ_FAULT, "read fault"},
    {ERROR_GEN_FAILURE, "device failure"},
    {ERROR_SHARING_VIOLATION, "file in use"},
    {ERROR_LOCK_VIOLATION, "file locked"},
    {ERROR_HANDLE_DISK_FULL, "disk full"},
    {ERROR_DISK_FULL, "disk full"},
    {ERROR_BAD_NETPATH, "network path not found"},
    {ERROR_NETNAME_DELETED, "network name no longer available"},
    {ERROR_BAD_NET_NAME, "network name not found"},
    {ERROR_INVALID_PARAMETER, "invalid parameter"},
    {ERROR_BROKEN_PIPE, "broken pipe"},
    {ERROR_INVALID_NAME, "invalid name"},
    {ERROR_FILENAME_EXCED_RANGE, "name too long"},
    {ERROR_DIRECTORY, "not a folder"},
    {ERROR_NO_DATA, "pipe closed"},
    {ERROR_PIPE_NOT_CONNECTED, "pipe not connected"},
    {ERROR_CANT_ACCESS_FILE, "cannot access file"},
    {ERROR_CANT_RESOLVE_FILENAME, "cannot resolve link"},
};

}  // namespace

std::string ErrorText(int code) {
  const auto unsigned_code = static_cast<DWORD>(code);
  for (const KnownError& known : kKnownErrors) {
    if (known.code == unsigned_code) return known.text;
  }
  // Anything else in the system's words, lowered and without the final full
  // stop, but only if they are plain ASCII in English: messages stay ASCII.
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, unsigned_code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
      reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  bool ascii = length != 0;
  for (DWORD i = 0; i < length && ascii; ++i) {
    const wchar_t c = buffer[i];
    if (c >= 0x80) ascii = false;
    if (c >= L'A' && c <= L'Z') {
      text.push_back(static_cast<char>(c - L'A' + L'a'));
    } else {
      text.push_back(static_cast<char>(c));
    }
  }
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  if (!ascii || text.empty()) return "error " + std::to_string(unsigned_code);
  return text;
}

FsError WindowsError(unsigned long code) {
  FsError error;
  error.text = ErrorText(static_cast<int>(code));
  error.limit = code == ERROR_TOO_MANY_OPEN_FILES || code == ERROR_NOT_ENOUGH_MEMORY ||
                code == ERROR_OUTOFMEMORY || code == ERROR_NO_SYSTEM_RESOURCES;
  return error;
}

}  // namespace wavtally::platform
