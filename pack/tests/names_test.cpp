// The naming rules vintrel-pack shares between its platforms: case keys, the names Windows can
// hold, the parents-first order and the manifest's bytes.

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cwctype>
#include <string>
#include <vector>

#include "cp936.h"
#include "delivery.h"
#include "names.h"

namespace {

std::string Utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// Two names code page 936 can write are one file to Windows exactly when their letters differ
// only in case: checked for every such character against the C library's Unicode case mapping.
TEST(CaseKey, FoldsEveryLetterCodePage936CanWriteInBothCases) {
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  int pairs = 0;
  for (char32_t c = 0x20; c < 0xFFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    if (!Utf8ToCp936(Utf8(c))) continue;
    const char32_t upper = static_cast<char32_t>(std::towupper(static_cast<wint_t>(c)));
    if (upper == c || !Utf8ToCp936(Utf8(upper))) {
      EXPECT_EQ(CaseKey(Utf8(c)), Utf8(FoldToUpper(c))) << std::hex << c;
      continue;
    }
    ++pairs;
    EXPECT_EQ(CaseKey(Utf8(c)), CaseKey(Utf8(upper))) << std::hex << static_cast<int>(c);
    EXPECT_EQ(CaseKey(Utf8(c)), Utf8(upper)) << std::hex << static_cast<int>(c);
  }
  // ASCII, Greek, Cyrillic, Roman numerals and full-width Latin.
  EXPECT_GE(pairs, 26 + 24 + 33 + 10 + 26);
  EXPECT_NE(CaseKey(u8"插件.dll"), CaseKey(u8"插件.DLX"));
  EXPECT_EQ(CaseKey(u8"Kivo直播助手.EXE"), CaseKey(u8"kivo直播助手.exe"));
}

TEST(WindowsNameProblem, RefusesWhatWindowsCannotHold) {
  const struct {
    const char* name;
    bool refused;
  } rows[] = {
      {u8"直播 插件.dll", false}, {"a b", false},     {"con", true},         {"CON.txt", true},
      {"nul.tar.gz", true},       {"com1", true},     {"Lpt9.log", true},    {"com10", false},
      {"console.txt", false},     {"a.", true},       {"a ", true},          {"a?b", true},
      {"a:b", true},              {"a\\b", true},     {"a*", true},          {"tab\tx", true},
      {"", true},                 {"..", true},       {".hidden", false},    {u8"ｆｕｌｌ", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(!WindowsNameProblem(row.name).empty(), row.refused) << row.name;
  }
}

TEST(ParentsFirstLess, PutsAFoldersOwnFilesBeforeItsSubfolders) {
  std::vector<std::string> names = {
      "plugins/new/deeper/x.dll", "plugins/new/a.dll", "b.txt", "plugins/Z.dll",
      "plugins/new/deeper/even/y.dll", "A.txt", "plugins/new/deeper/b.dll", "zz/first.dll"};
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return ParentsFirstLess(a, b); });
  const std::vector<std::string> expected = {
      "A.txt", "b.txt", "plugins/Z.dll", "plugins/new/a.dll", "plugins/new/deeper/b.dll",
      "plugins/new/deeper/x.dll", "plugins/new/deeper/even/y.dll", "zz/first.dll"};
  EXPECT_EQ(names, expected);
}

TEST(Utf16Length, CountsWhatThePlatformCounts) {
  EXPECT_EQ(Utf16Length(u8"bin/32bit/Kivo直播助手.exe"), 22u);
  EXPECT_EQ(Utf16Length(u8"\U0001F600"), 2u);
}

TEST(ManifestText, IsCodePage936WithCrLfAndNoByteOrderMark) {
  Plan plan;
  plan.deleted = {"old.dll"};
  plan.updated = {u8"bin/32bit/Kivo直播助手.exe", "a b/c.txt"};
  EXPECT_EQ(ManifestText(plan),
            "DeletedFiles:\r\nold.dll\r\nUpdatedFiles:\r\n"
            "bin/32bit/Kivo\xD6\xB1\xB2\xA5\xD6\xFA\xCA\xD6.exe\r\na b/c.txt\r\n");
}

}  // namespace
