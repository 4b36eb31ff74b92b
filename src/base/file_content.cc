#include "base/file_content.h"

#include <cstring>

namespace wavtally {
namespace {

bool StartsWith(std::span<const uint8_t> head, const char* magic, size_t at = 0) {
  const size_t n = std::strlen(magic);
  return head.size() >= at + n && std::memcmp(head.data() + at, magic, n) == 0;
}

// An MPEG audio frame header: the 11 sync bits, then a version, layer,
// bit rate and sample rate that are not the reserved or invalid ones.
bool IsMpegFrame(std::span<const uint8_t> head) {
  if (head.size() < 4 || head[0] != 0xFF || (head[1] & 0xE0) != 0xE0) return false;
  const int version = head[1] >> 3 & 3;
  const int layer = head[1] >> 1 & 3;
  const int bitrate = head[2] >> 4;
  const int rate = head[2] >> 2 & 3;
  return version != 1 && layer != 0 && bitrate != 15 && rate != 3;
}

// Text is printable ASCII, the usual control characters and well-formed
// UTF-8; a sequence cut off where the head ends still counts.
bool IsText(std::span<const uint8_t> head, bool whole) {
  for (size_t i = 0; i < head.size();) {
    const uint8_t b = head[i];
    if (b >= 0x20 && b < 0x7F) {
      ++i;
      continue;
    }
    if (b == '\t' || b == '\n' || b == '\r' || b == '\f') {
      ++i;
      continue;
    }
    const size_t extra = b >= 0xC2 && b <= 0xDF   ? 1
                         : b >= 0xE0 && b <= 0xEF ? 2
                         : b >= 0xF0 && b <= 0xF4 ? 3
                                                  : 0;
    if (extra == 0) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if (i + k >= head.size()) return !whole;
      if ((head[i + k] & 0xC0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

}  // namespace

FileContent TellContent(std::span<const uint8_t> head, uint64_t size) {
  if (size == 0) return FileContent::kEmpty;
  if (head.empty()) return FileContent::kOther;
  if (StartsWith(head, "FORM") && StartsWith(head, "AIFF", 8)) return FileContent::kAiff;
  if (StartsWith(head, "FORM") && StartsWith(head, "AIFC", 8)) return FileContent::kAifc;
  if (StartsWith(head, "fLaC")) return FileContent::kFlac;
  if (StartsWith(head, "OggS")) return FileContent::kOgg;
  if (StartsWith(head, "caff")) return FileContent::kCaf;
  static constexpr uint8_t kWave64Riff[16] = {'r',  'i',  'f',  'f',  0x2E, 0x91, 0xCF, 0x11,
                                              0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
  if (head.size() >= 16 && std::memcmp(head.data(), kWave64Riff, 16) == 0) {
    return FileContent::kWave64;
  }
  if (StartsWith(head, "RIFF") || StartsWith(head, "RIFX") || StartsWith(head, "RF64") ||
      StartsWith(head, "BW64")) {
    return FileContent::kOtherRiff;
  }
  if ((StartsWith(head, "ID3") && head.size() >= 4 && head[3] >= 2 && head[3] <= 4) ||
      IsMpegFrame(head)) {
    return FileContent::kMp3;
  }
  const size_t bom = StartsWith(head, "\xEF\xBB\xBF") ? 3 : 0;
  if (IsText(head.subspan(bom), head.size() == size)) return FileContent::kText;
  return FileContent::kOther;
}

}  // namespace wavtally
