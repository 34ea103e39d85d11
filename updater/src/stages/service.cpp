// The update service itself: its registration, and the one request it serves.

#include "stages/service.h"

#include <windows.h>
#include <aclapi.h>
#include <ntsecapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <atomic>
#include <cwctype>
#include <string>
#include <vector>

#include "base/app_names.h"
#include "base/checked_items.h"
#include "base/delivery_keys.h"
#include "base/file_copy.h"
#include "base/folder_tree.h"
#include "base/folders.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"
#include "hash_list.h"
#include "list_signature.h"
#include "stages/installation_trust.h"
#include "stages/service_folders.h"
#include "stages/service_rules.h"
#include "update/delivered_files.h"
#include "update/installation_lock.h"
#include "update/listed_apply.h"
#include "update/process_kill.h"
#include "update/recovery.h"
#include "update/release_record.h"

namespace {

const wchar_t kDisplayName[] = L"Kivo直播助手 更新服务";
const wchar_t kDescription[] =
    L"为 Kivo直播助手 安装发布者签名的更新，无需管理员提示。只由 Kivo直播助手 按需启动。";
constexpr DWORD kEndedProcessesWaitMs = 2000;
// The copy of a delivery reads files a user holds: it may take this long at most (an oplock
// could stall it for ever), and is then given up with nothing installed touched.
constexpr ULONGLONG kCopyDeadlineMs = 5 * 60 * 1000;
// The log keeps the lines of every run until it passes this, then one earlier file of them.
constexpr std::uint64_t kServiceLogBytes = 1u << 20;

// Where a folder or file resolves, links followed, as "C:\..."; empty when it cannot be opened.
std::wstring ResolvedPath(const std::wstring& path) {
  const FileHandle item(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return item.valid() ? DrivePath(FinalPathOf(item.get())) : std::wstring();
}


// The root folder of the installation this executable belongs to: <root>\bin\32bit\Updater.exe.
std::wstring OwnRootFolder() {
  std::wstring path = GetModulePath();
  for (int level = 0; level < 3; ++level) {
    const size_t cut = path.find_last_of(L'\\');
    if (cut == std::wstring::npos || cut == 0) return std::wstring();
    path.resize(cut);
  }
  return path;
}

// ---- Registration ----

// Why this executable may not be registered, or nothing: it must be the installed
// <root>\bin\32bit\Updater.exe, on a local drive, nowhere below a user's profile or a
// temporary folder (where a user can write).
std::string InstallLocationProblem(std::wstring& executable) {
  executable = ResolvedPath(GetModulePath());
  if (executable.empty()) return "its own path cannot be resolved to a local drive";
  const std::wstring expected = Lower(std::wstring(L"\\bin\\32bit\\") + kDeliveredUpdaterName);
  if (executable.size() <= expected.size() ||
      Lower(executable).compare(executable.size() - expected.size(), expected.size(),
                                expected) != 0) {
    return "not the installed bin\\32bit\\Updater.exe";
  }
  wchar_t profile[MAX_PATH] = {};
  wchar_t windows[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, profile)) ||
      !GetWindowsDirectoryW(windows, MAX_PATH)) {
    return "the profile or Windows folder is unknown";
  }
  std::wstring profiles = ResolvedPath(profile);
  const size_t cut = profiles.find_last_of(L'\\');
  // Every user's profile lies beside this one.
  profiles = cut == std::wstring::npos ? std::wstring() : profiles.substr(0, cut);
  const std::wstring userTemp = ResolvedPath(GetTempFolder());
  const std::wstring systemTemp = ResolvedPath(std::wstring(windows) + L"\\Temp");
  if (profiles.empty() || userTemp.empty()) return "the profiles or temporary folder is unknown";
  // An empty folder would stand for the current one: it names nothing here.
  const auto below = [&](const std::wstring& folder) {
    return !folder.empty() && ResolvesWithinFolder(executable, folder);
  };
  if (below(profiles) || below(userTemp) || below(systemTemp)) {
    return "below a user's profile or a temporary folder";
  }
  return std::string();
}

