#include "report/run_tally.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/progress.h"

namespace wavtally {
namespace {

FormatSummary Format(uint16_t tag, uint32_t rate, uint16_t bits, uint16_t channels) {
  FormatSummary f;
  f.formatTag = tag;
  f.sampleRate = rate;
  f.bitDepth = bits;
  f.numChannels = channels;
  return f;
}

// The lines at width; at 50 columns and more every item fits, so every
// line must.
std::vector<std::string> Lines(const RunTally& tally, size_t width) {
  std::vector<std::string> lines;
  for (const CStdStr& line : tally.Render(width)) {
    if (width >= 50) {
      EXPECT_LT(TerminalColumns(line), width) << EncodeUtf8(line);
    }
    lines.push_back(EncodeUtf8(line));
  }
  return lines;
}

TEST(RunTallyTest, CommonestFormatsFirstThenOthersEveryCountAtAnyWidth) {
  RunTally tally;
  EXPECT_TRUE(tally.Render(80).empty());
  for (int i = 0; i < 5; ++i) tally.Format(Format(1, 48000, 24, 2));
  for (int i = 0; i < 3; ++i) tally.Format(Format(3, 44100, 32, 1));
  tally.Format(Format(0xFFFE, 96000, 24, 6));
  tally.Format(Format(0x55, 22050, 0, 1));
  tally.Format(Format(7, 8000, 8, 1));
  tally.Format(Format(1, 800, 8, 1));
  EXPECT_EQ(
      Lines(tally, 300),
      (std::vector<std::string>{
          "formats: 5 \u00d7 48 kHz 24-bit 2 ch PCM \u00b7 3 \u00d7 44.1 kHz 32-bit 1 ch float "
          "\u00b7 1 \u00d7 800 Hz 8-bit 1 ch PCM \u00b7 1 \u00d7 8 kHz 8-bit 1 ch \u00b5-law "
          "\u00b7 2 others"}));
  // Narrower: the same counts on more lines.
  EXPECT_EQ(Lines(tally, 80),
            (std::vector<std::string>{"formats: 5 \u00d7 48 kHz 24-bit 2 ch PCM \u00b7 3 \u00d7 "
                                      "44.1 kHz 32-bit 1 ch float \u00b7",
                                      "  1 \u00d7 800 Hz 8-bit 1 ch PCM \u00b7 1 \u00d7 8 kHz "
                                      "8-bit 1 ch \u00b5-law \u00b7 2 others"}));
  EXPECT_EQ(Lines(tally, 20), (std::vector<std::string>{
                                  "formats: 5 \u00d7 48 kHz 24-bit 2 ch PCM \u00b7",
                                  "  3 \u00d7 44.1 kHz 32-bit 1 ch float \u00b7",
                                  "  1 \u00d7 800 Hz 8-bit 1 ch PCM \u00b7",
                                  "  1 \u00d7 8 kHz 8-bit 1 ch \u00b5-law \u00b7",
                                  "  2 others",
                              }));
}

TEST(RunTallyTest, ReasonsStayWholeAndOnlyNamesGiveWayToTheWidth) {
  RunTally tally;
  for (Unreadable why : {Unreadable::kAppleDouble, Unreadable::kNotFile, Unreadable::kAppleDouble,
                         Unreadable::kAiff, Unreadable::kFlac, Unreadable::kMp3, Unreadable::kMp3,
                         Unreadable::kText, Unreadable::kEmpty, Unreadable::kNotWave}) {
    tally.Unreadable(why);
  }
  for (const wchar_t* name : {L"a/one.wav", L"b/two.wav", L"c/three.wav", L"d/four.wav"}) {
    tally.CutShort(name);
  }
  tally.DottedFolder(L"Vol.2\u202e");
  EXPECT_EQ(Lines(tally, 200),
            (std::vector<std::string>{
                "unreadable: 10 (2 macOS \"._\" files, 1 AIFF, 1 FLAC, 2 MP3, 1 text file, 1 "
                "empty file, 1 not audio, 1 not a regular file)",
                "shorter than their header: 4 (/a/one.wav, /b/two.wav, /c/three.wav, \u2026)",
                // Names reach the terminal escaped.
                "not walked, a dot in the name: 1 folder (/Vol.2\\u202e)",
            }));
  EXPECT_EQ(Lines(tally, 50), (std::vector<std::string>{
                                  "unreadable: 10 (2 macOS \"._\" files, 1 AIFF,",
                                  "  1 FLAC, 2 MP3, 1 text file, 1 empty file,",
                                  "  1 not audio, 1 not a regular file)",
                                  "shorter than their header: 4 (/a/one.wav, \u2026)",
                                  "not walked, a dot in the name: 1 folder (\u2026)",
                              }));
  EXPECT_EQ(Lines(tally, 30), (std::vector<std::string>{
                                  "unreadable: 10 (2 macOS \"._\" files,",
                                  "  1 AIFF, 1 FLAC, 2 MP3,",
                                  "  1 text file, 1 empty file,",
                                  "  1 not audio,",
                                  "  1 not a regular file)",
                                  "shorter than their header: 4",
                                  "not walked, a dot in the name: 1 folder",
                              }));
}

}  // namespace
}  // namespace wavtally
