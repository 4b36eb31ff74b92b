#pragma once

// What the base services need of the operating system beyond the file
// system. Each platform folder (posix/, windows/) implements this and the
// file system of DiskFileSystem(); nothing outside src/base sees them.

#include <cstddef>
#include <string>
#include <string_view>

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

/// Returns a short lower-case text for a platform error code.
std::string ErrorText(int code);

/// Returns how many more files the process may hold open at once before
/// the system refuses, or a large number where there is no such limit.
size_t SpareDescriptors();

/// Ends the process as the signal sig does by default: death by sig on
/// POSIX; on Windows, whose only such signals are the console's stop events,
/// the Ctrl-C exit status. Never returns; safe on any thread.
[[noreturn]] void EndBySignal(int sig);

}  // namespace wavtally::platform
