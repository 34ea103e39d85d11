// The update service on the real updaters under Wine: Updater_signed_test.exe installed as
// <root>\bin\32bit\Updater.exe and registered as the service in the test prefix, asked by the
// first stage of Updater_faults.exe, whose elevated start always fails as a declined prompt
// (VINTREL_DECLINE_ELEVATION=1): any fall back to the prompt shows in the outcome record as
// "not-started declined". Wine enforces no permissions, so what they do is not shown here.

#include <vintrel/update_outcome.h>

#include <aclapi.h>
#include <sddl.h>

#include <regex>

#include "base/folders.h"
#include "roundtrip_support.h"
#include "stages/service.h"
#include "stages/service_rules.h"
#include "base/app_names.h"

using namespace roundtrip;

namespace {

inline const wchar_t kInstalledUpdater[] = L"bin\\32bit\\Updater.exe";
inline const wchar_t kServiceLog[] = L"C:\\ProgramData\\OrbeskVintrel\\service\\logs\\updater.log";
// A token as a first stage makes one.
inline const wchar_t kToken[] = L"0123456789abcdef0123456789abcdef";

// The first folder moved aside from folder\\service.
std::wstring FirstMovedAside(const std::wstring& folder) {
  WIN32_FIND_DATAW found = {};
  const FindHandle aside(FindFirstFileW((folder + L"\\service.moved-*").c_str(), &found));
  return aside.valid() ? folder + L"\\" + found.cFileName : std::wstring();
}

// Everyone may write item, or no longer: Wine maps such a DACL onto the Unix mode bits ("others
// may write"), the one way it shows a folder that users may change.
void LetEveryoneWrite(const std::wstring& item, bool write) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      write ? L"D:(A;OICI;FA;;;SY)(A;OICI;0x1301ff;;;WD)" : L"D:(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;WD)",
      SDDL_REVISION_1, &descriptor, nullptr));
  EXPECT_TRUE(SetFileSecurityW(item.c_str(), DACL_SECURITY_INFORMATION, descriptor));
  LocalFree(descriptor);
}

std::wstring RecordPath() { return GetDataFolder() + L"\\update-outcome.txt"; }

vintrel::UpdateOutcome ReadRecord() {
  const vintrel::UpdateOutcomeRead read = vintrel::ReadUpdateOutcome(RecordPath().c_str());
  EXPECT_EQ(read.status, vintrel::UpdateOutcomeStatus::kRead);
  return read.outcome;
}

std::string RecordText(const vintrel::UpdateOutcome& record) {
  return std::string(vintrel::UpdateOutcomeResultText(record.result)) + " " +
         std::string(vintrel::UpdateOutcomeReasonText(record.reason)) + " " +
         std::to_string(record.release) + " " + record.file;
}

// The installation without the updater's own records.
Tree Product(const std::wstring& root) {
  Tree tree = Installed(root);
  for (auto it = tree.begin(); it != tree.end();) {
    it = it->first.rfind(L".vintrel\\", 0) == 0 ? tree.erase(it) : std::next(it);
  }
  return tree;
}

// The service's exit code after a start with arguments made here, as no first stage would.
DWORD StartServiceAndWait(const std::vector<std::wstring>& arguments) {
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ServiceHandle service(
      OpenServiceW(manager.get(), kServiceName, SERVICE_START | SERVICE_QUERY_STATUS));
  std::vector<const wchar_t*> pointers;
  for (const std::wstring& argument : arguments) pointers.push_back(argument.c_str());
  // A service that has just stopped may not have ended its process yet.
  bool started = false;
  for (int attempt = 0; service.valid() && !started && attempt < 50; ++attempt) {
    started = StartServiceW(service.get(), static_cast<DWORD>(pointers.size()), pointers.data());
    if (!started && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) break;
    if (!started) Sleep(200);
  }
  if (!started) return static_cast<DWORD>(-1);
  for (int poll = 0; poll < 600; ++poll) {
    SERVICE_STATUS status = {};
    if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOPPED) {
      return status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
                 ? status.dwServiceSpecificExitCode
                 : status.dwWin32ExitCode;
    }
    Sleep(100);
  }
  return static_cast<DWORD>(-2);
}

