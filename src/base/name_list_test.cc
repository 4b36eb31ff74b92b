#include "base/name_list.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/text.h"

namespace wavtally {
namespace {

TEST(NameLessTest, OrdersByFoldedBytesThenExactBytes) {
  // "_" lies between the cases in ASCII; folding to lower case puts it first.
  // The folded bytes decide before the exact ones, and the first exact byte
  // that differs breaks a tie, on either side of a character that is not
  // ASCII. Stray byte 0xC3 sorts before the encoded "\u00e9" (0xC3 0xA9), and
  // a stray 0xFF after any encoded character.
  const std::vector<CStdStr> order = {
      L"10.wav",   L"2.wav",    L"_",          L"a.wav",           L"AB",
      L"ab",       L"AB\u00e9", L"az",         L"a\u00e9a",        L"A\u00e9b",
      L"B.WAV",    L"b.wav",    L"Z",          DecodeUtf8("\xc3"), L"\u00e9",
      L"\u00e9Az", L"\u00e9aZ", L"\U0010FFFF", DecodeUtf8("\xff")};
  for (size_t i = 0; i < order.size(); ++i) {
    EXPECT_FALSE(NameLess(order[i], order[i])) << i;
    for (size_t j = i + 1; j < order.size(); ++j) {
      EXPECT_TRUE(NameLess(order[i], order[j])) << i << " " << j;
      EXPECT_FALSE(NameLess(order[j], order[i])) << i << " " << j;
    }
  }
  NameList list;
  for (auto name = order.rbegin(); name != order.rend(); ++name) list.Add(*name);
  list.Sort();
  for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(list[i], order[i]) << i;
}

// Names built from the characters where the order has its cases, against
// the order's plain statement: compare the folded bytes, then the bytes.
TEST(NameLessTest, AgreesWithComparingEncodedNames) {
  const CStdStr alphabet = L"aAzZ_\u00e9\u00c9\U0010FFFF\xdcc3\xdcff";
  std::mt19937 random(7);
  std::vector<CStdStr> names;
  for (int n = 0; n < 300; ++n) {
    CStdStr name;
    for (size_t length = random() % 5; length > 0; --length) {
      name.push_back(alphabet[random() % alphabet.size()]);
    }
    names.push_back(name);
  }
  auto key = [](const CStdStr& name) {
    std::string folded = EncodeUtf8(name);
    for (char& c : folded) c = static_cast<char>(FoldAscii(c));
    return std::make_pair(folded, EncodeUtf8(name));
  };
  for (const CStdStr& a : names) {
    for (const CStdStr& b : names) {
      ASSERT_EQ(NameLess(a, b), key(a) < key(b)) << EncodeUtf8(a) << " " << EncodeUtf8(b);
    }
  }
}

TEST(NameListTest, KeepsEveryNameWholeAcrossBlocksAndDropsDots) {
  std::vector<CStdStr> names;
  for (size_t length = 0; length < 400; ++length)
    names.emplace_back(length, static_cast<wchar_t>(L'a' + length % 26));
  names.emplace_back(20000, L'x');  // longer than a block
  names.emplace_back(70000, L'y');  // longer than an entry's length field
  NameList list;
  for (const wchar_t* name : {L".", L"..", L"...", L".a"}) list.Add(name);
  list.AddUtf8("..");
  list.AddUtf8("\xff\xc3\xa9.wav");
  const std::string long_bytes = std::string(30000, '\xe2') + "\x82\xac";
  list.AddUtf8(long_bytes);
  const std::wstring_view first = list[0];
  for (const CStdStr& name : names) list.Add(name);
  ASSERT_EQ(list.size(), 4 + names.size());
  EXPECT_EQ(first.data(), list[0].data());
  EXPECT_EQ(CStdStr(first), L"...");
  EXPECT_EQ(list[1], L".a");
  EXPECT_EQ(list[2], DecodeUtf8("\xff\xc3\xa9.wav"));
  EXPECT_EQ(list[3], DecodeUtf8(long_bytes));
  for (size_t i = 0; i < names.size(); ++i) ASSERT_EQ(list[4 + i], names[i]) << i;
  list.Clear();
  EXPECT_EQ(list.size(), 0u);
  EXPECT_EQ(list.MemoryUsed(), 0u);
}

// A huge folder costs about its characters, and a deep tree keeps one
// listing per level, most of them of a single name.
TEST(NameListTest, StoreStaysCloseToTheCharacters) {
  NameList one;
  one.Add(L"0123456789ab.wav");
  EXPECT_LT(sizeof(NameList) + one.MemoryUsed(), 200u);
  NameList list;
  std::mt19937 random(11);
  for (int n = 0; n < 200000; ++n) {
    wchar_t name[] = L"000000000000.wav";
    for (size_t i = 0; i < 12; ++i) name[i] = L"0123456789abcdefABCDEF"[random() % 22];
    list.Add(name);
  }
  EXPECT_LE(list.MemoryUsed() / list.size(), 16 * sizeof(wchar_t) + 16);
  list.Sort();
  for (size_t i = 1; i < list.size(); ++i) ASSERT_FALSE(NameLess(list[i], list[i - 1])) << i;
}

}  // namespace
}  // namespace wavtally
