#include "base/path_find.h"

#include <algorithm>
#include <string>
#include <utility>

#include "base/file_system.h"
#include "base/platform.h"

namespace wavtally {
namespace {

bool CharMatches(wchar_t pattern, wchar_t name) {
  return pattern == L'?' || FoldAscii(pattern) == FoldAscii(name);
}

// Returns true for "*.wav" and its kind, a star and then plain characters:
// all a walk asks for, and they only need the end of a name compared.
bool IsStarThenPlain(std::wstring_view pattern) {
  return !pattern.empty() && pattern[0] == L'*' &&
         pattern.find_first_of(L"*?", 1) == std::wstring_view::npos;
}

// Returns true when name ends in tail, ASCII case folded.
bool EndMatches(std::wstring_view tail, std::wstring_view name) {
  if (name.size() < tail.size()) return false;
  const size_t start = name.size() - tail.size();
  for (size_t i = 0; i < tail.size(); ++i) {
    if (FoldAscii(tail[i]) != FoldAscii(name[start + i])) return false;
  }
  return true;
}

// Greedy matching that remembers only the latest star: a later star can
// absorb anything an earlier one could, so backing up to the latest is
// enough and the work stays within pattern size times name size.
bool MatchesAnyPattern(std::wstring_view pattern, std::wstring_view name) {
  size_t p = 0;
  size_t n = 0;
  size_t star = std::wstring_view::npos;
  size_t star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == L'*') {
      // A star that ends the pattern takes whatever is left of the name.
      if (p + 1 == pattern.size()) return true;
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

// A name pattern whose kind is settled once, however many names it meets.
class Matcher {
 public:
  explicit Matcher(std::wstring_view pattern)
      : pattern_(pattern), tail_only_(IsStarThenPlain(pattern)) {}
  bool Matches(std::wstring_view name) const {
    return tail_only_ ? EndMatches(pattern_.substr(1), name) : MatchesAnyPattern(pattern_, name);
  }

 private:
  std::wstring_view pattern_;
  bool tail_only_;
};

}  // namespace

bool MatchesPattern(std::wstring_view pattern, std::wstring_view name) {
  return Matcher(pattern).Matches(name);
}

std::shared_ptr<FolderListing> FolderListing::Load(FileSystem& fs, const Folder& folder) {
  // The constructor is private, so make_shared cannot reach it.
  std::shared_ptr<FolderListing> listing(new FolderListing());
  FsError error;
  if (fs.ReadNames(folder, &listing->names_, &error)) {
    listing->names_.Sort();
  } else {
    listing->Fail(error, "cannot list folder");
  }
  return listing;
}

void FolderListing::Fail(const FsError& error, const char* otherwise) {
  names_.Clear();
  error_ = error.Failed() ? error.text : otherwise;
  error_is_limit_ = error.limit;
}

std::shared_ptr<const FolderListing> FolderListing::Read(FileSystem& fs, const Folder& folder) {
  return Load(fs, folder);
}

std::shared_ptr<const FolderListing> FolderListing::Read(FileSystem& fs, const CStdStr& folder) {
  const FolderLook look = fs.OpenFolder(folder.empty() ? CStdStr(L".") : folder);
  std::shared_ptr<FolderListing> listing;
  if (look.kind == FolderLook::Kind::kFolder) {
    listing = Load(fs, *look.folder);
  } else {
    listing.reset(new FolderListing());
    listing->Fail(look.error, "not a directory");
  }
  listing->folder_ = folder;
  return listing;
}

PathFind::PathFind(FileSystem& fs, const CStdStr& pattern, bool /*flag*/) {
  const size_t sep = pattern.rfind(platform::kNameSeparator);
  // A root without a separator ("C:*.wav" on Windows) ends the folder too.
  const size_t name_start =
      std::max(sep == CStdStr::npos ? 0 : sep + 1, platform::RootPrefixLength(pattern));
  if (name_start == 0) {
    // A bare name pattern lists the current folder and yields bare names,
    // just as "dir/*" yields names under "dir".
    listing_ = FolderListing::Read(fs, CStdStr());
    Select(pattern);
    return;
  }
  // Keeping the separator lets a pattern such as "/*" list the root.
  listing_ = FolderListing::Read(fs, Path(pattern.substr(0, name_start)).GetFullPath());
  Select(std::wstring_view(pattern).substr(name_start));
}

PathFind::PathFind(std::shared_ptr<const FolderListing> listing, std::wstring_view name_pattern)
    : listing_(std::move(listing)) {
  Select(name_pattern);
}

void PathFind::Select(std::wstring_view name_pattern) {
  // The listing is already in order, so the matches come out in order too.
  const NameList& names = listing_->Names();
  const Matcher matcher(name_pattern);
  for (size_t i = 0; i < names.size(); ++i) {
    if (matcher.Matches(names[i])) matches_.push_back(i);
  }
}

bool PathFind::HasNext() const { return next_ < matches_.size(); }

Path PathFind::Next() {
  if (!HasNext()) return Path();
  return Path::Join({listing_->FolderText(), CStdStr(NextName())});
}

std::wstring_view PathFind::NextName() {
  if (!HasNext()) return {};
  return listing_->Names()[matches_[next_++]];
}

}  // namespace wavtally
