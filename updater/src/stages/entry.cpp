// Updater.exe: the entry point and the stage decision.

#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <cwchar>
#include <string>

#include "base/disk_changes.h"
#include "base/folders.h"
#include "base/handles.h"
#include "base/log.h"
#include "base/text.h"
#include "stages/service.h"
#include "stages/stages.h"
#include "update/update_run.h"

namespace {

// The second stage runs elevated from the user's temporary folder: never load a DLL planted
// there. SetDefaultDllDirectories is looked up, not imported: Vista and Windows 7 without its
// loader update lack it, and would refuse to start the program at all.
void RestrictDllSearch() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      reinterpret_cast<void*>(kernel32 ? GetProcAddress(kernel32, "SetDefaultDllDirectories")
                                       : nullptr));
  if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
  // Takes the current folder out of the search order.
  SetDllDirectoryW(L"");
}

#ifdef VINTREL_TEST_FAULTS
// The test build that plays the faults a user's machine brings. With
// VINTREL_DECLINE_ELEVATION=1 the first stage's elevated start fails as a refused prompt does.
BOOL WINAPI DeclineElevation(SHELLEXECUTEINFOW*) {
  SetLastError(ERROR_CANCELLED);
  return FALSE;
}

void ListenForDeclinedPrompt() {
  wchar_t value[8] = {};
  if (GetEnvironmentVariableW(L"VINTREL_DECLINE_ELEVATION", value, 8) && value[0] == L'1') {
    SetShellExecuteHookForTesting(DeclineElevation);
  }
}

// It also proves every change to the disk repairable: with VINTREL_KILL_AFTER_CHANGE=k in its
// environment, the second stage ends its own process right after its k-th change, first leaving
// "vintrel-killed-at-<k>" in the temporary folder so that the test knows the run was cut. That is
// a process killed at any point, nothing more: what it wrote stays in the system's cache, so a
// power cut also rests on the flush order (docs/updater.md, "What a power cut can still cost").
unsigned long killAfterChange = 0;
unsigned long changesSoFar = 0;
std::wstring killMarkerFolder;  // with its final separator

void EndAfterChosenChange() {
  if (++changesSoFar != killAfterChange) return;
  const std::wstring marker = killMarkerFolder + L"vintrel-killed-at-" +
                              std::to_wstring(changesSoFar);
  CloseHandle(CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  ReportServiceKilledForTesting();
  TerminateProcess(GetCurrentProcess(), 3);
}

std::wstring ProgramDataFolder() {
  std::wstring programData = ServiceFolder();
  for (int level = 0; level < 2; ++level) programData.resize(programData.find_last_of(L'\\'));
  return programData;
}

// Its update service pauses right before it repairs and applies while "vintrel-test-pause"
// stands in ProgramData (two minutes at most), saying so with "vintrel-test-paused" beside it:
// the test starts other applies meanwhile.
void PauseWhileAsked() {
  const std::wstring programData = ProgramDataFolder();
  const std::wstring pause = programData + L"\\vintrel-test-pause";
  const std::wstring paused = programData + L"\\vintrel-test-paused";
  CloseHandle(CreateFileW(paused.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  for (int wait = 0; wait < 1200 && GetFileAttributesW(pause.c_str()) != INVALID_FILE_ATTRIBUTES;
       ++wait) {
    Sleep(100);
  }
  DeleteFileW(paused.c_str());
}

// The service takes its kill point from "vintrel-test-kill-after" in ProgramData (the service
// manager passes it no environment) and leaves its marker there.
void ListenForServiceKillPoint() {
  const std::wstring programData = ProgramDataFolder();
  const FileHandle chosen(CreateFileW((programData + L"\\vintrel-test-kill-after").c_str(),
                                      GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
  char digits[16] = {};
  DWORD read = 0;
  if (!chosen.valid() || !ReadFile(chosen.get(), digits, sizeof(digits) - 1, &read, nullptr)) {
    return;
  }
  killAfterChange = std::strtoul(digits, nullptr, 10);
  killMarkerFolder = programData + L"\\";
  if (killAfterChange > 0) SetDiskChangeHookForTesting(EndAfterChosenChange);
}

void ListenForKillPoint() {
  killMarkerFolder = GetTempFolder();
  // Hundreds of runs: none has a process to wait for.
  SetEndedProcessesWaitForTesting(0);
  wchar_t value[32] = {};
  if (!GetEnvironmentVariableW(L"VINTREL_KILL_AFTER_CHANGE", value, 32)) return;
  killAfterChange = std::wcstoul(value, nullptr, 10);
  if (killAfterChange > 0) SetDiskChangeHookForTesting(EndAfterChosenChange);
}
#endif

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
  RestrictDllSearch();
#ifdef VINTREL_TEST_FAULTS
  SetServicePauseHookForTesting(PauseWhileAsked);
  if (commandLine && std::wcsstr(commandLine, L"--service")) ListenForServiceKillPoint();
#endif
  // The service's verbs (a build with keys only) log elsewhere, or as an installer's step.
  int serviceExitCode = 0;
  if (RunServiceVerb(commandLine, serviceExitCode)) return serviceExitCode;
  // The second stage runs elevated, and its log lies where any program of the user can write.
  const bool secondStage = IsRunningFromTemp();
  if (secondStage) GuardLogAgainstLinks();
#ifdef VINTREL_TEST_FAULTS
  if (secondStage) {
    ListenForKillPoint();
  } else {
    ListenForDeclinedPrompt();
  }
#endif

  WriteLog("开始启动更新程序");
  int argumentCount = 0;
  // Kept until the process ends: the argument values point into it.
  wchar_t** szArglist = CommandLineToArgvW(commandLine, &argumentCount);
  for (int i = 0; szArglist && i < argumentCount; ++i) {
    WriteLog("szArglist = " + WideToNarrow(szArglist[i]));
  }
  if (!szArglist || argumentCount <= 1) {
    WriteLog("参数小于或等于1");
    return 0;
  }
  installPathArg = szArglist[0];
  WriteLog("installPathArg = " + WideToNarrow(installPathArg));
  rootPathArg = szArglist[1];
  WriteLog("rootPathArg = " + WideToNarrow(rootPathArg));

  return secondStage ? RunSecondStage() : RunFirstStage();
}