class Service : public SignedBuilds {
 protected:
  void SetUp() override {
    SignedBuilds::SetUp();
    // Where an installer puts it: nowhere below a profile or a temporary folder.
    root = L"C:\\Program Files (x86)\\Kivo\u76F4\u64AD\u52A9\u624B \u670D\u52A1";
    RemoveTree(root);
    pair = Pair();
    MakeTree(root, pair.before);
    EnsureLogFolder();
    DeleteFileW(RecordPath().c_str());
    ASSERT_EQ(RunAndWait(Quote(root + L"\\" + kInstalledUpdater) + L" --install-service"), 0u);
    SetEnvironmentVariableW(L"VINTREL_DECLINE_ELEVATION", L"1");
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"VINTREL_DECLINE_ELEVATION", nullptr);
    // The registration outlives the prefix's processes: it goes with the test.
    EXPECT_EQ(RunAndWait(Quote(signedBuild.updater) + L" --remove-service"), 0u);
    RemoveTree(root);
    RemoveTree(L"C:\\ProgramData\\OrbeskVintrel");
    DeleteFileW(RecordPath().c_str());
    SignedBuilds::TearDown();
  }

  TreePair Pair() {
    TreePair made;
    made.before[kMainApp] = ReadBytes(programs.mainAppV1);
    made.before[kInstalledUpdater] = ReadBytes(signedBuild.updater);
    made.before[L"readme.txt"] = "release 1";
    made.before[L"lib\\core.dll"] = std::string(50000, 'c');
    made.after = made.before;
    made.after[kMainApp] = ReadBytes(programs.mainAppV2);
    made.after[L"readme.txt"] = "release 2";
    made.after[L"lib\\\u65B0.dll"] = "new";
    made.after.erase(L"lib\\core.dll");
    return made;
  }

  // The signed delivery from before to after, release number release, where the main
  // application puts it.
  void Deliver(const Tree& before, const Tree& after, int release) {
    ScratchFolder scratch;
    const PackRun pack =
        Diff(scratch, before, after, root.size(), signedBuild.updater, L"",
             L" --release " + std::to_wstring(release) + L" --key " +
                 Quoted(keys + L"\\current.pem"));
    ASSERT_EQ(pack.exitCode, 0u) << pack.output;
    RemoveTree(DeliveryFolder());
    fs::copy(fs::path(scratch / L"delivery"), fs::path(DeliveryFolder()),
             fs::copy_options::recursive);
  }

  void RunFirstStage(const Programs& which) {
    DeleteFileW(RecordPath().c_str());
    RunUpdater(which, root + L"\\bin\\32bit", root);
  }

  // The test build, with its pause and kill hooks, installed and registered as the service.
  void InstallFaultsBuild() {
    ASSERT_EQ(RunAndWait(Quote(signedBuild.updater) + L" --remove-service"), 0u);
    ASSERT_TRUE(CopyFileW(faultsBuild.updater.c_str(),
                          (root + L"\\" + kInstalledUpdater).c_str(), FALSE));
    ASSERT_EQ(RunAndWait(Quote(root + L"\\" + kInstalledUpdater) + L" --install-service"), 0u);
    pair.before[kInstalledUpdater] = ReadBytes(faultsBuild.updater);
    pair.after[kInstalledUpdater] = pair.before[kInstalledUpdater];
  }

  std::string LastMainAppVersion() {
    const std::vector<std::string> records = ProbeRecords(root + L"\\bin\\32bit");
    return records.empty() ? "" : records.back().substr(0, records.back().find(' '));
  }

  std::wstring root;
  TreePair pair;
};

