// UpdateInfo.ini read from real files, and the manifest folder picked among real folders.

#include <gtest/gtest.h>

#include <vector>

#include "manifest_line.h"
#include "test_support.h"
#include "update/manifest.h"

using namespace testing_support;

namespace {

// One entry as a line of text, so that whole readings compare at a glance.
std::wstring Describe(const ManifestEntry& entry) {
  std::wstring text = entry.section == ManifestSection::kUpdatedFiles ? L"updated " : L"deleted ";
  text += L"[" + entry.relativePath + L"]";
  if (entry.createParentFolder) text += L" +folder";
  return text;
}

class ReadManifestTest : public ::testing::Test {
 protected:
  // Writes bytes as the manifest and reads it back, entry by entry.
  std::vector<std::wstring> Read(const std::string& bytes) {
    WriteBytes(path_, bytes);
    return ReadWritten();
  }
  std::vector<std::wstring> ReadWritten() {
    std::vector<std::wstring> entries;
    written_.clear();
    opened_ = ReadManifest(path_, [&](const ManifestEntry& entry) {
      entries.push_back(Describe(entry));
      written_.push_back(entry.written);
    });
    return entries;
  }

  ScratchFolder folder_;
  const std::wstring path_ = folder_ / L"UpdateInfo.ini";
  std::vector<std::string> written_;
  bool opened_ = false;
};

using Entries = std::vector<std::wstring>;

}  // namespace

TEST_F(ReadManifestTest, SectionsFollowTheMarkersInFileOrder) {
  EXPECT_EQ(Read("before any marker\nUpdatedFiles:\np1\nDeletedFiles:\np2\nUpdatedFiles:\np3\n"),
            (Entries{L"updated [p1]", L"deleted [p2]", L"updated [p3]"}));
  EXPECT_TRUE(opened_);
  // The same path in both sections comes twice, in file order.
  EXPECT_EQ(Read("DeletedFiles:\nx.dll\nUpdatedFiles:\nx.dll\n"),
            (Entries{L"deleted [x.dll]", L"updated [x.dll]"}));
  // Empty sections, and markers that follow one another.
  EXPECT_EQ(Read("UpdatedFiles:\nDeletedFiles:\nDeletedFiles:\ngone.txt"),
            (Entries{L"deleted [gone.txt]"}));
  EXPECT_EQ(Read(""), Entries{});
  EXPECT_EQ(Read("no marker at all\nbin/x.dll\n"), Entries{});
}

TEST_F(ReadManifestTest, OnlyTheExactWholeLineIsAMarker) {
  EXPECT_EQ(Read("UpdatedFiles:\nDeletedFiles: \ndeletedfiles:\n DeletedFiles:\nDeletedFiles:\t\n"),
            (Entries{L"updated [DeletedFiles: ]", L"updated [deletedfiles:]",
                     L"updated [ DeletedFiles:]", L"updated [DeletedFiles:\t]"}));
  // After a byte-order mark the first line is no marker: the entries that follow it are read
  // in the section in force, and before any marker they are ignored.
  EXPECT_EQ(Read("\xEF\xBB\xBFUpdatedFiles:\nbin/x.dll\n"), Entries{});
  const std::string marked = "\xEF\xBB\xBFUpdatedFiles:";
  EXPECT_EQ(Read("DeletedFiles:\n" + marked + "\nbin/x.dll\n"),
            (Entries{L"deleted [" + FromCodePage(marked) + L"]", L"deleted [bin\\x.dll]"}));
  EXPECT_EQ(written_, (std::vector<std::string>{marked, "bin/x.dll"}));
}

TEST_F(ReadManifestTest, LineEndsAndEmptyLines) {
  const Entries expected{L"updated [a.dll]", L"updated []", L"deleted [b.dll]"};
  EXPECT_EQ(Read("UpdatedFiles:\na.dll\n\nDeletedFiles:\nb.dll\n"), expected);
  EXPECT_EQ(Read("UpdatedFiles:\r\na.dll\r\n\r\nDeletedFiles:\r\nb.dll\r\n"), expected);
  // The last line is read without a line break, too.
  EXPECT_EQ(Read("UpdatedFiles:\r\na.dll\r\n\r\nDeletedFiles:\r\nb.dll"), expected);
  EXPECT_EQ(written_, (std::vector<std::string>{"a.dll", "", "b.dll"}));
  // Only a CR right before the line feed goes; as in text mode, CTRL+Z ends the file.
  Read("UpdatedFiles:\r\na\rb\r\r\nc\r\nd.dll\r\x1A\r\nignored.dll\r\n");
  EXPECT_EQ(written_, (std::vector<std::string>{"a\rb\r", "c", "d.dll\r"}));
}

