#include <gtest/gtest.h>

#include <cwctype>

#include "base/folders.h"
#include "base/paths.h"
#include "test_support.h"

using namespace testing_support;

TEST(Folders, Locations) {
  const std::wstring temp = GetTempFolder();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), L'\\');
  EXPECT_TRUE(FolderExists(temp));

  const std::wstring data = GetDataFolder();
  EXPECT_GT(data.size(), 14u);
  EXPECT_EQ(data.substr(data.size() - 14), L"\\OrbeskVintrel");
  EXPECT_EQ(GetDataTempFolder(), data + L"\\Temp");

  const std::wstring module = GetModulePath();
  EXPECT_EQ(module.substr(module.size() - 23), L"\\updater_unit_tests.exe");
  EXPECT_TRUE(FileExists(module));
}

TEST(Folders, CombinePathResolvesDotsAndRefusesOverlongPaths) {
  EXPECT_EQ(CombinePath(L"C:\\root", L"bin\\x.dll"), L"C:\\root\\bin\\x.dll");
  EXPECT_EQ(CombinePath(L"C:\\root", L"a\\..\\b.dll"), L"C:\\root\\b.dll");
  EXPECT_EQ(CombinePath(L"C:\\root", L""), L"C:\\root");
  EXPECT_EQ(CombinePath(L"C:\\root", std::wstring(300, L'a')), L"");
}

// The running test program lies outside the temporary folder; copies of it decide the stage
// test from their own location.
TEST(Folders, IsRunningFromTempTellsTheStagesApart) {
  EXPECT_FALSE(IsRunningFromTemp());
  const std::wstring program = GetModulePath();
  if (program.find(GetTempFolder()) != std::wstring::npos) GTEST_SKIP();

  // A copy in a subfolder of the temporary folder answers "inside" through its exit code.
  ScratchFolder inside;
  const std::wstring insideCopy = inside / L"stage probe.exe";
  ASSERT_TRUE(CopyFileW(program.c_str(), insideCopy.c_str(), FALSE));
  EXPECT_EQ(RunAndWait(L"\"" + insideCopy + L"\" --gtest_filter=StageProbe.*"), 0u);
}

TEST(Folders, InsideTheTemporaryFolderIsCaseSensitive) {
  const std::wstring temp = L"C:\\users\\用户\\Temp\\";
  EXPECT_TRUE(PathTextContainsFolder(temp + L"Kivo直播助手升级程序.exe", temp));
  EXPECT_TRUE(PathTextContainsFolder(temp + L"sub\\deeper\\Updater.exe", temp));
  EXPECT_FALSE(PathTextContainsFolder(L"C:\\USERS\\用户\\TEMP\\Updater.exe", temp));
  EXPECT_FALSE(PathTextContainsFolder(L"C:\\users\\用户\\Temp2\\Updater.exe", temp));
  EXPECT_FALSE(PathTextContainsFolder(L"C:\\Program Files\\Updater.exe", temp));
  EXPECT_FALSE(PathTextContainsFolder(L"C:\\Program Files\\Updater.exe", L""));
}

// Run only by the copies above: the exit code tells where the copy believed it was.
TEST(StageProbe, ExitCodeIsTheAnswer) {
  if (!::testing::GTEST_FLAG(filter).empty() && ::testing::GTEST_FLAG(filter) == "StageProbe.*") {
    std::exit(IsRunningFromTemp() ? 0 : 1);
  }
}
