// libFuzzer target for the WAV header reader. Every input goes through the
// path the probe takes (mode 3 over memory) and is then read again in every
// other way the reader offers; the results must agree with each other and
// with what the bytes can hold, or the process aborts so libFuzzer keeps the
// input.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/text.h"
#include "base/wav_reader.h"

namespace wavtally {
namespace {

constexpr int kFormat = TqAudioFileReader::kReadFormat;
constexpr int kCount = TqAudioFileReader::kReadSampleCount;
constexpr int kBoth = kFormat | kCount;
constexpr size_t kMaxRead = 4096;

/// Prints why the input is rejected and aborts; never returns.
[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "wav_reader_fuzz: invariant broken: %s\n", what);
  std::abort();
}

/// Aborts with what when ok is false.
void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

/// Returns true when both headers hold the same values, byte for byte.
bool Same(const WaveHeader& a, const WaveHeader& b) {
  const TqAudioFormat& f = a.format;
  const TqAudioFormat& g = b.format;
  return f.formatTag == g.formatTag && f.numChannels == g.numChannels &&
         f.sampleRate == g.sampleRate && f.avgBytesPerSec == g.avgBytesPerSec &&
         f.blockAlign == g.blockAlign && f.bitsPerSample == g.bitsPerSample &&
         f.channelConfig == g.channelConfig && a.numSamples == b.numSamples;
}

/// Returns a header whose every field holds a value the reader never makes
/// up, so that a write on failure shows.
WaveHeader Poisoned() {
  WaveHeader h;
  h.format = {0xA5A5, 0xA5A5, 0xA5A5A5A5, 0xA5A5A5A5, 0xA5A5, 0xA5A5, 0xA5A5A5A5};
  h.numSamples = 0xA5A5A5A5;
  return h;
}

// Memory that checks each read against the reader's contract: whole blocks
// of at most 4 KiB, inside the source.
class CheckedSource : public ByteSource {
 public:
  explicit CheckedSource(const uint8_t* data, size_t size) : memory_({data, size}) {}
  uint64_t Size() const override { return memory_.Size(); }
  size_t ReadAt(uint64_t offset, void* data, size_t size) override {
    Check(size > 0 && size <= kMaxRead, "read of no bytes or more than a block");
    Check(offset < Size() && size <= Size() - offset, "read past the end of the source");
    return memory_.ReadAt(offset, data, size);
  }

 private:
  MemoryByteSource memory_;
};

/// Returns whether the reader accepts the bytes in mode, and sets *out to its
/// result; checks that a refusal writes nothing.
bool ReadMemory(const uint8_t* data, size_t size, int mode, WaveHeader* out) {
  CheckedSource source(data, size);
  WaveHeader h = Poisoned();
  const bool ok = ReadWaveHeader(source, mode, &h);
  if (!ok) Check(Same(h, Poisoned()), "a refused file wrote the output record");
  *out = h;
  return ok;
}

/// Returns the number of bytes of one frame, the way PCM-like formats are
/// counted, or 0 when neither channels and bits nor block align give one.
uint64_t PcmFrameBytes(const TqAudioFormat& f) {
  const uint64_t frame = uint64_t{f.numChannels} * ((uint64_t{f.bitsPerSample} + 7) / 8);
  return frame != 0 ? frame : f.blockAlign;
}

// Undoes a XOR with a key derived from the offset; with a zero seed it is the
// identity. Checks each range against the file it deciphers.
class XorDecipher : public IDataDecipher {
 public:
  XorDecipher(uint8_t seed, uint64_t fileSize) : seed_(seed), fileSize_(fileSize) {}
  void Decipher(uint64_t offset, uint8_t* data, size_t size) override {
    Check(size > 0 && size <= kMaxRead, "deciphered range of no bytes or more than a block");
    Check(offset < fileSize_ && size <= fileSize_ - offset, "deciphered range past the end");
    for (size_t i = 0; i < size; ++i) data[i] ^= Key(seed_, offset + i);
  }
  static uint8_t Key(uint8_t seed, uint64_t offset) {
    return seed == 0 ? 0 : static_cast<uint8_t>(seed * (offset + 1) + (offset >> 8));
  }

