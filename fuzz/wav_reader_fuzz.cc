// libFuzzer target for the WAV header reader. Every input goes through the
// path the probe takes (mode 3 over memory) and is then read again in every
// other way the reader offers; the results must agree with each other and
// with what the bytes can hold, or the process aborts so libFuzzer keeps the
// input. The input's bytes also lay out files built to a rule (a fact chunk
// after the data, a data size of 0), whose count the rule fixes.

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

#include "base/file_system.h"
#include "base/text.h"
#include "base/wav_reader.h"
#include "wave_builder.h"

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
    ++reads;
    return memory_.ReadAt(offset, data, size);
  }
  uint64_t reads = 0;

 private:
  MemoryByteSource memory_;
};

/// Returns the number of offsets from 12 on where four characters 0x20 to
/// 0x7E start: an upper bound on the chunks a walk can step through.
uint64_t TextIdPlaces(const uint8_t* data, size_t size) {
  uint64_t places = 0;
  size_t run = 0;  // text bytes ending at i
  for (size_t i = 0; i < size; ++i) {
    run = data[i] >= 0x20 && data[i] <= 0x7E ? run + 1 : 0;
    if (run >= 4 && i >= 15) ++places;
  }
  return places;
}

/// Returns whether the reader accepts the bytes in mode, and sets *out to its
/// result and *reads, when not null, to the number of reads it took; checks
/// that a refusal writes nothing.
bool ReadMemory(const uint8_t* data, size_t size, int mode, WaveHeader* out,
                uint64_t* reads = nullptr) {
  CheckedSource source(data, size);
  WaveHeader h = Poisoned();
  const bool ok = ReadWaveHeader(source, mode, &h);
  if (!ok) Check(Same(h, Poisoned()), "a refused file wrote the output record");
  *out = h;
  if (reads != nullptr) *reads = source.reads;
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
    FsError error;
    std::unique_ptr<TqAudioFileReader> reader(
        TqAudioFileReader::Create(DiskFileSystem(), path_.c_str(), decipher, &error));
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

// Every decision the walk takes is relative to a chunk or to the end of the
// file, so a chunk put in front of all others changes nothing, however it
// moves the chunks against the reader's 4 KiB blocks. (In RF64 the ds64 chunk
// must stay first, so only RIFF and RIFX are shifted.) ok and header are what
// mode 3 gives for the bytes as they are.
void CheckLeadingChunk(const uint8_t* data, size_t size, bool ok, const WaveHeader& header) {
  if (size < 12 || (std::memcmp(data, "RIFF", 4) != 0 && std::memcmp(data, "RIFX", 4) != 0)) return;
  const size_t junk = 2 * ((size * 7 + data[size - 1]) % 2100);
  std::vector<uint8_t> shifted(data, data + 12);
  const uint8_t chunk[8] = {'J', 'U', 'N', 'K'};
  shifted.insert(shifted.end(), chunk, chunk + 8);
  // The size field in the file's own byte order.
  const bool bigEndian = data[3] == 'X';
  for (int i = 0; i < 4; ++i) {
    shifted[16 + i] = static_cast<uint8_t>(junk >> (8 * (bigEndian ? 3 - i : i)));
  }
  shifted.resize(shifted.size() + junk, 0xEE);
  shifted.insert(shifted.end(), data + 12, data + size);
  WaveHeader moved;
  const bool okMoved = ReadMemory(shifted.data(), shifted.size(), kBoth, &moved);
  Check(okMoved == ok, "a leading chunk changed refusal");
  if (ok) Check(Same(moved, header), "a leading chunk changed values");
}

/// Returns true for the format tags whose frames are counted from bytes.
bool CountedFromBytes(uint16_t tag) { return tag == 1 || tag == 3 || tag == 6 || tag == 7; }

// Hands out the input's bytes as little-endian values, wrapping around them,
// so that any input, even an empty one, gives a layout.
class Params {
 public:
  Params(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  /// Returns the next n (at most 4) bytes as an integer.
  uint32_t Take(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      const uint8_t b = size_ == 0 ? 0 : data_[next_++ % size_];
      v |= static_cast<uint32_t>(b) << (8 * i);
    }
    return v;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t next_ = 0;
};

/// Returns the file's header as mode 3 reads it; aborts with what when the
/// file is refused.
WaveHeader MustRead(const test::ByteImage& bytes, const char* what) {
  WaveHeader h;
  Check(ReadMemory(bytes.data(), bytes.size(), kBoth, &h), what);
  return h;
}

// A compressed format is counted by its fact chunk wherever it is: before
// the data, right after it (with or without a pad byte after an odd size) or
// after another chunk that moves it across a 4 KiB block.
void CheckFactAfterData(const uint8_t* data, size_t size) {
  Params p(data, size);
  const uint32_t flags = p.Take(1);
  const bool rifx = (flags & 1) != 0;
  const bool extensible = (flags & 2) != 0;
  const bool unpadded = (flags & 4) != 0;
  const bool list = (flags & 8) != 0;
  uint16_t tag = static_cast<uint16_t>(p.Take(2));
  if (CountedFromBytes(tag) || tag == 0xFFFE) tag = 0x11;
  const uint16_t channels = static_cast<uint16_t>(p.Take(2));
  const uint32_t rate = p.Take(4);
  const uint32_t avg = p.Take(4);
  const uint16_t align = static_cast<uint16_t>(p.Take(2));
  const uint16_t bits = static_cast<uint16_t>(p.Take(2));
  const uint32_t mask = p.Take(4);
  const uint32_t dataSize = p.Take(2) % 6000;
  const uint32_t listSize = p.Take(2) % 5000;
  const uint32_t count = p.Take(4);
  auto start = [&] {
    test::WaveBuilder b(rifx ? "RIFX" : "RIFF");
    if (extensible) {
      b.Extensible(channels, rate, avg, align, bits, mask, tag);
    } else {
      b.FmtEx(tag, channels, rate, avg, align, bits);
    }
    return b;
  };
  // The data is zeros: only its size matters, and zeros are quick to make.
  const size_t pad = dataSize % 2 == 1 && !(unpadded && !list) ? 1 : 0;
  test::WaveBuilder early = start();
  early.Fact(count).Header("data", dataSize).Zeros(dataSize + dataSize % 2);
  test::WaveBuilder late = start();
  // Without the pad byte the fact chunk must come next: after a LIST id the
  // padded place could read as an id too, and a real pad byte wins.
  late.Header("data", dataSize).Zeros(dataSize + pad);
  if (list) {
    early.Chunk("LIST", listSize);
    late.Chunk("LIST", listSize);
  }
  late.Fact(count);
  const WaveHeader before = MustRead(early.Bytes(), "a file with fact before data was refused");
  const WaveHeader after = MustRead(late.Bytes(), "a file with fact after data was refused");
  Check(before.numSamples == count, "a fact chunk before the data was not counted");
  Check(after.numSamples == count, "a fact chunk after the data was not counted");
  Check(Same(before, after), "the place of the fact chunk changed the format");
  const test::ByteImage bytes = late.Bytes();
  CheckLeadingChunk(bytes.data(), bytes.size(), true, after);
}

// A data size of 0 followed by samples that do not start with an id reads
// as the real size would; followed by a chunk it is an empty chunk.
void CheckDataSizeZero(const uint8_t* data, size_t size) {
  Params p(data, size);
  static constexpr uint16_t kTags[] = {1, 3, 6, 7};
  const uint32_t flags = p.Take(1);
  const uint16_t tag = kTags[flags & 3];
  const bool rifx = (flags & 4) != 0;
  const uint16_t channels = static_cast<uint16_t>(p.Take(1) % 8 + 1);
  const uint16_t bits = static_cast<uint16_t>(8 * (p.Take(1) % 4 + 1));
  const uint16_t align = static_cast<uint16_t>(p.Take(2));
  const uint32_t rate = p.Take(4);
  const uint32_t n = p.Take(2) % 6000;
  // The input itself, then zeros, makes the samples.
  test::ByteImage samples(data, data + std::min<size_t>(size, n));
  samples.resize(n);
  if (n > 0) samples[0] = 0;  // not text, so no id can start there
  auto start = [&] {
    test::WaveBuilder b(rifx ? "RIFX" : "RIFF");
    b.Fmt(tag, channels, rate, rate, align, bits);
    return b;
  };
  test::WaveBuilder sized = start();
  sized.Header("data", n).Raw(samples);
  test::WaveBuilder unsized = start();
  unsized.Header("data", 0).Raw(samples);
  test::WaveBuilder empty = start();
  empty.Header("data", 0).Chunk("LIST", n);
  const WaveHeader real = MustRead(sized.Bytes(), "a data chunk of its real size was refused");
  const WaveHeader unknown = MustRead(unsized.Bytes(), "a data size of 0 was refused");
  Check(Same(real, unknown), "a data size of 0 with samples after it differs from the real size");
  Check(MustRead(empty.Bytes(), "an empty data chunk was refused").numSamples == 0,
        "an empty data chunk followed by a chunk has frames");
  const test::ByteImage bytes = unsized.Bytes();
  CheckLeadingChunk(bytes.data(), bytes.size(), true, unknown);
}

void CheckInput(const uint8_t* data, size_t size) {
  WaveHeader both, format, count;
  uint64_t reads = 0;
  const bool okBoth = ReadMemory(data, size, kBoth, &both, &reads);
  // The form header, plus per chunk its header, one body ("fmt " may take
  // two) and the bytes after a size of 0 or an odd body; plus the header
  // that ends the walk. Zeros, or any bytes without an id in them, cost at
  // most two reads however many there are.
  Check(reads <= 2 + 4 * TextIdPlaces(data, size), "more reads than the chunks explain");
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
    if (CountedFromBytes(tag)) {
      // The frames of these formats are counted from bytes in the file.
      const uint64_t frame = PcmFrameBytes(f);
      if (frame == 0) {
        Check(both.numSamples == 0, "frames counted without a frame size");
      } else {
        Check(uint64_t{both.numSamples} * frame <= size, "more frames than the bytes hold");
      }
    }
  }

  CheckLeadingChunk(data, size, okBoth, both);

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
  wavtally::CheckFactAfterData(data, size);
  wavtally::CheckDataSizeZero(data, size);
  return 0;
}
