#pragma once

// What a person at a terminal is told at the end of a run beyond the counts:
// what the report cannot show by itself. Which formats the library holds,
// why files were unreadable, which files hold less data than their header
// declares, and which folders the walk's rule left out because their name
// has a dot. Only lines that reached the report whole are counted.

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/text.h"
#include "report/report_writer.h"

namespace wavtally {

/// Why a WAV file got a line of "N/A".
enum class Unreadable : uint8_t {
  kAppleDouble,  ///< a macOS "._" companion file, which holds no audio
  // Not a WAVE file, but one of these:
  kAiff,
  kAifc,
  kFlac,
  kOgg,
  kMp3,
  kCaf,
  kWave64,
  kOtherRiff,  ///< RIFF of another form
  kText,
  kEmpty,
  kNotWave,      ///< no WAVE file, nor anything else told above
  kNoFormat,     ///< no "fmt " chunk
  kShortFormat,  ///< a "fmt " chunk too short to hold a format
  kNoData,       ///< no "data" chunk
  kReadFailed,   ///< the file gave fewer bytes than its size while read
  kNotFile,      ///< no regular file (a folder, a FIFO, a device)
  kCannotOpen,   ///< could not be opened (no permission, say)
};
constexpr size_t kUnreadableKinds = 18;

class RunTally {
 public:
  /// How many names each list keeps to show.
  static constexpr size_t kNamesShown = 3;

  /// Counts a readable WAV file of format summary; returns nothing.
  void Format(const FormatSummary& summary);
  /// Counts an unreadable WAV file; returns nothing.
  void Unreadable(Unreadable why) { ++unreadable_[static_cast<size_t>(why)]; }
  /// Counts the file at the relative path entry as holding less data than
  /// its header declares; returns nothing.
  void CutShort(std::wstring_view entry) { Note(entry, cut_short_, cut_short_names_); }
  /// Counts the folder at the relative path entry as not walked for the dot
  /// in its name; returns nothing.
  void DottedFolder(std::wstring_view entry) { Note(entry, dotted_, dotted_names_); }

  /// Returns the lines that follow the summary's first, each narrower than
  /// width columns (0 counts as 80) unless one item is wider; a part for
  /// each that has anything to say, in the order formats, unreadable, cut
  /// short, dotted. Every count is shown: a part goes on to more lines
  /// rather than drop one, and only names give way to the width.
  std::vector<CStdStr> Render(size_t width) const;

 private:
  struct FormatKey {
    uint16_t tag;
    uint32_t rate;
    uint16_t bits;
    uint16_t channels;
    bool operator==(const FormatKey&) const = default;
    auto operator<=>(const FormatKey&) const = default;
  };
  struct FormatHash {
    size_t operator()(const FormatKey& k) const {
      return std::hash<uint64_t>()((uint64_t{k.rate} << 32 | uint64_t{k.bits} << 16 | k.channels) ^
                                   uint64_t{k.tag} * 0x9E3779B97F4A7C15ULL);
    }
  };

  static void Note(std::wstring_view entry, uint64_t& count, std::vector<CStdStr>& names);

  // Files of a folder mostly share one format: the last one found is kept
  // at hand. Elements of an unordered_map stay where they are.
  std::unordered_map<FormatKey, uint64_t, FormatHash> formats_;
  FormatKey last_key_{};
  uint64_t* last_count_ = nullptr;
  std::array<uint64_t, kUnreadableKinds> unreadable_{};
  uint64_t cut_short_ = 0;
  std::vector<CStdStr> cut_short_names_;
  uint64_t dotted_ = 0;
  std::vector<CStdStr> dotted_names_;
};

}  // namespace wavtally
