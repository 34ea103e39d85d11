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

const std::string kHead2 = "vintrel-delivery 2\r\nrelease 1796534400\r\n";

std::string Zstd(const std::string& path, const std::string& frameSize = "9") {
  return "zstd " + kHash + " 12 " + kHash + " " + frameSize + " " + path + "\r\n";
}

std::string Patch(const std::string& path) {
  return "patch " + kHash + " 12 " + kHash + " 9 " + kHash + " " + path + "\r\n";
}

const std::string kHead3 = "vintrel-delivery 3\r\nrelease 30\r\n";
const std::string kNotAHeader =
    "line 1: not \"vintrel-delivery 1\", \"vintrel-delivery 2\" or \"vintrel-delivery 3\"";

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
    {"other first line", "vintrel-delivery 4\r\nrelease 1\r\n", kNotAHeader, 0, ""},
    {"byte-order mark", "\xEF\xBB\xBF" + kHead, kNotAHeader, 0, ""},
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
    // Format 2: plain lines as in format 1, and the zstd and patch lines.
    {"delta list", kHead2 + Line("UpdateInfo.ini") + Zstd("bin/a.dll") + Patch("bin/b.dll"), "",
     3, "bin/b.dll"},
    {"delta list, backslash read as slash", kHead2 + Patch("bin\\b.dll"), "", 1, "bin/b.dll"},
    {"zstd line in format 1", kHead + Zstd("a"), "line 3: malformed hash", 0, ""},
    {"patch line in format 1", kHead + Patch("a"), "line 3: malformed hash", 0, ""},
    {"other line kind", kHead2 + "bsdiff " + kHash + " 1 a\r\n", "line 3: malformed hash", 0,
     ""},
    {"zstd line without frame hash", kHead2 + "zstd " + kHash + " 12 9 a\r\n",
     "line 3: malformed frame hash", 0, ""},
    {"zstd line, frame size leading zero", kHead2 + Zstd("a", "09"),
     "line 3: malformed frame size", 0, ""},
    {"zstd line, frame size 2^64", kHead2 + Zstd("a", "18446744073709551616"),
     "line 3: frame size out of range", 0, ""},
    {"patch line without base hash", kHead2 + "patch " + kHash + " 12 " + kHash + " 9 a\r\n",
     "line 3: malformed base hash", 0, ""},
    {"zstd line without path", kHead2 + "zstd " + kHash + " 12 " + kHash + " 9\r\n",
     "line 3: missing path", 0, ""},
    {"patch line, path outside", kHead2 + Patch("../a"),
     "line 3: path with an empty, \".\" or \"..\" level", 0, ""},
    {"manifest as a frame", kHead2 + Zstd("updateinfo.ini"),
     "line 3: UpdateInfo.ini and Updater.exe are listed as plain files", 0, ""},
    {"updater as a patch", kHead2 + Patch("Updater.exe"),
     "line 3: UpdateInfo.ini and Updater.exe are listed as plain files", 0, ""},
    {"updater in a folder as a patch", kHead2 + Patch("bin/Updater.exe"), "", 1,
     "bin/Updater.exe"},
    {"duplicate across kinds", kHead2 + Line("a") + Patch("A"), "line 4: duplicate path (line 3)",
     0, ""},
    {"frame is a listed path", kHead2 + Line("a.ZST") + Zstd("a"),
     "line 4: delivered file is line 3's path", 0, ""},
    {"listed path is a frame", kHead2 + Patch("a") + Line("A.zstpatch"),
     "line 4: duplicate path (line 3)", 0, ""},
    // Format 3: what it applies onto, the delivered lines, then the kept ones.
    {"partial release", kHead3 + "from 29\r\n" + Line("UpdateInfo.ini") + Patch("a.dll") +
         "kept " + Line("b.dll"),
     "", 2, "a.dll"},
    {"full release", kHead3 + "full 2.0.65535.0\r\n" + Zstd("a.dll"), "", 1, "a.dll"},
    {"only kept files", kHead3 + "from 1\r\nkept " + Line("a"), "", 0, ""},
    {"no base line", kHead3, "line 3: missing \"from\" or \"full\" line", 0, ""},
    {"file where the base goes", kHead3 + Line("a"),
     "line 3: not \"from <release>\" or \"full <file version>\"", 0, ""},
    {"from its own release", kHead3 + "from 30\r\n",
     "line 3: from a release not below this one", 0, ""},
    {"from zero", kHead3 + "from 0\r\n", "line 3: from a release not below this one", 0, ""},
    {"from leading zero", kHead3 + "from 01\r\n",
     "line 3: not \"from <release>\" or \"full <file version>\"", 0, ""},
    {"full without version", kHead3 + "full\r\n",
     "line 3: not \"from <release>\" or \"full <file version>\"", 0, ""},
    {"version of three numbers", kHead3 + "full 2.0.0\r\n", "line 3: malformed file version",
     0, ""},
    {"version number 65536", kHead3 + "full 2.0.0.65536\r\n",
     "line 3: malformed file version", 0, ""},
    {"version of five numbers", kHead3 + "full 2.0.0.0.0\r\n",
     "line 3: malformed file version", 0, ""},
    {"kept in format 2", kHead2 + "kept " + Line("a"), "line 3: malformed hash", 0, ""},
    {"kept as a patch", kHead3 + "from 1\r\nkept " + Patch("a"), "line 4: malformed hash", 0,
     ""},
    {"delivered after kept", kHead3 + "from 1\r\nkept " + Line("a") + Line("b"),
     "line 5: delivered file after the kept ones", 0, ""},
    {"kept and delivered", kHead3 + "from 1\r\n" + Line("A") + "kept " + Line("a"),
     "line 5: duplicate path (line 4)", 0, ""},
    {"kept path outside", kHead3 + "from 1\r\nkept " + Line("../a"),
     "line 4: path with an empty, \".\" or \"..\" level", 0, ""},
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
    EXPECT_EQ(list.files.back().line, row.files + (list.format == 3 ? 3 : 2));
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

