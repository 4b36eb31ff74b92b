#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "base/name_list.h"
#include "base/path.h"
#include "base/text.h"

namespace wavtally {

class FileSystem;

/// Returns true when name matches pattern as a whole: "*" matches any run of
/// characters, "?" any one character, and ASCII letters match regardless of
/// case.
bool MatchesPattern(std::wstring_view pattern, std::wstring_view name);

/// The names in one folder, read whole and sorted in NameLess order once, so
/// that several finders over the same folder cost a single listing. It is a
/// snapshot: later changes to the folder do not show.
class FolderListing final {
 public:
  /// Returns the listing of folder; an empty text lists the current folder
  /// and makes bare names. Never null; Error() tells whether it was read.
  static std::shared_ptr<const FolderListing> Read(const CStdStr& folder);
  /// Returns the listing of folder in fs, as above.
  static std::shared_ptr<const FolderListing> Read(FileSystem& fs, const CStdStr& folder);

  /// Returns the folder as given, which prefixes every entry's path.
  const CStdStr& Folder() const { return folder_; }
  /// Returns the names in NameLess order, never "." or "..".
  const NameList& Names() const { return names_; }
  /// Returns why the folder could not be listed, or an empty text.
  const std::string& Error() const { return error_; }

 private:
  FolderListing() = default;
  CStdStr folder_;
  NameList names_;
  std::string error_;
};

/// Lists the entries of one folder whose names match the last component of a
/// pattern such as "dir/*.wav", in NameLess order, never "." or "..". The
/// folder is read whole, at construction or by a FolderListing before it, and
/// closed again, so no finder holds a folder handle while a walk descends.
class PathFind final {
 public:
  /// Lists the entries matching pattern; the flag is reserved and ignored.
  PathFind(const CStdStr& pattern, bool flag);
  /// Lists the entries of listing whose names match name_pattern, a pattern
  /// without a folder part; yields exactly what the pattern form would have
  /// yielded from the same folder contents.
  PathFind(std::shared_ptr<const FolderListing> listing, std::wstring_view name_pattern);
  ~PathFind() = default;
  PathFind(const PathFind&) = delete;
  PathFind& operator=(const PathFind&) = delete;

  /// Returns true while an entry is left to yield.
  virtual bool HasNext() const;
  /// Returns the next entry as a path inside the folder.
  virtual Path Next();

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