bool SetServiceSecurity(SC_HANDLE service) {
  PSECURITY_DESCRIPTOR made = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kServiceSddl, SDDL_REVISION_1, &made,
                                                            nullptr)) {
    return false;
  }
  const std::unique_ptr<void, LocalFreeDeleter> descriptor(made);
  // The DACL and the integrity label: a low-integrity program may not start it either.
  return SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                                  made) != FALSE;
}

std::string ErrorText(const char* step) {
  return std::string(step) + " : error " + FormatUInt64(GetLastError());
}

std::string Install(std::wstring& command) {
  std::wstring executable;
  const std::string problem = InstallLocationProblem(executable);
  if (!problem.empty()) return WideToNarrow(executable.empty() ? GetModulePath() : executable) +
                               " : " + problem;
  // What runs as SYSTEM must be what only administrators can change.
  const std::string untrusted = InstallationTrustProblem(executable);
  if (!untrusted.empty()) return untrusted;
  // The service's own folders exist, with their permissions, before it ever runs.
  const OwnFolders own = OpenOwnFolders();
  for (const std::string& note : own.notes) WriteLog(note);
  if (own.finalPath.empty()) return ErrorText("its folder below ProgramData");
  // Quoted: a path with blanks must never be read as a shorter program and arguments.
  command = L"\"" + executable + L"\" --service";
  const ServiceHandle manager(
      OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  if (!manager.valid()) return ErrorText("open the service manager");
  ServiceHandle service(CreateServiceW(manager.get(), kServiceName, kDisplayName,
                                       SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       command.c_str(), nullptr, nullptr, nullptr, nullptr,
                                       nullptr));
  if (!service.valid()) {
    if (GetLastError() != ERROR_SERVICE_EXISTS) return ErrorText("create the service");
    // Installed again (a repair or a new installation): the registration is made ours again.
    service.reset(OpenServiceW(manager.get(), kServiceName, SERVICE_ALL_ACCESS));
    if (!service.valid() ||
        !ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                              SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                              L"LocalSystem", L"", kDisplayName)) {
      return ErrorText("change the service");
    }
  }
  SERVICE_DESCRIPTIONW description = {const_cast<wchar_t*>(kDescription)};
  ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
  if (!SetServiceSecurity(service.get())) {
    // A service that anyone might configure is worse than none.
    const std::string failure = ErrorText("set the service's permissions");
    DeleteService(service.get());
    return failure;
  }
  return std::string();
}

int InstallService() {
  GuardLogAgainstLinks();
  std::wstring command;
  const std::string failure = Install(command);
  WriteLog(failure.empty() ? "install service : " + WideToNarrow(command)
                           : "install service failed : " + failure);
  return failure.empty() ? 0 : 1;
}

int RemoveService() {
  GuardLogAgainstLinks();
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ServiceHandle service(
      manager.valid() ? OpenServiceW(manager.get(), kServiceName,
                                     SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)
                      : nullptr);
  if (!service.valid() && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
    WriteLog("remove service : not installed");
    return 0;
  }
  // A running apply ends first: the service is removed once it has stopped.
  if (!service.valid() || !DeleteService(service.get())) {
    WriteLog("remove service failed : " + ErrorText("delete the service"));
    return 1;
  }
  WriteLog("remove service : " + WideToNarrow(kServiceName));
  return 0;
}

// ---- The request ----

ApplyOutcome Ended(ApplyResult result, ApplyReason reason, const std::string& file,
                   const std::string& why, std::uint64_t release = 0) {
  WriteLog((result == ApplyResult::kRefused ? "refuse delivery : " : "service stopped : ") +
           file + " : " + why);
  ApplyOutcome outcome;
  outcome.result = result;
  outcome.reason = reason;
  outcome.release = release;
  outcome.file = OutcomePath(file);
  outcome.keepDelivery = result == ApplyResult::kNotStarted;
  return outcome;
}

// Until the delivery is copied, nothing installed is touched: a STOP, or a copy that outlives its
// deadline (a user's oplock can hold a read for ever), gives the request up there. The request
// moves on from copying, or is given up, exactly once. Before it copies, the worker has made
// every static its control loop may then touch (the log, the folder calls), which take no lock.
enum Phase { kStarting, kCopying, kApplying, kGivenUp };
std::atomic<int> phase{kStarting};

