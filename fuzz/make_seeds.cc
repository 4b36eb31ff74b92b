// Writes the fuzzer's seed corpus: the shapes of file the reader's tests are
// built around, so that fuzzing starts from every rule rather than from
// having to discover "RIFF....WAVE" by chance. Usage: make_seeds DIR

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "wave_builder.h"

namespace {

using wavtally::test::ByteImage;
using wavtally::test::Pad;
using wavtally::test::WaveBuilder;

WaveBuilder Cd(WaveBuilder b) {
  b.Fmt(1, 2, 44100, 176400, 4, 16);
  return b;
}

/// Returns the named seed images.
std::vector<std::pair<std::string, ByteImage>> Seeds() {
  using wavtally::test::Bw64;
  using wavtally::test::Rf64;
  using wavtally::test::Riff;
  using wavtally::test::Rifx;
  std::vector<std::pair<std::string, ByteImage>> s;
  s.emplace_back("pcm", Cd(Riff()).Data(40).Bytes());
  s.emplace_back("pcm-riff-size-0", Cd(Riff()).Data(40).RiffSize(0).Bytes());
  s.emplace_back("pcm-8bit-odd-data", Riff().Fmt(1, 1, 8000, 8000, 1, 8).Data(9).Bytes());
  s.emplace_back("data-before-fmt", Riff().Data(9, Pad::kNo).Fmt(1, 1, 8000, 8000, 1, 8).Bytes());
  s.emplace_back("float", Riff().Fmt(3, 2, 48000, 384000, 8, 32).Data(64).Bytes());
  s.emplace_back("alaw", Riff().FmtEx(6, 1, 8000, 8000, 1, 8).Fact(16).Data(16).Bytes());
  s.emplace_back("mulaw", Riff().FmtEx(7, 2, 8000, 16000, 2, 8).Fact(8).Data(16).Bytes());
  s.emplace_back("adpcm-fact",
                 Riff().FmtEx(0x11, 1, 8000, 4055, 256, 4).Fact(1017).Data(512).Bytes());
  s.emplace_back("adpcm-short-fact",
                 Riff().FmtEx(0x11, 1, 8000, 4055, 256, 4).Chunk("fact", 2).Data(512).Bytes());
  s.emplace_back("mp3", Riff().FmtEx(0x55, 2, 44100, 16000, 1, 0).Data(40).Bytes());
  s.emplace_back("extensible",
                 Riff().Extensible(6, 48000, 864000, 18, 24, 0x3F, 1).Fact(7).Data(36).Bytes());
  s.emplace_back("extensible-cb0",
                 Riff().Extensible(6, 48000, 864000, 18, 24, 0x3F, 1, 0).Fact(7).Data(36).Bytes());
  s.emplace_back("extensible-float",
                 Riff().Extensible(2, 48000, 384000, 8, 32, 0x3, 3, 22, 24).Data(64).Bytes());
  s.emplace_back("extensible-mask-all",
                 Riff().Extensible(2, 48000, 0, 4, 16, 0xFFFFFFFF, 1).Data(8).Bytes());
  s.emplace_back("rifx-extensible",
                 Rifx().Extensible(2, 8000, 4055, 256, 4, 0x3, 0x11).Fact(1017).Data(512).Bytes());
  s.emplace_back("rifx-pcm", Cd(Rifx()).Data(40).Bytes());
  s.emplace_back("rf64", Rf64()
                             .Ds64(0, 100, 0)
                             .Fmt(1, 1, 8000, 8000, 1, 8)
                             .Header("data", 0xFFFFFFFF)
                             .Zeros(100)
                             .Bytes());
  s.emplace_back("rf64-data-first", Rf64()
                                        .Ds64(0, 11, 0)
                                        .Header("data", 0xFFFFFFFF)
                                        .Zeros(12)
                                        .Fmt(1, 1, 8000, 8000, 1, 8)
                                        .Bytes());
  s.emplace_back("bw64", Cd(Bw64().Ds64(0, 40, 10)).Header("data", 0xFFFFFFFF).Zeros(40).Bytes());
  s.emplace_back("rf64-late-ds64", Cd(Rf64().Chunk("JUNK", 4).Ds64(0, 8, 0)).Data(40).Bytes());
  s.emplace_back("riff-with-ds64", Cd(Riff().Ds64(0, 8, 0)).Data(40).Bytes());
  s.emplace_back("list-before-fmt", Cd(Riff().Chunk("LIST", 26)).Data(40).Bytes());
  s.emplace_back("odd-junk-pad", Cd(Riff().Chunk("junk", 3)).Data(8).Bytes());
  s.emplace_back("odd-junk-no-pad", Cd(Riff().Chunk("junk", 3, Pad::kNo)).Data(8).Bytes());
  s.emplace_back("odd-after-fmt-no-pad", Cd(Riff()).Chunk("junk", 5, Pad::kNo).Data(8).Bytes());
  s.emplace_back("printable-pad",
                 Cd(Riff().Header("junk", 3).Raw({'a', 'b', 'Z', 'Q'})).Data(8).Bytes());
  // Large enough that the reader needs a second block.
  s.emplace_back("list-5000", Cd(Riff().Chunk("LIST", 5000)).Data(40).Bytes());
  s.emplace_back("list-5001-no-pad", Cd(Riff().Chunk("LIST", 5001, Pad::kNo)).Data(41).Bytes());
  s.emplace_back("two-fmt-two-data",
                 Cd(Riff()).Fmt(3, 1, 8000, 32000, 4, 32).Data(40).Data(8).Bytes());
  s.emplace_back("data-unknown-size", Cd(Riff()).Header("data", 0xFFFFFFFF).Zeros(40).Bytes());
  s.emplace_back("data-longer-than-file", Cd(Riff()).Header("data", 400).Zeros(40).Bytes());
  s.emplace_back("huge-list", Cd(Riff().Header("LIST", 0xFFFFFFF0)).Data(8).Bytes());
  s.emplace_back("short-fmt", Riff().Chunk("fmt ", 14).Data(40).Bytes());
  s.emplace_back("no-fmt", Riff().Data(40).Bytes());
  s.emplace_back("no-data", Cd(Riff()).Bytes());
  s.emplace_back("zero-channels", Riff().Fmt(1, 0, 0xFFFFFFFF, 0, 0, 16).Data(40).Bytes());
  s.emplace_back("many-channels", Riff().Fmt(1, 5000, 48000, 0, 0, 16).Data(40).Bytes());
  s.emplace_back("header-only", Riff().Bytes());
  // A fact chunk after the data, where some writers put it.
  auto adpcm = [] { return Riff().FmtEx(0x11, 1, 8000, 4055, 256, 4); };
  s.emplace_back("fact-after-data", adpcm().Data(512).Fact(1017).Bytes());
  s.emplace_back("fact-after-list", adpcm().Data(5000).Chunk("LIST", 30).Fact(1017).Bytes());
  s.emplace_back("fact-after-odd-data-no-pad", adpcm().Data(511, Pad::kNo).Fact(99).Bytes());
  s.emplace_back("rifx-fact-after-data",
                 Rifx().FmtEx(0x11, 1, 8000, 4055, 256, 4).Data(512).Fact(1017).Bytes());
  s.emplace_back("extensible-fact-after-data",
                 Riff().Extensible(2, 8000, 4055, 512, 4, 0x3, 0x11).Data(512).Fact(1017).Bytes());
  s.emplace_back("float-fact-after-data",
                 Riff().FmtEx(3, 2, 8000, 64000, 6, 32).Data(48).Fact(999).Bytes());
  // A data size never filled in, and a data chunk that really is empty.
  s.emplace_back("data-size-0-samples", Cd(Riff()).Header("data", 0).Zeros(980).Bytes());
  s.emplace_back("data-size-0-then-list", Cd(Riff()).Header("data", 0).Chunk("LIST", 972).Bytes());
  s.emplace_back("data-size-0-short-tail",
                 Riff().Fmt(1, 1, 8000, 8000, 1, 8).Header("data", 0).Raw({'L', 'I', 'S'}).Bytes());
  s.emplace_back("data-size-0-before-fmt",
                 Riff().Header("data", 0).Fmt(1, 1, 8000, 8000, 1, 8).Bytes());
  s.emplace_back("adpcm-data-size-0", adpcm().Header("data", 0).Zeros(1024).Bytes());
  // Ids that are not text end the walk: damage, or the zeros of a
  // preallocated file.
  s.emplace_back("id-not-text", Cd(Riff().Chunk("ab\x01c", 2)).Data(8).Bytes());
  s.emplace_back("id-7f-before-fact", adpcm().Data(512).Chunk("abc\x7f", 2).Fact(7).Bytes());
  s.emplace_back("zeros-after-header", Riff().Zeros(8192).Bytes());
  s.emplace_back("fmt-then-zeros", Cd(Riff()).Zeros(8192).Bytes());
  ByteImage cut = Riff().Extensible(6, 48000, 864000, 18, 24, 0x3F, 1).Data(36).Bytes();
  wavtally::test::TruncateTo(cut, 50);
  s.emplace_back("extensible-cut", cut);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds DIR\n");
    return 2;
  }
  for (const auto& [name, bytes] : Seeds()) {
    const std::string path = std::string(argv[1]) + "/" + name + ".wav";
    if (!wavtally::test::WriteFile(path, bytes)) {
      std::fprintf(stderr, "make_seeds: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
