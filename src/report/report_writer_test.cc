#include "report/report_writer.h"

#include <gtest/gtest.h>

#include "base/text.h"

namespace wavtally {
namespace {

Path Rel(const char* utf8) { return Path(DecodeUtf8(utf8)); }

TEST(ReportWriterTest, HeaderIsTitleBlankColumnsBlank) {
  StringLineWriter out;
  PrintReportHeader(out);
  EXPECT_EQ(out.Text(),
            "WAV Files\n"
            "\n"
            "Path\tFormat Tag\tNum Channels\tChannel Mask\tSample Rate\tAvg Bytes Per Sec\t"
            "Block Align\tBit Depth\tNum Samples\n"
            "\n");
}

TEST(ReportWriterTest, FormatLineColumnsAndNumberForms) {
  StringLineWriter out;
  PrintFormatLine(out, Rel("a.wav"), {1, 2, 44100, 176400, 4, 16, 3, 1000});
  PrintFormatLine(out, Rel("sub/b.wav"), {0xFFFE, 6, 48000, 864000, 18, 24, 0xABCDE, 4294967295u});
  PrintFormatLine(out, Rel("max.wav"),
                  {0xABCD, 65535, 4294967295u, 4294967295u, 65535, 65535, 0xFFFFF, 0});
  // A line after one with wide values is formatted as if it were the first.
  PrintFormatLine(out, Rel("z.wav"), {3, 1, 8000, 32000, 4, 32, 0, 7});
  EXPECT_EQ(out.Text(),
            "/a.wav\t0x0001\t2\t0x00000003\t44100\t176400\t4\t16\t1000\n"
            "/sub/b.wav\t0xFFFE\t6\t0x000abcde\t48000\t864000\t18\t24\t4294967295\n"
            "/max.wav\t0xABCD\t65535\t0x000fffff\t4294967295\t4294967295\t65535\t65535\t0\n"
            "/z.wav\t0x0003\t1\t0x00000000\t8000\t32000\t4\t32\t7\n");
}

TEST(ReportWriterTest, UnavailableLineEndsInATab) {
  StringLineWriter out;
  PrintUnavailableLine(out, Rel("song.mid"));
  PrintFormatLine(out, Rel("a.wav"), {1, 1, 8000, 16000, 2, 16, 4, 5});
  EXPECT_EQ(out.Text(),
            "/song.mid\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\t\n"
            "/a.wav\t0x0001\t1\t0x00000004\t8000\t16000\t2\t16\t5\n");
}

TEST(ReportWriterTest, PathColumnEscapesControlCharactersOnly) {
  StringLineWriter out;
  PrintUnavailableLine(out, Rel("tab\there/new\nline\r\x01\x1f\x7f.mid"));
  PrintUnavailableLine(out, Rel("caf\xc3\xa9 \\ \xe2\x82\xac.mid"));
  // A name that is not UTF-8 goes out as the very bytes it has on disk.
  PrintUnavailableLine(out, Rel("bad\xff\xfe.mid"));
  // The C1 controls are control characters too (U+0085 ends a line for
  // some readers); the character after them is not.
  PrintUnavailableLine(out, Rel("c1\xc2\x80\xc2\x85\xc2\x9f\xc2\xa0.mid"));
  EXPECT_EQ(out.Text(),
            "/tab\\there/new\\nline\\r\\x01\\x1f\\x7f.mid" +
                std::string("\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\t\n") +
                "/caf\xc3\xa9 \\ \xe2\x82\xac.mid\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\t\n"
                "/bad\xff\xfe.mid\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\t\n"
                "/c1\\x80\\x85\\x9f\xc2\xa0.mid\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\tN/A\t\n");
}

}  // namespace
}  // namespace wavtally
