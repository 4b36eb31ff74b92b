#pragma once

// Builds the bytes of WAV files for tests, chunk by chunk, so that every
// fixture is visible in the test that uses it. Sizes and fields are written
// exactly as given: the builder never corrects a value, which is what lets
// tests make broken files on purpose.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace wavtally::test {

/// The bytes of one file image.
using ByteImage = std::vector<uint8_t>;

/// Whether a chunk with an odd size gets the pad byte that RIFF asks for.
enum class Pad { kYes, kNo };

/// A WAV file under construction; integers go out in the form's byte order
/// (big-endian for "RIFX", little-endian otherwise).
class WaveBuilder {
 public:
  /// Starts a file of the given form ("RIFF", "RIFX", "RF64", "BW64" or any
  /// 4 bytes) and kind ("WAVE" or any 4 bytes).
  explicit WaveBuilder(std::string_view form, std::string_view kind = "WAVE")
      : bigEndian_(form == "RIFX"), rf64_(form == "RF64" || form == "BW64") {
    Id(form);
    U32(0);
    Id(kind);
  }

  /// Appends a "fmt " chunk with the 16-byte body of WAVEFORMAT/PCMWAVEFORMAT.
  WaveBuilder& Fmt(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t avgBytes,
                   uint16_t blockAlign, uint16_t bits) {
    return Chunk("fmt ", FmtBody(tag, channels, rate, avgBytes, blockAlign, bits));
  }

  /// Appends a "fmt " chunk of 18 bytes: the 16-byte body and cbSize 0, as
  /// most writers store non-PCM formats.
  WaveBuilder& FmtEx(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t avgBytes,
                     uint16_t blockAlign, uint16_t bits) {
    ByteImage body = FmtBody(tag, channels, rate, avgBytes, blockAlign, bits);
    Put(body, 0, 2);
    return Chunk("fmt ", body);
  }

  /// Appends a 40-byte WAVE_FORMAT_EXTENSIBLE "fmt " chunk (tag 0xFFFE) whose
  /// sub-format GUID starts with subFormat and ends in the usual KSDATAFORMAT
  /// suffix; validBits 0 means bits.
  WaveBuilder& Extensible(uint16_t channels, uint32_t rate, uint32_t avgBytes, uint16_t blockAlign,
                          uint16_t bits, uint32_t mask, uint16_t subFormat, uint16_t cbSize = 22,
                          uint16_t validBits = 0) {
    ByteImage body = FmtBody(0xFFFE, channels, rate, avgBytes, blockAlign, bits);
    Put(body, cbSize, 2);
    Put(body, validBits != 0 ? validBits : bits, 2);
    Put(body, mask, 4);
    Put(body, subFormat, 2);
    static constexpr uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                              0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    body.insert(body.end(), kGuidTail, kGuidTail + sizeof kGuidTail);
    return Chunk("fmt ", body);
  }

  /// Appends a "fact" chunk holding count.
  WaveBuilder& Fact(uint32_t count) {
    ByteImage body;
    Put(body, count, 4);
    return Chunk("fact", body);
  }

  /// Appends a 28-byte "ds64" chunk (RF64/BW64) with no table entries.
  WaveBuilder& Ds64(uint64_t riffSize, uint64_t dataSize, uint64_t sampleCount) {
    ByteImage body;
    Put(body, riffSize, 8);
    Put(body, dataSize, 8);
    Put(body, sampleCount, 8);
    Put(body, 0, 4);
    return Chunk("ds64", body);
  }

