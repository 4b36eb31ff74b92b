#include "base/path.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "base/platform.h"

namespace wavtally {
namespace {

// Read at run time: the separator is defined with the platform code.
wchar_t Sep() { return platform::kNameSeparator; }

// "C:" alone is the current folder of drive C, and a name follows it
// directly ("C:take.wav"): a separator between would name the drive's root.
bool IsDriveRelativeRoot(std::wstring_view text) {
  return !text.empty() && text.back() == L':' && platform::RootPrefixLength(text) == text.size();
}

}  // namespace

size_t WindowsRootLength(std::wstring_view text) {
  const auto is_sep = [](wchar_t c) { return c == L'\\'; };
  const auto is_letter = [](wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
  };
  if (text.size() >= 2 && is_letter(text[0]) && text[1] == L':') {
    return text.size() >= 3 && is_sep(text[2]) ? 3 : 2;
  }
  if (text.size() < 2 || !is_sep(text[0]) || !is_sep(text[1])) return 0;
  // "\\server\share" or "\\?\C:": the prefix and two names.
  size_t end = 2;
  const auto skip_name = [&] {
    while (end < text.size() && !is_sep(text[end])) ++end;
  };
  skip_name();
  if (end < text.size()) {
    ++end;
    skip_name();
  }
  // "\\?\C:\" is the drive's root folder; "\\?\C:" would be the volume.
  const bool device = text.size() > 2 && (text[2] == L'?' || text[2] == L'.');
  if (device && end < text.size() && text[end - 1] == L':') ++end;
  return end;
}

std::wstring WindowsLongForm(std::wstring_view full) {
  if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) return std::wstring(full);
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + std::wstring(full.substr(2));
  return L"\\\\?\\" + std::wstring(full);
}

std::wstring JoinWindowsLongPath(std::wstring_view folder, std::wstring_view relative) {
  std::wstring path(folder);
  if (!path.empty() && path.back() != L'\\') path.push_back(L'\\');
  path.append(relative);
  return path;
}

Path::Path(const CStdStr& text) : text_(text) { Normalize(); }

Path::Path(CStdStr&& text) : text_(std::move(text)) { Normalize(); }

void Path::Normalize() {
  const wchar_t sep = Sep();
  if (platform::kAltNameSeparator != 0) {
    // A user may type either separator; the report shows one.
    std::replace(text_.begin(), text_.end(), platform::kAltNameSeparator, sep);
  }
  // A root such as "\\server\share" or "C:\" is kept as written: folding its
  // doubled separator or dropping its last one would change what it names.
  const size_t root = platform::RootPrefixLength(text_);
  // Most texts are already in form; they cost one search and no rewrite.
  const wchar_t doubled[] = {sep, sep};
  size_t write = text_.find(std::wstring_view(doubled, 2), root > 0 ? root - 1 : 0);
  if (write != CStdStr::npos) {
    ++write;
    for (size_t read = write + 1; read < text_.size(); ++read) {
      if (text_[read] == sep && text_[write - 1] == sep) continue;
      text_[write++] = text_[read];
    }
    text_.resize(write);
  }
  // The root keeps its separator: dropping it would turn "/" into the
  // current folder.
  if (text_.size() > 1 && text_.size() > root && text_.back() == sep) text_.pop_back();
}

void Path::AppendName(CStdStr& text, std::wstring_view name) {
  if (name.empty()) return;
  if (!text.empty() && text.back() != Sep() && !IsDriveRelativeRoot(text)) text.push_back(Sep());
  text.append(name);
}

size_t Path::RelativeStart(const CStdStr& base) {
  // Only the root ends in a separator; any other base is followed by one.
  if (base.empty() || base.back() == Sep() || IsDriveRelativeRoot(base)) return base.size();
  return base.size() + 1;
}

void Path::SplitLast(const CStdStr& text, CStdStr* folder, CStdStr* name) {
  const size_t sep = text.rfind(Sep());
  // A root without a separator ("C:x.wav" on Windows) ends the folder too,
  // and a root keeps its separator: "/x" lies in "/".
  const size_t root = platform::RootPrefixLength(text);
  const size_t name_start = std::max(sep == CStdStr::npos ? 0 : sep + 1, root);
  size_t folder_end = name_start;
  if (folder_end > root && folder_end > 1 && text[folder_end - 1] == Sep()) --folder_end;
  *folder = text.substr(0, folder_end);
  *name = text.substr(name_start);
}

Path Path::Join(std::initializer_list<CStdStr> parts) {
  CStdStr text;
  size_t size = 0;
  for (const CStdStr& part : parts) size += part.size() + 1;
  text.reserve(size);
  for (const CStdStr& part : parts) AppendName(text, part);
  // The constructor folds a separator that both neighbours bring.
  return Path(std::move(text));
}

Path& Path::MakePathRelative(const Path& base) {
  const CStdStr& prefix = base.text_;
  if (prefix.empty() || text_.size() <= prefix.size()) return *this;
  if (text_.compare(0, prefix.size(), prefix) != 0) return *this;
  // "/music2" does not lie below "/music".
  const size_t rest = RelativeStart(prefix);
  if (rest > prefix.size() && text_[prefix.size()] != Sep()) return *this;
  text_.erase(0, rest);
  return *this;
}

CStdStr Path::GetFileExtension() const {
  const size_t sep = text_.rfind(Sep());
  const size_t name = sep == CStdStr::npos ? 0 : sep + 1;
  const size_t dot = text_.rfind(L'.');
  if (dot == CStdStr::npos || dot < name) return CStdStr();
  return text_.substr(dot);
}

const CStdStr& Path::GetNameSeparator() {
  static const CStdStr* const separator = new CStdStr(1, platform::kNameSeparator);
  return *separator;
}

}  // namespace wavtally