 private:
  uint8_t seed_;
  uint64_t fileSize_;
};

// One anonymous in-memory file for the whole run, rewritten per input, so the
// file path costs no disk I/O. Reached by name through /proc, as the probe
// reaches any file.
class MemFile {
 public:
  MemFile() : fd_(memfd_create("wav_reader_fuzz", MFD_CLOEXEC)) {
    if (fd_ < 0) Fail("memfd_create failed");
    path_ = DecodeUtf8("/proc/self/fd/" + std::to_string(fd_));
  }
  ~MemFile() { close(fd_); }
  MemFile(const MemFile&) = delete;
  MemFile& operator=(const MemFile&) = delete;

  /// Makes the file hold exactly the bytes; aborts when it cannot.
  void Store(const uint8_t* data, size_t size) {
    if (ftruncate(fd_, 0) != 0) Fail("ftruncate failed");
    size_t done = 0;
    while (done < size) {
      const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) Fail("pwrite failed");
      done += static_cast<size_t>(n);
    }
  }

  /// Returns whether the reader accepts the file in mode, and sets *out to
  /// the getters' values.
  bool Read(int mode, IDataDecipher* decipher, WaveHeader* out) {
    std::unique_ptr<TqAudioFileReader> reader(TqAudioFileReader::Create(path_.c_str(), decipher));
    if (!reader) Fail("Create refused a regular file");
    const bool ok = reader->Open(mode);
    *out = {reader->GetFormat(), reader->GetNumSamples()};
    if (!ok) Check(Same(*out, WaveHeader{}), "getters not zero after a failed Open");
    return ok;
  }

 private:
  int fd_;
  CStdStr path_;
};

/// Returns true for about one input in four, always the same ones.
bool TakeFilePath(const uint8_t* data, size_t size) {
  // Kept below 2^16 so that it never wraps: the build traps unsigned wraps.
  uint32_t hash = 1;
  for (size_t i = 0; i < size; ++i) hash = (hash * 31 + data[i]) % 65521;
  return hash % 4 == 0;
}

