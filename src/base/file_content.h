#pragma once

// What a file named .wav holds when it is no WAVE file, told from the first
// bytes the reader already has: a library's strays are mostly other audio
// formats renamed, and saying which helps more than "not WAVE".

#include <cstdint>
#include <span>

namespace wavtally {

/// What a file that is not a WAVE file holds.
enum class FileContent : uint8_t {
  kOther,      ///< none of the below
  kEmpty,      ///< no bytes at all
  kText,       ///< ASCII or UTF-8 text
  kAiff,       ///< "FORM" of form "AIFF"
  kAifc,       ///< "FORM" of form "AIFC"
  kFlac,       ///< "fLaC"
  kOgg,        ///< an Ogg page
  kMp3,        ///< an ID3v2 tag or an MPEG audio frame
  kCaf,        ///< Apple's "caff"
  kWave64,     ///< Sony Wave64, "riff" as a GUID
  kOtherRiff,  ///< RIFF, RIFX, RF64 or BW64 of another form than WAVE
};

/// Returns what a file of size bytes holds, told from head, its first bytes
/// (all of them, or as many as were read; text is judged on those alone).
FileContent TellContent(std::span<const uint8_t> head, uint64_t size);

}  // namespace wavtally
