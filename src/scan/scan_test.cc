#include "scan/scan.h"

#include <gtest/gtest.h>

#include <string>

#include "base/text.h"
#include "temp_tree.h"
#include "wave_builder.h"

namespace wavtally {
namespace {

using test::Riff;
using test::Stereo16;
using test::TempTree;

constexpr const char* kNa = "\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\t\n";

struct ScanResult {
  std::string report;
  std::string errors;
};

ScanResult Scan(const std::string& root_text) {
  StringLineWriter report, errors;
  ScanOutput out{report, errors};
  const Path root(DecodeUtf8(root_text));
  ScanFolder(root, root, out, DiskFileSystem());
  return {report.Text(), errors.Text()};
}

TEST(ScanTest, WavThenMidiThenSubfoldersDepthFirst) {
  TempTree tree;
  tree.File("sub/c.wav", Stereo16(10));
  tree.File("z.wav", Stereo16(25));
  tree.File("a.mid");
  tree.File("b.MID");
  tree.File("A.WAV", Stereo16(1));
  tree.File("sub/deeper/d.mid");
  tree.File("another/e.wav", Stereo16(3));
  EXPECT_EQ(Scan(tree.Root()).report,
            "/A.WAV\t0x0001\t2\t0x00000000\t44100\t176400\t4\t16\t1\n"
            "/z.wav\t0x0001\t2\t0x00000000\t44100\t176400\t4\t16\t25\n"
            "/a.mid" +
                std::string(kNa) + "/b.MID" + kNa +
                "/another/e.wav\t0x0001\t2\t0x00000000\t44100\t176400\t4\t16\t3\n"
                "/sub/c.wav\t0x0001\t2\t0x00000000\t44100\t176400\t4\t16\t10\n"
                "/sub/deeper/d.mid" +
                kNa);
}

TEST(ScanTest, NamesThatAreNotReportedOrDescended) {
  TempTree tree;
  tree.File("take.01/inside.wav", Stereo16(1));  // a folder with an extension
  tree.File(".hidden/inside.wav", Stereo16(1));
  tree.File("noext", Stereo16(1));
  tree.File("x.wav.bak", Stereo16(1));
  tree.File("x.wave", Stereo16(1));
  tree.File("x.midi");
  tree.File("kept/y.wav", Stereo16(2));
  EXPECT_EQ(Scan(tree.Root()).report,
            "/kept/y.wav\t0x0001\t2\t0x00000000\t44100\t176400\t4\t16\t2\n");
}

TEST(ScanTest, UnreadableWavGetsNaAndTheNextFileIsReportedNormally) {
  TempTree tree;
  tree.File("a.wav", test::Riff().Fmt(3, 1, 96000, 384000, 4, 32).Data(40).Bytes());
  tree.File("b.wav", {'n', 'o', 't', ' ', 'a', ' ', 'w', 'a', 'v'});
  tree.File("c.wav");
  tree.Dir("d.wav");
  tree.File("e.wav", Stereo16(7));
  EXPECT_EQ(Scan(tree.Root()).report,
            "/a.wav\t0x0003\t1\t0x00000000\t96000\t384000\t4\t32\t10\n"
            "/b.wav" +
                std::string(kNa) + "/c.wav" + kNa + "/d.wav" + kNa +
                "/e.wav\t0x0001\t2\t0x00000000\t44100\t176400\t4\t16\t7\n");
}

TEST(ScanTest, ProbeTakesTheMaskFromTheChannelWordAndKeepsOutOnFailure) {
  TempTree tree;
  const std::string surround =
      tree.File("51.wav", Riff().Extensible(6, 48000, 864000, 18, 24, 0x3F, 1).Data(1800).Bytes());
  const std::string full_mask =
      tree.File("all.wav", Riff().Extensible(2, 8000, 32000, 4, 16, 0xFFFFFFFF, 1).Data(8).Bytes());
  FormatSummary record;
  FsError error;
  ASSERT_TRUE(ProbeWavFormat(DiskFileSystem(), DecodeUtf8(surround), record, &error));
  EXPECT_EQ(record.formatTag, 0xFFFE);
  EXPECT_EQ(record.numChannels, 6);
  EXPECT_EQ(record.channelMask, 0x3Fu);
  EXPECT_EQ(record.numSamples, 100u);
  ASSERT_TRUE(ProbeWavFormat(DiskFileSystem(), DecodeUtf8(full_mask), record, &error));
  EXPECT_EQ(record.channelMask, 0xFFFFFu);
  EXPECT_EQ(record.numSamples, 2u);

  const FormatSummary before = record;
  EXPECT_FALSE(
      ProbeWavFormat(DiskFileSystem(), DecodeUtf8(tree.At("missing.wav")), record, &error));
  EXPECT_EQ(record.sampleRate, before.sampleRate);
  EXPECT_EQ(record.channelMask, before.channelMask);
}

TEST(ScanTest, LinksAreFollowedButEachFolderIsWalkedOnce) {
  TempTree tree, elsewhere;
  elsewhere.File("w.wav", Stereo16(4));
  tree.File("sub/s.wav", Stereo16(5));
  tree.Link(tree.Root(), "root");
  tree.Link(tree.At("sub"), "sub/self");
  tree.Link("..", "sub/up");
  tree.Link(elsewhere.Root(), "ext");
  tree.Link(tree.At("nowhere.wav"), "dangling.wav");
  // The same folder reached by a second way is named, not walked again.
  tree.Link(tree.At("sub"), "twin");
  const ScanResult r = Scan(tree.Root());
  EXPECT_EQ(r.report, "/dangling.wav" + std::string(kNa) +
                          "/ext/w.wav\t0x0001\t2\t0x00000000\t44100\t176400\t4\t16\t4\n"
                          "/sub/s.wav\t0x0001\t2\t0x00000000\t44100\t176400\t4\t16\t5\n");
  const auto seen = [&](const std::string& rel, const std::string& first) {
    return "wavtally: skipping folder '" + tree.At(rel) + "': already reported as '" + first +
           "'\n";
  };
  EXPECT_EQ(r.errors, seen("root", tree.Root()) + seen("sub/self", tree.At("sub")) +
                          seen("sub/up", tree.Root()) + seen("twin", tree.At("sub")));
}

TEST(ScanTest, DeepNestingIsWalkedCompletely) {
  TempTree tree;
  std::string rel;
  for (int i = 0; i < 300; ++i) rel += "d/";
  tree.File(rel + "deep.mid");
  EXPECT_EQ(Scan(tree.Root()).report, "/" + rel + "deep.mid" + kNa);
}

TEST(ScanTest, RootTextFormDoesNotChangeTheReport) {
  TempTree tree;
  tree.File("sub/a.wav", Stereo16(1));
  const std::string expected = "/sub/a.wav\t0x0001\t2\t0x00000000\t44100\t176400\t4\t16\t1\n";
  EXPECT_EQ(Scan(tree.Root()).report, expected);
  EXPECT_EQ(Scan(tree.Root() + "/").report, expected);
  EXPECT_EQ(Scan(tree.Root() + "//").report, expected);
  EXPECT_EQ(Scan(tree.Root() + "/sub/..").report, expected);
}

}  // namespace
}  // namespace wavtally