  /// Appends a "data" chunk of size bytes of a ramp pattern; with Pad::kNo an
  /// odd size gets no pad byte.
  WaveBuilder& Data(uint32_t size, Pad pad = Pad::kYes) {
    ByteImage body(size);
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 7 + 1);
    return Chunk("data", body, pad);
  }

  /// Appends a chunk of size zero bytes under id.
  WaveBuilder& Chunk(std::string_view id, uint32_t size, Pad pad = Pad::kYes) {
    return Chunk(id, ByteImage(size), pad);
  }

  /// Appends a chunk with body under id, its size field the body's size.
  WaveBuilder& Chunk(std::string_view id, const ByteImage& body, Pad pad = Pad::kYes) {
    Header(id, static_cast<uint32_t>(body.size()));
    Raw(body);
    if (pad == Pad::kYes && body.size() % 2 != 0) bytes_.push_back(0);
    return *this;
  }

  /// Appends only a chunk header whose size field says size; add the body
  /// (or less, or more) with Raw or Zeros.
  WaveBuilder& Header(std::string_view id, uint32_t size) {
    Id(id);
    return U32(size);
  }

  /// Appends bytes as they are.
  WaveBuilder& Raw(const ByteImage& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
  }

  /// Appends n zero bytes.
  WaveBuilder& Zeros(size_t n) {
    bytes_.resize(bytes_.size() + n);
    return *this;
  }

  /// Appends a 32-bit integer in the form's byte order.
  WaveBuilder& U32(uint32_t v) {
    Put(bytes_, v, 4);
    return *this;
  }

  /// Makes Bytes() write v as the RIFF size instead of the real one.
  WaveBuilder& RiffSize(uint32_t v) {
    riffSize_ = v;
    forcedRiffSize_ = true;
    return *this;
  }

  /// Returns the number of bytes appended so far: the offset of what comes
  /// next.
  size_t Offset() const { return bytes_.size(); }

  /// Returns the file: the RIFF size is the real one (0xFFFFFFFF for RF64 and
  /// BW64) unless RiffSize set it.
  ByteImage Bytes() const {
    ByteImage out = bytes_;
    uint64_t size = out.size() - 8;
    if (forcedRiffSize_) {
      size = riffSize_;
    } else if (rf64_ || size > 0xFFFFFFFF) {
      size = 0xFFFFFFFF;
    }
    for (int i = 0; i < 4; ++i) {
      out[4 + i] = static_cast<uint8_t>(size >> (8 * (bigEndian_ ? 3 - i : i)));
    }
    return out;
  }

 private:
  ByteImage FmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint32_t avgBytes,
                    uint16_t blockAlign, uint16_t bits) const {
    ByteImage body;
    Put(body, tag, 2);
    Put(body, channels, 2);
    Put(body, rate, 4);
    Put(body, avgBytes, 4);
    Put(body, blockAlign, 2);
    Put(body, bits, 2);
    return body;
  }

  void Put(ByteImage& to, uint64_t v, int n) const {
    for (int i = 0; i < n; ++i)
      to.push_back(static_cast<uint8_t>(v >> (8 * (bigEndian_ ? n - 1 - i : i))));
  }

  void Id(std::string_view id) {
    for (size_t i = 0; i < 4; ++i)
      bytes_.push_back(i < id.size() ? static_cast<uint8_t>(id[i]) : ' ');
  }

  bool bigEndian_;
  bool rf64_;
  bool forcedRiffSize_ = false;
  uint32_t riffSize_ = 0;
  ByteImage bytes_;
};

/// Returns a builder for a little-endian RIFF/WAVE file.
inline WaveBuilder Riff() { return WaveBuilder("RIFF"); }
/// Returns a builder for a big-endian RIFX/WAVE file.
inline WaveBuilder Rifx() { return WaveBuilder("RIFX"); }
/// Returns a builder for an RF64/WAVE file; add Ds64 first.
inline WaveBuilder Rf64() { return WaveBuilder("RF64"); }
/// Returns a builder for a BW64/WAVE file; add Ds64 first.
inline WaveBuilder Bw64() { return WaveBuilder("BW64"); }

/// Returns a 16-bit stereo PCM file at 44.1 kHz holding frames sample frames,
/// the plain file that walk tests fill their trees with.
inline ByteImage Stereo16(uint32_t frames) {
  return Riff().Fmt(1, 2, 44100, 176400, 4, 16).Data(frames * 4).Bytes();
}

/// Writes the little-endian v over the 4 bytes at offset; bytes must hold them.
inline void SetU32At(ByteImage& bytes, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<uint8_t>(v >> (8 * i));
}

/// Writes the big-endian v over the 4 bytes at offset; bytes must hold them.
inline void SetU32BeAt(ByteImage& bytes, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<uint8_t>(v >> (8 * (3 - i)));
}

/// Writes the little-endian v over the 2 bytes at offset; bytes must hold them.
inline void SetU16At(ByteImage& bytes, size_t offset, uint16_t v) {
  for (int i = 0; i < 2; ++i) bytes.at(offset + i) = static_cast<uint8_t>(v >> (8 * i));
}

/// Writes the 4 characters of id at offset; bytes must hold them.
inline void SetIdAt(ByteImage& bytes, size_t offset, std::string_view id) {
  for (size_t i = 0; i < 4; ++i) bytes.at(offset + i) = static_cast<uint8_t>(id.at(i));
}

/// Cuts bytes down to its first n bytes; does nothing when it is shorter.
inline void TruncateTo(ByteImage& bytes, size_t n) {
  if (n < bytes.size()) bytes.resize(n);
}

/// Writes bytes as the whole content of the file at path (UTF-8); returns
/// false when the file cannot be written.
inline bool WriteFile(const std::string& path, const ByteImage& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool wrote = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && wrote;
}

}  // namespace wavtally::test
