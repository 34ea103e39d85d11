#include <gtest/gtest.h>

#include <vector>

#include "base/file_copy.h"
#include "base/log.h"
#include "test_support.h"

using namespace testing_support;

namespace {

std::vector<DWORD> sleeps;
void RecordSleep(DWORD milliseconds) {
  sleeps.push_back(milliseconds);
  Sleep(milliseconds);
}

class CopyFileWithRetryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureLogFolder();
    ResetLogForTesting();
    WriteLog("test start");
    sleeps.clear();
    SetCopyRetrySleepHookForTesting(RecordSleep);
  }
  void TearDown() override { SetCopyRetrySleepHookForTesting(nullptr); }

  std::vector<std::wstring> MessagesAfterStart() {
    std::vector<std::wstring> messages = ReadLogMessages();
    messages.erase(messages.begin());
    return messages;
  }

  ScratchFolder folder;
};

}  // namespace

TEST_F(CopyFileWithRetryTest, CopiesOntoAbsentAndWritableDestinations) {
  const std::wstring source = folder / L"新 版本.dll";
  const std::wstring destination = folder / L"旧.dll";
  WriteBytes(source, "new contents");
  EXPECT_NE(CopyFileWithRetry(source, destination), 0);
  EXPECT_EQ(ReadBytes(destination), "new contents");

  WriteBytes(destination, "old contents, longer than the new ones");
  // What CopyFileW keeps that users see: the attributes and the last-write time.
  SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_HIDDEN);
  SetFileAttributesW(destination.c_str(), FILE_ATTRIBUTE_HIDDEN);
  EXPECT_NE(CopyFileWithRetry(source, destination), 0);
  EXPECT_EQ(ReadBytes(destination), "new contents");
  EXPECT_TRUE(GetFileAttributesW(destination.c_str()) & FILE_ATTRIBUTE_HIDDEN);
  WIN32_FILE_ATTRIBUTE_DATA sourceData = {}, copyData = {};
  GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &sourceData);
  GetFileAttributesExW(destination.c_str(), GetFileExInfoStandard, &copyData);
  EXPECT_EQ(CompareFileTime(&sourceData.ftLastWriteTime, &copyData.ftLastWriteTime), 0);

  const std::vector<std::wstring> messages = MessagesAfterStart();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], L"copy file from : " + source + L",to :" + destination);
  EXPECT_TRUE(sleeps.empty());
}

TEST_F(CopyFileWithRetryTest, LockedDestinationIsTriedThreeTimesThenGivenUp) {
  const std::wstring source = folder / L"new.dll";
  const std::wstring destination = folder / L"locked.dll";
  WriteBytes(source, "new");
  WriteBytes(destination, "old");
  // Held open without delete or write sharing, as a running program holds its files.
  HANDLE holder = CreateFileW(destination.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const DWORD start = GetTickCount();
  EXPECT_EQ(CopyFileWithRetry(source, destination), 0);
  const DWORD elapsed = GetTickCount() - start;
  CloseHandle(holder);

  EXPECT_EQ(sleeps, (std::vector<DWORD>{100, 100, 100}));
  EXPECT_GE(elapsed, 280u);
  EXPECT_EQ(ReadBytes(destination), "old");
  const std::vector<std::wstring> messages = MessagesAfterStart();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1], L"wait 300 to delet but failed ");
}

TEST_F(CopyFileWithRetryTest, MissingSourceFailsWithOneLine) {
  const std::wstring destination = folder / L"absent.dll";
  EXPECT_EQ(CopyFileWithRetry(folder / L"missing.dll", destination), 0);
  EXPECT_FALSE(FileExists(destination));
  EXPECT_EQ(MessagesAfterStart().size(), 1u);
  EXPECT_TRUE(sleeps.empty());
}
