#include "e2e_support.h"

#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "base/folders.h"
#include "test_support.h"

using namespace testing_support;

namespace e2e {

namespace {

const wchar_t kSecondStageName[] = L"Kivo直播助手升级程序.exe";
const wchar_t kMainAppName[] = L"Kivo直播助手.exe";

std::wstring ProgramFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value ? FromHostPath(value) : std::wstring();
}

std::wstring ParentFolder(const std::wstring& path) {
  return path.substr(0, path.find_last_of(L'\\'));
}

}  // namespace

void Checked(const std::string& what) { std::printf("    checked: %s\n", what.c_str()); }

Programs Programs::FromEnvironment() {
  return {ProgramFromEnvironment("UPDATER_EXE"), ProgramFromEnvironment("PROBE_APP"),
          ProgramFromEnvironment("PROBE_APP_V2")};
}

void MakeInstallation(const std::wstring& root, const Programs& programs) {
  MakeFolders(root + L"\\bin\\32bit");
  CopyFileW(programs.mainAppV1.c_str(), (root + L"\\bin\\32bit\\" + kMainAppName).c_str(), FALSE);
  WriteBytes(root + L"\\bin\\32bit\\config.dat", "volume=3\n");
  WriteBytes(root + L"\\bin\\32bit\\obsolete.dll", "old codec\n");
  WriteBytes(root + L"\\readme.txt", "readme 1.0\n");
}

void DeliverUpdate(const std::wstring& folder, const std::vector<std::string>& manifestLines,
                   const std::map<std::wstring, std::string>& files) {
  MakeFolders(folder);
  std::string manifest;
  for (const std::string& line : manifestLines) manifest += line + "\r\n";
  WriteBytes(folder + L"\\UpdateInfo.ini", manifest);
  for (const auto& [relative, contents] : files) {
    const std::wstring path = folder + L"\\" + relative;
    MakeFolders(ParentFolder(path));
    if (contents.rfind("copy-of:", 0) == 0) {
      CopyFileW(FromCodePage(contents.substr(8), CP_UTF8).c_str(), path.c_str(), FALSE);
    } else {
      WriteBytes(path, contents);
    }
  }
}

std::wstring DeliveryFolder() { return GetDataTempFolder(); }

std::wstring EarlierBrandDeliveryFolder() {
  const std::wstring folder = GetDataTempFolder();
  const size_t brand = folder.find(L"OrbeskVintrel");
  return folder.substr(0, brand) + L"UlvarnVintrel" + folder.substr(brand + 13);
}

std::wstring CommonDesktop() {
  wchar_t buffer[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_COMMON_DESKTOPDIRECTORY, nullptr, 0, buffer);
  return buffer;
}

DWORD RunUpdater(const Programs& programs, const std::wstring& installPath,
                 const std::wstring& rootPath, bool waitForMainApplication) {
  // The main application quotes each path; a trailing backslash of the last one is doubled so
  // that the splitter does not read it as an escaped quote.
  const size_t trailing = rootPath.size() - (rootPath.find_last_not_of(L'\\') + 1);
  const std::wstring commandLine = L"\"" + programs.updater + L"\" \"" + installPath + L"\" \"" +
                                   rootPath + std::wstring(trailing, L'\\') + L"\"";
  const DWORD exitCode = RunAndWait(commandLine);
  WaitUntilNoProcess(kSecondStageName);
  if (waitForMainApplication) WaitUntilNoProcess(kMainAppName);
  return exitCode;
}

std::vector<std::string> ProbeRecords(const std::wstring& folder) {
  std::vector<std::string> records;
  std::istringstream lines(ReadBytes(folder + L"\\probe-record.txt"));
  std::string line;
  while (std::getline(lines, line)) records.push_back(line);
  return records;
}

RunningInstances::RunningInstances(const std::wstring& exe, int count) {
  for (int i = 0; i < count; ++i) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    std::wstring commandLine = L"\"" + exe + L"\" --wait";
    if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &process)) {
      CloseHandle(process.hThread);
      processes_.push_back(process.hProcess);
    }
  }
  // Each instance records its start: wait until all have, so none starts after the update.
  const std::wstring folder = ParentFolder(exe);
  for (int i = 0; i < 100 && ProbeRecords(folder).size() < static_cast<size_t>(count); ++i) Sleep(50);
}

RunningInstances::~RunningInstances() {
  for (HANDLE process : processes_) {
    TerminateProcess(process, 1);
    CloseHandle(process);
  }
}

std::vector<DWORD> RunningInstances::ExitCodes(DWORD timeoutMs) {
  std::vector<DWORD> codes;
  for (HANDLE process : processes_) {
    WaitForSingleObject(process, timeoutMs);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    codes.push_back(code);
  }
  return codes;
}

void ResetSharedState() {
  // Links a scenario placed in or for the data folder: Wine removes such links only from Unix.
  for (const std::wstring& link : {DeliveryFolder() + L"\\" + kLinkName, DeliveryFolder(),
                                   GetDataFolder() + L"\\logs"}) {
    const DWORD attributes = GetFileAttributesW(link.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      RemoveHostSymbolicLink(link);
    }
  }
  RemoveTree(DeliveryFolder());
  RemoveTree(EarlierBrandDeliveryFolder());
  DeleteFileW((CommonDesktop() + L"\\Kivo直播助手.lnk").c_str());
  DeleteFileW((CommonDesktop() + L"\\Dremoth直播助手.lnk").c_str());
  DeleteFileW((GetTempFolder() + kSecondStageName).c_str());
  EnsureLogFolder();
}

}  // namespace e2e
