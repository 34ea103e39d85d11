// The update service itself: its registration, and the one request it serves.

#include "stages/service.h"

#include <windows.h>
#include <aclapi.h>
#include <ntsecapi.h>
#include <sddl.h>
#include <shlobj.h>

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
#include "stages/service_rules.h"
#include "update/delivered_files.h"
#include "update/listed_apply.h"
#include "update/process_kill.h"
#include "update/recovery.h"
#include "update/release_record.h"

namespace {

const wchar_t kDisplayName[] = L"Kivo直播助手 更新服务";
const wchar_t kDescription[] =
    L"为 Kivo直播助手 安装发布者签名的更新，无需管理员提示。只由 Kivo直播助手 按需启动。";
const wchar_t kLogFolder[] = L"logs";
const wchar_t kLockName[] = L"apply.lock";
const wchar_t kResultName[] = L"result.txt";
const wchar_t kResultWritingName[] = L"result.txt.new";
constexpr DWORD kEndedProcessesWaitMs = 2000;

struct LocalFreeDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

// "\\?\C:\..." as "C:\..."; empty for any other form (a network or device path).
std::wstring DrivePath(const std::wstring& finalPath) {
  if (finalPath.size() < 7 || finalPath.compare(0, 4, L"\\\\?\\") != 0 ||
      finalPath[5] != L':' || finalPath[6] != L'\\') {
    return std::wstring();
  }
  return finalPath.substr(4);
}

// Where a folder or file resolves, links followed, as "C:\..."; empty when it cannot be opened.
std::wstring ResolvedPath(const std::wstring& path) {
  const FileHandle item(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return item.valid() ? DrivePath(FinalPathOf(item.get())) : std::wstring();
}

// Gives the open item the owner and protected DACL of sddl (the handle needs WRITE_DAC and
// WRITE_OWNER).
bool ApplySddl(HANDLE item, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR made = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &made,
                                                            nullptr)) {
    return false;
  }
  const std::unique_ptr<void, LocalFreeDeleter> descriptor(made);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(made, &owner, &defaulted) ||
      !GetSecurityDescriptorDacl(made, &present, &dacl, &defaulted) || !present) {
    return false;
  }
  return SetSecurityInfo(item, SE_FILE_OBJECT,
                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                             PROTECTED_DACL_SECURITY_INFORMATION,
                         owner, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

// %ProgramData%\OrbeskVintrel\service, made when missing: each level a plain folder (never a
// link), given the service folders' owner and permissions again, whoever made it first; the
// "logs" folder below it made too. Held for as long as the result lives.
AnchoredFolder OpenOwnFolder() {
  wchar_t programData[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                              programData))) {
    return AnchoredFolder();
  }
  std::wstring reached = ResolvedPath(programData);
  if (reached.empty()) return AnchoredFolder();
  reached = L"\\\\?\\" + reached;
  AnchoredFolder own;
  for (const wchar_t* name : {kDataFolderName, L"service", kLogFolder}) {
    const std::wstring path = reached + L"\\" + name;
    CreateDirectoryW(path.c_str(), nullptr);
    CheckedItem level = OpenChecked(path, WRITE_DAC | WRITE_OWNER | READ_CONTROL,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, ItemKind::kFolder);
    if (level.state != CheckedState::kChecked) return AnchoredFolder();
    // "logs" inherits the folder above's permissions.
    if (name != kLogFolder && !ApplySddl(level.handle.get(), kServiceFolderSddl)) {
      return AnchoredFolder();
    }
    if (name == kLogFolder) break;
    reached = level.finalPath;
    own.held.push_back(std::move(level.handle));
  }
  own.finalPath = reached;
  return own;
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
  return SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, made) != FALSE;
}

std::string ErrorText(const char* step) {
  return std::string(step) + " : error " + FormatUInt64(GetLastError());
}

