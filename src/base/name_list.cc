#include "base/name_list.h"

#include <algorithm>
#include <numeric>
#include <string>

namespace wavtally {
namespace {

// The sort key of a name: its bytes with ASCII letters lowered, then its
// exact bytes to break ties, so stray bytes sort as the bytes on disk.
struct NameKey {
  std::string folded;
  std::string exact;

  explicit NameKey(std::wstring_view name) : exact(EncodeUtf8(name)) {
    folded = exact;
    for (char& c : folded) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
  }

  bool operator<(const NameKey& other) const {
    const int order = folded.compare(other.folded);
    return order != 0 ? order < 0 : exact < other.exact;
  }
};

// Distinct names give distinct bytes, except UTF-16 names whose lone
// surrogates all become U+FFFD; their code units then settle the order, so a
// listing never depends on the order the system returned it in.
bool KeyedLess(const NameKey& ka, std::wstring_view a, const NameKey& kb, std::wstring_view b) {
  if (ka < kb) return true;
  if (kb < ka) return false;
  return a < b;
}

}  // namespace

bool NameLess(std::wstring_view a, std::wstring_view b) {
  return KeyedLess(NameKey(a), a, NameKey(b), b);
}

void NameList::Sort() {
  std::erase_if(names_, [](const CStdStr& name) { return name == L"." || name == L".."; });
  std::vector<NameKey> keys;
  keys.reserve(names_.size());
  for (const CStdStr& name : names_) keys.emplace_back(name);
  std::vector<size_t> order(names_.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return KeyedLess(keys[a], names_[a], keys[b], names_[b]); });
  std::vector<CStdStr> sorted;
  sorted.reserve(names_.size());
  for (const size_t i : order) sorted.push_back(std::move(names_[i]));
  names_ = std::move(sorted);
}

}  // namespace wavtally
