// The first stage's side of the update service: ask, wait, record, restart as the user.

#include <windows.h>

#include <string>

#include "base/app_names.h"
#include "base/checked_items.h"
#include "base/delivery_keys.h"
#include "base/file_copy.h"
#include "base/folder_tree.h"
#include "base/folders.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/process_args.h"
#include "base/text.h"
#include "hash_list.h"
#include "stages/service.h"
#include "stages/service_rules.h"
#include "update/outcome_record.h"

namespace {

constexpr ULONGLONG kServiceWaitMs = 10 * 60 * 1000;
constexpr DWORD kPollMs = 200;
constexpr std::size_t kMaxResultBytes = 70 * 1024;

// The delivery folder as the service is to open it: the roaming application data folder where
// it resolves (a redirected one included), then "OrbeskVintrel\Temp" as they are named, which
// the service checks for links itself. Empty when it is not on a local drive letter.
std::wstring DeliveryFolderForService() {
  const std::wstring dataFolder = GetDataFolder();
  const size_t cut = dataFolder.find_last_of(L'\\');
  if (cut == std::wstring::npos) return std::wstring();
  const FileHandle appData(CreateFileW(dataFolder.substr(0, cut).c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                       nullptr));
  const std::wstring final = appData.valid() ? FinalPathOf(appData.get()) : std::wstring();
  if (final.compare(0, 4, L"\\\\?\\") != 0) return std::wstring();
  const std::wstring folder = final.substr(4) + L"\\" + kDataFolderName + L"\\Temp";
  return CallerFolderProblem(folder) ? std::wstring() : folder;
}

// The service's exit code once it has stopped: its service-specific code, 0 when it stopped
// without one, kStillRunning when it has not stopped in time.
constexpr std::uint32_t kStillRunning = 1;
std::uint32_t WaitForServiceCode(SC_HANDLE service) {
  const ULONGLONG until = GetTickCount64() + kServiceWaitMs;
  while (GetTickCount64() < until) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&status), sizeof(status), &needed)) {
      return 0;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
      return status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
                 ? status.dwServiceSpecificExitCode
                 : 0;
    }
    Sleep(kPollMs);
  }
  return kStillRunning;
}

// The service's result for this request, the one file named by its token; false when there is
// none or it does not read as the answer to that token.
bool ReadServiceResult(const std::wstring& token, ServiceResult& result) {
  const std::wstring path = ServiceFolder() + L"\\" + ServiceResultName(token);
  const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  std::string bytes;
  return file.valid() &&
         ReadOpenFile(file.get(), kMaxResultBytes, bytes) == ReadResult::kRead &&
         ParseServiceResult(bytes, result) && result.token == WideToNarrow(token);
}

// The main application started as the user who runs this stage: never "runas".
bool StartMainAppAsUser() {
  const std::wstring folder = ReplaceAll(rootPathArg, L"/", L"\\") + kMainAppFolder;
  WriteLog("主工程安装路径：" + WideToNarrow(folder));
  const std::wstring mainApp = CombinePath(ReplaceAll(folder, L"/", L"\\"), kMainAppName);
  if (mainApp.empty()) return false;
  std::wstring commandLine = L"\"" + mainApp + L"\"";
  const std::wstring workFolder = mainApp.substr(0, mainApp.find_last_of(L'\\'));
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(mainApp.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                      workFolder.c_str(), &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

}  // namespace

bool UpdateThroughService(int& exitCode) {
  if (CompiledDeliveryKeys().count == 0) return false;
  // Only a signed delivery is the service's: anything else (nothing delivered, an earlier
  // brand's folder, a repair alone) goes the way it always went.
  const std::wstring deliveryFolder = DeliveryFolderForService();
  if (deliveryFolder.empty() ||
      !PathExists(deliveryFolder + L"\\" + NarrowToWide(std::string(kHashListFileName)))) {
    return false;
  }
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ServiceHandle service(
      manager.valid()
          ? OpenServiceW(manager.get(), kServiceName, SERVICE_START | SERVICE_QUERY_STATUS)
          : nullptr);
  if (!service.valid()) return false;

  // A token only this request knows: the result file it names is this request's answer, never
  // another user's start racing this one.
  const std::wstring token = FreshHexName();
  if (token.empty()) return false;
  const wchar_t* arguments[] = {L"apply", deliveryFolder.c_str(), token.c_str()};
  ApplyOutcome outcome;
  std::uint32_t code = 0;
  if (StartServiceW(service.get(), 3, arguments)) {
    code = WaitForServiceCode(service.get());
  } else if (GetLastError() == ERROR_SERVICE_ALREADY_RUNNING) {
    // Another apply runs: this delivery waits for the next start.
    code = ServiceExitCode(ApplyResult::kNotStarted, ApplyReason::kHeld);
  } else {
    WriteLog("update service not started : error " + FormatUInt64(GetLastError()) +
             ", elevation asked instead");
    return false;
  }
  // A service that could not work at all (its own folder or installation unusable) is one that
  // failed to start: the prompt still gets the update in. One still applying is waited for at
  // the next start, never raced by the elevated stage.
  const bool stillRunning = code == kStillRunning;
  if (stillRunning) code = ServiceExitCode(ApplyResult::kNotStarted, ApplyReason::kHeld);
  if (!OutcomeOfServiceExitCode(code, outcome.result, outcome.reason) ||
      (outcome.result == ApplyResult::kNotStarted &&
       outcome.reason == ApplyReason::kStartFailed)) {
    WriteLog("update service gave no outcome : code " + FormatUInt64(code) +
             ", elevation asked instead");
    return false;
  }
  ServiceResult result;
  if (ReadServiceResult(token, result) && result.code == code) {
    outcome.release = result.release;
    outcome.file = result.file;
    outcome.keepDelivery = result.keepDelivery;
  } else {
    // No answer to this request: the code may be another start's. Nothing is taken from it, and
    // the delivery waits.
    outcome = ApplyOutcome();
    outcome.result = ApplyResult::kNotStarted;
    outcome.reason = ApplyReason::kHeld;
    outcome.keepDelivery = true;
  }
  WriteLog("update service : " + std::string(vintrel::UpdateOutcomeResultText(outcome.result)) +
           " " + std::string(vintrel::UpdateOutcomeReasonText(outcome.reason)) + " release " +
           FormatUInt64(outcome.release) + (outcome.file.empty() ? "" : " : " + outcome.file));
  if (OutcomeWorthRecording(outcome)) WriteOutcomeRecord(outcome);
  // A delivery the service applied or refused is done with; one it could not take yet waits.
  if (!outcome.keepDelivery && (outcome.result == ApplyResult::kApplied ||
                                outcome.result == ApplyResult::kRefused ||
                                outcome.result == ApplyResult::kRolledBack)) {
    DeleteFolderTree(GetDataTempFolder());
  }
  exitCode = StartMainAppAsUser() ? 0 : 1;
  return true;
}