TEST_F(Service, ASignedDeliveryAppliesWithoutAPrompt) {
  Deliver(pair.before, pair.after, 100);
  RunFirstStage(faultsBuild);

  EXPECT_TRUE(Product(root) == pair.after);
  EXPECT_EQ(ReadBytes(root + L"\\.vintrel\\release"), "100\r\n");
  EXPECT_EQ(RecordText(ReadRecord()), "applied none 100 ");
  EXPECT_TRUE(LogHasLineStarting(L"update service : applied none release 100"));
  EXPECT_FALSE(FolderExists(DeliveryFolder()));
  // Started by a plain start: the hook fails every shell start, "runas" or not.
  EXPECT_EQ(LastMainAppVersion(), "version=2.0");
  // The apply's own lines are in the service's log, none in the user's.
  const std::string serviceLog =
      ReadBytes(L"C:\\ProgramData\\OrbeskVintrel\\service\\logs\\updater.log");
  EXPECT_NE(serviceLog.find("service outcome : applied none"), std::string::npos) << serviceLog;
  EXPECT_NE(serviceLog.find("copy file from : "), std::string::npos);
  EXPECT_FALSE(LogHasLineStarting(L"copy file from : "));
  Checked("a signed delivery applied by the service, no prompt, the new application started "
          "as the user, record and log applied, delivery removed");
}

TEST_F(Service, RefusalsLeaveTheInstallationAsItWasAndAskNothing) {
  enum class Change { kUnsigned, kOlder, kListChanged, kFileChanged };
  const struct {
    const char* what;
    Change change;
    const char* record;
  } rows[] = {
      {"an unsigned delivery", Change::kUnsigned, "refused no-signature 0 UpdateInfo.sig"},
      {"an older release", Change::kOlder, "refused not-newer 100 UpdateInfo.sha256"},
      {"the list changed after signing", Change::kListChanged,
       "refused bad-signature 0 UpdateInfo.sig"},
      {"a file changed after signing", Change::kFileChanged,
       "refused file-differs 100 readme.txt"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    RemoveTree(root + L"\\.vintrel");
    if (row.change == Change::kOlder) {
      MakeFolders(root + L"\\.vintrel");
      WriteBytes(root + L"\\.vintrel\\release", "101\r\n");
    }
    Deliver(pair.before, pair.after, 100);
    const std::wstring delivery = DeliveryFolder();
    switch (row.change) {
      case Change::kUnsigned:
        DeleteFileW((delivery + L"\\UpdateInfo.sig").c_str());
        break;
      case Change::kListChanged: {
        std::string list = ReadBytes(delivery + L"\\UpdateInfo.sha256");
        list.replace(list.find("release 100"), 11, "release 900");
        WriteBytes(delivery + L"\\UpdateInfo.sha256", list);
        break;
      }
      case Change::kFileChanged:
        WriteBytes(delivery + L"\\readme.txt", "release X");
        break;
      case Change::kOlder:
        break;
    }
    const Tree before = Installed(root);
    RunFirstStage(faultsBuild);
    EXPECT_TRUE(Installed(root) == before);
    EXPECT_EQ(RecordText(ReadRecord()), row.record);
    EXPECT_FALSE(FolderExists(DeliveryFolder()));
    EXPECT_EQ(LastMainAppVersion(), "version=1.0");
    Checked(std::string(row.what) + ": " + row.record + ", nothing changed, no prompt");
  }
}

// Where a user can write, an installer's copy could be swapped for another program: the
// service is registered only from the installation's own bin\32bit\Updater.exe.
TEST_F(Service, InstallingFromAUsersFolderOrAnotherPlaceIsRefused) {
  ScratchFolder scratch;  // below the user's temporary folder, and so below the profile
  const std::wstring copies[] = {scratch / L"bin\\32bit\\Updater.exe",
                                 root + L"\\Updater.exe"};
  for (const std::wstring& copy : copies) {
    MakeFolders(copy.substr(0, copy.find_last_of(L'\\')));
    ASSERT_TRUE(CopyFileW(signedBuild.updater.c_str(), copy.c_str(), FALSE));
    EXPECT_EQ(RunAndWait(Quote(copy) + L" --install-service"), 1u) << Utf8(copy);
    EXPECT_TRUE(LogHasLineStarting(L"install service failed : "));
  }
  // The registration still names the installed one.
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG));
  DWORD needed = 0;
  QueryServiceConfigW(service.get(), nullptr, 0, &needed);
  std::string buffer(needed, '\0');
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(&buffer[0]);
  ASSERT_TRUE(QueryServiceConfigW(service.get(), config, needed, &needed));
  EXPECT_EQ(std::wstring(config->lpBinaryPathName),
            Quote(root + L"\\" + kInstalledUpdater) + L" --service");
  EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
  EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(std::wstring(config->lpServiceStartName ? config->lpServiceStartName : L""),
            L"LocalSystem");
  Checked("install refused below the profile and outside bin\\32bit; registered as a quoted, "
          "demand-start service of its own process");
}

