#include "scan/scan.h"

#include <gtest/gtest.h>

#include <string>

#include "base/text.h"
#include "temp_tree.h"
#include "wave_builder.h"

namespace wavtally {
namespace {

using test::Riff;
using test::TempTree;

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

}  // namespace
}  // namespace wavtally
