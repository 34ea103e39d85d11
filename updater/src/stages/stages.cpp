#include "stages/stages.h"

#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#include "base/app_names.h"
#include "base/delivery_keys.h"
#include "base/file_copy.h"
#include "base/folders.h"
#include "base/handles.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"
#include "stages/service.h"
#include "stages/signed_relaunch.h"
#include "update/outcome_record.h"
#include "update/process_kill.h"
#include "update/update_run.h"

const wchar_t* installPathArg = L"";
const wchar_t* rootPathArg = L"";

namespace {

bool IsVistaOrLater() {
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  GetVersionExW(&version);
  return version.dwMajorVersion >= 6;
}

}  // namespace

std::wstring BuildRelaunchParameters(const std::wstring& installPath,
                                     const std::wstring& rootPath) {
  // The splitter reads backslashes before a quote as escapes in every argument but the first:
  // double the root folder's trailing ones so that they arrive as written.
  const size_t trailingBackslashes = rootPath.size() - (rootPath.find_last_not_of(L'\\') + 1);
  return L"\"" + installPath + L"\" \"" + rootPath + std::wstring(trailingBackslashes, L'\\') +
         L"\"";
}

namespace {

ShellExecuteFunction shellExecute = ShellExecuteExW;

}  // namespace

void SetShellExecuteHookForTesting(ShellExecuteFunction hook) {
  shellExecute = hook ? hook : ShellExecuteExW;
}

bool LaunchProgram(const std::wstring& file, const std::wstring& parameters,
                   const std::wstring& directory) {
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = IsVistaOrLater() ? L"runas" : nullptr;
  info.lpFile = file.c_str();
  info.lpParameters = parameters.c_str();
  info.lpDirectory = directory.empty() ? nullptr : directory.c_str();
  info.nShow = SW_SHOW;
  const bool launched = shellExecute(&info) != FALSE;
  // Nobody waits for the started program: its handle is only closed.
  ProcessHandle started(info.hProcess);
  return launched;
}

std::wstring PickRelaunchSource(const std::wstring& dataTempFolder) {
  // Without a data folder the join would be the bare name, found in whatever the current
  // folder is.
  if (dataTempFolder.empty() || PathIsRelativeW(dataTempFolder.c_str())) return GetModulePath();
  const std::wstring delivered = CombinePath(dataTempFolder, kDeliveredUpdaterName);
  return PathExists(delivered) ? delivered : GetModulePath();
}

int RunFirstStage() {
  // With keys and the update service installed, a signed delivery needs no prompt.
  int exitCode = 1;
  if (UpdateThroughService(exitCode)) return exitCode;
  const std::wstring tempFolder = GetTempFolder();
  const std::wstring destination = CombinePath(tempFolder, kRelaunchedUpdaterName);
  const DeliveryKeySet keys = CompiledDeliveryKeys();
  // With keys the copy stays held until the second stage has started from it, so that no other
  // program of the user can put its own file there to be started elevated.
  FileHandle heldCopy;
  // An unusable temporary folder leaves nothing to start: the launch below then fails.
  if (!destination.empty()) {
    // A freshly delivered updater is preferred over the running one.
    const std::wstring dataTempFolder = GetDataTempFolder();
    const std::wstring source = PickRelaunchSource(dataTempFolder);
    if (keys.count == 0) {
      CopyFileWithRetry(source, destination);
    } else {
      heldCopy = CopySignedUpdater(source, dataTempFolder, ReplaceAll(rootPathArg, L"/", L"\\"),
                                   destination, keys);
    }
  }
  const bool startable = !destination.empty() && (keys.count == 0 || heldCopy.valid());

  const std::wstring parameters = BuildRelaunchParameters(installPathArg, rootPathArg);
  if (startable && LaunchProgram(destination, parameters, tempFolder)) return 0;
  // The main application learns that the update did not begin, and whether the user said no.
  ApplyOutcome outcome;
  outcome.result = ApplyResult::kNotStarted;
  outcome.reason = startable && GetLastError() == ERROR_CANCELLED ? ApplyReason::kDeclined
                                                                  : ApplyReason::kStartFailed;
  WriteOutcomeRecord(outcome);
  return 1;
}

int RunSecondStage() {
  std::wstring rootFolder;
  ApplyOutcome outcome;
  RunUpdate(rootFolder, outcome);
  // Before the main application starts: it reads the record at its start.
  if (OutcomeWorthRecording(outcome)) WriteOutcomeRecord(outcome);

  const std::wstring mainAppFolder = rootFolder + kMainAppFolder;
  WriteLog("主工程安装路径：" + WideToNarrow(mainAppFolder));
  const std::wstring mainApp = CombinePath(mainAppFolder, kMainAppName);
  // A delivery refused while it was verified and staged ended nothing: the main application
  // that runs on is not started a second time.
  if (IsProcessRunning(kMainAppProcess)) return 0;
  return !mainApp.empty() && LaunchProgram(mainApp, L"", L"") ? 0 : 1;
}
