// The update's work after the wait, on real folders: the manifest's entries applied in file
// order, the entries that would reach outside their folders, the delivery's removal and the
// earlier brand's fallback.

#include <gtest/gtest.h>

#include <cstdlib>

#include "base/file_copy.h"
#include "base/log.h"
#include "test_support.h"
#include "update/shortcuts.h"
#include "update/update_run.h"

using namespace testing_support;

namespace {

void NoSleep(DWORD) {}

class ManifestRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureLogFolder();
    ResetLogForTesting();
    WriteLog("test start");
    SetCopyRetrySleepHookForTesting(NoSleep);
    MakeFolders(delivery_);
    MakeFolders(root_);
  }
  void TearDown() override { SetCopyRetrySleepHookForTesting(nullptr); }

  // The manifest is code page 936 text; the tests write it from wide text.
  void WriteManifest(const std::wstring& text) {
    WriteBytes(delivery_ + L"\\UpdateInfo.ini", ToCodePage(text));
  }
  std::vector<std::wstring> LogAfterStart() {
    std::vector<std::wstring> messages = ReadLogMessages();
    if (!messages.empty()) messages.erase(messages.begin());
    return messages;
  }
  std::wstring CopyLine(const std::wstring& relative) {
    return L"copy file from : " + delivery_ + L"\\" + relative + L",to :" + root_ + L"\\" +
           relative;
  }

  ScratchFolder scratch_;
  const std::wstring delivery_ = scratch_ / L"OrbeskVintrel\\Temp";
  const std::wstring root_ = scratch_ / L"安装 root";
};

}  // namespace

TEST_F(ManifestRunTest, EntriesAreActedOnInFileOrder) {
  WriteBytes(delivery_ + L"\\p1.txt", "new p1");
  WriteBytes(delivery_ + L"\\p3.txt", "new p3");
  WriteBytes(delivery_ + L"\\both.txt", "new both");
  WriteBytes(root_ + L"\\p1.txt", "old p1");
  WriteBytes(root_ + L"\\p2.txt", "old p2");
  WriteManifest(L"UpdatedFiles:\np1.txt\nDeletedFiles:\np2.txt\nUpdatedFiles:\np3.txt\n"
                L"DeletedFiles:\nboth.txt\nUpdatedFiles:\nboth.txt\n");
  ApplyManifest(delivery_, root_);

  EXPECT_EQ(ReadBytes(root_ + L"\\p1.txt"), "new p1");
  EXPECT_FALSE(FileExists(root_ + L"\\p2.txt"));
  EXPECT_EQ(ReadBytes(root_ + L"\\p3.txt"), "new p3");
  EXPECT_EQ(ReadBytes(root_ + L"\\both.txt"), "new both") << "deleted, then copied";
  EXPECT_EQ(LogAfterStart(),
            (std::vector<std::wstring>{CopyLine(L"p1.txt"), L"delete file : " + root_ + L"\\p2.txt",
                                       CopyLine(L"p3.txt"),
                                       L"delete file : " + root_ + L"\\both.txt",
                                       CopyLine(L"both.txt")}));
}

TEST_F(ManifestRunTest, OnlyEntriesWrittenWithSlashGetOneFolderLevel) {
  MakeFolders(root_ + L"\\bin\\32bit");
  for (const wchar_t* relative :
       {L"bin\\32bit\\new\\x.dll", L"bin\\32bit\\new2\\y.dll", L"bin\\two\\levels\\z.dll"}) {
    const std::wstring delivered = delivery_ + L"\\" + relative;
    MakeFolders(delivered.substr(0, delivered.rfind(L'\\')));
    WriteBytes(delivered, "delivered");
  }
  WriteBytes(delivery_ + L"\\after.txt", "after");
  WriteManifest(L"UpdatedFiles:\nbin/32bit/new/x.dll\nbin\\32bit\\new2\\y.dll\n"
                L"bin/two/levels/z.dll\nafter.txt\n");
  ApplyManifest(delivery_, root_);

  EXPECT_EQ(ReadBytes(root_ + L"\\bin\\32bit\\new\\x.dll"), "delivered");
  EXPECT_FALSE(FolderExists(root_ + L"\\bin\\32bit\\new2"));
  EXPECT_FALSE(FolderExists(root_ + L"\\bin\\two"));
  // A failed copy does not stop the entries after it.
  EXPECT_EQ(ReadBytes(root_ + L"\\after.txt"), "after");
  EXPECT_EQ(LogAfterStart().size(), 4u);
}

