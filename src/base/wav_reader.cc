#include "base/wav_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <span>

#include "base/file_content.h"
#include "base/file_system.h"
#include "base/text.h"

namespace wavtally {
namespace {

constexpr int kKnownModes = TqAudioFileReader::kReadFormat | TqAudioFileReader::kReadSampleCount;
constexpr uint64_t kFirstChunk = 12;
constexpr uint64_t kChunkHeaderSize = 8;
constexpr uint32_t kSizeUnknown = 0xFFFFFFFF;
constexpr uint16_t kTagExtensible = 0xFFFE;
constexpr uint32_t kMaxSamples = std::numeric_limits<uint32_t>::max();

// Holds one block of the source, so that the chunk headers near each other
// (in a typical file all of them) cost a single read, and a header far away
// costs one read at its own offset rather than a read of everything between.
class BlockCache {
 public:
  explicit BlockCache(ByteSource& source) : source_(source), size_(source.Size()) {}

  // Returns the source's size in bytes.
  uint64_t Size() const { return size_; }

  // Returns true when the size bytes at offset lie inside the source.
  bool Holds(uint64_t offset, size_t size) const {
    return offset <= size_ && size <= size_ - offset;
  }

  // Returns a pointer to the size (at most kBlockSize) bytes at offset, or
  // null when they are not all in the source or cannot be read.
  const uint8_t* Get(uint64_t offset, size_t size) {
    if (size > kBlockSize || !Holds(offset, size)) return nullptr;
    if (!InBlock(offset, size)) Load(offset);
    if (InBlock(offset, size)) return block_.data() + (offset - start_);
    failed_ = true;
    return nullptr;
  }

  // Returns true once a read gave fewer bytes than the size promised.
  bool Failed() const { return failed_; }

  // Returns the first bytes of the source that a read already gave: the
  // block when it starts the source, else the first few of the first one.
  std::span<const uint8_t> Head() const {
    if (start_ == 0) return {block_.data(), length_};
    return {first_.data(), first_length_};
  }

 private:
  static constexpr size_t kBlockSize = 4096;

  bool InBlock(uint64_t offset, size_t size) const {
    return offset >= start_ && offset - start_ <= length_ && size <= length_ - (offset - start_);
  }

  void Load(uint64_t offset) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlockSize, size_ - offset));
    start_ = offset;
    length_ = source_.ReadAt(offset, block_.data(), want);
    // A source that claims more than it was asked for is not trusted.
    if (length_ > want) length_ = 0;
    if (offset == 0) {
      first_length_ = std::min(length_, first_.size());
      std::copy_n(block_.begin(), first_length_, first_.begin());
    }
  }

  ByteSource& source_;
  const uint64_t size_;
  std::array<uint8_t, kBlockSize> block_{};
  uint64_t start_ = 0;
  size_t length_ = 0;
  bool failed_ = false;
  // Enough to tell what a file that is not WAVE holds, once the block moved.
  std::array<uint8_t, 16> first_{};
  size_t first_length_ = 0;
};

// Reads the integers of one file in its byte order: big-endian in "RIFX",
// little-endian in every other form.
class Decoder {
 public:
  explicit Decoder(bool bigEndian) : bigEndian_(bigEndian) {}

  uint16_t U16(const uint8_t* p) const { return static_cast<uint16_t>(Read(p, 2)); }
  uint32_t U32(const uint8_t* p) const { return static_cast<uint32_t>(Read(p, 4)); }
  uint64_t U64(const uint8_t* p) const { return Read(p, 8); }

 private:
  uint64_t Read(const uint8_t* p, int n) const {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) {
      v |= static_cast<uint64_t>(p[bigEndian_ ? n - 1 - i : i]) << (8 * i);
    }
    return v;
  }
  bool bigEndian_;
};

bool IdIs(const uint8_t* p, const char (&id)[5]) { return std::memcmp(p, id, 4) == 0; }

