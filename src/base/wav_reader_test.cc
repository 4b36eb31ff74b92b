#include "base/wav_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "base/file_system.h"
#include "base/text.h"
#include "wave_builder.h"

namespace wavtally {
namespace {

using test::ByteImage;
using test::Pad;
using test::Rf64;
using test::Riff;
using test::Rifx;

constexpr int kBoth = TqAudioFileReader::kReadFormat | TqAudioFileReader::kReadSampleCount;

// Serves an image and records every read; past the image it reads zeros up
// to a claimed size, like a sparse file, so huge files cost no memory. After
// kMaxReads reads it fails every further one, so that a reader that would
// read a huge file through ends at once, and reads shows it.
class RecordingSource : public ByteSource {
 public:
  static constexpr int kMaxReads = 64;
  explicit RecordingSource(const ByteImage& bytes, uint64_t size = 0)
      : bytes_(bytes), size_(size != 0 ? size : bytes.size()) {}
  uint64_t Size() const override { return size_; }
  size_t ReadAt(uint64_t offset, void* data, size_t size) override {
    if (++count_ > kMaxReads) {
      if (count_ == kMaxReads + 1) reads += " and more";
      return 0;
    }
    reads += (reads.empty() ? "" : " ") + std::to_string(offset) + "+" + std::to_string(size);
    if (offset >= size_) return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, size_ - offset));
    std::memset(data, 0, n);
    if (offset < bytes_.size()) {
      std::memcpy(data, bytes_.data() + offset, std::min<uint64_t>(n, bytes_.size() - offset));
    }
    return n;
  }
  std::string reads;

 private:
  const ByteImage& bytes_;
  uint64_t size_;
  int count_ = 0;
};

std::string Describe(bool ok, const WaveHeader& h) {
  if (!ok) return "refused";
  const TqAudioFormat& f = h.format;
  char text[160];
  std::snprintf(text, sizeof text,
                "tag %u ch %u rate %u avg %u align %u bits %u config 0x%x frames %u", f.formatTag,
                f.numChannels, f.sampleRate, f.avgBytesPerSec, f.blockAlign, f.bitsPerSample,
                f.channelConfig, h.numSamples);
  return text;
}

// Returns what the reader makes of bytes, as one line.
std::string Read(const ByteImage& bytes, int mode = kBoth) {
  MemoryByteSource source(bytes);
  WaveHeader h;
  return Describe(ReadWaveHeader(source, mode, &h), h);
}

// Returns the frame count, or -1 when the file is refused.
int64_t Frames(const ByteImage& bytes, uint64_t claimedSize = 0) {
  RecordingSource source(bytes, claimedSize);
  WaveHeader h;
  return ReadWaveHeader(source, kBoth, &h) ? int64_t{h.numSamples} : -1;
}

// A 16-bit stereo 44.1 kHz format, 4 bytes a frame.
test::WaveBuilder Cd(test::WaveBuilder b) {
  b.Fmt(1, 2, 44100, 176400, 4, 16);
  return b;
}

// Returns what Read says of a file in the Cd format with frames frames.
std::string CdLine(uint32_t frames) {
  return "tag 1 ch 2 rate 44100 avg 176400 align 4 bits 16 config 0x2 frames " +
         std::to_string(frames);
}