TEST_F(ReadManifestTest, EntriesBecomeWidePathsWithBackslashes) {
  EXPECT_EQ(Read("UpdatedFiles:\n"
                 "bin/32bit/new/x.dll\n"
                 "bin\\32bit\\new\\x.dll\n"
                 "bin/32bit/Kivo直播助手.exe\n"
                 "DeletedFiles:\n"
                 "bin/32bit/旧 文件.dll\n"),
            (Entries{L"updated [bin\\32bit\\new\\x.dll] +folder",
                     L"updated [bin\\32bit\\new\\x.dll]",
                     L"updated [bin\\32bit\\Kivo直播助手.exe] +folder",
                     L"deleted [bin\\32bit\\旧 文件.dll]"}));
  // The text as written is kept for the log: code page 936 bytes and forward slashes.
  ASSERT_EQ(written_.size(), 4u);
  EXPECT_EQ(written_[2], ToCodePage(L"bin/32bit/Kivo直播助手.exe"));
}

TEST_F(ReadManifestTest, MissingFileGivesNothingAndAnOpenFileIsStillRead) {
  EXPECT_EQ(ReadWritten(), Entries{});
  EXPECT_FALSE(opened_);

  // Another program writing the manifest at the same time does not keep it from being read.
  WriteBytes(path_, "DeletedFiles:\nold.dll\n");
  using FileHandle = ScopedHandle<InvalidValueIsInvalidTraits<CloseHandle>>;
  const FileHandle writer(CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      0, nullptr));
  ASSERT_TRUE(writer.valid());
  EXPECT_EQ(ReadWritten(), Entries{L"deleted [old.dll]"});
}

TEST(LocateManifestFolder, CurrentBrandFirstThenTheEarlierOneForItsInstallations) {
  ScratchFolder appData;
  const std::wstring current = appData / L"OrbeskVintrel\\Temp";
  const std::wstring earlier = appData / L"UlvarnVintrel\\Temp";
  const std::wstring earlierRoot = L"D:\\Apps\\Dremoth直播助手";
  const std::wstring currentRoot = L"D:\\Apps\\Kivo直播助手";

  // Neither exists: an earlier-brand installation ends the run; any other keeps the missing
  // folder, whose manifest then cannot be opened.
  EXPECT_EQ(LocateManifestFolder(current, earlierRoot), std::nullopt);
  EXPECT_EQ(LocateManifestFolder(current, currentRoot), current);

  MakeFolders(earlier);
  EXPECT_EQ(LocateManifestFolder(current, earlierRoot), earlier);
  EXPECT_EQ(LocateManifestFolder(current, L"D:\\Dremoth\\App"), earlier);
  EXPECT_EQ(LocateManifestFolder(current, currentRoot), current);
  // The brand is matched with its letter case.
  EXPECT_EQ(LocateManifestFolder(current, L"D:\\Apps\\dremoth"), current);

  MakeFolders(current);
  EXPECT_EQ(LocateManifestFolder(current, earlierRoot), current);
  EXPECT_EQ(LocateManifestFolder(current, currentRoot), current);

  // A data folder without the current name has no earlier counterpart; no data folder at all
  // leaves nothing to work on.
  EXPECT_EQ(LocateManifestFolder(appData / L"Elsewhere\\Temp", earlierRoot), std::nullopt);
  EXPECT_EQ(LocateManifestFolder(L"", currentRoot), std::nullopt);
}

// A line longer than any path is held only up to the bound; the lines after it read as usual.
TEST_F(ReadManifestTest, LinesLongerThanAnyPathAreCutAndTheRestIsRead) {
  struct Case {
    std::string line;
    bool cut;
  };
  const Case cases[] = {
      {std::string(kMaxKeptLineBytes, 'a'), false},
      {std::string(kMaxKeptLineBytes + 1, 'b'), true},
      // Across several reads of the file, with a CR LF at its end.
      {std::string(5 * kMaxKeptLineBytes + 7, 'c'), true},
      // Its CR the last byte of the first 64 KiB read, its line feed the first of the next.
      {std::string(65536 - 15 - 1, 'd'), false},
  };
  for (const Case& c : cases) {
    WriteBytes(path_, "UpdatedFiles:\r\n" + c.line + "\r\nafter.dll\r\nDeletedFiles:\r\n" +
                          std::string(3 * kMaxKeptLineBytes, 'z'));
    std::vector<ManifestEntry> entries;
    ReadManifest(path_, [&](const ManifestEntry& entry) { entries.push_back(entry); });
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].cut, c.cut);
    EXPECT_EQ(entries[0].written, c.line.substr(0, kMaxKeptLineBytes));
    EXPECT_FALSE(entries[1].cut);
    EXPECT_EQ(entries[1].written, "after.dll");
    // The last line, without a line break, is cut as well.
    EXPECT_EQ(entries[2].section, ManifestSection::kDeletedFiles);
    EXPECT_TRUE(entries[2].cut);
    EXPECT_EQ(entries[2].written.size(), kMaxKeptLineBytes);
  }
}