// Reads and verifies the list and its signature from the held delivery, then copies them (the
// very bytes verified) and every listed file, each from a checked handle and no larger than
// listed, into copy. True when the copy is complete; otherwise outcome says why.
bool CopyVerifiedDelivery(const std::wstring& deliveryFinalPath, const std::wstring& rootFolder,
                          CopyFolder& copy, ApplyOutcome& outcome) {
  const std::string listName(kHashListFileName), signatureName(kSignatureFileName);
  DeliveryList read;
  ApplyReason why = ApplyReason::kListInvalid;
  std::string file, reason;
  if (!ReadDeliveryList(deliveryFinalPath, CompiledDeliveryKeys(), read, why, file, reason)) {
    outcome = Ended(ApplyResult::kRefused, why, file, reason);
    return false;
  }
  const HashList& parsed = read.list;
  // An older signed delivery is not even copied.
  std::uint64_t last = 0;
  const ReleaseRecordRead record = ReadReleaseRecord(rootFolder, last);
  if (record == ReleaseRecordRead::kRead && parsed.release == last) {
    // The update a repair finished, or one whose run ended before its delivery was removed: it
    // is in place, and the request says so.
    WriteLog("remove delivery : release " + FormatUInt64(last) + " is the one applied");
    outcome = ApplyOutcome();
    outcome.release = last;
    return false;
  }
  if (record == ReleaseRecordRead::kUnreadable || parsed.release <= last) {
    outcome = record == ReleaseRecordRead::kUnreadable
                  ? Ended(ApplyResult::kNotStarted, ApplyReason::kHeld, listName,
                          "the last release applied cannot be read", parsed.release)
                  : Ended(ApplyResult::kRefused, ApplyReason::kNotNewer, listName,
                          "release " + FormatUInt64(parsed.release) +
                              " is not above the last one applied, " + FormatUInt64(last),
                          parsed.release);
    return false;
  }
  if (!WriteNewFileInCopy(copy, NarrowToWide(listName), read.bytes) ||
      !WriteNewFileInCopy(copy, NarrowToWide(signatureName), read.signature)) {
    outcome = Ended(ApplyResult::kNotStarted, ApplyReason::kDisk, listName,
                    "cannot be written to the service's folder", parsed.release);
    return false;
  }
  for (const ListedFile& listed : parsed.files) {
    const CheckedItem file = OpenDelivered(DeliveredFile(deliveryFinalPath, listed), reason);
    if (file.state != CheckedState::kChecked) {
      outcome = Ended(ApplyResult::kRefused, ApplyReason::kFileDiffers, listed.path, reason,
                      parsed.release);
      return false;
    }
    // Held without write sharing: the size read now is the size copied.
    const std::uint64_t size =
        static_cast<std::uint64_t>(file.info.nFileSizeHigh) << 32 | file.info.nFileSizeLow;
    if (size != (listed.kind == ListedKind::kPlain ? listed.size : listed.frameSize)) {
      outcome = Ended(ApplyResult::kRefused, ApplyReason::kFileDiffers, listed.path,
                      "size differs from the hash list", parsed.release);
      return false;
    }
    const FileHandle copied = NewFileInCopy(copy, DeliveredFile(L".", listed).substr(2));
    if (!copied.valid() || !CopyOpenFileInto(file.handle.get(), copied.get())) {
      outcome = Ended(ApplyResult::kNotStarted, ApplyReason::kDisk, listed.path,
                      "cannot be copied to the service's folder", parsed.release);
      return false;
    }
  }
  return true;
}

void (*pauseHook)() = nullptr;

// Ends the main application of this installation only, by its image's full path: a program of
// the same name elsewhere, another user's copy of another installation, runs on.
void EndMainApplication(const std::wstring& rootFolder) {
  const std::wstring folder = rootFolder + L"\\bin\\32bit\\";
  KillProcessOfImage(kEarlierMainAppProcess, folder + NarrowToWide(kEarlierMainAppProcess));
  KillProcessOfImage(kMainAppProcess, folder + NarrowToWide(kMainAppProcess));
  Sleep(kEndedProcessesWaitMs);
}