TEST_F(Service, AFolderGivenAsUncOrThroughALinkIsRefused) {
  // UNC, as no first stage sends it: refused before anything is opened.
  const DWORD unc = StartServiceAndWait(
      {L"apply", L"\\\\localhost\\C$\\users\\root\\AppData\\Roaming\\OrbeskVintrel\\Temp",
       kToken});
  EXPECT_EQ(unc, ServiceExitCode(ApplyResult::kRefused, ApplyReason::kUnsafeFolder));

  // The delivery folder a link to a signed delivery elsewhere.
  Deliver(pair.before, pair.after, 100);
  ScratchFolder elsewhere;
  const std::wstring real = elsewhere / L"real";
  fs::copy(fs::path(DeliveryFolder()), fs::path(real), fs::copy_options::recursive);
  RemoveTree(DeliveryFolder());
  ASSERT_TRUE(MakeHostSymbolicLink(real, DeliveryFolder()));
  const Tree before = Installed(root);
  RunFirstStage(faultsBuild);
  EXPECT_TRUE(Installed(root) == before);
  EXPECT_EQ(RecordText(ReadRecord()), "refused unsafe-folder 0 ");
  EXPECT_TRUE(FileExists(real + L"\\UpdateInfo.sha256")) << "the link was entered";
  EXPECT_EQ(LastMainAppVersion(), "version=1.0");
  // Before its target goes with the scratch folder: a dangling link is no longer seen as one.
  RemoveHostSymbolicLink(DeliveryFolder());
  Checked("a UNC delivery folder and one reached through a link refused by the service");
}

TEST_F(Service, WithoutTheServiceTheUpdateFallsBackToThePrompt) {
  ASSERT_EQ(RunAndWait(Quote(signedBuild.updater) + L" --remove-service"), 0u);
  Deliver(pair.before, pair.after, 100);
  // The prompt is declined: the update does not begin, and says so.
  RunFirstStage(faultsBuild);
  EXPECT_EQ(RecordText(ReadRecord()), "not-started declined 0 ");
  EXPECT_TRUE(Product(root) == pair.before);
  // Accepted: the elevated stage applies it.
  SetEnvironmentVariableW(L"VINTREL_DECLINE_ELEVATION", nullptr);
  RunFirstStage(signedBuild);
  EXPECT_TRUE(Product(root) == pair.after);
  EXPECT_EQ(RecordText(ReadRecord()), "applied none 100 ");
  EXPECT_FALSE(LogHasLineStarting(L"update service : "));
  Checked("the service removed: the prompt asked (declined, then accepted and applied)");
}