TEST_F(ManifestRunTest, EmptyEntryMissingFileAndFolderRemoveNothing) {
  MakeFolders(root_ + L"\\bin");
  WriteBytes(root_ + L"\\bin\\kept.dll", "kept");
  WriteManifest(L"UpdatedFiles:\n\nDeletedFiles:\n\nmissing.dll\nbin\n");
  ApplyManifest(delivery_, root_);

  EXPECT_EQ(ReadBytes(root_ + L"\\bin\\kept.dll"), "kept");
  // The empty entry names the folders themselves: a folder is no file to copy, so the copy
  // stops after its first line, and the removal of the root folder fails.
  EXPECT_EQ(LogAfterStart(),
            (std::vector<std::wstring>{L"copy file from : " + delivery_ + L",to :" + root_,
                                       L"delete file : " + root_,
                                       L"delete file : " + root_ + L"\\missing.dll",
                                       L"delete file : " + root_ + L"\\bin"}));
}

TEST_F(ManifestRunTest, EntriesReachingOutsideTheirFoldersAreSkipped) {
  const std::wstring outside = scratch_ / L"outside.txt";
  WriteBytes(outside, "canary");
  WriteBytes(delivery_ + L"\\safe.txt", "safe");
  WriteBytes(delivery_ + L"\\kept-inside.txt", "inside");
  WriteBytes(root_ + L"\\gone.txt", "old");
  const std::vector<std::wstring> unsafe = {
      L"..\\..\\outside.txt",
      L"../../outside.txt",
      L"bin/../../../outside.txt",
      outside,                            // a drive
      L"\\outside.txt",                   // a leading separator
      L"\\\\server\\share\\outside.txt",  // UNC
      L"\\\\?\\" + outside,               // device forms
      L"\\\\.\\" + outside,
      L"C:outside.txt",                   // the drive's current folder
  };
  // Inside the root folder, but as a source outside the manifest folder.
  const std::wstring absoluteInRoot = root_ + L"\\from-elsewhere.txt";
  std::wstring manifest = L"UpdatedFiles:\n" + absoluteInRoot + L"\n";
  for (const std::wstring& entry : unsafe) manifest += entry + L"\n";
  manifest += L"safe.txt\nsub/../kept-inside.txt\nDeletedFiles:\n";
  for (const std::wstring& entry : unsafe) manifest += entry + L"\n";
  manifest += L"gone.txt\n";
  WriteManifest(manifest);
  ApplyManifest(delivery_, root_);

  EXPECT_EQ(ReadBytes(outside), "canary");
  EXPECT_FALSE(FileExists(root_ + L"\\from-elsewhere.txt"));
  EXPECT_EQ(ReadBytes(root_ + L"\\safe.txt"), "safe");
  EXPECT_EQ(ReadBytes(root_ + L"\\kept-inside.txt"), "inside");
  EXPECT_FALSE(FileExists(root_ + L"\\gone.txt"));

  std::vector<std::wstring> expected{L"skip unsafe entry : " + absoluteInRoot};
  for (const std::wstring& entry : unsafe) expected.push_back(L"skip unsafe entry : " + entry);
  expected.push_back(CopyLine(L"safe.txt"));
  expected.push_back(CopyLine(L"kept-inside.txt"));
  for (const std::wstring& entry : unsafe) expected.push_back(L"skip unsafe entry : " + entry);
  expected.push_back(L"delete file : " + root_ + L"\\gone.txt");
  EXPECT_EQ(LogAfterStart(), expected);
}

