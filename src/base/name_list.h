#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "base/text.h"

namespace wavtally {

/// The names of one folder, as the file system lists them.
class NameList {
 public:
  /// Appends name; returns nothing.
  void Add(std::wstring_view name) { names_.emplace_back(name); }
  /// Appends the name whose bytes are bytes, decoded as DecodeUtf8 does;
  /// returns nothing.
  void AddUtf8(std::string_view bytes) { names_.push_back(DecodeUtf8(bytes)); }
  /// Returns the number of names.
  size_t size() const { return names_.size(); }
  /// Returns true when there are no names.
  bool empty() const { return names_.empty(); }
  /// Returns name i, valid while the list lives and is not changed.
  std::wstring_view operator[](size_t i) const { return names_[i]; }
  /// Puts the names in NameLess order and drops "." and ".."; returns nothing.
  void Sort();
  /// Drops every name; returns nothing.
  void Clear() { names_.clear(); }

 private:
  std::vector<CStdStr> names_;
};

/// Returns true when name a sorts before name b: by UTF-8 bytes with ASCII
/// letters folded to lower case, ties broken by the exact bytes, then (for
/// UTF-16 names alike but for lone surrogates) by the code units.
bool NameLess(std::wstring_view a, std::wstring_view b);

}  // namespace wavtally
