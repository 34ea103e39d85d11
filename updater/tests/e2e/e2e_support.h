#pragma once
// The end-to-end scenarios' shared set-up: a sample installation, a delivered update, and the
// real Updater.exe started as the main application starts it, followed through both stages.

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace e2e {

// Prints one line of what a scenario checked, so that a run reads as a report.
void Checked(const std::string& what);

// The built programs under test, from the environment ctest sets.
struct Programs {
  std::wstring updater;
  std::wstring mainAppV1;  // the sample main application, version 1.0
  std::wstring mainAppV2;  // its next version
  static Programs FromEnvironment();
};

// The sample installation below root: bin/32bit/Kivo直播助手.exe (version 1.0) and a few files.
void MakeInstallation(const std::wstring& root, const Programs& programs);

// An update in folder: UpdateInfo.ini with lines (written as code page 936, CR LF) and files
// (relative path with "\" -> contents).
void DeliverUpdate(const std::wstring& folder, const std::vector<std::string>& manifestLines,
                   const std::map<std::wstring, std::string>& files);

// The data folder's "Temp" subfolder, the earlier brand's, and the all-users desktop.
std::wstring DeliveryFolder();
std::wstring EarlierBrandDeliveryFolder();
std::wstring CommonDesktop();

// Starts Updater.exe from outside the temporary folder with installPath and rootPath (quoted as
// the main application quotes them) and waits until stage 2 and the main application it
// started have ended. Returns stage 1's exit code.
// With waitForMainApplication false, only stage 2 is waited for (a main application that runs
// on is left running).
DWORD RunUpdater(const Programs& programs, const std::wstring& installPath,
                 const std::wstring& rootPath, bool waitForMainApplication = true);

// Lines of probe-record.txt in folder: one per start of the sample main application.
std::vector<std::string> ProbeRecords(const std::wstring& folder);

// Running copies of the sample main application, started from exe with --wait.
class RunningInstances {
 public:
  RunningInstances(const std::wstring& exe, int count);
  ~RunningInstances();
  // Exit codes once they have ended (waits up to timeoutMs for each).
  std::vector<DWORD> ExitCodes(DWORD timeoutMs = 30000);

 private:
  std::vector<HANDLE> processes_;
};

// The name of the folder link a scenario places in the delivery folder.
constexpr wchar_t kLinkName[] = L"linked";

// Removes the data folder's delivery folders and the desktop shortcuts the scenarios touch.
void ResetSharedState();

// A test on the real Updater.exe: the programs from the environment, and the shared state reset
// before and after it.
class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    programs = Programs::FromEnvironment();
    ASSERT_TRUE(GetFileAttributesW(programs.updater.c_str()) != INVALID_FILE_ATTRIBUTES)
        << "UPDATER_EXE not set";
    ResetSharedState();
  }
  void TearDown() override { ResetSharedState(); }

  Programs programs;
};

}  // namespace e2e