// Returns true when the four bytes at p are characters 0x20 to 0x7E.
bool IsPrintableId(const uint8_t* p) {
  return std::all_of(p, p + 4, [](uint8_t c) { return c >= 0x20 && c <= 0x7E; });
}

// Returns true when the four bytes at offset lie in the source, can be read
// and are an id.
bool IdAt(BlockCache& cache, uint64_t offset) {
  if (!cache.Holds(offset, 4)) return false;
  const uint8_t* p = cache.Get(offset, 4);
  return p != nullptr && IsPrintableId(p);
}

// Returns true for the sub-formats that store whole bytes per sample (PCM,
// IEEE float, A-law, mu-law), whose frames follow from the data size; every
// other one is counted by its fact chunk.
bool CountedFromBytes(uint16_t subFormat) {
  return subFormat == 1 || subFormat == 3 || subFormat == 6 || subFormat == 7;
}

// Everything the walk learns; the values come straight from the file.
struct Chunks {
  bool haveFmt = false;
  bool haveFact = false;
  bool haveData = false;
  bool haveDs64 = false;
  TqAudioFormat format;
  uint32_t channelMask = 0;
  uint16_t subFormat = 0;
  uint32_t factCount = 0;
  uint64_t ds64DataSize = 0;
  uint64_t dataBytes = 0;
  bool dataCutShort = false;
  WaveProblem problem = WaveProblem::kNone;
  FileContent content = FileContent::kOther;
};

// Reads the "fmt " body at offset; returns false when the file must be
// refused.
bool ReadFmt(BlockCache& cache, const Decoder& d, uint64_t body, uint32_t size, Chunks* c) {
  const uint8_t* p = size >= 16 ? cache.Get(body, 16) : nullptr;
  if (p == nullptr) {
    c->problem = WaveProblem::kShortFormat;
    return false;
  }
  // Values are kept as stored even when they make no sense (no channels, a
  // block align of 0): the caller reports them, and the count guards its
  // divisions.
  TqAudioFormat& f = c->format;
  f.formatTag = d.U16(p);
  f.numChannels = d.U16(p + 2);
  f.sampleRate = d.U32(p + 4);
  f.avgBytesPerSec = d.U32(p + 8);
  f.blockAlign = d.U16(p + 12);
  f.bitsPerSample = d.U16(p + 14);
  c->subFormat = f.formatTag;
  if (f.formatTag == kTagExtensible && size >= 40) {
    const uint8_t* ext = cache.Get(body, 40);
    // An extensible header too short to hold its extension declares no mask
    // and no sub-format; the file is still read, as a format of its own.
    if (ext != nullptr && d.U16(ext + 16) >= 22) {
      c->channelMask = d.U32(ext + 20);
      c->subFormat = d.U16(ext + 24);
    }
  }
  c->haveFmt = true;
  return true;
}

// Returns where the chunk after the one whose body ends at end starts, or
// returns false when there is no such place.
bool NextChunk(BlockCache& cache, uint64_t end, bool oddSize, uint64_t* next) {
  if (!oddSize) {
    *next = end;
    return true;
  }
  if (end == std::numeric_limits<uint64_t>::max()) return false;
  const uint64_t padded = end + 1;
  *next = padded;
  // Tolerance: a missing pad byte is accepted. Some writers leave it out,
  // and then a chunk id starts right at end. That is believed only when end
  // holds an id and the padded position does not, so a real pad byte always
  // wins. Both ids are fetched in one block that starts at end.
  if (!cache.Holds(end, kChunkHeaderSize)) return true;
  cache.Get(end, static_cast<size_t>(std::min<uint64_t>(kChunkHeaderSize + 1, cache.Size() - end)));
  if (!IdAt(cache, padded) && IdAt(cache, end)) *next = end;
  return true;
}

uint32_t Saturate(uint64_t v) { return v > kMaxSamples ? kMaxSamples : static_cast<uint32_t>(v); }