std::string Install(std::wstring& command) {
  std::wstring executable;
  const std::string problem = InstallLocationProblem(executable);
  if (!problem.empty()) return WideToNarrow(executable.empty() ? GetModulePath() : executable) +
                               " : " + problem;
  // The service's own folders exist, with their permissions, before it ever runs.
  if (OpenOwnFolder().finalPath.empty()) return ErrorText("its folder below ProgramData");
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

std::wstring FreshName() {
  unsigned char bytes[8] = {};
  if (!RtlGenRandom(bytes, sizeof(bytes))) return std::wstring();
  std::wstring name;
  for (const unsigned char byte : bytes) {
    name += L"0123456789abcdef"[byte >> 4];
    name += L"0123456789abcdef"[byte & 15];
  }
  return name;
}

// A new folder of a fresh random name in the service's folder: nobody else made it or wrote
// in it. Empty when none could be made.
std::wstring MakeCopyFolder(const std::wstring& ownFinalPath) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::wstring name = FreshName();
    if (name.empty()) return name;
    const std::wstring path = ownFinalPath + L"\\" + name;
    if (CreateDirectoryW(path.c_str(), nullptr)) return path;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return std::wstring();
}

bool WriteNewFile(const std::wstring& path, const std::string& bytes) {
  const FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file.valid() &&
         WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr) &&
         written == bytes.size();
}

// Makes each folder level between copyFolder and the file path below it.
void MakeLevels(const std::wstring& copyFolder, const std::wstring& path) {
  for (size_t at = path.find(L'\\', copyFolder.size() + 1); at != std::wstring::npos;
       at = path.find(L'\\', at + 1)) {
    CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
  }
}

// Reads and verifies the list and its signature from the held delivery, then copies them (the
// very bytes verified) and every listed file, each from a checked handle and no larger than
// listed, into copyFolder. True when the copy is complete; otherwise outcome says why.
bool CopyVerifiedDelivery(const std::wstring& deliveryFinalPath, const std::wstring& rootFolder,
                          const std::wstring& copyFolder, ApplyOutcome& outcome) {
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
  if (!WriteNewFile(copyFolder + L"\\" + NarrowToWide(listName), read.bytes) ||
      !WriteNewFile(copyFolder + L"\\" + NarrowToWide(signatureName), read.signature)) {
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
    const std::wstring copy = DeliveredFile(copyFolder, listed);
    MakeLevels(copyFolder, copy);
    if (!CopyOpenFile(file.handle.get(), copy)) {
      outcome = Ended(ApplyResult::kNotStarted, ApplyReason::kDisk, listed.path,
                      "cannot be copied to the service's folder", parsed.release);
      return false;
    }
  }
  return true;
}

// The delivery folder the caller named, checked level by level from its drive: held, and a
// plain folder all the way (no link anywhere); finalPath empty when it is not there.
ApplyOutcome ApplyRequested(const std::wstring& requested, const std::wstring& ownFinalPath) {
  const std::wstring rootFolder = OwnRootFolder();
  WriteLog("service apply : " + WideToNarrow(requested) + " to " + WideToNarrow(rootFolder));
  if (rootFolder.empty()) {
    return Ended(ApplyResult::kNotStarted, ApplyReason::kStartFailed, "",
                 "its own installation folder is unknown");
  }
  // As the elevated stage does, a folder it will not enter names no file to blame.
  if (const char* problem = CallerFolderProblem(requested)) {
    ApplyOutcome refused = Ended(ApplyResult::kRefused, ApplyReason::kUnsafeFolder,
                                 WideToNarrow(requested), problem);
    refused.file.clear();
    return refused;
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
  std::wstring copyFolder;
  if (delivered) {
    copyFolder = MakeCopyFolder(ownFinalPath);
    if (copyFolder.empty()) {
      return Ended(ApplyResult::kNotStarted, ApplyReason::kDisk, "",
                   "no folder of its own to copy the delivery to");
    }
    if (!CopyVerifiedDelivery(delivery.finalPath, rootFolder, copyFolder, outcome)) {
      DeleteFolderTree(copyFolder);
      return outcome;
    }
  }
  // Only the main application: "Updater.exe" is this service's own image, and the first stage
  // waiting for it.
  KillProcessByName(kEarlierMainAppProcess);
  KillProcessByName(kMainAppProcess);
  Sleep(kEndedProcessesWaitMs);
  const Recovery recovery = RecoverInterruptedUpdate(rootFolder, outcome);
  if (recovery == Recovery::kNothing) {
    outcome = ApplyOutcome();
    outcome.result = ApplyResult::kNotStarted;
  }
  if (recovery == Recovery::kBlocked) {
    outcome.keepDelivery = true;
  } else if (delivered) {
    outcome = ApplyListedDelivery(DrivePath(copyFolder), copyFolder, rootFolder);
  }
  if (!copyFolder.empty()) DeleteFolderTree(copyFolder);
  return outcome;
}

// The result file for the first stage, written whole beside itself and renamed into place
// through the held folder; readable by Users, written by nobody else.
void WriteResultFile(HANDLE ownFolder, const ApplyOutcome& outcome) {
  ServiceResult result;
  result.code = ServiceExitCode(outcome.result, outcome.reason);
  result.release = outcome.release;
  result.keepDelivery = outcome.keepDelivery;
  result.file = outcome.file;
  const std::string bytes = FormatServiceResult(result);
  const FileHandle file = OpenOrCreateInFolder(
      ownFolder, kResultWritingName, GENERIC_WRITE | DELETE | WRITE_DAC | WRITE_OWNER, 0);
  BY_HANDLE_FILE_INFORMATION info = {};
  DWORD written = 0;
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info) ||
      info.nNumberOfLinks != 1 || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return;
  }
  if (!ApplySddl(file.get(), kServiceResultSddl) || !SetEndOfFile(file.get()) ||
      !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size() || !FlushFileBuffers(file.get()) ||
      !RenameThroughHandle(file.get(), kResultName, ownFolder, true)) {
    RemoveThroughHandle(file.get());
  }
}