// The delivery folder the caller named, checked level by level from its drive (held, and a
// plain folder all the way), copied and verified, and applied under the installation's lock.
ApplyOutcome ApplyRequested(const std::wstring& requested, const OwnFolders& own) {
  const std::wstring rootFolder = OwnRootFolder();
  if (rootFolder.empty()) {
    return Ended(ApplyResult::kNotStarted, ApplyReason::kStartFailed, "",
                 "its own installation folder is unknown");
  }
  // As the elevated stage does, a folder it will not enter names no file to blame. The path is
  // the caller's text: logged only once it passed, and escaped when it did not.
  if (const char* problem = CallerFolderProblem(requested)) {
    ApplyOutcome refused = Ended(ApplyResult::kRefused, ApplyReason::kUnsafeFolder,
                                 EscapeForLog(WideToNarrow(requested)), problem);
    refused.file.clear();
    return refused;
  }
  WriteLog("service apply : " + WideToNarrow(requested) + " to " + WideToNarrow(rootFolder));
  // What runs as SYSTEM must be what only administrators can change: an installation that
  // became writable since the install is not used, and the first stage asks for elevation.
  const std::string untrusted = InstallationTrustProblem(DrivePath(L"\\\\?\\" + rootFolder) +
                                                         L"\\bin\\32bit\\" +
                                                         kDeliveredUpdaterName);
  if (!untrusted.empty()) {
    return Ended(ApplyResult::kNotStarted, ApplyReason::kStartFailed, "",
                 "cannot use its installation : " + untrusted);
  }
  std::vector<std::wstring> levels;
  for (size_t start = 3; start <= requested.size();) {
    const size_t end = std::min(requested.find(L'\\', start), requested.size());
    levels.push_back(requested.substr(start, end - start));
    start = end + 1;
  }
  // The first level is checked here and held (it cannot be renamed or replaced by a link
  // meanwhile); the others by OpenAnchoredFolder below it.
  const CheckedItem first =
      OpenChecked(L"\\\\?\\" + requested.substr(0, 3) + levels.front(), FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, ItemKind::kFolder);
  const AnchoredFolder delivery =
      first.state == CheckedState::kChecked
          ? OpenAnchoredFolder(first.finalPath + L"\\",
                               std::vector<std::wstring>(levels.begin() + 1, levels.end()))
          : AnchoredFolder();
  if ((first.state != CheckedState::kChecked && first.state != CheckedState::kUnavailable) ||
      delivery.throughLink ||
      (!delivery.finalPath.empty() && DrivePath(delivery.finalPath).empty())) {
    ApplyOutcome refused = Ended(ApplyResult::kRefused, ApplyReason::kUnsafeFolder,
                                 WideToNarrow(requested),
                                 "a link, reached through one, or not on a local drive");
    refused.file.clear();
    return refused;
  }
  const bool delivered =
      !delivery.finalPath.empty() &&
      GetFileAttributesW((delivery.finalPath + L"\\" +
                          NarrowToWide(std::string(kHashListFileName))).c_str()) !=
          INVALID_FILE_ATTRIBUTES;

  ApplyOutcome outcome;
  outcome.result = ApplyResult::kNotStarted;
  CopyFolder copy;
  const bool locked = WithInstallationLock(rootFolder, [&] {
    bool copied = delivered;
    if (delivered && !MakeCopyFolder(own.Service(), copy)) {
      outcome = Ended(ApplyResult::kNotStarted, ApplyReason::kDisk, "",
                      "no folder of its own to copy the delivery to");
      copied = false;
    } else if (delivered) {
      copied = CopyVerifiedDelivery(delivery.finalPath, rootFolder, copy, outcome);
    }
    // A run ended part-way is repaired whatever this delivery is; without a journal, a start
    // with nothing to apply or a refused delivery touches and ends nothing.
    Journal journal;
    const bool journaled = ReadJournal(rootFolder, journal) != JournalRead::kNone;
    if (!journaled && !copied) return;
    // From here on the installation may change: the request is seen through, unless it was
    // given up just now.
    int copying = kCopying;
    if (!phase.compare_exchange_strong(copying, kApplying)) return;
    if (pauseHook) pauseHook();
    if (journaled) EndMainApplication(rootFolder);
    const ApplyOutcome copyOutcome = outcome;
    if (RecoverInterruptedUpdate(rootFolder, outcome) == Recovery::kBlocked) {
      outcome.keepDelivery = true;
    } else if (copied) {
      // Ended only once every file is verified and staged, right before the swaps.
      outcome = ApplyListedDelivery(DrivePath(copy.finalPath), copy.finalPath, rootFolder,
                                    [&] { EndMainApplication(rootFolder); });
    } else if (delivered) {
      outcome = copyOutcome;  // the delivery's refusal, the repair beside it
    }
  });
  if (!locked) {
    outcome = Ended(ApplyResult::kNotStarted, ApplyReason::kHeld, "",
                    "another update of this installation runs");
  }
  if (copy.held.valid()) {
    const std::wstring copied = copy.finalPath;
    copy.levels.clear();
    copy.held.reset();
    DeleteFolderTree(copied);
  }
  return outcome;
}