uint32_t CountSamples(const Chunks& c) {
  const TqAudioFormat& f = c.format;
  if (CountedFromBytes(c.subFormat)) {
    // The frame size follows from channels and bits even when block align
    // was written wrong, and a fact chunk (which float files often carry) is
    // not needed.
    uint64_t frame = uint64_t{f.numChannels} * ((uint64_t{f.bitsPerSample} + 7) / 8);
    if (frame == 0) frame = f.blockAlign;
    return frame == 0 ? 0 : Saturate(c.dataBytes / frame);
  }
  // Compressed formats cannot be counted from bytes alone; the fact chunk
  // exists to say how many frames they hold.
  if (c.haveFact) return c.factCount;
  return f.blockAlign == 0 ? 0 : Saturate(c.dataBytes / f.blockAlign);
}

// Returns how many bytes the body of a "data" chunk spans, from its size
// field and the offset body where it starts; the span may reach past the end
// of the file.
uint64_t DataSpan(BlockCache& cache, const Chunks& c, uint32_t size, uint64_t body) {
  const uint64_t available = cache.Size() - body;
  // Tolerance: writers that stream put 0xFFFFFFFF there when they cannot
  // seek back; without a ds64 to say better, the data runs to the end of the
  // file.
  if (size == kSizeUnknown) return c.haveDs64 ? c.ds64DataSize : available;
  // Tolerance: a writer that never came back to fill in the size (power
  // lost, stream cut off) leaves 0 with the samples after it. A chunk that
  // really is empty has the next chunk's id right after its header; anything
  // else, or fewer than 4 bytes, is taken as data running to the end of the
  // file.
  if (size == 0 && !IdAt(cache, body)) {
    return available;
  }
  return size;
}

// Returns true when the walk has what mode needs: the format, and for a
// count the data and, for a sub-format counted by its fact chunk, the fact.
bool WalkDone(const Chunks& c, bool formatOnly) {
  if (!c.haveFmt) return false;
  if (formatOnly) return true;
  // Some writers put fact after data, so for the formats that need one the
  // walk goes on past data until it ends as it would anywhere. That costs a
  // read at the offset of the chunk after the data when the block already
  // read does not hold it, and never a read of the data.
  return c.haveData && (c.haveFact || CountedFromBytes(c.subFormat));
}

// RiffStart's answer for a tag with no RIFF header behind it: the file is
// refused without reading its start again.
constexpr uint64_t kTagWithoutRiff = std::numeric_limits<uint64_t>::max();

// Returns where the RIFF header starts: after an ID3v2 tag that a tagger put
// in front of it, else at 0.
uint64_t RiffStart(BlockCache& cache) {
  // Tolerance: "ID3", a major version of 2 to 4, a minor version that is
  // not 0xFF, and a size of four bytes of seven bits each (syncsafe) make a
  // tag of 10 bytes plus that size, plus a 10-byte footer when flag 0x10
  // says so (version 4). Only a form id right after it makes the file a
  // WAVE file; a file that merely starts with "ID3" stays refused.
  constexpr uint64_t kId3Header = 10;
  if (!cache.Holds(0, kId3Header)) return 0;
  const uint8_t* p = cache.Get(0, kId3Header);
  if (p == nullptr || !(p[0] == 'I' && p[1] == 'D' && p[2] == '3') || p[3] < 2 || p[3] > 4 ||
      p[4] == 0xFF || ((p[6] | p[7] | p[8] | p[9]) & 0x80) != 0) {
    return 0;
  }
  const uint64_t size = uint64_t{p[6]} << 21 | uint64_t{p[7]} << 14 | uint64_t{p[8]} << 7 | p[9];
  const bool footer = p[3] == 4 && (p[5] & 0x10) != 0;
  const uint64_t start = kId3Header + size + (footer ? kId3Header : 0);
  if (!cache.Holds(start, kFirstChunk)) return 0;
  const uint8_t* form = cache.Get(start, kFirstChunk);
  if (form == nullptr ||
      !(IdIs(form, "RIFF") || IdIs(form, "RIFX") || IdIs(form, "RF64") || IdIs(form, "BW64"))) {
    return kTagWithoutRiff;
  }
  return start;
}