TEST_F(Service, ASecondApplyWhileOneRunsIsRefused) {
  // The service manager itself starts no second instance of a running service.
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ServiceHandle service(
      OpenServiceW(manager.get(), kServiceName, SERVICE_START | SERVICE_QUERY_STATUS));
  const std::wstring nothing = L"C:\\vintrel-nothing-delivered";
  const wchar_t* arguments[] = {L"apply", nothing.c_str(), kToken};
  ASSERT_TRUE(StartServiceW(service.get(), 3, arguments));
  EXPECT_FALSE(StartServiceW(service.get(), 3, arguments));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  SERVICE_STATUS status = {};
  for (int poll = 0; poll < 600 && QueryServiceStatus(service.get(), &status) &&
                     status.dwCurrentState != SERVICE_STOPPED;
       ++poll) {
    Sleep(100);
  }

  // An apply that holds the installation's lock: this one neither applies nor prompts, and the
  // delivery waits.
  Deliver(pair.before, pair.after, 100);
  MakeFolders(root + L"\\.vintrel");
  const std::wstring lock = root + L"\\.vintrel\\lock";
  const FileHandle held(CreateFileW(lock.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held.valid());
  const Tree before = Installed(root);
  RunFirstStage(faultsBuild);
  EXPECT_TRUE(Installed(root) == before);
  EXPECT_EQ(RecordText(ReadRecord()), "not-started held 0 ");
  EXPECT_TRUE(FileExists(DeliveryFolder() + L"\\UpdateInfo.sha256"));
  Checked("a second start refused by the service manager, a second apply by the installation's "
          "lock");
}

TEST_F(Service, TheServiceReplacesItsOwnUpdater) {
  TreePair replacing = pair;
  const std::string newUpdater = ReadBytes(faultsBuild.updater);
  ASSERT_NE(newUpdater, pair.before.at(kInstalledUpdater));
  replacing.after[kInstalledUpdater] = newUpdater;
  Deliver(replacing.before, replacing.after, 100);
  RunFirstStage(faultsBuild);
  EXPECT_EQ(RecordText(ReadRecord()), "applied none 100 ");
  EXPECT_EQ(ReadBytes(root + L"\\" + kInstalledUpdater), newUpdater);
  // The old image may still run when renamed: its backup may wait for a later run.
  Tree installed = Product(root);
  for (auto it = installed.begin(); it != installed.end();) {
    it = it->first.find(L".vintrel-old-") != std::wstring::npos ? installed.erase(it)
                                                                : std::next(it);
  }
  EXPECT_TRUE(installed == replacing.after);

  // The next start runs the new image, which applies the next release and clears away the
  // old one's backup.
  Tree next = replacing.after;
  next[L"readme.txt"] = "release 3";
  Deliver(replacing.after, next, 101);
  RunFirstStage(faultsBuild);
  EXPECT_EQ(RecordText(ReadRecord()), "applied none 101 ");
  EXPECT_TRUE(Product(root) == next);
  Checked("the service replaced its own Updater.exe; the next start applied release 101");
}

// What runs as SYSTEM must be what only administrators can change: an installation others may
// write is not registered, and one that became writable after the install is not used (the first
// stage falls back to the prompt, declined here).
TEST_F(Service, AnInstallationOthersMayWriteIsNeitherRegisteredNorUsed) {
  const std::wstring levels[] = {root, root + L"\\bin", root + L"\\bin\\32bit",
                                 root + L"\\" + kInstalledUpdater};
  for (const std::wstring& level : levels) {
    SCOPED_TRACE(Utf8(level));
    LetEveryoneWrite(level, true);
    EXPECT_EQ(RunAndWait(Quote(root + L"\\" + kInstalledUpdater) + L" --install-service"), 1u);
    EXPECT_TRUE(LogHasLineStarting(L"install service failed : " + level + L" : S-1-1-0 may "));
    LetEveryoneWrite(level, false);
  }
  ASSERT_EQ(RunAndWait(Quote(root + L"\\" + kInstalledUpdater) + L" --install-service"), 0u);

  LetEveryoneWrite(root + L"\\bin", true);
  Deliver(pair.before, pair.after, 100);
  RunFirstStage(faultsBuild);
  LetEveryoneWrite(root + L"\\bin", false);
  EXPECT_TRUE(Product(root) == pair.before);
  EXPECT_EQ(RecordText(ReadRecord()), "not-started declined 0 ");
  EXPECT_TRUE(LogHasLineStarting(L"update service gave no outcome : code 1415"));
  EXPECT_NE(ReadBytes(kServiceLog).find("cannot use its installation : " +
                                        ToCodePage(root + L"\\bin") + " : S-1-1-0 may"),
            std::string::npos);
  Checked("an installation others may write: --install-service refused at each level; the "
          "service not used once it became writable, the prompt asked instead");
}

// A folder made below ProgramData before the install, a user's or a link, is never entered: a
// user's folder is moved aside and the service makes its own. A link is moved aside on Windows;
// Wine cannot rename a link itself (it moves the target), so there the service refuses to work
// and the first stage falls back to the prompt (declined here).
TEST_F(Service, FoldersPlantedInProgramDataAreNotUsed) {
  const std::wstring data = L"C:\\ProgramData\\OrbeskVintrel";
  ScratchFolder elsewhere;
  const std::wstring target = elsewhere / L"target";
  MakeFolders(target);
  Tree next = pair.before;
  next[L"new.txt"] = "new";
  const struct {
    const char* what;
    bool link;
  } rows[] = {{"a folder others may write", false}, {"a link", true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    RemoveTree(data);
    MakeFolders(data);
    if (row.link) {
      ASSERT_TRUE(MakeHostSymbolicLink(target, data + L"\\service"));
    } else {
      MakeFolders(data + L"\\service\\logs");
      WriteBytes(data + L"\\service\\logs\\planted.txt", "a user's");
      LetEveryoneWrite(data + L"\\service", true);
    }
    EXPECT_EQ(RunAndWait(Quote(root + L"\\" + kInstalledUpdater) + L" --install-service"),
              row.link ? 1u : 0u);
    EXPECT_TRUE(LogHasLineStarting(row.link ? L"install service failed : " : L"service folder moved aside : " + data + L"\\service : "));
    Deliver(pair.before, next, 100);
    RunFirstStage(faultsBuild);
    EXPECT_EQ(RecordText(ReadRecord()), row.link ? "not-started declined 0 " : "applied none 100 ");
    EXPECT_TRUE(fs::is_empty(fs::path(target))) << "the service wrote through the link";
    if (row.link) {
      RemoveHostSymbolicLink(data + L"\\service");
    } else {
      EXPECT_EQ(ReadBytes(FirstMovedAside(data) + L"\\logs\\planted.txt"), "a user's");
      EXPECT_FALSE(FileExists(data + L"\\service\\logs\\planted.txt"));
      EXPECT_NE(ReadBytes(kServiceLog).find("service outcome : applied"), std::string::npos);
    }
    RemoveTree(root);
    MakeTree(root, pair.before);
    Checked(std::string(row.what) + " planted as ProgramData\\OrbeskVintrel\\service: never "
            "entered; " + (row.link ? "the service not used, the prompt asked"
                                    : "moved aside, the service's own folder made and used"));
  }
}

// Ending the main application is for the installation being updated only, and only once its
// delivery is verified: a start with nothing to apply, or a refused one, ends nothing.
TEST_F(Service, OnlyTheInstallationsMainApplicationIsEnded) {
  ScratchFolder elsewhere;
  const std::wstring other = elsewhere / kMainAppName;
  ASSERT_TRUE(CopyFileW(programs.mainAppV1.c_str(), other.c_str(), FALSE));
  const struct {
    const char* what;
    int delivery;  // 0 none, 1 unsigned, 2 signed
    bool insideEnded;
  } rows[] = {{"no delivery", 0, false}, {"an unsigned delivery", 1, false},
              {"a signed delivery", 2, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const ProcessHandle inside = StartProcess(Quote(root + L"\\" + kMainApp) + L" --wait");
    const ProcessHandle outside = StartProcess(Quote(other) + L" --wait");
    RemoveTree(DeliveryFolder());
    if (row.delivery > 0) {
      Deliver(pair.before, pair.after, 100);
      if (row.delivery == 1) DeleteFileW((DeliveryFolder() + L"\\UpdateInfo.sig").c_str());
    }
    const DWORD code = StartServiceAndWait({L"apply", DeliveryFolder(), kToken});
    EXPECT_EQ(code, row.delivery == 2   ? 1000u
                    : row.delivery == 1 ? ServiceExitCode(ApplyResult::kRefused,
                                                          ApplyReason::kNoSignature)
                                        : ServiceExitCode(ApplyResult::kNotStarted,
                                                          ApplyReason::kNone));
    EXPECT_EQ(WaitForSingleObject(inside.get(), row.insideEnded ? 10000 : 0),
              row.insideEnded ? WAIT_OBJECT_0 : static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(outside.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "a program of the same name outside the installation was ended";
    TerminateProcess(inside.get(), 0);
    TerminateProcess(outside.get(), 0);
    WaitForSingleObject(inside.get(), 10000);
    WaitForSingleObject(outside.get(), 10000);
    DeleteFileW((L"C:\\ProgramData\\OrbeskVintrel\\service\\" + ServiceResultName(kToken)).c_str());
    Checked(std::string(row.what) + ": " + (row.insideEnded ? "only the installation's" : "no") +
            " main application ended, the one elsewhere runs on");
  }
}

// The service paused (test build) between its copy and its apply: a second request and the
// elevated stage started meanwhile leave the installation alone and say "held".
TEST_F(Service, NoTwoAppliesAtOnce) {
  ASSERT_NO_FATAL_FAILURE(InstallFaultsBuild());
  const std::wstring pause = L"C:\\ProgramData\\vintrel-test-pause";
  const std::wstring paused = L"C:\\ProgramData\\vintrel-test-paused";
  WriteBytes(pause, "");
  Deliver(pair.before, pair.after, 100);
  const ProcessHandle first = StartProcess(Quote(faultsBuild.updater) + L" " +
                                           Quote(root + L"\\bin\\32bit") + L" " + Quote(root));
  for (int poll = 0; poll < 600 && !FileExists(paused); ++poll) Sleep(100);
  ASSERT_TRUE(FileExists(paused)) << "the service never reached its pause";
  const Tree before = Installed(root);

  // A second request: the service manager starts no second instance, and the first stage waits.
  {
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_START));
    const std::wstring folder = DeliveryFolder();
    const wchar_t* arguments[] = {L"apply", folder.c_str(), kToken};
    EXPECT_FALSE(StartServiceW(service.get(), 3, arguments));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  }
  // A second first stage: the service runs, so it neither applies nor asks for elevation.
  RunFirstStage(faultsBuild);
  EXPECT_EQ(RecordText(ReadRecord()), "not-started held 0 ");
  EXPECT_FALSE(LogHasLineStarting(L"update service gave no outcome"));
  // The elevated stage, started as the prompt would start it: the installation's lock is held.
  const std::wstring elevated = GetTempFolder() + kRelaunchedUpdaterName;
  ASSERT_TRUE(CopyFileW(signedBuild.updater.c_str(), elevated.c_str(), FALSE));
  EXPECT_EQ(RunAndWait(Quote(elevated) + L" " + Quote(root + L"\\bin\\32bit") + L" " +
                       Quote(root)),
            0u);
  EXPECT_TRUE(LogHasLineStarting(L"keep delivery : " + root +
                                 L" : another update of this installation runs"));
  EXPECT_EQ(RecordText(ReadRecord()), "not-started held 0 ");
  EXPECT_TRUE(Installed(root) == before) << "something applied while the service held the lock";

  DeleteFileW(pause.c_str());
  EXPECT_EQ(WaitForExitCode(first, 120000), 0u);
  EXPECT_TRUE(Product(root) == pair.after);
  EXPECT_EQ(RecordText(ReadRecord()), "applied none 100 ");
  DeleteFileW(elevated.c_str());
  Checked("while the service applied: a second request refused by the service manager, a "
          "second first stage held without a prompt, the elevated stage held off by the "
          "installation's lock; then the service's apply ended");
}

// The caller's path is its text: logged only once it is taken, escaped when refused, so that no
// line can be forged; and a start never erases the lines of the runs before it.
TEST_F(Service, ItsLogKeepsEarlierRunsAndTakesNoForgedLines) {
  const DWORD code = StartServiceAndWait(
      {L"apply", L"C:\\a\r\n[2026-1-1 0:00:00 ] --- forged", kToken});
  EXPECT_EQ(code, ServiceExitCode(ApplyResult::kRefused, ApplyReason::kUnsafeFolder));
  EXPECT_EQ(StartServiceAndWait({L"apply", L"C:\\vintrel-nothing", kToken + std::wstring(L"0")}),
            ServiceExitCode(ApplyResult::kNotStarted, ApplyReason::kNone));
  const std::string log = ReadBytes(kServiceLog);
  const std::regex line("\\[\\d+-\\d+-\\d+ \\d+:\\d\\d:\\d\\d \\] --- [^\\r\\n]*\\r\\n");
  std::size_t starts = 0;
  for (std::size_t at = 0; at < log.size();) {
    const std::size_t end = log.find("\r\n", at);
    ASSERT_NE(end, std::string::npos);
    const std::string one = log.substr(at, end + 2 - at);
    EXPECT_TRUE(std::regex_match(one, line)) << one;
    EXPECT_NE(one.rfind("[2026-1-1 0:00:00 ]", 0), 0u) << "a forged line: " << one;
    starts += one.find(ToCodePage(L"\u5F00\u59CB\u542F\u52A8\u66F4\u65B0\u670D\u52A1")) !=
              std::string::npos;
    at = end + 2;
  }
  EXPECT_NE(log.find("C:\\a\\x0d\\x0a[2026-1-1"), std::string::npos);
  EXPECT_GE(starts, 2u) << "a start erased the runs before it";
  Checked("a request path with CR LF logged escaped, every line well-formed; both runs' lines kept");
}

// The service's apply under the kill hook of the test build: killed right after each of its
// changes to the disk, and then started again as the next start of the main application would,
// it leaves exactly the new release.
TEST_F(Service, KilledAfterEachChangeTheNextStartRepairs) {
  ASSERT_NO_FATAL_FAILURE(InstallFaultsBuild());
  const std::wstring killAfter = L"C:\\ProgramData\\vintrel-test-kill-after";
  // The suite's runs take each kill point in turn, the full loop every one.
  const bool full = std::getenv("VINTREL_KILL_LOOP") &&
                    std::string(std::getenv("VINTREL_KILL_LOOP")) == "full";
  int killed = 0, repaired = 0;
  for (int k = 1; k < 200; k += full ? 1 : 3) {
    SCOPED_TRACE("kill after change " + std::to_string(k));
    RemoveTree(root);
    MakeTree(root, pair.before);
    Deliver(pair.before, pair.after, 100);
    WriteBytes(killAfter, std::to_string(k));
    RunFirstStage(faultsBuild);
    DeleteFileW(killAfter.c_str());
    const std::wstring marker = L"C:\\ProgramData\\vintrel-killed-at-" + std::to_wstring(k);
    if (!FileExists(marker)) {
      EXPECT_TRUE(Product(root) == pair.after);
      break;
    }
    DeleteFileW(marker.c_str());
    ++killed;
    // Killed: no outcome, so the first stage fell back to the prompt, declined here.
    EXPECT_EQ(RecordText(ReadRecord()), "not-started declined 0 ");
    RunFirstStage(faultsBuild);
    const bool isNew = Product(root) == pair.after;
    EXPECT_TRUE(isNew) << "the next start did not leave the new release";
    // Repaired and then applied, or finished and the waiting delivery taken as applied.
    EXPECT_EQ(RecordText(ReadRecord()), "applied none 100 ");
    EXPECT_EQ(ReadBytes(root + L"\\.vintrel\\release"), "100\r\n");
    EXPECT_FALSE(FileExists(root + L"\\.vintrel\\journal"));
    EXPECT_FALSE(FolderExists(DeliveryFolder()));
    repaired += isNew;
  }
  EXPECT_GT(killed, 3) << "the apply made fewer changes than the delivery needs";
  Checked("the service killed after " + std::string(full ? "each" : "every third") +
          " of its changes: " + std::to_string(repaired) + "/" + std::to_string(killed) +
          " repaired by the next start to exactly the new release");
}

}  // namespace
