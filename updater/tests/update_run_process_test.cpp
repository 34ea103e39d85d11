// The whole second stage: a copy of the real Updater.exe started from the temporary folder on a
// prepared installation whose main application is running.

#include <gtest/gtest.h>

#include "base/folders.h"
#include "test_support.h"

using namespace testing_support;

namespace {

std::wstring WithSlashes(std::wstring path, wchar_t from, wchar_t to) {
  for (wchar_t& c : path) {
    if (c == from) c = to;
  }
  return path;
}

// The probe's record lines (UTF-8), waiting until it holds at least count of them.
std::vector<std::wstring> WaitForRecord(const std::wstring& record, size_t count) {
  std::vector<std::wstring> lines;
  for (int attempt = 0; attempt < 100; ++attempt) {
    lines.clear();
    const std::wstring text = FromCodePage(ReadBytes(record), CP_UTF8);
    for (size_t start = 0, end; (end = text.find(L'\n', start)) != std::wstring::npos;
         start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    if (lines.size() >= count) break;
    Sleep(100);
  }
  return lines;
}

}  // namespace

TEST(SecondStage, UpdatesTheInstallationAndStartsTheNewMainApplication) {
  const std::wstring updater = FromEnvironment("UPDATER_EXE");
  const std::wstring probe = FromEnvironment("PROBE_APP");
  const std::wstring probeV2 = FromEnvironment("PROBE_APP_V2");
  ASSERT_TRUE(FileExists(updater) && FileExists(probe) && FileExists(probeV2));
  EnsureLogFolder();
  const std::wstring delivery = GetDataTempFolder();
  RemoveTree(delivery);

  // The installation, with its main application running.
  ScratchFolder scratch;
  const std::wstring root = scratch / L"Kivo 安装";
  const std::wstring bin = root + L"\\bin\\32bit";
  const std::wstring mainApp = bin + L"\\Kivo直播助手.exe";
  MakeFolders(bin);
  ASSERT_TRUE(CopyFileW(probe.c_str(), mainApp.c_str(), FALSE));
  WriteBytes(bin + L"\\old.dll", "old");
  WriteBytes(bin + L"\\kept.dll", "kept");
  WriteBytes(root + L"\\readme.txt", "old readme");
  ProcessHandle running = StartProcess(Quote(mainApp) + L" --wait");
  ASSERT_TRUE(running.valid());
  ASSERT_EQ(WaitForRecord(bin + L"\\probe-record.txt", 1).size(), 1u);
  // A first stage that has not yet gone.
  const std::wstring firstStage = scratch / L"Updater.exe";
  ASSERT_TRUE(CopyFileW(probe.c_str(), firstStage.c_str(), FALSE));
  ProcessHandle firstStageRunning = StartProcess(Quote(firstStage) + L" --wait");
  ASSERT_TRUE(firstStageRunning.valid());

  // The delivery, as the main application leaves it.
  MakeFolders(delivery + L"\\bin\\32bit\\plugins");
  const std::wstring newMainApp = delivery + L"\\bin\\32bit\\Kivo直播助手.exe";
  ASSERT_TRUE(CopyFileW(probeV2.c_str(), newMainApp.c_str(), FALSE));
  WriteBytes(delivery + L"\\bin\\32bit\\plugins\\new.dll", "new plugin");
  WriteBytes(delivery + L"\\readme.txt", "new readme");
  ASSERT_TRUE(CopyFileW(updater.c_str(), (delivery + L"\\Updater.exe").c_str(), FALSE));
  WriteBytes(delivery + L"\\UpdateInfo.ini",
             ToCodePage(L"UpdatedFiles:\r\n"
                        L"bin/32bit/Kivo直播助手.exe\r\n"
                        L"bin/32bit/plugins/new.dll\r\n"
                        L"readme.txt\r\n"
                        L"DeletedFiles:\r\n"
                        L"bin/32bit/old.dll\r\n"));

  // The second stage: an updater inside the temporary folder, given the root with "/".
  const std::wstring secondStage = scratch / L"Kivo直播助手升级程序.exe";
  ASSERT_TRUE(CopyFileW(updater.c_str(), secondStage.c_str(), FALSE));
  const std::wstring rootArgument = WithSlashes(root, L'\\', L'/');
  EXPECT_EQ(RunAndWait(Quote(secondStage) + L" \"C:\\install\" " + Quote(rootArgument)), 0u);

  EXPECT_EQ(WaitForExitCode(running), 9u);
  EXPECT_EQ(WaitForExitCode(firstStageRunning), 9u);
  EXPECT_EQ(ReadBytes(mainApp), ReadBytes(probeV2));
  EXPECT_EQ(ReadBytes(bin + L"\\plugins\\new.dll"), "new plugin");
  EXPECT_EQ(ReadBytes(root + L"\\readme.txt"), "new readme");
  EXPECT_FALSE(FileExists(bin + L"\\old.dll"));
  EXPECT_EQ(ReadBytes(bin + L"\\kept.dll"), "kept");
  EXPECT_FALSE(FolderExists(delivery));

  const std::wstring copyFrom = L"copy file from : " + delivery + L"\\";
  EXPECT_EQ(ReadLogMessages(),
            (std::vector<std::wstring>{
                L"开始启动更新程序",
                L"szArglist = C:\\install",
                L"szArglist = " + rootArgument,
                L"installPathArg = C:\\install",
                L"rootPathArg = " + rootArgument,
                copyFrom + L"bin\\32bit\\Kivo直播助手.exe,to :" + mainApp,
                copyFrom + L"bin\\32bit\\plugins\\new.dll,to :" + bin + L"\\plugins\\new.dll",
                copyFrom + L"readme.txt,to :" + root + L"\\readme.txt",
                L"delete file : " + bin + L"\\old.dll",
                L"主工程安装路径：" + root + L"/bin/32bit/",
            }));

  // The new main application, started from the root folder's "/bin/32bit/".
  const std::vector<std::wstring> record = WaitForRecord(bin + L"\\probe-record.txt", 2);
  ASSERT_EQ(record.size(), 2u);
  const std::wstring started = record[1].substr(0, record[1].find(L" args="));
  EXPECT_EQ(WithSlashes(started, L'/', L'\\'), L"version=2.0 path=" + mainApp);
  RemoveTree(delivery);
}