// The request's result for the first stage that sent token, a file of its own made new in the
// held service folder: readable by Users, written by nobody else, and named by a token only that
// caller knows (the folder cannot be listed by Users).
void WriteResultFile(HANDLE serviceFolder, const std::wstring& token, const ApplyOutcome& outcome) {
  ServiceResult result;
  result.code = ServiceExitCode(outcome.result, outcome.reason);
  result.token = WideToNarrow(token);
  result.release = outcome.release;
  result.keepDelivery = outcome.keepDelivery;
  result.file = outcome.file;
  const std::string bytes = FormatServiceResult(result);
  const LocalMemory descriptor = DescriptorFromSddl(kServiceResultSddl);
  const FileHandle file =
      descriptor ? CreateInFolder(serviceFolder, ServiceResultName(token), GENERIC_WRITE | DELETE,
                                  0, ItemKind::kFile, descriptor.get())
                 : FileHandle();
  DWORD written = 0;
  if (file.valid() &&
      (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                  nullptr) ||
       written != bytes.size() || !FlushFileBuffers(file.get()))) {
    RemoveThroughHandle(file.get());
  }
}

std::atomic<bool> resultWritten{false};

ApplyOutcome ServeRequest(DWORD argc, wchar_t** argv) {
  ApplyOutcome outcome;
  outcome.result = ApplyResult::kNotStarted;
  outcome.reason = ApplyReason::kStartFailed;
  outcome.keepDelivery = true;
  const std::wstring folder = ServiceFolder();
  if (folder.empty()) return outcome;
  // Its log and everything else in its own folders, never a user's, never through a link, and
  // the earlier runs' lines kept.
  UseDataFolder(folder);
  GuardLogAgainstLinks();
  KeepEarlierRunsInLog(kServiceLogBytes);
  const OwnFolders own = OpenOwnFolders();
  if (own.finalPath.empty()) return outcome;
  WriteLog("开始启动更新服务");
  for (const std::string& note : own.notes) WriteLog(note);
  RemoveStaleItems(own.finalPath);
  phase = kCopying;
  // argv[0] is the service's name; exactly the verb, one folder and the caller's token follow.
  if (argc == 4 && std::wstring(argv[1]) == L"apply" && IsServiceToken(argv[3])) {
    outcome = ApplyRequested(argv[2], own);
    if (!resultWritten.exchange(true)) WriteResultFile(own.Service(), argv[3], outcome);
  } else {
    WriteLog("service stopped : takes only apply <delivery folder> <token>");
  }
  WriteLog("service outcome : " + std::string(vintrel::UpdateOutcomeResultText(outcome.result)) +
           " " + std::string(vintrel::UpdateOutcomeReasonText(outcome.reason)));
  return outcome;
}

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopAsked = nullptr;

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
  // An apply is never stopped half-way: a STOP is taken only before the installation is touched.
  if (control == SERVICE_CONTROL_STOP && phase <= kCopying) {
    SetEvent(stopAsked);
    return NO_ERROR;
  }
  return ERROR_CALL_NOT_IMPLEMENTED;
}