TEST(HashListTest, WrittenDeltaListReadsBack) {
  std::vector<ListedFile> files = {
      {"UpdateInfo.ini", {}, 120, 0},
      {"bin\\a.dll", {}, 5000, 0, ListedKind::kZstd, {}, 900},
      {"bin/\xB2\xE5\xBC\xFE.dll", {}, 70000, 0, ListedKind::kPatch, {}, 31, {}},
  };
  for (std::size_t i = 0; i < files.size(); ++i) {
    files[i].sha256.fill(static_cast<uint8_t>(i + 1));
    files[i].frameSha256.fill(static_cast<uint8_t>(i + 0x40));
    files[i].baseSha256.fill(static_cast<uint8_t>(i + 0x80));
  }
  files[0].frameSha256 = files[0].baseSha256 = Sha256Digest{};
  files[1].baseSha256 = Sha256Digest{};
  const std::string text = HashListText(9, files, 2);
  EXPECT_EQ(text.substr(0, 31), "vintrel-delivery 2\r\nrelease 9\r\n");
  EXPECT_NE(text.find("\r\nzstd " + DigestHex(files[1].sha256) + " 5000 " +
                      DigestHex(files[1].frameSha256) + " 900 bin/a.dll\r\n"),
            std::string::npos);

  HashList list;
  HashListError error;
  ASSERT_TRUE(ParseHashList(text, list, error)) << HashListErrorText(error);
  EXPECT_EQ(list.format, 2);
  ASSERT_EQ(list.files.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(list.files[i].kind, files[i].kind);
    EXPECT_EQ(list.files[i].sha256, files[i].sha256);
    EXPECT_EQ(list.files[i].size, files[i].size);
    EXPECT_EQ(list.files[i].frameSha256, files[i].frameSha256);
    EXPECT_EQ(list.files[i].frameSize, files[i].frameSize);
    EXPECT_EQ(list.files[i].baseSha256, files[i].baseSha256);
  }
  EXPECT_EQ(HashListText(list.release, list.files, list.format), text);
  EXPECT_EQ(DeliveredPath(list.files[0]), "UpdateInfo.ini");
  EXPECT_EQ(DeliveredPath(list.files[1]), "bin/a.dll.zst");
  EXPECT_EQ(DeliveredPath(list.files[2]), "bin/\xB2\xE5\xBC\xFE.dll.zstpatch");
}

TEST(HashListTest, WrittenReleaseListsReadBack) {
  for (const bool full : {false, true}) {
    SCOPED_TRACE(full);
    HashList written;
    written.format = 3;
    written.release = 1796534400;
    written.full = full;
    written.from = full ? 0 : 1796000000;
    written.mainVersion = full ? FileVersion{2, 0, 65535, 7} : FileVersion{};
    written.files = {{"UpdateInfo.ini", {}, 120, 0},
                     {"bin\\a.dll", {}, 5000, 0, ListedKind::kZstd, {}, 900}};
    written.kept = {{"bin/\xB2\xE5\xBC\xFE.dll", {}, 70000, 0}, {"b.txt", {}, 0, 0}};
    written.kept[0].sha256.fill(0x5A);
    const std::string text = HashListText(written);
    EXPECT_EQ(text.substr(0, 48), "vintrel-delivery 3\r\nrelease 1796534400\r\n" +
                                      std::string(full ? "full 2.0" : "from 179"));
    EXPECT_NE(text.find("\r\nkept " + DigestHex(written.kept[0].sha256) +
                        " 70000 bin/\xB2\xE5\xBC\xFE.dll\r\n"),
              std::string::npos);

    HashList list;
    HashListError error;
    ASSERT_TRUE(ParseHashList(text, list, error)) << HashListErrorText(error);
    EXPECT_EQ(list.format, 3);
    EXPECT_EQ(list.full, full);
    EXPECT_EQ(list.from, written.from);
    EXPECT_EQ(list.mainVersion, written.mainVersion);
    ASSERT_EQ(list.files.size(), 2u);
    ASSERT_EQ(list.kept.size(), 2u);
    EXPECT_EQ(list.files[1].path, "bin/a.dll");
    EXPECT_EQ(list.kept[0].path, written.kept[0].path);
    EXPECT_EQ(list.kept[0].sha256, written.kept[0].sha256);
    EXPECT_EQ(list.kept[1].line, 7u);
    EXPECT_EQ(HashListText(list), text);
    // Kept files are not delivered: the delivered files' index does not find them.
    EXPECT_EQ(FindListedFile(list, IndexListedFiles(list), "b.txt"), nullptr);
  }
}

}  // namespace