TEST(WaveReaderTest, SaysWhyAFileIsRefusedAndWhenItsDataIsCutShort) {
  struct Case {
    const char* what;
    ByteImage bytes;
    WaveProblem problem;
    bool cut_short;
  };
  ByteImage cut = Cd(Riff()).Data(400).Bytes();
  test::TruncateTo(cut, cut.size() - 100);
  ByteImage cut_header = Cd(Riff()).Data(8).Bytes();
  test::TruncateTo(cut_header, 20);
  const Case cases[] = {
      {"whole", Cd(Riff()).Data(40).Bytes(), WaveProblem::kNone, false},
      {"data cut short", cut, WaveProblem::kNone, true},
      {"data streamed, size unknown",
       Cd(Riff()).Header("data", 0xFFFFFFFF).Raw(ByteImage(40)).Bytes(), WaveProblem::kNone, false},
      {"no RIFF", Cd(test::WaveBuilder("FORM")).Data(8).Bytes(), WaveProblem::kNotWave, false},
      {"no WAVE", Cd(test::WaveBuilder("RIFF", "AVI ")).Data(8).Bytes(), WaveProblem::kNotWave,
       false},
      {"empty", {}, WaveProblem::kNotWave, false},
      {"no fmt", Riff().Data(8).Bytes(), WaveProblem::kNoFormat, false},
      {"fmt of 14 bytes", Riff().Chunk("fmt ", 14).Data(8).Bytes(), WaveProblem::kShortFormat,
       false},
      {"fmt cut off", cut_header, WaveProblem::kShortFormat, false},
      {"no data", Cd(Riff()).Bytes(), WaveProblem::kNoData, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TqAudioFileReader* created =
        TqAudioFileReader::Create(std::make_unique<MemoryByteSource>(c.bytes), nullptr);
    const std::unique_ptr<TqAudioFileReader> reader(created);
    EXPECT_EQ(reader->Open(kBoth), c.problem == WaveProblem::kNone);
    EXPECT_EQ(reader->GetProblem(), c.problem);
    EXPECT_EQ(reader->IsDataCutShort(), c.cut_short);
  }
}

// Returns an ID3v2 tag of version major whose header says size (four
// syncsafe bytes as given) and flags, followed by body bytes of zeros.
ByteImage Id3(uint8_t major, std::array<uint8_t, 4> size, size_t body, uint8_t flags = 0) {
  ByteImage tag = {'I', 'D', '3', major, 0, flags, size[0], size[1], size[2], size[3]};
  tag.resize(tag.size() + body);
  return tag;
}

ByteImage Joined(ByteImage a, const ByteImage& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(WaveReaderTest, AnId3TagInFrontOfTheFormIsSkipped) {
  const ByteImage wave = Cd(Riff()).Data(40).Bytes();
  // 1,093 = 0x08 << 7 | 0x45, as a tagger wrote it in front of a real file.
  EXPECT_EQ(Read(Joined(Id3(4, {0, 0, 0x08, 0x45}, 1093), wave)), CdLine(10));
  EXPECT_EQ(Read(Joined(Id3(3, {0, 0, 0, 20}, 20), wave)), CdLine(10));
  EXPECT_EQ(Read(Joined(Id3(2, {0, 0, 0, 0}, 0), Cd(Rifx()).Data(40).Bytes())), CdLine(10));
  // Version 4's footer follows the tag when its flag says so.
  EXPECT_EQ(Read(Joined(Id3(4, {0, 0, 0, 20}, 30, 0x10), wave)), CdLine(10));
  EXPECT_EQ(Read(Joined(Id3(4, {0, 0, 0, 20}, 30), wave)), "refused");
  // A size that is not syncsafe, a version that is none, a tag longer than
  // the file, or no form right after the tag: no WAVE file.
  EXPECT_EQ(Read(Joined(Id3(3, {0, 0, 0x80, 20}, 20), wave)), "refused");
  EXPECT_EQ(Read(Joined(Id3(5, {0, 0, 0, 20}, 20), wave)), "refused");
  EXPECT_EQ(Read(Joined(Id3(3, {0, 0, 0x7F, 0x7F}, 20), wave)), "refused");
  EXPECT_EQ(Read(Joined(Id3(3, {0, 0, 0, 16}, 20), wave)), "refused");
}

TEST(WaveReaderTest, FormIdsAndByteOrder) {
  EXPECT_EQ(Read(Cd(Riff()).Data(40).Bytes()), CdLine(10));
  EXPECT_EQ(Read(Cd(Rf64()).Data(40).Bytes()), CdLine(10));
  EXPECT_EQ(Read(Cd(test::Bw64()).Data(40).Bytes()), CdLine(10));
  // RIFX stores every size and field big-endian, the fact count too.
  EXPECT_EQ(Read(Rifx().Extensible(2, 8000, 4055, 256, 4, 0x3, 0x11).Fact(1017).Data(512).Bytes()),
            "tag 65534 ch 2 rate 8000 avg 4055 align 256 bits 4 config 0x3002 frames 1017");
  // The RIFF size is not trusted, whatever it says.
  EXPECT_EQ(Read(Cd(Riff()).Data(40).RiffSize(0).Bytes()), CdLine(10));
  EXPECT_EQ(Read(Cd(Riff()).Data(40).RiffSize(0xFFFFFFFF).Bytes()), CdLine(10));
  EXPECT_EQ(Read(Cd(test::WaveBuilder("RIFF", "AVI ")).Data(40).Bytes()), "refused");
  EXPECT_EQ(Read(Cd(test::WaveBuilder("riff")).Data(40).Bytes()), "refused");
  ByteImage bytes = Cd(Riff()).Data(40).Bytes();
  test::TruncateTo(bytes, 11);
  EXPECT_EQ(Read(bytes), "refused");
}

TEST(WaveReaderTest, OddChunkPadByte) {
  EXPECT_EQ(Frames(Cd(Riff().Chunk("junk", 3)).Data(8).Bytes()), 2);
  // A writer that left out the pad byte: "fmt " starts one byte early.
  EXPECT_EQ(Frames(Cd(Riff().Chunk("junk", 3, Pad::kNo)).Data(8).Bytes()), 2);
  EXPECT_EQ(Frames(Cd(Riff()).Chunk("junk", 5, Pad::kNo).Data(8).Bytes()), 2);
  // The header after the missing pad byte ends the file exactly: it is read
  // where the body ends, not one byte later.
  EXPECT_EQ(Frames(Cd(Riff()).Chunk("junk", 5, Pad::kNo).Data(0).Bytes()), 0);
  EXPECT_EQ(Frames(Cd(Riff()).Data(8).Chunk("junk", 5, Pad::kNo).Fact(7).Bytes()), 2);
  // An id at the padded position wins, even when the pad byte is printable.
  EXPECT_EQ(Frames(Cd(Riff().Header("junk", 3).Raw({'a', 'b', 'Z', 'Q'})).Data(8).Bytes()), 2);
  // An odd "data" size skips its pad byte as well.
  EXPECT_EQ(Frames(Riff().Data(9).Fmt(1, 1, 8000, 8000, 1, 8).Bytes()), 9);
  EXPECT_EQ(Frames(Riff().Data(9, Pad::kNo).Fmt(1, 1, 8000, 8000, 1, 8).Bytes()), 9);
  // The pad byte is found after an odd "data" chunk too, where the walk goes
  // on for a fact chunk.
  EXPECT_EQ(Frames(Riff().FmtEx(0x11, 1, 8000, 4055, 256, 4).Data(511, Pad::kNo).Fact(99).Bytes()),
            99);
  // An odd chunk that ends the file needs no pad byte.
  EXPECT_EQ(
      Read(Riff().Data(8).Chunk("junk", 3, Pad::kNo).Bytes(), TqAudioFileReader::kReadSampleCount),
      "tag 0 ch 0 rate 0 avg 0 align 0 bits 0 config 0x0 frames 0");
}

TEST(WaveReaderTest, WalkEndsAtAnIdThatIsNotText) {
  // 0x20 and 0x7E are text; a control character, 0x7F or a zero byte is not.
  EXPECT_EQ(Frames(Cd(Riff().Chunk(" ~~ ", 2)).Data(8).Bytes()), 2);
  EXPECT_EQ(Frames(Cd(Riff().Chunk("ab\x1f"
                                   "c",
                                   2))
                       .Data(8)
                       .Bytes()),
            -1);
  EXPECT_EQ(Frames(Cd(Riff().Chunk("abc\x7f", 2)).Data(8).Bytes()), -1);
  EXPECT_EQ(Frames(Cd(Riff().Chunk(std::string_view("\0\0\0\0", 4), 0)).Data(8).Bytes()), -1);
  // After an odd chunk the id is looked for in both places first; where
  // neither holds one, the walk ends.
  EXPECT_EQ(Frames(Cd(Riff().Chunk("junk", 3).Chunk("\x01\x02\x03\x04", 0)).Data(8).Bytes()), -1);
  EXPECT_EQ(Frames(Cd(Riff()
                          .Header("junk", 3)
                          .Raw({'a', 'b', 'c', 0x7F})
                          .Chunk("\x7f\x80"
                                 "AB",
                                 0))
                       .Data(8)
                       .Bytes()),
            -1);
  // What was found before the end counts: a fact chunk beyond it is not seen.
  auto adpcm = [] { return Riff().FmtEx(0x11, 1, 8000, 4055, 256, 4).Data(512); };
  EXPECT_EQ(Frames(adpcm().Chunk("JUNK", 2).Fact(1017).Bytes()), 1017);
  EXPECT_EQ(Frames(adpcm().Chunk("JU\x01K", 2).Fact(1017).Bytes()), 2);
}

// The sizes of sparse files; RecordingSource reads them as zeros.
constexpr uint64_t kGiB = uint64_t{1} << 30;

TEST(WaveReaderTest, CostDoesNotGrowWithTheFileSize) {
  struct Case {
    const char* what;
    ByteImage head;  // the bytes before the zeros
    uint64_t size;
    std::string result;
    std::string reads;
  };
  const ByteImage riff = Riff().Bytes();
  const ByteImage fmtOnly = Cd(Riff()).Bytes();
  const ByteImage unfinished = Cd(Riff()).Header("data", 0).Bytes();
  const ByteImage adpcm = Riff().FmtEx(0x11, 1, 8000, 4055, 256, 4).Data(512).Bytes();
  // 4 GiB of data: the walk looks for a fact once, where the data ends.
  const ByteImage bigAdpcm =
      Riff().FmtEx(0x11, 1, 8000, 4055, 256, 4).Header("data", 0xFFFFFFFE).Bytes();
  const Case cases[] = {
      {"no chunk", riff, 5 * kGiB, "refused", "0+4096"},
      {"no chunk", riff, 100 * kGiB, "refused", "0+4096"},
      {"preallocated, no data", fmtOnly, 2 * kGiB, "refused", "0+4096"},
      {"preallocated, no data", fmtOnly, 100 * kGiB, "refused", "0+4096"},
      {"data size 0", unfinished, 5 * kGiB, CdLine(1342177269), "0+4096"},
      {"data size 0", unfinished, 100 * kGiB, CdLine(4294967295), "0+4096"},
      {"no fact", adpcm, 5 * kGiB,
       "tag 17 ch 1 rate 8000 avg 4055 align 256 bits 4 config 0x1 frames 2", "0+4096"},
      {"no fact", bigAdpcm, 100 * kGiB,
       "tag 17 ch 1 rate 8000 avg 4055 align 256 bits 4 config 0x1 frames 16777215",
       "0+4096 4294967340+4096"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(c.size / kGiB) + " GiB");
    RecordingSource source(c.head, c.size);
    WaveHeader h;
    const bool ok = ReadWaveHeader(source, kBoth, &h);
    EXPECT_EQ(Describe(ok, h), c.result);
    EXPECT_EQ(source.reads, c.reads);
  }
}

TEST(WaveReaderTest, ARefusedFileSaysWhatItHoldsFromTheBytesAlreadyRead) {
  const ByteImage aiff = {'F', 'O', 'R', 'M', 0, 0, 0, 4, 'A', 'I', 'F', 'F'};
  // Cover art in a large tag: the reader looks for a RIFF header behind it.
  ByteImage frame(16);
  frame[0] = 0xFF, frame[1] = 0xFB, frame[2] = 0x90, frame[3] = 0x64;
  const ByteImage tagged = Joined(Id3(3, {0, 0, 0x4E, 0x10}, 10000), frame);
  const ByteImage text = {'h', 'i', '\n'};
  const struct {
    const char* what;
    const ByteImage& bytes;
    uint64_t size;
    FileContent content;
    std::string reads;
  } cases[] = {
      {"AIFF", aiff, 5 * kGiB, FileContent::kAiff, "0+4096"},
      {"MP3 behind a tag", tagged, 0, FileContent::kMp3, "0+4096 10010+16"},
      {"a few bytes of text", text, 0, FileContent::kText, "0+3"},
      {"empty", ByteImage(), 0, FileContent::kEmpty, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingSource source(c.bytes, c.size);
    WaveHeader h;
    WaveProblem problem;
    FileContent content;
    EXPECT_FALSE(ReadWaveHeader(source, kBoth, &h, &problem, &content));
    EXPECT_EQ(problem, WaveProblem::kNotWave);
    EXPECT_EQ(content, c.content);
    EXPECT_EQ(source.reads, c.reads);
  }
}

TEST(WaveReaderTest, WalkStopsAndTakesFirstChunks) {
  // Only the first "fmt " and "data" count.
  EXPECT_EQ(Read(Cd(Riff()).Fmt(3, 1, 8000, 32000, 4, 32).Data(40).Bytes()), CdLine(10));
  EXPECT_EQ(Frames(Riff().Data(8).Data(40).Fmt(1, 2, 44100, 176400, 4, 16).Bytes()), 2);
  // A chunk header cut short, or a size past the end, ends the walk.
  ByteImage cut = Cd(Riff()).Data(8).Bytes();
  test::TruncateTo(cut, 36 + 7);
  EXPECT_EQ(Frames(cut), -1);
  EXPECT_EQ(Frames(Cd(Riff().Header("LIST", 0xFFFFFFF0)).Data(8).Bytes()), -1);
  EXPECT_EQ(Frames(Rf64()
                       .Ds64(0, ~uint64_t{0} - 15, 0)
                       .Header("data", 0xFFFFFFFF)
                       .Zeros(4)
                       .Fmt(1, 1, 8000, 8000, 1, 8)
                       .Bytes()),
            -1);
  // An odd size that ends at the last possible offset has no pad byte after
  // it; the walk must not wrap around to the start of the file.
  EXPECT_EQ(Frames(Rf64()
                       .Ds64(0, ~uint64_t{0} - 56, 0)
                       .Header("data", 0xFFFFFFFF)
                       .Zeros(4)
                       .Fmt(1, 1, 8000, 8000, 1, 8)
                       .Bytes()),
            -1);
}

// Serves an image whose reads fail past readable bytes, or that claims to
// have read one byte more than asked; its size is always the image's.
class FaultySource : public ByteSource {
 public:
  FaultySource(const ByteImage& bytes, size_t readable, bool overclaim = false)
      : memory_(bytes), readable_(readable), overclaim_(overclaim) {}
  uint64_t Size() const override { return memory_.Size(); }
  size_t ReadAt(uint64_t offset, void* data, size_t size) override {
    if (offset >= readable_) return 0;
    const size_t n = memory_.ReadAt(offset, data, std::min<uint64_t>(size, readable_ - offset));
    return overclaim_ ? n + 1 : n;
  }

 private:
  MemoryByteSource memory_;
  size_t readable_;
  bool overclaim_;
};

TEST(WaveReaderTest, FailedReadsRefuseTheFile) {
  // The file shrank, or the disk failed, after its size was taken.
  const ByteImage bytes = Cd(Riff().Chunk("LIST", 5000)).Data(40).Bytes();
  auto read = [](FaultySource source) {
    WaveHeader h;
    return Describe(ReadWaveHeader(source, kBoth, &h), h);
  };
  EXPECT_EQ(read(FaultySource(bytes, bytes.size())), CdLine(10));
  EXPECT_EQ(read(FaultySource(bytes, 0)), "refused");
  // The first block reads, the one holding "fmt " does not.
  EXPECT_EQ(read(FaultySource(bytes, 4096)), "refused");
  EXPECT_EQ(read(FaultySource(bytes, bytes.size(), true)), "refused");
  // What follows a data size of 0, and a fact chunk after the data, are read
  // or the file is refused: it is never counted as if they were not there.
  const ByteImage unfinished = Cd(Riff().Chunk("LIST", 4044)).Header("data", 0).Zeros(40).Bytes();
  EXPECT_EQ(read(FaultySource(unfinished, unfinished.size())), CdLine(10));
  EXPECT_EQ(read(FaultySource(unfinished, 4096)), "refused");
  const ByteImage late = Riff().FmtEx(0x11, 1, 8000, 4055, 256, 4).Data(5120).Fact(7).Bytes();
  EXPECT_EQ(Frames(late), 7);
  EXPECT_EQ(read(FaultySource(late, 5160)), "refused");
}

TEST(WaveReaderTest, MemorySourceReadsWhatAFileWould) {
  const ByteImage bytes = {1, 2, 3, 4, 5};
  MemoryByteSource source(bytes);
  EXPECT_EQ(source.Size(), 5u);
  uint8_t buffer[8] = {};
  EXPECT_EQ(source.ReadAt(2, buffer, sizeof buffer), 3u);
  EXPECT_EQ(buffer[0], 3);
  EXPECT_EQ(buffer[2], 5);
  EXPECT_EQ(buffer[3], 0);  // nothing written past what was read
  EXPECT_EQ(source.ReadAt(5, buffer, 1), 0u);
  EXPECT_EQ(source.ReadAt(~uint64_t{0}, buffer, 1), 0u);
}

TEST(WaveReaderTest, ReadsOnlyHeaderBlocks) {
  // A small file is one read at 0.
  ByteImage small = Cd(Riff()).Data(40).Bytes();
  RecordingSource one(small);
  WaveHeader h;
  ASSERT_TRUE(ReadWaveHeader(one, kBoth, &h));
  EXPECT_EQ(one.reads, "0+84");
  // A 300 KB chunk before "fmt " is skipped, not read: one more block where
  // "fmt " starts.
  ByteImage list = Cd(Riff().Chunk("LIST", 300000)).Data(40).Bytes();
  RecordingSource two(list);
  ASSERT_TRUE(ReadWaveHeader(two, kBoth, &h));
  EXPECT_EQ(two.reads, "0+4096 300020+72");
  // After an odd chunk the block starts where the body ends, so that both
  // candidate ids come from one read.
  ByteImage odd = Cd(Riff().Chunk("LIST", 300001, Pad::kNo)).Data(40).Bytes();
  RecordingSource three(odd);
  ASSERT_TRUE(ReadWaveHeader(three, kBoth, &h));
  EXPECT_EQ(three.reads, "0+4096 300021+72");
  // Once "fmt " and "data" are found the walk ends: nothing past them is read.
  ByteImage after = Cd(Riff()).Data(10000).Chunk("LIST", 8).Bytes();
  RecordingSource four(after);
  ASSERT_TRUE(ReadWaveHeader(four, kBoth, &h));
  EXPECT_EQ(four.reads, "0+4096");
  // The format alone stops at "fmt "; the data beyond it is never reached.
  ByteImage far = Cd(Riff()).Chunk("LIST", 300000).Data(40).Bytes();
  RecordingSource five(far);
  ASSERT_TRUE(ReadWaveHeader(five, TqAudioFileReader::kReadFormat, &h));
  EXPECT_EQ(five.reads, "0+4096");
}

TEST(WaveReaderTest, Ds64StandsInForDataSize) {
  // 8-bit mono, so frames are data bytes; the "data" size is 0xFFFFFFFF.
  auto frames = [](test::WaveBuilder b, uint64_t stored) {
    return Frames(b.Fmt(1, 1, 8000, 8000, 1, 8).Header("data", 0xFFFFFFFF).Zeros(stored).Bytes());
  };
  EXPECT_EQ(frames(Rf64().Ds64(0, 100, 0), 400), 100);
  EXPECT_EQ(frames(Rf64().Ds64(0, 1000, 0), 400), 400);
  EXPECT_EQ(frames(test::Bw64().Ds64(0, 100, 0), 400), 100);
  // A ds64 that is not first, too short, or in a plain RIFF is no ds64.
  EXPECT_EQ(frames(Rf64().Chunk("JUNK", 4).Ds64(0, 100, 0), 400), 400);
  EXPECT_EQ(frames(Rf64().Chunk("ds64", 20), 400), 400);
  EXPECT_EQ(frames(Riff().Ds64(0, 100, 0), 400), 400);
  // The ds64 size also says where the chunk after "data" starts.
  EXPECT_EQ(Frames(Rf64()
                       .Ds64(0, 10, 0)
                       .Header("data", 0xFFFFFFFF)
                       .Zeros(10)
                       .Fmt(1, 1, 8000, 8000, 1, 8)
                       .Bytes()),
            10);
}

TEST(WaveReaderTest, FmtChunk) {
  EXPECT_EQ(Read(Riff().FmtEx(0x55, 2, 44100, 16000, 1, 0).Data(40).Bytes()),
            "tag 85 ch 2 rate 44100 avg 16000 align 1 bits 0 config 0x2 frames 40");
  // Too short a chunk, or one cut off by the end of the file, is refused.
  EXPECT_EQ(Read(Riff().Chunk("fmt ", 14).Data(40).Bytes()), "refused");
  ByteImage cut = Cd(Riff()).Bytes();
  test::TruncateTo(cut, 35);
  EXPECT_EQ(Read(cut, TqAudioFileReader::kReadFormat), "refused");
  // Extensible: mask and sub-format from the extension; the tag stays 0xFFFE.
  auto ext = [](uint16_t cbSize) {
    return Riff().Extensible(6, 48000, 864000, 18, 24, 0x3F, 1, cbSize).Fact(7).Data(36);
  };
  EXPECT_EQ(Read(ext(22).Bytes()),
            "tag 65534 ch 6 rate 48000 avg 864000 align 18 bits 24 config 0x3f006 frames 2");
  // An extension too small to hold them declares no mask, and the format is
  // then a format of its own (counted by its fact chunk).
  EXPECT_EQ(Read(ext(0).Bytes()),
            "tag 65534 ch 6 rate 48000 avg 864000 align 18 bits 24 config 0x6 frames 7");
  ByteImage shortChunk = ext(22).Bytes();
  test::SetU32At(shortChunk, 16, 36);
  EXPECT_EQ(Read(shortChunk, TqAudioFileReader::kReadFormat),
            "tag 65534 ch 6 rate 48000 avg 864000 align 18 bits 24 config 0x6 frames 0");
  ByteImage shortFile = ext(22).Bytes();
  test::TruncateTo(shortFile, 50);
  EXPECT_EQ(Read(shortFile, TqAudioFileReader::kReadFormat),
            "tag 65534 ch 6 rate 48000 avg 864000 align 18 bits 24 config 0x6 frames 0");
}

TEST(WaveReaderTest, FactChunk) {
  auto adpcm = [] { return Riff().FmtEx(0x11, 1, 8000, 4055, 256, 4); };
  EXPECT_EQ(Frames(adpcm().Fact(1017).Data(512).Bytes()), 1017);
  EXPECT_EQ(Frames(adpcm().Fact(1017).Fact(5).Data(512).Bytes()), 1017);
  EXPECT_EQ(Frames(adpcm().Chunk("fact", 2).Data(512).Bytes()), 2);
  EXPECT_EQ(Frames(adpcm().Data(512).Bytes()), 2);
  // PCM frames follow from the bytes; a fact chunk does not override them.
  EXPECT_EQ(Frames(Cd(Riff()).Fact(999).Data(40).Bytes()), 10);
  EXPECT_EQ(Frames(Riff().Extensible(2, 8000, 32000, 4, 16, 3, 1).Fact(999).Data(40).Bytes()), 10);
  // Float, A-law and mu-law store whole bytes per sample too.
  EXPECT_EQ(Frames(Riff().FmtEx(3, 2, 8000, 64000, 8, 32).Fact(999).Data(48).Bytes()), 6);
  EXPECT_EQ(Frames(Riff().FmtEx(6, 1, 8000, 8000, 1, 8).Fact(999).Data(48).Bytes()), 48);
  EXPECT_EQ(Frames(Riff().FmtEx(7, 2, 8000, 16000, 2, 8).Fact(999).Data(48).Bytes()), 24);
  EXPECT_EQ(Frames(Riff().Extensible(2, 8000, 64000, 8, 32, 3, 3).Fact(999).Data(48).Bytes()), 6);
}

TEST(WaveReaderTest, FactAfterData) {
  // IMA ADPCM whose 147456 data bytes are 144 blocks of 1024 but 147455
  // frames by its fact chunk, which the writer put last.
  auto ima = [](test::WaveBuilder b) {
    b.FmtEx(0x11, 1, 22050, 11100, 1024, 4).Data(147456);
    return b;
  };
  const std::string imaLine =
      "tag 17 ch 1 rate 22050 avg 11100 align 1024 bits 4 config 0x1 frames ";
  EXPECT_EQ(Read(ima(Riff()).Fact(147455).Bytes()), imaLine + "147455");
  EXPECT_EQ(Read(ima(Riff()).Chunk("LIST", 30).Fact(147455).Bytes()), imaLine + "147455");
  EXPECT_EQ(Read(ima(Rifx()).Chunk("LIST", 30).Fact(147455).Bytes()), imaLine + "147455");
  EXPECT_EQ(Read(ima(Riff()).Chunk("LIST", 30).Bytes()), imaLine + "144");
  // It costs one read where the data ends, and none of the data.
  const ByteImage late = ima(Riff()).Chunk("LIST", 30).Fact(147455).Bytes();
  RecordingSource source(late);
  WaveHeader h;
  ASSERT_TRUE(ReadWaveHeader(source, kBoth, &h));
  EXPECT_EQ(source.reads, "0+4096 147502+50");
  // Extensible with a compressed sub-format, or with none, is counted by its
  // fact chunk wherever it is; the first fact chunk wins.
  EXPECT_EQ(
      Frames(Riff().Extensible(2, 8000, 4055, 512, 4, 0x3, 0x11).Data(512).Fact(1017).Bytes()),
      1017);
  EXPECT_EQ(
      Frames(Riff().Extensible(2, 8000, 4055, 512, 4, 0x3, 1, 0).Data(512).Fact(1017).Bytes()),
      1017);
  EXPECT_EQ(Frames(Riff().FmtEx(0x11, 1, 8000, 4055, 256, 4).Fact(5).Data(512).Fact(7).Bytes()), 5);
  EXPECT_EQ(Frames(Riff().FmtEx(0x11, 1, 8000, 4055, 256, 4).Data(512).Fact(7).Fact(5).Bytes()), 7);
  // A late fact chunk cut off by the end of the file is ignored.
  EXPECT_EQ(Frames(Riff()
                       .FmtEx(0x11, 1, 8000, 4055, 256, 4)
                       .Data(512)
                       .Header("fact", 4)
                       .Raw({7, 0})
                       .Bytes()),
            2);
  // A format counted from its bytes ignores a late fact and reads no further.
  const ByteImage pcm = Cd(Riff()).Data(10000).Fact(999).Bytes();
  RecordingSource pcmSource(pcm);
  ASSERT_TRUE(ReadWaveHeader(pcmSource, kBoth, &h));
  EXPECT_EQ(h.numSamples, 2500u);
  EXPECT_EQ(pcmSource.reads, "0+4096");
}

TEST(WaveReaderTest, DataSizeZero) {
  // A size never filled in, with 980 bytes of samples after the header.
  EXPECT_EQ(Read(Cd(Riff()).Header("data", 0).Zeros(980).Bytes()), CdLine(245));
  EXPECT_EQ(Read(Cd(Riff()).Header("data", 0).Raw({'a', 'b', 0x01, 'c'}).Zeros(976).Bytes()),
            CdLine(245));
  // A chunk id right after the header: the data chunk really is empty.
  EXPECT_EQ(Read(Cd(Riff()).Header("data", 0).Chunk("LIST", 972).Bytes()), CdLine(0));
  EXPECT_EQ(Read(Cd(Riff()).Header("data", 0).Raw({'L', 'I', 'S', 'T'}).Bytes()), CdLine(0));
  // Fewer than 4 bytes after it: they are the data.
  auto mono8 = [] { return Riff().Fmt(1, 1, 8000, 8000, 1, 8).Header("data", 0); };
  EXPECT_EQ(Frames(mono8().Raw({'L', 'I', 'S'}).Bytes()), 3);
  EXPECT_EQ(Frames(mono8().Bytes()), 0);
  // Data that runs to the end of the file leaves no room for chunks after
  // it; an empty data chunk does.
  EXPECT_EQ(Frames(Riff().Header("data", 0).Zeros(980).Fmt(1, 2, 44100, 176400, 4, 16).Bytes()),
            -1);
  EXPECT_EQ(Frames(Riff().Header("data", 0).Fmt(1, 2, 44100, 176400, 4, 16).Bytes()), 0);
  EXPECT_EQ(Frames(Riff().FmtEx(0x11, 1, 8000, 4055, 256, 4).Header("data", 0).Fact(9).Bytes()), 9);
  EXPECT_EQ(Frames(Riff().FmtEx(0x11, 1, 8000, 4055, 256, 4).Header("data", 0).Zeros(1024).Bytes()),
            4);
}

TEST(WaveReaderTest, DataBytesAreDeclaredCappedByFile) {
  EXPECT_EQ(Frames(Cd(Riff()).Data(40).Bytes()), 10);
  EXPECT_EQ(Frames(Cd(Riff()).Header("data", 400).Zeros(40).Bytes()), 10);
  EXPECT_EQ(Frames(Cd(Riff()).Header("data", 8).Zeros(40).Bytes()), 2);
  EXPECT_EQ(Frames(Cd(Riff()).Header("data", 0xFFFFFFFF).Zeros(40).Bytes()), 10);
}

TEST(WaveReaderTest, MissingChunksAndOddValues) {
  const ByteImage noFmt = Riff().Data(40).Bytes();
  EXPECT_EQ(Read(noFmt), "refused");
  EXPECT_EQ(Read(noFmt, TqAudioFileReader::kReadFormat), "refused");
  EXPECT_EQ(Read(noFmt, TqAudioFileReader::kReadSampleCount),
            "tag 0 ch 0 rate 0 avg 0 align 0 bits 0 config 0x0 frames 0");
  const ByteImage noData = Cd(Riff()).Bytes();
  EXPECT_EQ(Read(noData), "refused");
  EXPECT_EQ(Read(noData, TqAudioFileReader::kReadSampleCount), "refused");
  EXPECT_EQ(Read(noData, TqAudioFileReader::kReadFormat), CdLine(0));
  // Values that make no sense are reported, not refused.
  EXPECT_EQ(Read(Riff().Fmt(1, 0, 0xFFFFFFFF, 0, 0, 16).Data(40).Bytes()),
            "tag 1 ch 0 rate 4294967295 avg 0 align 0 bits 16 config 0x0 frames 0");
}

TEST(WaveReaderTest, FrameCount) {
  auto frames = [](uint16_t tag, uint16_t channels, uint16_t align, uint16_t bits) {
    return Frames(Riff().Fmt(tag, channels, 8000, 0, align, bits).Data(48).Bytes());
  };
  EXPECT_EQ(frames(1, 2, 4, 16), 12);
  EXPECT_EQ(frames(1, 2, 8, 24), 8);  // a wrong block align is ignored
  EXPECT_EQ(frames(1, 1, 3, 20), 16);
  EXPECT_EQ(frames(1, 1, 2, 12), 24);
  // Float, A-law and mu-law ignore a wrong block align as well.
  EXPECT_EQ(frames(3, 2, 6, 32), 6);
  EXPECT_EQ(frames(6, 1, 2, 8), 48);
  EXPECT_EQ(frames(7, 2, 3, 8), 24);
  EXPECT_EQ(frames(1, 0, 4, 16), 12);  // no channels: block align decides
  EXPECT_EQ(frames(1, 0, 0, 16), 0);
  EXPECT_EQ(frames(2, 1, 0, 4), 0);
  EXPECT_EQ(frames(0x55, 2, 3, 0), 16);
  // 6 GB of 8-bit mono is more frames than 32 bits hold.
  const uint64_t big = 6000000000;
  const ByteImage header =
      Rf64().Ds64(0, big, 0).Fmt(1, 1, 8000, 8000, 1, 8).Header("data", 0xFFFFFFFF).Bytes();
  EXPECT_EQ(Frames(header, header.size() + big), 4294967295);
}

TEST(WaveReaderTest, ChannelConfig) {
  auto config = [](const ByteImage& bytes) {
    MemoryByteSource source(bytes);
    WaveHeader h;
    return ReadWaveHeader(source, TqAudioFileReader::kReadFormat, &h) ? h.format.channelConfig : 1;
  };
  EXPECT_EQ(config(Riff().Extensible(6, 48000, 0, 12, 16, 0x3F, 1).Bytes()), 0x3F006u);
  EXPECT_EQ(config(Riff().Extensible(2, 48000, 0, 4, 16, 0xFFFFFFFF, 1).Bytes()), 0xFFFFF002u);
  EXPECT_EQ(config(Riff().Fmt(1, 5000, 48000, 0, 0, 16).Bytes()), 0xFFFu);
  EXPECT_EQ(config(Riff().Fmt(1, 0, 48000, 0, 0, 16).Bytes()), 0u);
}

TEST(WaveReaderTest, Modes) {
  const ByteImage bytes = Cd(Riff()).Data(40).Bytes();
  for (int mode : {0, 4, 5, 7, -1}) {
    MemoryByteSource source(bytes);
    WaveHeader h;
    h.numSamples = 12345;
    EXPECT_FALSE(ReadWaveHeader(source, mode, &h)) << mode;
    EXPECT_EQ(h.numSamples, 12345u);  // untouched on failure
  }
  EXPECT_EQ(Read(bytes, TqAudioFileReader::kReadFormat), CdLine(0));
  EXPECT_EQ(Read(bytes, TqAudioFileReader::kReadSampleCount),
            "tag 0 ch 0 rate 0 avg 0 align 0 bits 0 config 0x0 frames 10");
}

// Files on disk, through the platform layer.
class WaveFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "wav_reader_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string PathOf(const std::string& name) const { return dir_ + "/" + name; }

  std::unique_ptr<TqAudioFileReader> Create(const std::string& name,
                                            IDataDecipher* decipher = nullptr) {
    return std::unique_ptr<TqAudioFileReader>(TqAudioFileReader::Create(
        DiskFileSystem(), DecodeUtf8(PathOf(name)).c_str(), decipher, &error));
  }

  std::string OpenAndDescribe(const std::string& name, int mode = kBoth) {
    std::unique_ptr<TqAudioFileReader> reader = Create(name);
    if (!reader) return "no reader";
    const bool ok = reader->Open(mode);
    return Describe(ok, {reader->GetFormat(), reader->GetNumSamples()});
  }

  std::string dir_;
  FsError error;
};

TEST_F(WaveFileTest, OpensOnlyRegularFiles) {
  ASSERT_TRUE(test::WriteFile(PathOf("a.wav"), Cd(Riff()).Data(40).Bytes()));
  EXPECT_EQ(OpenAndDescribe("a.wav"), CdLine(10));
  ASSERT_EQ(symlink("a.wav", PathOf("link.wav").c_str()), 0);
  EXPECT_EQ(OpenAndDescribe("link.wav"), CdLine(10));
  ASSERT_EQ(mkdir(PathOf("x.wav").c_str(), 0755), 0);
  EXPECT_EQ(OpenAndDescribe("x.wav"), "no reader");
  ASSERT_EQ(symlink("x.wav", PathOf("dirlink.wav").c_str()), 0);
  EXPECT_EQ(OpenAndDescribe("dirlink.wav"), "no reader");
  // No writer ever opens this FIFO: a blocking open would hang here.
  ASSERT_EQ(mkfifo(PathOf("fifo.wav").c_str(), 0644), 0);
  EXPECT_EQ(OpenAndDescribe("fifo.wav"), "no reader");
  EXPECT_EQ(OpenAndDescribe("missing.wav"), "no reader");
  EXPECT_EQ(std::unique_ptr<TqAudioFileReader>(
                TqAudioFileReader::Create(DiskFileSystem(), nullptr, nullptr, &error)),
            nullptr);
  EXPECT_EQ(std::unique_ptr<TqAudioFileReader>(
                TqAudioFileReader::Create(DiskFileSystem(), L"/dev/null", nullptr, &error)),
            nullptr);
  // A name that is not valid UTF-8 still reaches the file.
  ASSERT_TRUE(test::WriteFile(PathOf("\xff.wav"), Cd(Riff()).Data(40).Bytes()));
  EXPECT_EQ(OpenAndDescribe("\xff.wav"), CdLine(10));
}

TEST_F(WaveFileTest, FileAndMemoryAgree) {
  const ByteImage images[] = {
      Cd(Riff()).Data(40).Bytes(),
      Cd(Riff().Chunk("LIST", 5000, Pad::kNo)).Data(41).Bytes(),
      Rf64()
          .Ds64(0, 100, 0)
          .Fmt(1, 1, 8000, 8000, 1, 8)
          .Header("data", 0xFFFFFFFF)
          .Zeros(400)
          .Bytes(),
      Riff().Chunk("fmt ", 14).Data(40).Bytes(),
      Riff().Bytes(),
  };
  for (const ByteImage& bytes : images) {
    ASSERT_TRUE(test::WriteFile(PathOf("f.wav"), bytes));
    for (int mode : {1, 2, 3}) EXPECT_EQ(OpenAndDescribe("f.wav", mode), Read(bytes, mode));
  }
  // A failed Open clears what an earlier one found.
  ASSERT_TRUE(test::WriteFile(PathOf("g.wav"), Cd(Riff()).Data(40).Bytes()));
  std::unique_ptr<TqAudioFileReader> reader = Create("g.wav");
  ASSERT_TRUE(reader);
  ASSERT_TRUE(reader->Open(kBoth));
  EXPECT_FALSE(reader->Open(0));
  EXPECT_EQ(reader->GetNumSamples(), 0u);
  EXPECT_EQ(reader->GetFormat().sampleRate, 0u);
}

// Stores each byte XORed with the low byte of its offset plus 0x5A, and
// records the ranges it is asked to undo.
class XorDecipher : public IDataDecipher {
 public:
  void Decipher(uint64_t offset, uint8_t* data, size_t size) override {
    calls += (calls.empty() ? "" : " ") + std::to_string(offset) + "+" + std::to_string(size);
    for (size_t i = 0; i < size; ++i) data[i] ^= Key(offset + i);
  }
  static uint8_t Key(uint64_t offset) { return static_cast<uint8_t>(offset + 0x5A); }
  std::string calls;
};

TEST_F(WaveFileTest, DecipheredBeforeParsing) {
  ByteImage bytes = Cd(Riff().Chunk("LIST", 8000)).Data(40).Bytes();
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] ^= XorDecipher::Key(i);
  ASSERT_TRUE(test::WriteFile(PathOf("c.wav"), bytes));
  EXPECT_EQ(OpenAndDescribe("c.wav"), "refused");
  XorDecipher decipher;
  std::unique_ptr<TqAudioFileReader> reader = Create("c.wav", &decipher);
  ASSERT_TRUE(reader);
  ASSERT_TRUE(reader->Open(kBoth));
  EXPECT_EQ(Describe(true, {reader->GetFormat(), reader->GetNumSamples()}), CdLine(10));
  EXPECT_EQ(decipher.calls, "0+4096 8020+72");
}

TEST_F(WaveFileTest, FileThatShrinksAfterCreateIsRefused) {
  ByteImage bytes = Cd(Riff()).Data(40).Bytes();
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] ^= XorDecipher::Key(i);
  // Only the bytes that were read are deciphered: none, or the 30 left over
  // in two reads (the second for the "fmt " body that is no longer there).
  const std::pair<off_t, std::string> cases[] = {{0, ""}, {30, "0+30 20+10"}};
  for (const auto& [left, calls] : cases) {
    ASSERT_TRUE(test::WriteFile(PathOf("s.wav"), bytes));
    XorDecipher decipher;
    std::unique_ptr<TqAudioFileReader> reader = Create("s.wav", &decipher);
    ASSERT_TRUE(reader);
    ASSERT_EQ(truncate(PathOf("s.wav").c_str(), left), 0);
    EXPECT_FALSE(reader->Open(kBoth)) << left;
    EXPECT_EQ(decipher.calls, calls);
  }
}

}  // namespace
}  // namespace wavtally