// Walks the chunks of the file; returns false when it must be refused.
bool WalkChunks(BlockCache& cache, int mode, Chunks* c) {
  const uint64_t base = RiffStart(cache);
  const uint8_t* riff = base == kTagWithoutRiff ? nullptr : cache.Get(base, kFirstChunk);
  const bool rifx = riff != nullptr && IdIs(riff, "RIFX");
  const bool rf64 = riff != nullptr && (IdIs(riff, "RF64") || IdIs(riff, "BW64"));
  if (riff == nullptr || !IdIs(riff + 8, "WAVE") || (!rifx && !rf64 && !IdIs(riff, "RIFF"))) {
    // What the file holds instead is told from the bytes read so far; only
    // a file too small for a RIFF header has not been read yet.
    if (cache.Head().empty() && cache.Size() < kFirstChunk) {
      cache.Get(0, static_cast<size_t>(cache.Size()));
    }
    c->problem = cache.Failed() ? WaveProblem::kReadFailed : WaveProblem::kNotWave;
    c->content = TellContent(cache.Head(), cache.Size());
    return false;
  }
  const Decoder d(rifx);
  // Tolerance: the RIFF size field is not read at all. Writers that stream
  // leave it 0 or 0xFFFFFFFF, and the file size is what bounds the walk.
  const bool formatOnly = mode == TqAudioFileReader::kReadFormat;

  // Tolerance: a file cut short inside a chunk header (fewer than 8 bytes
  // left) ends the walk, and what was found before it counts.
  for (uint64_t pos = base + kFirstChunk; cache.Holds(pos, kChunkHeaderSize);) {
    const uint8_t* h = cache.Get(pos, kChunkHeaderSize);
    // A header inside the file that cannot be read ends the walk, and the
    // failed read refuses the file below.
    if (h == nullptr) break;
    // Tolerance: a chunk id that is not four characters 0x20 to 0x7E ends
    // the walk, and what was found before it counts. Past it lie no chunks
    // but zeros (a preallocated or sparse file) or damage, and stepping
    // through those 8 bytes at a time would make a file cost reads in
    // proportion to its size. A missing pad byte has had its chance by now:
    // after an odd body NextChunk has tried both places an id can start.
    if (!IsPrintableId(h)) break;
    uint8_t id[4];
    std::memcpy(id, h, 4);
    const uint32_t size = d.U32(h + 4);
    const uint64_t body = pos + kChunkHeaderSize;
    uint64_t bodySize = size;

    if (pos == base + kFirstChunk && rf64 && IdIs(id, "ds64") && size >= 24) {
      if (const uint8_t* p = cache.Get(body, 24)) {
        c->haveDs64 = true;
        c->ds64DataSize = d.U64(p + 8);
      }
    } else if (IdIs(id, "fmt ") && !c->haveFmt) {
      if (!ReadFmt(cache, d, body, size, c)) return false;
    } else if (IdIs(id, "fact") && !c->haveFact && size >= 4) {
      // Tolerance: a fact chunk too short for its count, or cut off by the
      // end of the file, is ignored, not refused: the count is only a hint
      // that the data size can replace.
      if (const uint8_t* p = cache.Get(body, 4)) {
        c->haveFact = true;
        c->factCount = d.U32(p);
      }
    } else if (IdIs(id, "data")) {
      bodySize = DataSpan(cache, *c, size, body);
      if (!c->haveData) {
        // Tolerance: a file cut short inside its data holds the data that is
        // there.
        c->dataBytes = std::min(bodySize, cache.Size() - body);
        c->dataCutShort = bodySize > cache.Size() - body;
        c->haveData = true;
      }
    }

    if (WalkDone(*c, formatOnly)) break;
    // The body is skipped by arithmetic alone; only the next header is read.
    if (bodySize > std::numeric_limits<uint64_t>::max() - body) break;
    uint64_t next;
    if (!NextChunk(cache, body + bodySize, (bodySize & 1) != 0, &next) || next <= pos) break;
    pos = next;
  }
  // Not tolerated: a read that gave fewer bytes than the file's size
  // promised means the file changed, or the disk failed, while it was read.
  // Such a file is refused rather than counted from whatever did arrive.
  if (cache.Failed()) {
    c->problem = WaveProblem::kReadFailed;
    return false;
  }
  return true;
}

}  // namespace

