// The hash list's reader on hand-written texts, one row per rule, and the writer's text read
// back.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hash_list.h"

namespace {

const std::string kHash(64, 'a');
const std::string kHead = "vintrel-delivery 1\r\nrelease 1796534400\r\n";

std::string Line(const std::string& path, const std::string& size = "12") {
  return kHash + " " + size + " " + path + "\r\n";
}

struct Case {
  const char* name;
  std::string text;
  std::string error;     // HashListErrorText of the failure, empty when the text is valid
  std::size_t files;     // when valid: how many files it lists
  std::string lastPath;  // when valid: the last file's path as read
};

// The double-byte characters used below: "\x95\x5C" has "\" as its trail byte, "\x81\x61" and
// "\x81\x41" have ASCII letters; "\xA3\xE1"/"\xA3\xC1" are full-width a/A, "\xA7\xD1"/"\xA7\xA1"
// Cyrillic a/A.
const std::vector<Case> kCases = {
    {"usual list", kHead + Line("UpdateInfo.ini") + Line("bin/32bit/App 1.exe", "0"), "", 2,
     "bin/32bit/App 1.exe"},
    {"LF only, no final line feed", "vintrel-delivery 1\nrelease 1\n" + kHash + " 5 a", "", 1,
     "a"},
    {"no files", kHead, "", 0, ""},
    {"CTRL+Z ends the text", kHead + Line("a") + "\x1A" + "junk\r\n", "", 1, "a"},
    {"backslash read as slash", kHead + Line("bin\\x.dll"), "", 1, "bin/x.dll"},
    {"trail byte backslash kept", kHead + Line("d\x95\x5C/x"), "", 1, "d\x95\x5C/x"},
    {"trail byte letters not folded", kHead + Line("\x81\x61") + Line("\x81\x41"), "", 2,
     "\x81\x41"},
    {"largest size and release",
     "vintrel-delivery 1\r\nrelease 9223372036854775807\r\n" +
         Line("a", "18446744073709551615"),
     "", 1, "a"},
    {"empty file", "", "line 1: missing \"vintrel-delivery 1\"", 0, ""},
    {"other first line", "vintrel-delivery 2\r\nrelease 1\r\n",
     "line 1: not \"vintrel-delivery 1\"", 0, ""},
    {"byte-order mark", "\xEF\xBB\xBF" + kHead, "line 1: not \"vintrel-delivery 1\"", 0, ""},
    {"no release line", "vintrel-delivery 1\r\n", "line 2: missing release line", 0, ""},
    {"release zero", "vintrel-delivery 1\r\nrelease 0\r\n", "line 2: release out of range", 0,
     ""},
    {"release 2^63", "vintrel-delivery 1\r\nrelease 9223372036854775808\r\n",
     "line 2: release out of range", 0, ""},
    {"release leading zero", "vintrel-delivery 1\r\nrelease 01\r\n",
     "line 2: malformed release line", 0, ""},
    {"release with sign", "vintrel-delivery 1\r\nrelease +1\r\n",
     "line 2: malformed release line", 0, ""},
    {"upper-case hash", kHead + std::string(64, 'A') + " 1 a\r\n", "line 3: malformed hash", 0,
     ""},
    {"short hash", kHead + std::string(63, 'a') + " 1 a\r\n", "line 3: malformed hash", 0, ""},
    {"two blanks", kHead + kHash + "  1 a\r\n", "line 3: malformed size", 0, ""},
    {"size leading zero", kHead + Line("a", "012"), "line 3: malformed size", 0, ""},
    {"size 2^64", kHead + Line("a", "18446744073709551616"), "line 3: size out of range", 0,
     ""},
    {"no path", kHead + kHash + " 12\r\n", "line 3: missing path", 0, ""},
    {"empty path", kHead + kHash + " 12 \r\n", "line 3: empty path", 0, ""},
    {"blank line", kHead + "\r\n", "line 3: malformed hash", 0, ""},
    {"dot-dot level", kHead + Line("a/../b"), "line 3: path with an empty, \".\" or \"..\" level",
     0, ""},
    {"dot level", kHead + Line("./a"), "line 3: path with an empty, \".\" or \"..\" level", 0,
     ""},
    {"empty level", kHead + Line("a//b"), "line 3: path with an empty, \".\" or \"..\" level", 0,
     ""},
    {"trailing separator", kHead + Line("a/"), "line 3: path with an empty, \".\" or \"..\" level",
     0, ""},
    {"leading separator", kHead + Line("\\a"), "line 3: path with a leading separator", 0, ""},
    {"drive", kHead + Line("C:a"), "line 3: path with a drive or \":\"", 0, ""},
    {"stream", kHead + Line("a:b"), "line 3: path with a drive or \":\"", 0, ""},
    {"zero byte", kHead + Line(std::string("a\0b", 3)), "line 3: path with a control character",
     0, ""},
    {"duplicate by case", kHead + Line("Bin/A.dll") + Line("bin\\a.DLL"),
     "line 4: duplicate path (line 3)", 0, ""},
    {"duplicate full-width", kHead + Line("\xA3\xE1") + Line("\xA3\xC1"),
     "line 4: duplicate path (line 3)", 0, ""},
    {"duplicate Cyrillic", kHead + Line("\xA7\xD1") + Line("\xA7\xA1"),
     "line 4: duplicate path (line 3)", 0, ""},
    {"line too long", kHead + Line(std::string(2 * 32767, 'x')), "line 3: line too long", 0, ""},
};

TEST(HashListTest, ReadsEachRow) {
  for (const Case& row : kCases) {
    SCOPED_TRACE(row.name);
    HashList list;
    HashListError error;
    const bool ok = ParseHashList(row.text, list, error);
    EXPECT_EQ(ok ? std::string() : HashListErrorText(error), row.error);
    if (!ok || !row.error.empty()) continue;
    EXPECT_GE(list.release, 1u);
    ASSERT_EQ(list.files.size(), row.files);
    if (row.files == 0) continue;
    EXPECT_EQ(list.files.back().path, row.lastPath);
    EXPECT_EQ(list.files.back().line, row.files + 2);
  }
}

TEST(HashListTest, WrittenListReadsBackAndFindsEntries) {
  std::vector<ListedFile> files = {
      {"UpdateInfo.ini", {}, 120, 0},
      {"bin\\32bit\\Kivo\xD6\xB1\xB2\xA5.exe", {}, 18446744073709551615u, 0},
      {"d\x95\x5C\\empty file", {}, 0, 0},
  };
  for (std::size_t i = 0; i < files.size(); ++i) files[i].sha256.fill(static_cast<uint8_t>(i * 77));
  const std::string text = HashListText(42, files);
  EXPECT_EQ(text.substr(0, 32), "vintrel-delivery 1\r\nrelease 42\r\n");

  HashList list;
  HashListError error;
  ASSERT_TRUE(ParseHashList(text, list, error)) << HashListErrorText(error);
  EXPECT_EQ(list.release, 42u);
  ASSERT_EQ(list.files.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(list.files[i].path, ListPath(files[i].path));
    EXPECT_EQ(DigestHex(list.files[i].sha256), DigestHex(files[i].sha256));
    EXPECT_EQ(list.files[i].size, files[i].size);
    EXPECT_EQ(list.files[i].line, i + 3);
  }
  EXPECT_EQ(HashListText(list.release, list.files), text);

  const ListedFileIndex index = IndexListedFiles(list);
  const ListedFile* found = FindListedFile(list, index, "BIN\\32BIT\\kivo\xD6\xB1\xB2\xA5.EXE");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->line, 4u);
  EXPECT_EQ(FindListedFile(list, index, "bin/32bit/other.exe"), nullptr);
}

}  // namespace
