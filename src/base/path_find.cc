#include "base/path_find.h"

#include <algorithm>
#include <numeric>
#include <utility>

#include "base/platform.h"

namespace wavtally {
namespace {

// Only ASCII letters fold: folding beyond ASCII would depend on the locale,
// and the same folder must list the same way everywhere.
wchar_t FoldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c; }

bool CharMatches(wchar_t pattern, wchar_t name) {
  return pattern == L'?' || FoldAscii(pattern) == FoldAscii(name);
}

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

bool MatchesPattern(std::wstring_view pattern, std::wstring_view name) {
  // Greedy matching that remembers only the latest star: a later star can
  // absorb anything an earlier one could, so backing up to the latest is
  // enough and the work stays within pattern size times name size.
  size_t p = 0;
  size_t n = 0;
  size_t star = std::wstring_view::npos;
  size_t star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == L'*') {
      star = p++;
      star_n = n;
    } else if (p < pattern.size() && CharMatches(pattern[p], name[n])) {
      ++p;
      ++n;
    } else if (star != std::wstring_view::npos) {
      p = star + 1;
      n = ++star_n;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}

bool NameLess(std::wstring_view a, std::wstring_view b) {
  return KeyedLess(NameKey(a), a, NameKey(b), b);
}

PathFind::PathFind(const CStdStr& pattern, bool /*flag*/) {
  const size_t sep = pattern.rfind(platform::kNameSeparator);
  // A root without a separator ("C:*.wav" on Windows) ends the folder too.
  const size_t name_start =
      std::max(sep == CStdStr::npos ? 0 : sep + 1, platform::RootPrefixLength(pattern));
  CStdStr listed;
  std::wstring_view name_pattern = pattern;
  if (name_start == 0) {
    // A bare name pattern lists the current folder and yields bare names,
    // just as "dir/*" yields names under "dir".
    listed = L".";
  } else {
    // Keeping the separator lets a pattern such as "/*" list the root.
    folder_ = Path(pattern.substr(0, name_start)).GetFullPath();
    listed = folder_;
    name_pattern.remove_prefix(name_start);
  }

  std::vector<CStdStr> all;
  if (!platform::ReadFolderNames(listed, &all, &error_)) {
    if (error_.empty()) error_ = "cannot list folder";
    return;
  }

  std::vector<NameKey> keys;
  for (CStdStr& name : all) {
    if (name == L"." || name == L"..") continue;
    if (!MatchesPattern(name_pattern, name)) continue;
    keys.emplace_back(name);
    names_.push_back(std::move(name));
  }
  std::vector<size_t> order(names_.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return KeyedLess(keys[a], names_[a], keys[b], names_[b]); });
  std::vector<CStdStr> sorted;
  sorted.reserve(order.size());
  for (const size_t i : order) sorted.push_back(std::move(names_[i]));
  names_ = std::move(sorted);
}

bool PathFind::HasNext() const { return next_ < names_.size(); }

Path PathFind::Next() {
  if (!HasNext()) return Path();
  return Path::Join({folder_, names_[next_++]});
}

}  // namespace wavtally