void CheckInput(const uint8_t* data, size_t size) {
  WaveHeader both, format, count;
  const bool okBoth = ReadMemory(data, size, kBoth, &both);
  const bool okFormat = ReadMemory(data, size, kFormat, &format);
  const bool okCount = ReadMemory(data, size, kCount, &count);

  // Modes outside the two known bits are refused whatever the bytes hold.
  for (int mode : {0, 4, 5, 6, 7, 8, -1, 0x10001}) {
    WaveHeader ignored;
    Check(!ReadMemory(data, size, mode, &ignored), "an unknown mode was accepted");
  }

  // Reading both parts succeeds exactly when each part alone does, and each
  // part alone reads what the combined read reports for it.
  Check(okBoth == (okFormat && okCount), "mode 3 disagrees with modes 1 and 2 on refusal");
  if (okFormat) {
    Check(format.numSamples == 0, "mode 1 set a sample count");
    if (okBoth) {
      WaveHeader expected = both;
      expected.numSamples = 0;
      Check(Same(format, expected), "mode 1 format differs from mode 3");
    }
  }
  if (okCount) {
    Check(Same(WaveHeader{{}, count.numSamples}, count), "mode 2 set a format");
    if (okBoth) Check(count.numSamples == both.numSamples, "mode 2 count differs from mode 3");
  }

  if (okFormat) {
    const TqAudioFormat& f = format.format;
    Check((f.channelConfig & 0xFFF) == std::min<uint32_t>(f.numChannels, 0xFFF),
          "channel count bits differ from the channel count");
    if (f.formatTag != 0xFFFE) Check(f.channelConfig >> 12 == 0, "a mask outside extensible");
  }
  if (okBoth) {
    const TqAudioFormat& f = both.format;
    const uint16_t tag = f.formatTag;
    if (tag == 1 || tag == 3 || tag == 6 || tag == 7) {
      // The frames of these formats are counted from bytes in the file.
      const uint64_t frame = PcmFrameBytes(f);
      if (frame == 0) {
        Check(both.numSamples == 0, "frames counted without a frame size");
      } else {
        Check(uint64_t{both.numSamples} * frame <= size, "more frames than the bytes hold");
      }
    }
  }

  // Every decision the walk takes is relative to a chunk or to the end of
  // the file, so a chunk put in front of all others changes nothing, however
  // it moves the chunks against the reader's 4 KiB blocks. (In RF64 the ds64
  // chunk must stay first, so only RIFF and RIFX are shifted.)
  if (size >= 12 && (std::memcmp(data, "RIFF", 4) == 0 || std::memcmp(data, "RIFX", 4) == 0)) {
    const size_t junk = 2 * ((size * 7 + data[size - 1]) % 2100);
    std::vector<uint8_t> shifted(data, data + 12);
    const uint8_t header[8] = {'J', 'U', 'N', 'K'};
    shifted.insert(shifted.end(), header, header + 8);
    // The size field in the file's own byte order.
    const bool bigEndian = data[3] == 'X';
    for (int i = 0; i < 4; ++i) {
      shifted[16 + i] = static_cast<uint8_t>(junk >> (8 * (bigEndian ? 3 - i : i)));
    }
    shifted.resize(shifted.size() + junk, 0xEE);
    shifted.insert(shifted.end(), data + 12, data + size);
    WaveHeader moved;
    const bool okMoved = ReadMemory(shifted.data(), shifted.size(), kBoth, &moved);
    Check(okMoved == okBoth, "a leading chunk changed refusal");
    if (okBoth) Check(Same(moved, both), "a leading chunk changed values");
  }

  // The same bytes through a real file give the same answers, with no
  // decipher, with one that changes nothing and, for an enciphered copy of
  // the bytes, with the decipher that undoes it. The file costs a dozen
  // system calls, so only a quarter of the inputs (picked by their bytes, so
  // a finding reproduces) take that path.
  if (!TakeFilePath(data, size)) return;
  static MemFile file;
  file.Store(data, size);
  const uint8_t seed = size > 0 ? static_cast<uint8_t>(data[size - 1] | 1) : 1;
  XorDecipher identity(0, size);
  for (int mode : {kFormat, kCount, kBoth}) {
    const bool okMemory = mode == kFormat ? okFormat : mode == kCount ? okCount : okBoth;
    const WaveHeader& memory = mode == kFormat ? format : mode == kCount ? count : both;
    WaveHeader fromFile;
    Check(file.Read(mode, nullptr, &fromFile) == okMemory, "file and memory disagree on refusal");
    if (okMemory) Check(Same(fromFile, memory), "file and memory disagree on values");
    Check(file.Read(mode, &identity, &fromFile) == okMemory, "identity decipher changed refusal");
    if (okMemory) Check(Same(fromFile, memory), "identity decipher changed values");
  }
  std::string stored(reinterpret_cast<const char*>(data), size);
  for (size_t i = 0; i < size; ++i) stored[i] ^= static_cast<char>(XorDecipher::Key(seed, i));
  file.Store(reinterpret_cast<const uint8_t*>(stored.data()), size);
  XorDecipher undo(seed, size);
  WaveHeader deciphered;
  Check(file.Read(kBoth, &undo, &deciphered) == okBoth, "decipher changed refusal");
  if (okBoth) Check(Same(deciphered, both), "decipher changed values");
}

}  // namespace
}  // namespace wavtally

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  wavtally::CheckInput(data, size);
  return 0;
}
