#pragma once

#include <vector>

#include "base/path.h"
#include "base/text.h"

namespace wavtally {

/// Returns true when name matches pattern as a whole: "*" matches any run of
/// characters, "?" any one character, and ASCII letters match regardless of
/// case.
bool MatchesPattern(std::wstring_view pattern, std::wstring_view name);

/// Returns true when name a sorts before name b: by UTF-8 bytes with ASCII
/// letters folded to lower case, ties broken by the exact bytes, then (for
/// UTF-16 names alike but for lone surrogates) by the code units.
bool NameLess(std::wstring_view a, std::wstring_view b);

/// Lists the entries of one folder whose names match the last component of a
/// pattern such as "dir/*.wav", in NameLess order, never "." or "..". The
/// folder is read whole at construction and closed again, so no finder holds
/// a folder handle while a walk descends.
class PathFind final {
 public:
  /// Lists the entries matching pattern; the flag is reserved and ignored.
  PathFind(const CStdStr& pattern, bool flag);
  ~PathFind() = default;
  PathFind(const PathFind&) = delete;
  PathFind& operator=(const PathFind&) = delete;

  /// Returns true while an entry is left to yield.
  virtual bool HasNext() const;
  /// Returns the next entry as a path inside the folder.
  virtual Path Next();

  /// Returns why the folder could not be listed, or an empty text.
  const std::string& Error() const { return error_; }

 private:
  CStdStr folder_;
  std::vector<CStdStr> names_;
  size_t next_ = 0;
  std::string error_;
};

}  // namespace wavtally
