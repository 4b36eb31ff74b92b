#include "base/name_list.h"

#include <algorithm>

#include "base/text.h"

namespace wavtally {
namespace {

// A folder of one name must stay cheap, as a deep tree holds a listing for
// every level it is inside; a huge folder then doubles the room a few times
// up to blocks large enough that the number of allocations stays small.
constexpr size_t kFirstBlock = 16;
constexpr size_t kMaxBlock = 64 * 1024 / sizeof(wchar_t);
static_assert(kMaxBlock <= UINT16_MAX, "offsets into a shared block must fit an entry");

// The UTF-8 bytes of a text one at a time, exactly as AppendUtf8 writes
// them, so that two names compare without either being encoded whole.
class Utf8Bytes {
 public:
  explicit Utf8Bytes(std::wstring_view text) : text_(text) {}

  /// Returns the next byte (0 to 255), or -1 past the end.
  int Next() {
    if (at_ == count_) {
      if (i_ == text_.size()) return -1;
      if (static_cast<char32_t>(text_[i_]) < 0x80) return static_cast<int>(text_[i_++]);
      count_ = EncodeUtf8Char(text_, &i_, bytes_);
      at_ = 0;
    }
    return static_cast<unsigned char>(bytes_[at_++]);
  }

 private:
  std::wstring_view text_;
  size_t i_ = 0;
  char bytes_[4] = {};
  size_t count_ = 0;
  size_t at_ = 0;
};

}  // namespace

bool NameLess(std::wstring_view a, std::wstring_view b) {
  // The folded bytes decide; when they are alike (so the names are as long
  // in bytes), the first exact byte that differs breaks the tie, and it is
  // noted on the way so that the names are read once.
  int exact = 0;
  // Names are mostly ASCII, where a character is its byte: compared in
  // place, with no encoding until a character of either name is not.
  const size_t common = std::min(a.size(), b.size());
  size_t i = 0;
  for (; i < common; ++i) {
    const auto ca = static_cast<char32_t>(a[i]);
    const auto cb = static_cast<char32_t>(b[i]);
    if (ca >= 0x80 || cb >= 0x80) break;
    if (ca == cb) continue;
    const int fa = FoldAscii(static_cast<int>(ca));
    const int fb = FoldAscii(static_cast<int>(cb));
    if (fa != fb) return fa < fb;
    if (exact == 0) exact = ca < cb ? -1 : 1;
  }
  // Every character left gives at least one byte, so a name that runs out of
  // characters first runs out of bytes first.
  if (i == common && a.size() != b.size()) return a.size() < b.size();
  Utf8Bytes bytes_a(a.substr(i));
  Utf8Bytes bytes_b(b.substr(i));
  for (;;) {
    const int ba = bytes_a.Next();
    const int bb = bytes_b.Next();
    if (ba != bb) {
      const int fa = FoldAscii(ba);
      const int fb = FoldAscii(bb);
      if (fa != fb) return fa < fb;
      if (exact == 0) exact = ba < bb ? -1 : 1;
    } else if (ba < 0) {
      break;
    }
  }
  if (exact != 0) return exact < 0;
  // Distinct names give distinct bytes, except UTF-16 names whose lone
  // surrogates all become U+FFFD; their code units then settle the order, so
  // a listing never depends on the order the system returned it in.
  return a < b;
}

void NameList::Add(std::wstring_view name, bool folder) {
  if (name == L"." || name == L"..") return;
  Entry entry;
  std::copy(name.begin(), name.end(), Reserve(name.size(), &entry));
  entry.folder = folder ? 1 : 0;
  Commit(entry, name.size());
}

void NameList::AddUtf8(std::string_view bytes, bool folder) {
  if (bytes == "." || bytes == "..") return;
  Entry entry;
  wchar_t* const room = Reserve(bytes.size(), &entry);
  entry.folder = folder ? 1 : 0;
  Commit(entry, DecodeUtf8Into(bytes, room));
}

void NameList::Sort() {
  std::sort(entries_.begin(), entries_.end(),
            [this](Entry a, Entry b) { return NameLess(View(a), View(b)); });
}

void NameList::Clear() {
  std::vector<Entry>().swap(entries_);
  std::vector<Block>().swap(blocks_);
  current_ = kNoBlock;
}

size_t NameList::MemoryUsed() const {
  size_t bytes = entries_.capacity() * sizeof(Entry) + blocks_.capacity() * sizeof(Block);
  for (const Block& block : blocks_) bytes += block.size * sizeof(wchar_t);
  return bytes;
}

wchar_t* NameList::Reserve(size_t count, Entry* entry) {
  if (count > kMaxBlock) {
    blocks_.push_back(Block{std::make_unique_for_overwrite<wchar_t[]>(count), count, 0});
    *entry = Entry{static_cast<uint32_t>(blocks_.size() - 1), 0, 0, kOwnBlock};
    return blocks_.back().chars.get();
  }
  if (current_ == kNoBlock || blocks_[current_].size - blocks_[current_].used < count) {
    // The rest of a full block is left unused rather than split a name: a
    // name is one view, and what is lost is less than one name.
    const size_t grown =
        current_ == kNoBlock ? kFirstBlock : std::min(kMaxBlock, 2 * blocks_[current_].size);
    const size_t size = std::max(grown, count);
    blocks_.push_back(Block{std::make_unique_for_overwrite<wchar_t[]>(size), size, 0});
    current_ = blocks_.size() - 1;
  }
  Block& block = blocks_[current_];
  *entry = Entry{static_cast<uint32_t>(current_), 0, static_cast<uint16_t>(block.used), 0};
  return block.chars.get() + block.used;
}

void NameList::Commit(Entry entry, size_t length) {
  Block& block = blocks_[entry.block];
  if (entry.length == kOwnBlock) {
    block.used = length;
  } else {
    entry.length = static_cast<uint16_t>(length);
    block.used += length;
  }
  entries_.push_back(entry);
}

}  // namespace wavtally
