#include "report/run_tally.h"

#include <algorithm>
#include <cwchar>
#include <functional>
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

// Labels of the reasons, in the order of Unreadable.
constexpr std::wstring_view kReasons[kUnreadableKinds] = {
    L"macOS \"._\" file",  L"not RIFF/WAVE",  L"without fmt chunk",  L"with fmt too short",
    L"without data chunk", L"failed to read", L"not a regular file", L"could not be opened",
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

// Returns prefix, then as many of items as fit in limit columns joined by
// between, then rest (with the count of items left out, when any are);
// items that do not fit go to the count. Without any item that fits, the
// line is cut at limit.
CStdStr Fit(const CStdStr& prefix, const std::vector<CStdStr>& items, std::wstring_view between,
            const std::function<CStdStr(size_t left_out)>& rest, size_t limit) {
  for (size_t shown = items.size(); shown > 0; --shown) {
    CStdStr line = prefix;
    for (size_t i = 0; i < shown; ++i) {
      if (i != 0) line += between;
      line += items[i];
    }
    line += rest(items.size() - shown);
    if (TerminalColumns(line) <= limit) return line;
  }
  CStdStr line = prefix + rest(items.size());
  if (TerminalColumns(line) > limit) line.resize(std::min(line.size(), limit));
  return line;
}

// Returns the line that counts and names entries, as in
// "shorter than their header: 2 (/a.wav, /b.wav)".
CStdStr NamesLine(std::wstring_view head, uint64_t count, std::wstring_view thing,
                  const std::vector<CStdStr>& names, size_t limit) {
  CStdStr prefix(head);
  if (thing.empty()) {
    AppendCount(count, prefix);
  } else {
    AppendCounted(count, thing, prefix);
  }
  std::vector<CStdStr> shown;
  for (const CStdStr& name : names) {
    CStdStr text = Path::GetNameSeparator();
    AppendTerminalPath(name, &text);
    shown.push_back(std::move(text));
  }
  if (shown.empty()) return prefix;
  prefix += L" (";
  const uint64_t unnamed = count - names.size();
  return Fit(
      prefix, shown, L", ",
      [&](size_t left_out) {
        if (left_out == shown.size()) return CStdStr(L"\u2026)");
        return CStdStr(left_out + unnamed > 0 ? L", \u2026)" : L")");
      },
      limit);
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
    std::vector<uint64_t> counts;
    for (const auto& entry : common) counts.push_back(entry.first);
    lines.push_back(Fit(
        L"formats: ", items, kBetween,
        [&](size_t left_out) {
          uint64_t rest = others;
          for (size_t i = items.size() - left_out; i < items.size(); ++i) rest += counts[i];
          if (rest == 0) return CStdStr();
          CStdStr text(left_out == items.size() ? L"" : kBetween);
          AppendCounted(rest, L"other", text);
          return text;
        },
        limit));
  }

  uint64_t unreadable = 0;
  std::vector<CStdStr> reasons;
  for (size_t i = 0; i < kUnreadableKinds; ++i) {
    if (unreadable_[i] == 0) continue;
    unreadable += unreadable_[i];
    CStdStr reason;
    if (i == static_cast<size_t>(Unreadable::kAppleDouble)) {
      AppendCounted(unreadable_[i], kReasons[i], reason);
    } else {
      AppendCount(unreadable_[i], reason);
      reason += L' ';
      reason += kReasons[i];
    }
    reasons.push_back(std::move(reason));
  }
  if (unreadable != 0) {
    CStdStr prefix = L"unreadable: ";
    AppendCount(unreadable, prefix);
    prefix += L" (";
    lines.push_back(Fit(
        prefix, reasons, L", ",
        [&](size_t left_out) {
          if (left_out == reasons.size()) return CStdStr(L"\u2026)");
          return CStdStr(left_out > 0 ? L", \u2026)" : L")");
        },
        limit));
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
