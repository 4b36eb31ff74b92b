#include "base/file_content.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace wavtally {
namespace {

TEST(FileContentTest, TellsTheCommonFormatsAndTextFromTheFirstBytes) {
  using namespace std::string_literals;
  const std::string wave64 = "riff\x2E\x91\xCF\x11\xA5\xD6\x28\xDB\x04\xC1\0\0"s;
  const struct {
    std::string head;
    uint64_t size;  // 0: the head is the whole file
    FileContent content;
  } cases[] = {
      {"", 0, FileContent::kEmpty},
      {"FORM\0\0\0\x2E"
       "AIFFCOMM"s,
       0, FileContent::kAiff},
      {"FORM\0\0\0\x2E"
       "AIFCFVER"s,
       0, FileContent::kAifc},
      {"FORM\0\0\0\x2E"
       "8SVXVHDR"s,
       0, FileContent::kOther},
      {"fLaC\0\0\0\x22"s, 0, FileContent::kFlac},
      {"OggS\0\x02"s, 0, FileContent::kOgg},
      {"caff\0\x01\0\0"s, 0, FileContent::kCaf},
      {wave64 + "wave", 0, FileContent::kWave64},
      {"RIFF\x24\0\0\0"
       "AVI LIST"s,
       0, FileContent::kOtherRiff},
      {"ID3\x03\0\0\0\0\x01\x7F"s, 0, FileContent::kMp3},
      {"ID3\x07\0\0\0\0\x01\x7F"s, 0, FileContent::kOther},
      {"\xFF\xFB\x90\x64", 0, FileContent::kMp3},    // MPEG-1 layer III
      {"\xFF\xFB\xF0\x64", 0, FileContent::kOther},  // bit rate 15 is invalid
      {"\xFF\xF1\x50\x80", 0, FileContent::kOther},  // AAC in ADTS: layer 0
      {"Track list\r\n\t1. Intro\f", 0, FileContent::kText},
      {"\xEF\xBB\xBF"
       "Caf\xC3\xA9 \xE6\x97\xA5",
       0, FileContent::kText},
      // A character cut off where the read ended, in a longer file.
      {"Caf\xC3", 9000, FileContent::kText},
      {"Caf\xC3", 0, FileContent::kOther},
      {"Caf\xE9 au lait", 0, FileContent::kOther},  // Latin-1
      {"a\0b"s, 0, FileContent::kOther},
  };
  for (const auto& c : cases) {
    const std::basic_string<uint8_t> bytes(c.head.begin(), c.head.end());
    EXPECT_EQ(TellContent(bytes, c.size != 0 ? c.size : bytes.size()), c.content) << c.head;
  }
}

}  // namespace
}  // namespace wavtally
