#pragma once

// What the base services need of the operating system. Each platform folder
// (posix/, windows/) implements this and nothing outside src/base sees it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/path.h"
#include "base/text.h"

namespace wavtally::platform {

/// The separator between names.
extern const wchar_t kNameSeparator;

/// A second separator the system accepts and Path rewrites to kNameSeparator
/// ('/' on Windows); 0 where there is none.
extern const wchar_t kAltNameSeparator;

/// Returns the length of the root at the start of path (separators already
/// rewritten) that Path keeps exactly as written, such as "C:\" or
/// "\\server\share" on Windows; returns 0 on POSIX, whose root "/" needs
/// no such care.
size_t RootPrefixLength(std::wstring_view path);

/// Reads the names in folder, without "." and ".."; returns false and sets
/// *error (short, lower case) when the folder cannot be listed.
bool ReadFolderNames(const CStdStr& folder, std::vector<CStdStr>* names, std::string* error);

/// Returns true when path names a folder, links followed, and sets *id when
/// id is not null. Otherwise sets *error, when error is not null, to why path
/// could not be looked at, or to an empty text when it names no folder.
bool StatFolder(const CStdStr& path, FolderId* id, std::string* error = nullptr);

/// A regular file open for reading, closed when destroyed.
class RegularFile {
 public:
  /// Opens path without blocking; returns null unless it names a regular
  /// file, links followed, that can be opened for reading. *error is then
  /// set when the file could not be reached at all, empty otherwise.
  static std::unique_ptr<RegularFile> Open(const CStdStr& path, std::string* error);
  ~RegularFile();
  RegularFile(const RegularFile&) = delete;
  RegularFile& operator=(const RegularFile&) = delete;

  /// Returns the file's size in bytes when it was opened.
  uint64_t Size() const { return size_; }
  /// Reads up to size bytes at offset into data; returns the count read,
  /// short only at the end of the file or on an error.
  size_t ReadAt(uint64_t offset, void* data, size_t size);

 private:
  RegularFile(intptr_t handle, uint64_t size) : handle_(handle), size_(size) {}
  intptr_t handle_;
  uint64_t size_;
};

/// Returns a short lower-case text for a platform error code.
std::string ErrorText(int code);

/// Ends the process as the signal sig does by default: death by sig on
/// POSIX; on Windows, whose only such signals are the console's stop events,
/// the Ctrl-C exit status. Never returns; safe on any thread.
[[noreturn]] void EndBySignal(int sig);

}  // namespace wavtally::platform
