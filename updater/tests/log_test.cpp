#include <gtest/gtest.h>

#include "base/folders.h"
#include "base/log.h"
#include "test_support.h"

using namespace testing_support;

namespace {

std::tm MakeTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm time = {};
  time.tm_year = year - 1900;
  time.tm_mon = month - 1;
  time.tm_mday = day;
  time.tm_hour = hour;
  time.tm_min = minute;
  time.tm_sec = second;
  return time;
}

}  // namespace

TEST(LogLine, PrefixPadsOnlyMinuteAndSecond) {
  EXPECT_EQ(FormatLogLine(MakeTime(2018, 7, 5, 9, 3, 7), "abc"), "[2018-7-5 9:03:07 ] --- abc\n");
  EXPECT_EQ(FormatLogLine(MakeTime(2019, 1, 1, 0, 0, 0), ""), "[2019-1-1 0:00:00 ] --- \n");
  EXPECT_EQ(FormatLogLine(MakeTime(2018, 12, 31, 23, 59, 59), "x"),
            "[2018-12-31 23:59:59 ] --- x\n");
  EXPECT_EQ(FormatUInt64(18446744073709551615ull), "18446744073709551615");
}

TEST(LogFile, FirstLineEmptiesLaterLinesAppendInCrLf) {
  EnsureLogFolder();
  ResetLogForTesting();
  WriteBytes(GetLogPath(), "left over from an earlier process\r\n");
  WriteLog("开始启动更新程序");
  WriteLog("second");
  WriteLog("");
  const std::string bytes = ReadLogBytes();
  EXPECT_EQ(bytes.find("left over"), std::string::npos);
  const std::vector<std::wstring> messages = ReadLogMessages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0], L"开始启动更新程序");
  EXPECT_EQ(messages[1], L"second");
  EXPECT_EQ(messages[2], L"");
  // Code page 936 bytes of the message, and every line ends in CR LF.
  EXPECT_NE(bytes.find(ToCodePage(L"开始启动更新程序") + "\r\n"), std::string::npos);
  size_t lineFeeds = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\n') {
      ++lineFeeds;
      EXPECT_TRUE(i > 0 && bytes[i - 1] == '\r');
    }
  }
  EXPECT_EQ(lineFeeds, 3u);
  // The prefix of a real line: "[year-month-day hour:mm:ss ] --- ".
  EXPECT_EQ(bytes[0], '[');
  EXPECT_NE(bytes.find(" ] --- "), std::string::npos);
}

TEST(LogFile, LongLinesAreWrittenWhole) {
  EnsureLogFolder();
  ResetLogForTesting();
  WriteLog("first");
  const std::string longMessage(5000, 'x');
  WriteLog(longMessage);
  const std::vector<std::wstring> messages = ReadLogMessages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1], std::wstring(5000, L'x'));
}

TEST(LogFile, MissingLogsFolderCreatesNothingAndLaterLinesStartAfresh) {
  EnsureLogFolder();
  ResetLogForTesting();
  WriteLog("before");
  const std::wstring logsFolder = GetDataFolder() + L"\\logs";
  RemoveTree(logsFolder);
  WriteLog("lost");
  EXPECT_FALSE(FolderExists(logsFolder));
  EXPECT_FALSE(FileExists(GetLogPath()));

  // A failed open starts the file afresh on the next line that can be written.
  EnsureLogFolder();
  WriteBytes(GetLogPath(), "stale\r\n");
  WriteLog("after");
  const std::vector<std::wstring> messages = ReadLogMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], L"after");
}
