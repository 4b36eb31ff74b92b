#include "base/windows/native_path.h"

#include <windows.h>

namespace wavtally::platform {

namespace {

// A folder's own path must leave room for an 8.3 name below MAX_PATH, so the
// long form starts well before 260.
constexpr size_t kPlainLimit = MAX_PATH - 14;

}  // namespace

std::wstring NativePath(const CStdStr& path) {
  if (path.size() < kPlainLimit || path.starts_with(L"\\\\?\\")) return path;
  // "\\?\" paths are taken literally: no "." or "..", no "/", no relative
  // names; GetFullPathNameW settles all of that first.
  DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return path;
  std::wstring full(size, L'\0');
  size = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (size == 0 || size >= full.size()) return path;
  full.resize(size);
  if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) return full;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace wavtally::platform
