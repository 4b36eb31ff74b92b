#pragma once

// PathFind: the names of one folder that match a pattern such as "*.wav",
// in a fixed order, read once as a FolderListing so that no folder handle is
// held while the walk goes deeper. The walk's three passes (WAV files, MIDI
// files, subfolders) each take their names from it.

#include <memory>
#include <string_view>
#include <vector>

#include "base/name_list.h"
#include "base/path.h"
#include "base/text.h"

namespace wavtally {

class FileSystem;
class Folder;
struct FsError;

/// Returns true when name matches pattern as a whole: "*" matches any run of
/// characters, "?" any one character, and ASCII letters match regardless of
/// case.
bool MatchesPattern(std::wstring_view pattern, std::wstring_view name);

/// The names in one folder, read whole and sorted in NameLess order once, so
/// that several finders over the same folder cost a single listing. It is a
/// snapshot: later changes to the folder do not show.
class FolderListing final {
 public:
  /// Returns the listing of the open folder in fs, whose entries PathFind
  /// yields as bare names. Never null; Error() tells whether it was read.
  static std::shared_ptr<const FolderListing> Read(FileSystem& fs, const Folder& folder);
  /// Returns the listing of the folder at path in fs; an empty text lists the
  /// current folder and makes bare names. Never null.
  static std::shared_ptr<const FolderListing> Read(FileSystem& fs, const CStdStr& folder);

  /// Returns the folder text that prefixes every entry's path, or an empty
  /// text for bare names.
  const CStdStr& FolderText() const { return folder_; }
  /// Returns the names in NameLess order, never "." or "..".
  const NameList& Names() const { return names_; }
  /// Returns why the folder could not be listed, or an empty text.
  const std::string& Error() const { return error_; }
  /// Returns true when the failure is a limit of this process (descriptors,
  /// memory) that may pass.
  bool ErrorIsLimit() const { return error_is_limit_; }

 private:
  FolderListing() = default;
  /// Returns the listing of folder, read and sorted.
  static std::shared_ptr<FolderListing> Load(FileSystem& fs, const Folder& folder);
  /// Records error, or otherwise when it has no text; returns nothing.
  void Fail(const FsError& error, const char* otherwise);

  CStdStr folder_;
  NameList names_;
  std::string error_;
  bool error_is_limit_ = false;
};

/// Lists the entries of one folder whose names match the last component of a
/// pattern such as "dir/*.wav", in NameLess order, never "." or "..". The
/// folder is read whole, at construction or by a FolderListing before it, and
/// closed again, so no finder holds a folder handle while a walk descends.
class PathFind final {
 public:
  /// Lists the entries of fs matching pattern; the flag is reserved and ignored.
  PathFind(FileSystem& fs, const CStdStr& pattern, bool flag);
  /// Lists the entries of listing whose names match name_pattern, a pattern
  /// without a folder part; yields exactly what the pattern form would have
  /// yielded from the same folder contents.
  PathFind(std::shared_ptr<const FolderListing> listing, std::wstring_view name_pattern);
  ~PathFind() = default;
  PathFind(const PathFind&) = delete;
  PathFind& operator=(const PathFind&) = delete;

  /// Returns true while an entry is left to yield.
  virtual bool HasNext() const;
  /// Returns the next entry as a path inside the folder, or an empty path
  /// when none is left.
  virtual Path Next();
  /// Returns the name of the next entry alone, valid while the listing
  /// lives, or an empty text when none is left.
  std::wstring_view NextName();

  /// Returns why the folder could not be listed, or an empty text.
  const std::string& Error() const { return listing_->Error(); }

 private:
  /// Stores the listing's indexes whose names match name_pattern; returns nothing.
  void Select(std::wstring_view name_pattern);

  std::shared_ptr<const FolderListing> listing_;
  // Indexes into the listing's names: a finder that stays alive while the
  // walk descends costs no copy of its folder's names.
  std::vector<size_t> matches_;
  size_t next_ = 0;
};

}  // namespace wavtally