ApplyOutcome ServeRequest(DWORD argc, wchar_t** argv) {
  ApplyOutcome outcome;
  outcome.result = ApplyResult::kNotStarted;
  outcome.reason = ApplyReason::kStartFailed;
  outcome.keepDelivery = true;
  const std::wstring folder = ServiceFolder();
  if (folder.empty()) return outcome;
  // Its log and everything else in its own folder, never a user's, never through a link.
  UseDataFolder(folder);
  GuardLogAgainstLinks();
  const AnchoredFolder own = OpenOwnFolder();
  if (own.finalPath.empty()) return outcome;
  // One apply at a time: the lock is held, unshared, until this request ends. A second one
  // neither logs (the log is the first one's) nor writes a result.
  const FileHandle lock =
      OpenOrCreateInFolder(own.held.back().get(), kLockName, GENERIC_WRITE, 0);
  if (!lock.valid()) {
    outcome.reason = ApplyReason::kHeld;
    return outcome;
  }
  WriteLog("开始启动更新服务");
  // argv[0] is the service's name; exactly the verb and one folder follow.
  if (argc == 3 && std::wstring(argv[1]) == L"apply") {
    outcome = ApplyRequested(argv[2], own.finalPath);
  } else {
    WriteLog("service stopped : takes only apply <delivery folder>");
  }
  WriteLog("service outcome : " + std::string(vintrel::UpdateOutcomeResultText(outcome.result)) +
           " " + std::string(vintrel::UpdateOutcomeReasonText(outcome.reason)));
  WriteResultFile(own.held.back().get(), outcome);
  return outcome;
}

SERVICE_STATUS_HANDLE statusHandle = nullptr;

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
  // An apply is never stopped half-way: only the state is told.
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void Report(DWORD state, std::uint32_t code) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  if (code != 0) {
    status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = code;
  }
  SetServiceStatus(statusHandle, &status);
}

void WINAPI ServiceMain(DWORD argc, wchar_t** argv) {
  statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, OnControl, nullptr);
  if (!statusHandle) return;
  // Running first: the service manager waits only so long for it.
  Report(SERVICE_RUNNING, 0);
  const ApplyOutcome outcome = ServeRequest(argc, argv);
  Report(SERVICE_STOPPED, ServiceExitCode(outcome.result, outcome.reason));
}

int RunService() {
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), ServiceMain},
                                  {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

}  // namespace

std::wstring ServiceFolder() {
  wchar_t programData[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                              programData))) {
    return std::wstring();
  }
  return std::wstring(programData) + L"\\" + kDataFolderName + L"\\service";
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
