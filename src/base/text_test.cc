#include "base/text.h"

#include <gtest/gtest.h>

#include <string>

namespace wavtally {
namespace {

TEST(Utf8Test, EveryLoneHighByteIsAStrayByteThatRoundTrips) {
  for (int byte = 0x80; byte <= 0xFF; ++byte) {
    const std::string bytes(1, static_cast<char>(byte));
    const CStdStr text = DecodeUtf8(bytes);
    ASSERT_EQ(text, CStdStr(1, static_cast<wchar_t>(0xDC00 + byte))) << byte;
    EXPECT_EQ(EncodeUtf8(text), bytes) << byte;
  }
}

TEST(Utf8Test, ValidSequencesDecodeToCodePoints) {
  EXPECT_EQ(DecodeUtf8("a\xc3\xa9\xe2\x82\xac"), L"a\u00e9\u20ac");
  EXPECT_EQ(DecodeUtf8("\xf0\x9f\x8e\xb5"), L"\U0001F3B5");
  EXPECT_EQ(DecodeUtf8("\xf4\x8f\xbf\xbf"), L"\U0010FFFF");
  EXPECT_EQ(EncodeUtf8(L"\U0001F3B5\u00e9"), "\xf0\x9f\x8e\xb5\xc3\xa9");
}

TEST(Utf8Test, InvalidSequencesStayStrayBytes) {
  // Overlong "/", an encoded surrogate, an encoded U+DC80 (which must not pass
  // for a stray byte), a value past U+10FFFF and a cut-off sequence.
  for (const std::string bytes : {"\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xed\xb2\x80",
                                  "\xf4\x90\x80\x80", "\xe2\x82", "\xf0\x9f\x8e"}) {
    const CStdStr text = DecodeUtf8(bytes);
    ASSERT_EQ(text.size(), bytes.size()) << bytes;
    for (size_t i = 0; i < bytes.size(); ++i) {
      EXPECT_EQ(text[i], static_cast<wchar_t>(0xDC00 + static_cast<unsigned char>(bytes[i])));
    }
    EXPECT_EQ(EncodeUtf8(text), bytes);
  }
  EXPECT_EQ(DecodeUtf8("\xe2\x82z"), CStdStr(L"\xdce2\xdc82z"));
  // ASCII runs on both sides of a stray byte and of a multi-byte character.
  const std::string mixed = "take \xff 01 \xc3\xa9 end";
  EXPECT_EQ(DecodeUtf8(mixed), CStdStr(L"take \xdcff 01 \u00e9 end"));
  EXPECT_EQ(EncodeUtf8(DecodeUtf8(mixed)), mixed);
  std::string appended = "x";
  AppendUtf8(L"ab\u00e9", appended);
  EXPECT_EQ(appended, "xab\xc3\xa9");
}

}  // namespace
}  // namespace wavtally
