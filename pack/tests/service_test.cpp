// The update service on the real updaters under Wine: Updater_signed_test.exe installed as
// <root>\bin\32bit\Updater.exe and registered as the service in the test prefix, asked by the
// first stage of Updater_faults.exe, whose elevated start always fails as a declined prompt
// (VINTREL_DECLINE_ELEVATION=1): any fall back to the prompt shows in the outcome record as
// "not-started declined". Wine enforces no permissions, so what they do is not shown here.

#include <vintrel/update_outcome.h>

#include "base/folders.h"
#include "roundtrip_support.h"
#include "stages/service.h"
#include "stages/service_rules.h"

using namespace roundtrip;

namespace {

inline const wchar_t kInstalledUpdater[] = L"bin\\32bit\\Updater.exe";

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
  if (!service.valid() ||
      !StartServiceW(service.get(), static_cast<DWORD>(pointers.size()), pointers.data())) {
    return static_cast<DWORD>(-1);
  }
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
      {L"apply", L"\\\\localhost\\C$\\users\\root\\AppData\\Roaming\\OrbeskVintrel\\Temp"});
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
  const wchar_t* arguments[] = {L"apply", nothing.c_str()};
  ASSERT_TRUE(StartServiceW(service.get(), 2, arguments));
  EXPECT_FALSE(StartServiceW(service.get(), 2, arguments));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  SERVICE_STATUS status = {};
  for (int poll = 0; poll < 600 && QueryServiceStatus(service.get(), &status) &&
                     status.dwCurrentState != SERVICE_STOPPED;
       ++poll) {
    Sleep(100);
  }

  // An apply that holds the service's lock: this one neither applies nor prompts, and the
  // delivery waits.
  Deliver(pair.before, pair.after, 100);
  const std::wstring lock = L"C:\\ProgramData\\OrbeskVintrel\\service\\apply.lock";
  const FileHandle held(CreateFileW(lock.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held.valid());
  const Tree before = Installed(root);
  RunFirstStage(faultsBuild);
  EXPECT_TRUE(Installed(root) == before);
  EXPECT_EQ(RecordText(ReadRecord()), "not-started held 0 ");
  EXPECT_TRUE(FileExists(DeliveryFolder() + L"\\UpdateInfo.sha256"));
  Checked("a second start refused by the service manager, a second apply by the service's lock");
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

}  // namespace
