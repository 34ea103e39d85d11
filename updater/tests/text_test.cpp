#include <gtest/gtest.h>

#include "base/text.h"
#include "test_support.h"

using testing_support::FromCodePage;
using testing_support::ToCodePage;

TEST(Conversions, RoundTripCodePage936) {
  const std::wstring wide = L"C:\\Program Files (x86)\\Kivo直播助手\\bin/32bit/";
  const std::string narrow = WideToNarrow(wide);
  EXPECT_EQ(narrow, ToCodePage(wide));  // the bytes are code page 936
  EXPECT_EQ(NarrowToWide(narrow), wide);
  EXPECT_EQ(WideToNarrow(L""), "");
  EXPECT_EQ(NarrowToWide(""), L"");
}

TEST(Conversions, UnrepresentableCharactersAreReplacedNotCut) {
  // Korean, Thai and Arabic letters: none is in code page 936.
  const std::string narrow = WideToNarrow(L"a한b\u0e01c\u0628d.txt");
  EXPECT_EQ(narrow, "a?b?c?d.txt");
  // A character outside the basic plane (a surrogate pair) becomes question marks, and what
  // follows it survives.
  const std::string emoji = WideToNarrow(L"x\U0001F600y");
  EXPECT_EQ(emoji.front(), 'x');
  EXPECT_EQ(emoji.back(), 'y');
  EXPECT_NE(emoji.find('?'), std::string::npos);
}

TEST(Conversions, InvalidByteSequencesAreReplacedNotCut) {
  // 0xFF is never a lead byte; 0x81 followed by 0x7F is not a valid pair.
  for (const std::string& bytes : {std::string("ab\xff" "cd"), std::string("ab\x81\x7f" "cd"),
                                   std::string("abcd\x81")}) {
    const std::wstring wide = NarrowToWide(bytes);
    ASSERT_GE(wide.size(), 5u) << bytes;
    EXPECT_EQ(wide.substr(0, 2), L"ab");
    if (bytes.back() != '\x81') {
      EXPECT_EQ(wide.substr(wide.size() - 2), L"cd");
    }
  }
}

TEST(Conversions, LongTextIsConvertedWhole) {
  std::wstring wide;
  for (int i = 0; i < 5000; ++i) wide += L"直a";
  EXPECT_EQ(WideToNarrow(wide).size(), 15000u);
  EXPECT_EQ(NarrowToWide(WideToNarrow(wide)), wide);
}

TEST(ReplaceAll, ReplacesEveryOccurrenceWithoutRescanning) {
  EXPECT_EQ(ReplaceAll(L"D:/Apps/Main/", L"/", L"\\"), L"D:\\Apps\\Main\\");
  EXPECT_EQ(ReplaceAll(L"C:\\no\\slash", L"/", L"\\"), L"C:\\no\\slash");
  // The inserted text is not searched again: this would loop forever otherwise.
  EXPECT_EQ(ReplaceAll(L"aXa", L"a", L"aa"), L"aaXaa");
  EXPECT_EQ(ReplaceAll(L"aaaa", L"aa", L"b"), L"bb");
  EXPECT_EQ(ReplaceAll(L"abc", L"", L"x"), L"abc");
  const std::wstring source = L"x/y";
  ReplaceAll(source, L"/", L"\\");
  EXPECT_EQ(source, L"x/y");
}

TEST(IntToWide, DecimalText) {
  EXPECT_EQ(IntToWide(-1), L"-1");
  EXPECT_EQ(IntToWide(0), L"0");
  EXPECT_EQ(IntToWide(99), L"99");
  EXPECT_EQ(IntToWide(-2147483647 - 1), L"-2147483648");
}