// Also run with the ANSI code page 1252. A deletion names the file the entry names, whatever
// the system's code page: never the file that the code page 936 bytes would name under it,
// nor another one for a root folder that code page 936 cannot hold.
TEST_F(ManifestRunTest, AnsiCodePageDeletionRemovesTheNamedFileOnly) {
  if (const char* expected = std::getenv("EXPECTED_ANSI_CODE_PAGE")) {
    ASSERT_EQ(GetACP(), static_cast<UINT>(std::atoi(expected)));
  }
  const std::wstring named = root_ + L"\\删除我.txt";
  const std::wstring lookalike = root_ + L"\\" + FromCodePage(ToCodePage(L"删除我.txt"), 1252);
  WriteBytes(named, "named");
  WriteBytes(lookalike, "lookalike");
  // U+0E01 has no code page 936 form; the log shows it as "?".
  const std::wstring thaiRoot = scratch_ / L"根\u0E01";
  MakeFolders(thaiRoot);
  WriteBytes(thaiRoot + L"\\x.txt", "named");
  WriteManifest(L"DeletedFiles:\n删除我.txt\n");
  ApplyManifest(delivery_, root_);
  ApplyManifest(delivery_, thaiRoot);

  EXPECT_FALSE(FileExists(named));
  EXPECT_EQ(ReadBytes(lookalike), "lookalike");
  EXPECT_TRUE(FileExists(thaiRoot + L"\\x.txt"));
  WriteManifest(L"DeletedFiles:\nx.txt\n");
  ApplyManifest(delivery_, thaiRoot);
  EXPECT_FALSE(FileExists(thaiRoot + L"\\x.txt"));
  const std::vector<std::wstring> log = LogAfterStart();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0], L"delete file : " + named);
  EXPECT_EQ(log[2], L"delete file : " + scratch_.path() + L"\\根?\\x.txt");
}

TEST_F(ManifestRunTest, DeliveryFolderGoesEvenWithoutManifest) {
  WriteBytes(delivery_ + L"\\Updater.exe", "delivered updater");
  MakeFolders(delivery_ + L"\\sub");
  WriteBytes(delivery_ + L"\\sub\\x.dll", "x");
  std::wstring root = root_;
  ApplyDeliveredUpdate(delivery_, root);
  EXPECT_EQ(root, root_);
  EXPECT_FALSE(FolderExists(delivery_));
  EXPECT_TRUE(FolderExists(scratch_ / L"OrbeskVintrel"));
  EXPECT_EQ(LogAfterStart(), std::vector<std::wstring>{});
}

TEST_F(ManifestRunTest, EarlierBrandDeliveryIsUsedAndTheInstallationMigrated) {
  RemoveTree(delivery_);
  const std::wstring earlierDelivery = scratch_ / L"UlvarnVintrel\\Temp";
  const std::wstring earlierRoot = scratch_ / L"Dremoth直播助手";
  MakeFolders(earlierRoot + L"\\bin\\32bit");
  WriteBytes(earlierRoot + L"\\bin\\32bit\\Kivo直播助手.exe", "old");

  // Neither delivery there: the run ends, without a migration.
  std::wstring root = earlierRoot;
  ApplyDeliveredUpdate(delivery_, root);
  EXPECT_EQ(root, earlierRoot);
  EXPECT_TRUE(FolderExists(earlierRoot));

  MakeFolders(earlierDelivery + L"\\bin\\32bit");
  WriteBytes(earlierDelivery + L"\\bin\\32bit\\Kivo直播助手.exe", "new");
  WriteBytes(earlierDelivery + L"\\UpdateInfo.ini",
             ToCodePage(L"UpdatedFiles:\nbin/32bit/Kivo直播助手.exe\n"));
  WriteBytes(scratch_ / L"UlvarnVintrel\\settings.ini", "kept");
  ApplyDeliveredUpdate(delivery_, root);
  EXPECT_EQ(root, scratch_ / L"Kivo直播助手");
  EXPECT_EQ(ReadBytes(root + L"\\bin\\32bit\\Kivo直播助手.exe"), "new");
  EXPECT_FALSE(FolderExists(earlierDelivery));
  EXPECT_EQ(ReadBytes(scratch_ / L"UlvarnVintrel\\settings.ini"), "kept");
  DeleteFileW((GetCommonDesktopFolder() + L"\\Kivo直播助手.lnk").c_str());
}