bool ReadWaveHeader(ByteSource& source, int mode, WaveHeader* out, WaveProblem* problem,
                    FileContent* content) {
  WaveProblem ignored;
  WaveProblem& why = problem != nullptr ? *problem : ignored;
  why = WaveProblem::kBadMode;
  if ((mode & kKnownModes) == 0 || (mode & ~kKnownModes) != 0) return false;
  BlockCache cache(source);
  Chunks c;
  const bool walked = WalkChunks(cache, mode, &c);
  why = c.problem;
  if (content != nullptr) *content = c.content;
  if (!walked) return false;
  const bool wantFormat = (mode & TqAudioFileReader::kReadFormat) != 0;
  const bool wantCount = (mode & TqAudioFileReader::kReadSampleCount) != 0;
  if ((wantFormat && !c.haveFmt) || (wantCount && !c.haveData)) {
    why = c.haveFmt ? WaveProblem::kNoData : WaveProblem::kNoFormat;
    return false;
  }

  WaveHeader h;
  if (wantFormat) {
    h.format = c.format;
    h.format.channelConfig =
        (c.channelMask & 0xFFFFF) << 12 | std::min<uint32_t>(c.format.numChannels, 0xFFF);
  }
  if (wantCount) {
    h.numSamples = CountSamples(c);
    h.dataCutShort = c.dataCutShort;
  }
  *out = h;
  return true;
}

namespace {

// Hands the parser plain bytes: each range is deciphered right after it is
// read, at the offset it was stored at.
class DecipheringByteSource : public ByteSource {
 public:
  DecipheringByteSource(ByteSource& source, IDataDecipher& decipher)
      : source_(source), decipher_(decipher) {}
  uint64_t Size() const override { return source_.Size(); }
  size_t ReadAt(uint64_t offset, void* data, size_t size) override {
    const size_t n = source_.ReadAt(offset, data, size);
    if (n > 0 && n <= size) decipher_.Decipher(offset, static_cast<uint8_t*>(data), n);
    return n;
  }

 private:
  ByteSource& source_;
  IDataDecipher& decipher_;
};

}  // namespace

TqAudioFileReader* TqAudioFileReader::Create(FileSystem& fs, const wchar_t* path,
                                             IDataDecipher* decipher, FsError* error) {
  error->Clear();
  if (path == nullptr) return nullptr;
  return Create(fs.OpenFile(CStdStr(path), error), decipher);
}

TqAudioFileReader* TqAudioFileReader::Create(std::unique_ptr<ByteSource> source,
                                             IDataDecipher* decipher) {
  if (!source) return nullptr;
  return new TqAudioFileReader(std::move(source), decipher);
}

TqAudioFileReader::TqAudioFileReader(std::unique_ptr<ByteSource> source, IDataDecipher* decipher)
    : source_(std::move(source)), decipher_(decipher) {}

TqAudioFileReader::~TqAudioFileReader() = default;

bool TqAudioFileReader::Open(int mode) {
  WaveHeader h;
  bool ok;
  if (decipher_ != nullptr) {
    DecipheringByteSource plain(*source_, *decipher_);
    ok = ReadWaveHeader(plain, mode, &h, &problem_, &content_);
  } else {
    ok = ReadWaveHeader(*source_, mode, &h, &problem_, &content_);
  }
  // A failed Open leaves nothing behind from an earlier one, so the getters
  // never describe a file that was just refused.
  header_ = ok ? h : WaveHeader{};
  return ok;
}

}  // namespace wavtally
