#pragma once

// Path: a path as text, and nothing more. Its separators are folded to the
// system's own, and it knows the rules of roots (a drive, a share, "/") and of
// names within it; making a path relative to the folder reported on is how
// every reported path is written. Whether a path names a folder is asked of
// a FileSystem, which answers (file_system.cc). The walk asks its open
// folders instead; IsDirectory, GetFolderId and GetFileExtension are for a
// caller that holds only a path's text (checks of a Windows build, tools).

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "base/text.h"

namespace wavtally {

class FileSystem;
struct FolderId;

/// Returns the length of the Windows root at the start of text, written with
/// "\\" separators: 3 for "C:\\", 2 for "C:", the "\\\\server\\share" part of a
/// UNC path (and "\\\\?\\C:\\" of a device path); returns 0 when there is none.
/// Pure text rules, so they are the same (and testable) on every system.
size_t WindowsRootLength(std::wstring_view text);

/// Returns full, an absolute Windows path as GetFullPathNameW gives it, in
/// the "\\?\" form that the system takes literally and at any length:
/// "\\?\C:\x" for "C:\x", "\\?\UNC\server\share" for "\\server\share";
/// a path already in that form, or in the "\\.\" device form, is returned
/// as it is. Pure text rules, like the one above.
std::wstring WindowsLongForm(std::wstring_view full);

/// Returns folder, a path in the "\\?\" form, with relative (names joined
/// by "\", taken as they are) appended after one separator.
std::wstring JoinWindowsLongPath(std::wstring_view folder, std::wstring_view relative);

/// A value naming one file-system path. The text is kept as given, except
/// that doubled and trailing separators are dropped.
class Path {
 public:
  Path() = default;
  /// Makes a path for text.
  explicit Path(const CStdStr& text);
  /// Makes a path for text, reusing its storage.
  explicit Path(CStdStr&& text);
  virtual ~Path() = default;
  Path(const Path&) = default;
  Path(Path&&) noexcept = default;
  Path& operator=(const Path&) = default;
  Path& operator=(Path&&) noexcept = default;

  /// Returns true only when the path names an existing folder in fs, links
  /// followed, whether or not it may be listed.
  bool DirectoryExists(FileSystem& fs) const;
  /// Returns true when the path names a folder in fs, links followed.
  bool IsDirectory(FileSystem& fs) const;
  /// Returns true and sets *id when the path names a folder in fs that can
  /// be opened, links followed.
  bool GetFolderId(FileSystem& fs, FolderId* id) const;

  /// Returns the path's text.
  operator CStdStr() const { return text_; }
  /// Returns the path's text; for an entry fresh from PathFind, one the file
  /// reader can open; after MakePathRelative, the relative text.
  CStdStr GetFullPath() const { return text_; }

  /// Returns the parts joined by single separators, in order.
  static Path Join(std::initializer_list<CStdStr> parts);

  /// Rewrites the path in place to its part below base, with no leading
  /// separator; leaves it unchanged when it does not lie below base.
  Path& MakePathRelative(const Path& base);

  /// Returns the last name from its last dot on (".hidden" for ".hidden"), or
  /// an empty text when the last name has no dot.
  CStdStr GetFileExtension() const;

  /// Returns the separator between names ("/" on POSIX).
  static const CStdStr& GetNameSeparator();

  /// Appends name to text as Join would place it inside the folder text;
  /// returns nothing.
  static void AppendName(CStdStr& text, std::wstring_view name);
  /// Returns where the part of a path below base starts in the text of a
  /// path that lies below it: after base and the separator that follows.
  static size_t RelativeStart(const CStdStr& base);
  /// Splits text into its folder (empty for a bare name) and its last name;
  /// returns nothing.
  static void SplitLast(const CStdStr& text, CStdStr* folder, CStdStr* name);

 private:
  /// Drops doubled and trailing separators from text_ in place; returns nothing.
  void Normalize();

  CStdStr text_;
};

}  // namespace wavtally
