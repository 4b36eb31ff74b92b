#include "report/run_tally.h"

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <string>
#include <utility>

#include "base/path.h"
#include "report/progress.h"

namespace wavtally {
namespace {

constexpr size_t kUnknownWidth = 80;
// More than this many formats make a line nobody reads at a glance.
constexpr size_t kFormatsShown = 4;
constexpr std::wstring_view kBetween = L" \u00b7 ";  // a middle dot

// Labels of the reasons, in the order of Unreadable; a counted one names a
// thing and takes the plural.
struct Reason {
  std::wstring_view label;
  bool counted;
};
constexpr Reason kReasons[kUnreadableKinds] = {
    {L"macOS \"._\" file", true},
    {L"AIFF", false},
    {L"AIFF-C", false},
    {L"FLAC", false},
    {L"Ogg", false},
    {L"MP3", false},
    {L"CAF", false},
    {L"Wave64", false},
    {L"RIFF of another form", false},
    {L"text file", true},
    {L"empty file", true},
    {L"not audio", false},
    {L"without fmt chunk", false},
    {L"with fmt too short", false},
    {L"without data chunk", false},
    {L"failed to read", false},
    {L"not a regular file", false},
    {L"could not be opened", false},
};

// Appends the name of the commonest format tags, "tag 0x0055" for others.
void AppendTag(uint16_t tag, CStdStr& out) {
  switch (tag) {
    case 0x0001:
      out += L"PCM";
      return;
    case 0x0002:
      out += L"MS ADPCM";
      return;
    case 0x0003:
      out += L"float";
      return;
    case 0x0006:
      out += L"A-law";
      return;
    case 0x0007:
      out += L"\u00b5-law";
      return;
    case 0x0011:
      out += L"IMA ADPCM";
      return;
    case 0x0031:
      out += L"GSM";
      return;
    case 0xFFFE:
      out += L"extensible";
      return;
    default: {
      wchar_t text[16];
      std::swprintf(text, std::size(text), L"tag 0x%04x", static_cast<unsigned>(tag));
      out += text;
    }
  }
}

// Appends a rate as people say it: "48 kHz", "44.1 kHz", "22.05 kHz", "800 Hz".
void AppendRate(uint32_t rate, CStdStr& out) {
  if (rate < 1000) {
    AppendCount(rate, out);
    out += L" Hz";
    return;
  }
  AppendCount(rate / 1000, out);
  uint32_t rest = rate % 1000;
  if (rest != 0) {
    wchar_t digits[8];
    std::swprintf(digits, std::size(digits), L"%03u", static_cast<unsigned>(rest));
    std::wstring_view fraction(digits);
    while (fraction.back() == L'0') fraction.remove_suffix(1);
    out += L'.';
    out += fraction;
  }
  out += L" kHz";
}

// Appends to lines prefix followed by every one of items, joined by
// between, and closing after the last: on as many lines as it takes to keep
// each within limit columns, a line going on after two spaces. An item wider
// than a line stands alone on it whole, for the terminal to wrap.
void Wrap(CStdStr line, const std::vector<CStdStr>& items, std::wstring_view between,
          std::wstring_view closing, size_t limit, std::vector<CStdStr>& lines) {
  const std::wstring_view at_break = between.substr(0, between.find_last_not_of(L' ') + 1);
  for (size_t i = 0; i < items.size(); ++i) {
    CStdStr piece = items[i];
    if (i + 1 == items.size()) piece += closing;
    if (i != 0) {
      if (TerminalColumns(line) + TerminalColumns(between) + TerminalColumns(piece) <= limit) {
        line += between;
        line += piece;
        continue;
      }
      line += at_break;
      lines.push_back(std::move(line));
      line = L"  ";
    }
    line += piece;
  }
  if (items.empty()) line += closing;
  lines.push_back(std::move(line));
}

// Returns the line that counts and names entries, as in
// "shorter than their header: 2 (/a.wav, /b.wav)": as many names as fit in
// limit columns, an ellipsis for the rest. The count stays whole even when
// no name fits.
CStdStr NamesLine(std::wstring_view head, uint64_t count, std::wstring_view thing,
                  const std::vector<CStdStr>& names, size_t limit) {
  CStdStr prefix(head);
  if (thing.empty()) {
    AppendCount(count, prefix);
  } else {
    AppendCounted(count, thing, prefix);
  }
  if (names.empty()) return prefix;
  for (size_t shown = names.size(); shown > 0; --shown) {
    CStdStr line = prefix + L" (";
    for (size_t i = 0; i < shown; ++i) {
      if (i != 0) line += L", ";
      line += Path::GetNameSeparator();
      AppendTerminalPath(names[i], &line);
    }
    line += shown < count ? L", \u2026)" : L")";
    if (TerminalColumns(line) <= limit) return line;
  }
  CStdStr line = prefix + L" (\u2026)";
  return TerminalColumns(line) <= limit ? line : prefix;
}

}  // namespace

void RunTally::Format(const FormatSummary& summary) {
  const FormatKey key{summary.formatTag, summary.sampleRate, summary.bitDepth, summary.numChannels};
  if (last_count_ == nullptr || !(key == last_key_)) {
    last_key_ = key;
    last_count_ = &formats_[key];
  }
  ++*last_count_;
}

void RunTally::Note(std::wstring_view entry, uint64_t& count, std::vector<CStdStr>& names) {
  ++count;
  if (names.size() < kNamesShown) names.emplace_back(entry);
}

std::vector<CStdStr> RunTally::Render(size_t width) const {
  const size_t limit = (width == 0 ? kUnknownWidth : width) - 1;
  std::vector<CStdStr> lines;

  if (!formats_.empty()) {
    std::vector<std::pair<uint64_t, FormatKey>> common;
    for (const auto& [key, count] : formats_) common.emplace_back(count, key);
    // Commonest first; among equals, the order of the keys.
    std::sort(common.begin(), common.end(), [](const auto& a, const auto& b) {
      return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    std::vector<CStdStr> items;
    uint64_t others = 0;
    for (size_t i = 0; i < common.size(); ++i) {
      if (i >= kFormatsShown) {
        others += common[i].first;
        continue;
      }
      const auto& [tag, rate, bits, channels] = common[i].second;
      CStdStr item;
      AppendCount(common[i].first, item);
      item += L" \u00d7 ";  // a multiplication sign
      AppendRate(rate, item);
      item += L' ';
      AppendCount(bits, item);
      item += L"-bit ";
      AppendCount(channels, item);
      item += L" ch ";
      AppendTag(tag, item);
      items.push_back(std::move(item));
    }
    if (others != 0) {
      CStdStr item;
      AppendCounted(others, L"other", item);
      items.push_back(std::move(item));
    }
    Wrap(L"formats: ", items, kBetween, L"", limit, lines);
  }

  uint64_t unreadable = 0;
  std::vector<CStdStr> reasons;
  for (size_t i = 0; i < kUnreadableKinds; ++i) {
    if (unreadable_[i] == 0) continue;
    unreadable += unreadable_[i];
    CStdStr reason;
    if (kReasons[i].counted) {
      AppendCounted(unreadable_[i], kReasons[i].label, reason);
    } else {
      AppendCount(unreadable_[i], reason);
      reason += L' ';
      reason += kReasons[i].label;
    }
    reasons.push_back(std::move(reason));
  }
  if (unreadable != 0) {
    CStdStr prefix = L"unreadable: ";
    AppendCount(unreadable, prefix);
    prefix += L" (";
    Wrap(prefix, reasons, L", ", L")", limit, lines);
  }
  if (cut_short_ != 0) {
    lines.push_back(
        NamesLine(L"shorter than their header: ", cut_short_, L"", cut_short_names_, limit));
  }
  if (dotted_ != 0) {
    lines.push_back(
        NamesLine(L"not walked, a dot in the name: ", dotted_, L"folder", dotted_names_, limit));
  }
  return lines;
}

}  // namespace wavtally
