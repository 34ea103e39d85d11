// The real Updater.exe as a process: argument handling, the relaunch into the temporary
// folder, and the second stage's view of its arguments.

#include <gtest/gtest.h>

#include "base/folders.h"
#include "test_support.h"

using namespace testing_support;

namespace {

const wchar_t kSecondStageName[] = L"Kivo直播助手升级程序.exe";

bool Contains(const std::vector<std::wstring>& lines, const std::wstring& line) {
  for (const std::wstring& candidate : lines) {
    if (candidate == line) return true;
  }
  return false;
}

class UpdaterProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    updater = FromEnvironment("UPDATER_EXE");
    probe = FromEnvironment("PROBE_APP");
    ASSERT_TRUE(FileExists(updater)) << "UPDATER_EXE not set or missing";
    EnsureLogFolder();
    RemoveTree(GetDataTempFolder());
    DeleteFileW((GetTempFolder() + kSecondStageName).c_str());
  }
  void TearDown() override {
    RemoveTree(GetDataTempFolder());
    DeleteFileW((GetTempFolder() + kSecondStageName).c_str());
  }

  // Runs the first stage with the arguments and waits until the second stage has ended too.
  DWORD RunChain(const std::wstring& arguments) {
    const DWORD exitCode = RunAndWait(Quote(updater) + L" " + arguments);
    EXPECT_TRUE(WaitUntilNoProcess(kSecondStageName));
    return exitCode;
  }

  std::wstring updater;
  std::wstring probe;
};

}  // namespace

TEST_F(UpdaterProcess, FewerThanTwoArgumentsOnlyLog) {
  EXPECT_EQ(RunAndWait(Quote(updater)), 0u);
  std::vector<std::wstring> log = ReadLogMessages();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0], L"开始启动更新程序");
  EXPECT_EQ(log[1], L"szArglist = " + updater);  // the splitter's one element: the program
  EXPECT_EQ(log[2], L"参数小于或等于1");

  EXPECT_EQ(RunAndWait(Quote(updater) + L" \"C:\\只有 一个\""), 0u);
  log = ReadLogMessages();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1], L"szArglist = C:\\只有 一个");
  EXPECT_EQ(log[2], L"参数小于或等于1");
  EXPECT_FALSE(FileExists(GetTempFolder() + kSecondStageName));
}

TEST_F(UpdaterProcess, ThreeArgumentsAreAllLoggedAndTwoUsed) {
  // Started from inside the temporary folder it is the second stage at once: its log shows
  // every argument and the two it keeps.
  ScratchFolder folder;
  const std::wstring copy = folder / L"Kivo直播助手升级程序.exe";
  ASSERT_TRUE(CopyFileW(updater.c_str(), copy.c_str(), FALSE));
  RunAndWait(Quote(copy) + L" C:\\install D:/root third");
  const std::vector<std::wstring> log = ReadLogMessages();
  ASSERT_GE(log.size(), 7u);
  EXPECT_EQ(log[1], L"szArglist = C:\\install");
  EXPECT_EQ(log[2], L"szArglist = D:/root");
  EXPECT_EQ(log[3], L"szArglist = third");
  EXPECT_EQ(log[4], L"installPathArg = C:\\install");
  EXPECT_EQ(log[5], L"rootPathArg = D:/root");
  EXPECT_EQ(log.back(), L"主工程安装路径：D:\\root/bin/32bit/");
}

TEST_F(UpdaterProcess, FirstStageRelaunchesWithBothPathsIntact) {
  struct Case {
    std::wstring install;
    std::wstring root;
  };
  const Case cases[] = {
      {L"C:\\Program Files (x86)\\Kivo直播助手\\", L"C:\\Program Files (x86)\\Kivo直播助手\\"},
      {L"C:\\安装 目录", L"C:\\根 目录\\\\"},
      {L"C:\\plain", L"C:\\plain"},
  };
  for (const Case& c : cases) {
    // The main application quotes each path; a trailing backslash is escaped as it must be for
    // the splitter's argument rules.
    std::wstring root = c.root;
    size_t trailing = root.size() - (root.find_last_not_of(L'\\') + 1);
    const std::wstring arguments =
        Quote(c.install) + L" " + Quote(root + std::wstring(trailing, L'\\'));
    EXPECT_EQ(RunChain(arguments), 0u);

    const std::wstring secondStage = GetTempFolder() + kSecondStageName;
    EXPECT_EQ(ReadBytes(secondStage), ReadBytes(updater)) << "the running updater is copied";
    // The log now holds the second stage's lines only.
    const std::vector<std::wstring> log = ReadLogMessages();
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(log[0], L"开始启动更新程序");
    EXPECT_EQ(log[1], L"szArglist = " + c.install);
    EXPECT_EQ(log[2], L"szArglist = " + c.root);
    EXPECT_EQ(log[3], L"installPathArg = " + c.install);
    EXPECT_EQ(log[4], L"rootPathArg = " + c.root);
    EXPECT_TRUE(Contains(log, L"主工程安装路径：" + c.root + L"/bin/32bit/"));
  }
}

TEST_F(UpdaterProcess, DeliveredUpdaterIsPreferredOverTheRunningOne) {
  ASSERT_TRUE(FileExists(probe));
  MakeFolders(GetDataTempFolder());
  ASSERT_TRUE(CopyFileW(probe.c_str(), (GetDataTempFolder() + L"\\Updater.exe").c_str(), FALSE));
  const std::wstring record = GetTempFolder() + L"probe-record.txt";
  DeleteFileW(record.c_str());

  EXPECT_EQ(RunChain(L"\"C:\\inst\" \"C:\\root dir\""), 0u);
  const std::wstring secondStage = GetTempFolder() + kSecondStageName;
  EXPECT_EQ(ReadBytes(secondStage), ReadBytes(probe));
  // The delivered program ran from the temporary folder with both paths.
  for (int i = 0; i < 50 && !FileExists(record); ++i) Sleep(100);
  const std::string recorded = ReadBytes(record);
  EXPECT_NE(recorded.find("args=\"C:\\inst\" \"C:\\root dir\""), std::string::npos) << recorded;
  DeleteFileW(record.c_str());
}

TEST_F(UpdaterProcess, OverlongPathsFailTheRelaunchCleanly) {
  // Far beyond MAX_PATH: the relaunch has no usable destination problem, but the second
  // stage's executable path cannot be joined, so it exits with 1 and nothing crashes.
  const std::wstring longRoot = L"C:\\" + std::wstring(400, L'r');
  EXPECT_EQ(RunChain(Quote(L"C:\\inst") + L" " + Quote(longRoot)), 0u);
  const std::vector<std::wstring> log = ReadLogMessages();
  ASSERT_GE(log.size(), 6u);
  EXPECT_EQ(log[4], L"rootPathArg = " + longRoot);
  EXPECT_EQ(log.back(), L"主工程安装路径：" + longRoot + L"/bin/32bit/");
}
