// KillProcessByName against real processes: copies of the probe program under test names,
// started to wait, then ended by name.

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>

#include "test_support.h"
#include "update/process_kill.h"

using namespace testing_support;

namespace {

class KillProcessByNameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* probe = std::getenv("PROBE_APP");
    ASSERT_NE(probe, nullptr) << "PROBE_APP not set";
    probe_ = FromHostPath(probe);
    ASSERT_TRUE(FileExists(probe_));
  }

  void TearDown() override {
    // Whatever the test left running goes before its folder does.
    for (const ProcessHandle& process : started_) {
      TerminateProcess(process.get(), 0);
      WaitForSingleObject(process.get(), 10000);
    }
  }

  // Starts the probe program, copied under name into a folder of its own, to wait until ended.
  const ProcessHandle& StartWaiting(const std::wstring& name) {
    const std::wstring copy = folders_.emplace_back() / name;
    EXPECT_TRUE(CopyFileW(probe_.c_str(), copy.c_str(), FALSE));
    started_.push_back(StartProcess(L"\"" + copy + L"\" --wait"));
    EXPECT_TRUE(started_.back().valid()) << "could not start " << ToCodePage(name, CP_UTF8);
    return started_.back();
  }

  std::wstring probe_;
  // Deques: the references handed out stay valid as more are added.
  std::deque<ScratchFolder> folders_;
  std::deque<ProcessHandle> started_;
};

}  // namespace

TEST_F(KillProcessByNameTest, EndsEveryProcessOfTheNameAndOnlyThose) {
  const ProcessHandle& first = StartWaiting(L"结束我-kill.exe");
  const ProcessHandle& second = StartWaiting(L"结束我-kill.exe");
  const ProcessHandle& third = StartWaiting(L"结束我-kill.exe");
  const ProcessHandle& otherCase = StartWaiting(L"结束我-KILL.exe");
  ASSERT_EQ(CountProcesses(L"结束我-kill.exe"), 3);

  KillProcessByName("结束我-kill.exe");
  EXPECT_EQ(WaitForExitCode(first), 9u);
  EXPECT_EQ(WaitForExitCode(second), 9u);
  EXPECT_EQ(WaitForExitCode(third), 9u);
  // Only letter case differs: not the same name.
  EXPECT_EQ(WaitForExitCode(otherCase, 500), STILL_ACTIVE);

  KillProcessByName("结束我-KILL.exe");
  EXPECT_EQ(WaitForExitCode(otherCase), 9u);
}

TEST_F(KillProcessByNameTest, NoMatchChangesNothing) {
  // U+0E01 has no code page 936 form: a byte comparison would have seen "保留?.exe".
  const std::wstring unrepresentable = L"保留\u0E01.exe";
  const ProcessHandle& plain = StartWaiting(L"keep-running.exe");
  const ProcessHandle& lossy = StartWaiting(unrepresentable);
  ASSERT_EQ(CountProcesses(unrepresentable), 1);

  KillProcessByName("no-such-program.exe");
  KillProcessByName("保留?.exe");
  KillProcessByName("keep-running");
  EXPECT_EQ(WaitForExitCode(plain, 500), STILL_ACTIVE);
  EXPECT_EQ(WaitForExitCode(lossy, 0), STILL_ACTIVE);
}
