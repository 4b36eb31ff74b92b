#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace wavtally {

/// Returns true when name a sorts before name b: by UTF-8 bytes with ASCII
/// letters folded to lower case, ties broken by the exact bytes, then (for
/// UTF-16 names alike but for lone surrogates) by the code units.
bool NameLess(std::wstring_view a, std::wstring_view b);

/// The names of one folder in one compact store: their characters lie end to
/// end in a few large blocks, and each name costs a small entry beside them,
/// so a folder of a million names needs little more than their characters.
/// "." and ".." are never stored: Add and AddUtf8 pass over them.
class NameList final {
 public:
  NameList() = default;
  NameList(NameList&&) noexcept = default;
  NameList& operator=(NameList&&) noexcept = default;
  NameList(const NameList&) = delete;
  NameList& operator=(const NameList&) = delete;

  /// Appends name, unless it is "." or ".."; folder tells that the listing
  /// said it is a folder. Returns nothing.
  void Add(std::wstring_view name, bool folder = false);
  /// Appends the name that bytes decode to by DecodeUtf8's rule, unless it is
  /// "." or "..", as Add does; returns nothing.
  void AddUtf8(std::string_view bytes, bool folder = false);

  /// Returns how many names the list holds.
  size_t size() const { return entries_.size(); }
  /// Returns true when the list holds no name.
  bool empty() const { return entries_.empty(); }
  /// Returns name i, for i below size(); its characters stay where they are
  /// while the list lives, through Add and Sort, until Clear.
  std::wstring_view operator[](size_t i) const { return View(entries_[i]); }
  /// Returns true when the listing said name i is a folder; false when it is
  /// not, or the listing could not tell (a link, some file systems).
  bool IsFolder(size_t i) const { return entries_[i].folder != 0; }

  /// Puts the names in NameLess order; returns nothing.
  void Sort();
  /// Drops every name and gives all memory back; returns nothing.
  void Clear();

  /// Returns the bytes the list holds on the heap, used or not.
  size_t MemoryUsed() const;

 private:
  // Where a name lies: a block and the offset in it. A name longer than a
  // shared block fills a block of its own, whose used size is its length.
  struct Entry {
    uint32_t block : 31;
    uint32_t folder : 1;
    uint16_t offset;
    uint16_t length;
  };
  struct Block {
    std::unique_ptr<wchar_t[]> chars;
    size_t size;
    size_t used;
  };

  /// Returns the view of the name at entry.
  std::wstring_view View(Entry entry) const {
    const Block& block = blocks_[entry.block];
    const size_t length = entry.length == kOwnBlock ? block.used : entry.length;
    return {block.chars.get() + entry.offset, length};
  }
  /// Returns room for count characters in a block and sets *entry to where
  /// they start; Commit then records how many were written.
  wchar_t* Reserve(size_t count, Entry* entry);
  /// Records a name of length characters at entry, written into the room
  /// Reserve gave; returns nothing.
  void Commit(Entry entry, size_t length);

  static constexpr uint16_t kOwnBlock = UINT16_MAX;
  static constexpr size_t kNoBlock = SIZE_MAX;

  std::vector<Entry> entries_;
  std::vector<Block> blocks_;
  // The block that small names are being written to; longer ones are given
  // blocks of their own and leave it open.
  size_t current_ = kNoBlock;
};

}  // namespace wavtally