void Report(DWORD state, std::uint32_t code, DWORD accepted = 0) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = accepted;
  if (code != 0) {
    status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = code;
  }
  SetServiceStatus(statusHandle, &status);
}

struct Request {
  DWORD argc;
  wchar_t** argv;
  ApplyOutcome outcome;
};

DWORD WINAPI ServeOnWorker(void* parameter) {
  auto* request = static_cast<Request*>(parameter);
  request->outcome = ServeRequest(request->argc, request->argv);
  return 0;
}

void WINAPI ServiceMain(DWORD argc, wchar_t** argv) {
  statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, OnControl, nullptr);
  if (!statusHandle) return;
  stopAsked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // Running first: the service manager waits only so long for it.
  Report(SERVICE_RUNNING, 0, SERVICE_ACCEPT_STOP);
  Request request = {argc, argv, ApplyOutcome()};
  const ULONGLONG copyDeadline = GetTickCount64() + kCopyDeadlineMs;
  const ProcessHandle worker(CreateThread(nullptr, 0, ServeOnWorker, &request, 0, nullptr));
  if (!worker.valid()) {
    ServeOnWorker(&request);
  } else {
    bool stopAccepted = true;
    while (WaitForSingleObject(worker.get(), 1000) == WAIT_TIMEOUT) {
      if (stopAccepted && phase > kCopying) {
        stopAccepted = false;
        Report(SERVICE_RUNNING, 0);
      }
      const bool stop = WaitForSingleObject(stopAsked, 0) == WAIT_OBJECT_0;
      int copying = kCopying;
      if ((!stop && GetTickCount64() < copyDeadline) ||
          !phase.compare_exchange_strong(copying, kGivenUp)) {
        continue;
      }
      // Given up before the installation was touched: the delivery waits, the copy folder goes
      // at the next start, and the lock goes with this process.
      ApplyOutcome given = Ended(ApplyResult::kNotStarted, ApplyReason::kHeld, "",
                                 stop ? "asked to stop while copying the delivery"
                                      : "the copy of the delivery took too long");
      if (argc == 4 && IsServiceToken(argv[3]) && !resultWritten.exchange(true)) {
        const OwnFolders own = OpenOwnFolders();
        if (!own.finalPath.empty()) WriteResultFile(own.Service(), argv[3], given);
      }
      Report(SERVICE_STOPPED, ServiceExitCode(given.result, given.reason));
      ExitProcess(0);
    }
  }
  Report(SERVICE_STOPPED, ServiceExitCode(request.outcome.result, request.outcome.reason));
}

int RunService() {
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), ServiceMain},
                                  {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

}  // namespace

std::wstring FreshHexName() {
  unsigned char bytes[8] = {};
  if (!RtlGenRandom(bytes, sizeof(bytes))) return std::wstring();
  std::wstring name;
  for (const unsigned char byte : bytes) {
    name += L"0123456789abcdef"[byte >> 4];
    name += L"0123456789abcdef"[byte & 15];
  }
  return name;
}

std::wstring ServiceFolder() {
  wchar_t programData[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                              programData))) {
    return std::wstring();
  }
  return std::wstring(programData) + L"\\" + kDataFolderName + L"\\service";
}

void SetServicePauseHookForTesting(void (*hook)()) { pauseHook = hook; }

void ReportServiceKilledForTesting() {
  if (!statusHandle) return;
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = SERVICE_STOPPED;
  status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
  SetServiceStatus(statusHandle, &status);
}

bool RunServiceVerb(const wchar_t* commandLine, int& exitCode) {
  if (!commandLine || CompiledDeliveryKeys().count == 0) return false;
  std::wstring verb = commandLine;
  while (!verb.empty() && (verb.back() == L' ' || verb.back() == L'\t')) verb.pop_back();
  while (!verb.empty() && (verb.front() == L' ' || verb.front() == L'\t')) verb.erase(0, 1);
  if (verb == L"--install-service") {
    exitCode = InstallService();
  } else if (verb == L"--remove-service") {
    exitCode = RemoveService();
  } else if (verb == L"--service") {
    exitCode = RunService();
  } else {
    return false;
  }
  return true;
}
