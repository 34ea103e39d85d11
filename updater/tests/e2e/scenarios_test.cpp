// End-to-end scenarios: the real Updater.exe started as stage 1 from outside the temporary
// folder, followed through stage 2 on a sample installation.

#include <gtest/gtest.h>
#include <shlobj.h>
#include <wrl/client.h>

#include "base/folders.h"
#include "e2e_support.h"
#include "test_support.h"

using namespace e2e;
using namespace testing_support;

namespace {

const wchar_t kMainApp[] = L"\\bin\\32bit\\Kivo直播助手.exe";

std::string Utf8(const std::wstring& text) { return ToCodePage(text, CP_UTF8); }

bool LogHas(const std::wstring& message) {
  for (const std::wstring& line : ReadLogMessages()) {
    if (line == message) return true;
  }
  return false;
}

std::wstring ShortcutTarget(const std::wstring& shortcut) {
  std::wstring target;
  CoInitialize(nullptr);
  {
    Microsoft::WRL::ComPtr<IShellLinkW> link;
    Microsoft::WRL::ComPtr<IPersistFile> file;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_PPV_ARGS(&link))) &&
        SUCCEEDED(link.As(&file)) && SUCCEEDED(file->Load(shortcut.c_str(), STGM_READ))) {
      wchar_t buffer[MAX_PATH] = {};
      if (SUCCEEDED(link->GetPath(buffer, MAX_PATH, nullptr, 0))) target = buffer;
    }
  }
  CoUninitialize();
  return target;
}

class Scenario : public UpdaterTest {
 protected:
  // The usual update: a new main application, a changed file, a file in a new folder, a
  // deletion.
  void DeliverUsualUpdate(const std::wstring& folder) {
    DeliverUpdate(folder,
                  {"UpdatedFiles:", "bin/32bit/Kivo直播助手.exe", "bin/32bit/config.dat",
                   "bin/32bit/plugins/plugin.dll", "readme.txt", "DeletedFiles:",
                   "bin/32bit/obsolete.dll"},
                  {{L"bin\\32bit\\Kivo直播助手.exe", "copy-of:" + Utf8(programs.mainAppV2)},
                   {L"bin\\32bit\\config.dat", "volume=3\nquality=high\n"},
                   {L"bin\\32bit\\plugins\\plugin.dll", "plugin 2.0\n"},
                   {L"readme.txt", "readme 2.0\n"}});
  }

  // What the usual update leaves in root, and the restart from there.
  void ExpectUsualUpdateApplied(const std::wstring& root) {
    EXPECT_TRUE(ReadBytes(root + kMainApp) == ReadBytes(programs.mainAppV2)) << "main application not replaced";
    EXPECT_EQ(ReadBytes(root + L"\\bin\\32bit\\config.dat"), "volume=3\nquality=high\n");
    EXPECT_EQ(ReadBytes(root + L"\\bin\\32bit\\plugins\\plugin.dll"), "plugin 2.0\n");
    EXPECT_EQ(ReadBytes(root + L"\\readme.txt"), "readme 2.0\n");
    EXPECT_FALSE(FileExists(root + L"\\bin\\32bit\\obsolete.dll"));
    Checked("files replaced, added in a new folder, and deleted");
    const std::vector<std::string> records = ProbeRecords(root + L"\\bin\\32bit");
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().rfind("version=2.0 ", 0), 0u) << records.back();
    Checked("the main application restarted from the new files: " + records.back());
  }

  ScratchFolder area{L"C:"};
};

}  // namespace

TEST_F(Scenario, UsualUpdateEndsRunningInstancesAndRestarts) {
  const std::wstring root = area / L"Program Files (x86)\\Kivo直播助手";
  MakeInstallation(root, programs);
  DeliverUsualUpdate(DeliveryFolder());
  RunningInstances running(root + kMainApp, 3);

  const DWORD stage1 = RunUpdater(programs, root + L"\\bin\\32bit", root);
  EXPECT_TRUE(stage1 == 0 || stage1 == 9) << stage1;  // stage 2 ends a first stage still running
  EXPECT_EQ(running.ExitCodes(), (std::vector<DWORD>{9, 9, 9}));
  Checked("three running instances ended with exit code 9");
  ExpectUsualUpdateApplied(root);
  EXPECT_FALSE(FolderExists(DeliveryFolder()));
  Checked("the delivery folder removed");
  EXPECT_TRUE(LogHas(L"delete file : " + root + L"\\bin\\32bit\\obsolete.dll"));
  EXPECT_TRUE(LogHas(L"主工程安装路径：" + root + L"/bin/32bit/"));
  Checked("updater.log holds stage 2's lines");
}

TEST_F(Scenario, EarlierBrandIsMigratedToANumberedFolder) {
  const std::wstring root = area / L"Dremoth直播助手";
  MakeInstallation(root, programs);
  MakeFolders(area / L"Kivo直播助手");  // taken: the migration picks the next candidate
  WriteBytes(CommonDesktop() + L"\\Dremoth直播助手.lnk", "earlier shortcut");
  DeliverUsualUpdate(DeliveryFolder());
  // The main application under its earlier name, still running.
  const std::wstring earlierApp = root + L"\\bin\\32bit\\Dremoth直播助手.exe";
  ASSERT_TRUE(CopyFileW(programs.mainAppV1.c_str(), earlierApp.c_str(), FALSE));
  RunningInstances earlierRunning(earlierApp, 1);

  RunUpdater(programs, root + L"\\bin\\32bit", root);
  EXPECT_EQ(earlierRunning.ExitCodes(), std::vector<DWORD>{9});
  Checked("the running Dremoth直播助手.exe ended with exit code 9");
  const std::wstring migrated = area / L"Kivo直播助手1";
  EXPECT_FALSE(FolderExists(root));
  ASSERT_TRUE(FolderExists(migrated));
  Checked("renamed to the first free candidate, Kivo直播助手1");
  ExpectUsualUpdateApplied(migrated);
  EXPECT_EQ(ShortcutTarget(CommonDesktop() + L"\\Kivo直播助手.lnk"),
            migrated + L"\\bin\\32bit\\Kivo直播助手.exe");
  EXPECT_FALSE(FileExists(CommonDesktop() + L"\\Dremoth直播助手.lnk"));
  Checked("shortcut Kivo直播助手.lnk points into the new folder; Dremoth直播助手.lnk removed");
}

TEST_F(Scenario, EarlierBrandDeliveryFolderIsTheFallback) {
  const std::wstring root = area / L"Dremoth直播助手";
  MakeInstallation(root, programs);
  DeliverUsualUpdate(EarlierBrandDeliveryFolder());

  RunUpdater(programs, root + L"\\bin\\32bit", root);
  ExpectUsualUpdateApplied(area / L"Kivo直播助手");
  EXPECT_FALSE(FolderExists(EarlierBrandDeliveryFolder()));
  Checked("the update delivered below UlvarnVintrel applied, and that folder removed");
}

TEST_F(Scenario, NoDeliveryFolderChangesNothingAndRestarts) {
  const std::wstring root = area / L"Kivo直播助手";
  MakeInstallation(root, programs);
  EXPECT_EQ(RunUpdater(programs, root + L"\\bin\\32bit", root), 0u);
  EXPECT_EQ(ReadBytes(root + L"\\bin\\32bit\\config.dat"), "volume=3\n");
  EXPECT_TRUE(FileExists(root + L"\\bin\\32bit\\obsolete.dll"));
  const std::vector<std::string> records = ProbeRecords(root + L"\\bin\\32bit");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].rfind("version=1.0 ", 0), 0u);
  Checked("nothing changed; the installed main application restarted");
}

TEST_F(Scenario, DestinationHeldOpenIsReportedAndLaterEntriesApply) {
  const std::wstring root = area / L"Kivo直播助手";
  MakeInstallation(root, programs);
  DeliverUsualUpdate(DeliveryFolder());
  // This test program holds the file, as another program would, without delete sharing.
  HANDLE holder = CreateFileW((root + L"\\bin\\32bit\\config.dat").c_str(), GENERIC_READ,
                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  RunUpdater(programs, root + L"\\bin\\32bit", root);
  CloseHandle(holder);

  EXPECT_TRUE(LogHas(L"wait 300 to delet but failed "));
  EXPECT_EQ(ReadBytes(root + L"\\bin\\32bit\\config.dat"), "volume=3\n");
  Checked("the held file kept, with \"wait 300 to delet but failed \" in the log");
  EXPECT_EQ(ReadBytes(root + L"\\readme.txt"), "readme 2.0\n");
  EXPECT_FALSE(FileExists(root + L"\\bin\\32bit\\obsolete.dll"));
  EXPECT_TRUE(ReadBytes(root + kMainApp) == ReadBytes(programs.mainAppV2)) << "main application not replaced";
  Checked("the entries after it applied");
}

TEST_F(Scenario, HostileEntriesAndLinksStayInsideTheirFolders) {
  const std::wstring root = area / L"Kivo直播助手";
  MakeInstallation(root, programs);
  WriteBytes(area / L"victim.txt", "must stay");
  const std::wstring canary = area / L"canary";
  MakeFolders(canary);
  WriteBytes(canary + L"\\keep.txt", "must stay");
  // A folder of the installation moved to another place, behind a link.
  const std::wstring moved = area / L"moved-plugins";
  const std::wstring plugins = root + L"\\bin\\32bit\\plugins";
  MakeFolders(moved);
  WriteBytes(moved + L"\\plugin.dll", "plugin 1.0\n");
  WriteBytes(moved + L"\\old-plugin.dll", "old plugin\n");
  ASSERT_TRUE(MakeHostSymbolicLink(moved, plugins));
  DeliverUpdate(DeliveryFolder(),
                {"UpdatedFiles:", "../escaped.txt", "bin/../../escaped2.txt", "C:/escaped3.txt",
                 "/rooted.txt", "//server/share/x.txt", "linked/keep.txt", "hard.txt",
                 "readme.txt", "bin/32bit/plugins/plugin.dll", "DeletedFiles:", "../victim.txt",
                 "..\\victim.txt", "bin/32bit/obsolete.dll", "bin/32bit/plugins/old-plugin.dll"},
                {{L"readme.txt", "readme 2.0\n"},
                 {L"bin\\32bit\\plugins\\plugin.dll", "plugin 2.0\n"}});
  // Files that the escaping entries would have read from outside the delivery folder.
  WriteBytes(GetDataFolder() + L"\\escaped.txt", "outside the delivery");
  // A folder link in the delivery, to a folder whose files the user could not read otherwise.
  ASSERT_TRUE(MakeHostSymbolicLink(canary, DeliveryFolder() + L"\\" + kLinkName));
  // A second name, in the delivery, of a file outside it.
  ASSERT_TRUE(CreateHardLinkW((DeliveryFolder() + L"\\hard.txt").c_str(),
                              (canary + L"\\keep.txt").c_str(), nullptr));

  RunUpdater(programs, root + L"\\bin\\32bit", root);
  EXPECT_FALSE(FileExists(area / L"escaped.txt"));
  EXPECT_FALSE(FileExists(area / L"escaped2.txt"));
  EXPECT_FALSE(FileExists(L"C:\\escaped3.txt"));
  EXPECT_FALSE(FileExists(L"C:\\rooted.txt"));
  EXPECT_EQ(ReadBytes(area / L"victim.txt"), "must stay");
  EXPECT_TRUE(LogHas(L"skip unsafe entry : ../escaped.txt"));
  EXPECT_TRUE(LogHas(L"skip unsafe entry : ../victim.txt"));
  Checked("entries leading out of the root or delivery folder skipped and logged");
  EXPECT_TRUE(LogHas(L"skip unsafe entry : linked/keep.txt"));
  EXPECT_FALSE(FolderExists(root + L"\\linked"));
  EXPECT_TRUE(LogHas(L"skip unsafe entry : hard.txt"));
  EXPECT_FALSE(FileExists(root + L"\\hard.txt"));
  Checked("nothing copied through the folder link or the hard link in the delivery");
  EXPECT_EQ(ReadBytes(moved + L"\\plugin.dll"), "plugin 2.0\n");
  EXPECT_FALSE(FileExists(moved + L"\\old-plugin.dll"));
  Checked("a folder of the installation moved behind a link updated and cleaned through it");
  EXPECT_EQ(ReadBytes(canary + L"\\keep.txt"), "must stay");
  EXPECT_FALSE(FileExists(DeliveryFolder() + L"\\UpdateInfo.ini"));
  EXPECT_FALSE(FileExists(DeliveryFolder() + L"\\readme.txt"));
  Checked("a folder linked into the delivery folder kept whole; the delivery removed around it");
  EXPECT_EQ(ReadBytes(root + L"\\readme.txt"), "readme 2.0\n");
  EXPECT_FALSE(FileExists(root + L"\\bin\\32bit\\obsolete.dll"));
  Checked("the sound entries applied");
  DeleteFileW((GetDataFolder() + L"\\escaped.txt").c_str());
  RemoveHostSymbolicLink(plugins);
}

TEST_F(Scenario, LinkedLogsAndDeliveryFoldersAreNotUsed) {
  const std::wstring root = area / L"Kivo直播助手";
  MakeInstallation(root, programs);
  const std::string readmeBefore = ReadBytes(root + L"\\readme.txt");
  // "Temp" made a link to a folder that holds a whole update.
  const std::wstring planted = area / L"planted";
  DeliverUsualUpdate(planted);
  RemoveTree(DeliveryFolder());
  ASSERT_TRUE(MakeHostSymbolicLink(planted, DeliveryFolder()));
  // "logs" made a link to another folder.
  const std::wstring otherLogs = area / L"other-logs";
  MakeFolders(otherLogs);
  RemoveTree(GetDataFolder() + L"\\logs");
  ASSERT_TRUE(MakeHostSymbolicLink(otherLogs, GetDataFolder() + L"\\logs"));

  RunUpdater(programs, root + L"\\bin\\32bit", root);
  EXPECT_EQ(ReadBytes(root + L"\\readme.txt"), readmeBefore);
  EXPECT_TRUE(ReadBytes(root + kMainApp) == ReadBytes(programs.mainAppV1));
  EXPECT_TRUE(FileExists(planted + L"\\UpdateInfo.ini"));
  const std::vector<std::string> records = ProbeRecords(root + L"\\bin\\32bit");
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().rfind("version=1.0 ", 0), 0u) << records.back();
  Checked("a delivery folder that is a link not applied, the old main application restarted");
  // The first stage, which runs as the user, still logs through the link; the second none.
  const std::string log = ReadBytes(otherLogs + L"\\updater.log");
  EXPECT_NE(log.find(ToCodePage(L"开始启动更新程序")), std::string::npos);
  EXPECT_EQ(log.find(ToCodePage(L"主工程安装路径")), std::string::npos) << log;
  Checked("a logs folder that is a link got no line from the second stage");
}

TEST_F(Scenario, RootWithTrailingBackslash) {
  const std::wstring root = area / L"Kivo直播助手";
  MakeInstallation(root, programs);
  DeliverUsualUpdate(DeliveryFolder());
  RunUpdater(programs, root + L"\\bin\\32bit\\", root + L"\\");
  ExpectUsualUpdateApplied(root);
  EXPECT_TRUE(LogHas(L"rootPathArg = " + root + L"\\"));
  EXPECT_TRUE(LogHas(L"主工程安装路径：" + root + L"\\/bin/32bit/"));
  Checked("the root folder arrived with its trailing backslash");
}

TEST_F(Scenario, PathsNearTheLimit) {
  // The sample main application's record beside it takes a 259-character path, the longest a
  // platform path may be; the main application's own path is a little shorter.
  const std::wstring record = L"\\bin\\32bit\\probe-record.txt";
  std::wstring root = area.path() + L"\\";
  root += std::wstring(259 - record.size() - root.size(), L'p');
  ASSERT_EQ((root + record).size(), 259u);
  MakeInstallation(root, programs);
  DeliverUpdate(DeliveryFolder(),
                {"UpdatedFiles:", "bin/32bit/Kivo直播助手.exe", "bin/32bit/" + std::string(40, 'x'),
                 "readme.txt"},
                {{L"bin\\32bit\\Kivo直播助手.exe", "copy-of:" + Utf8(programs.mainAppV2)},
                 {L"bin\\32bit\\" + std::wstring(40, L'x'), "too long a path"},
                 {L"readme.txt", "readme 2.0\n"}});
  RunUpdater(programs, root + L"\\bin\\32bit", root);
  EXPECT_TRUE(ReadBytes(root + kMainApp) == ReadBytes(programs.mainAppV2)) << "main application not replaced";
  EXPECT_EQ(ReadBytes(root + L"\\readme.txt"), "readme 2.0\n");
  EXPECT_FALSE(FileExists(root + L"\\bin\\32bit\\" + std::wstring(40, L'x')));
  const std::vector<std::string> records = ProbeRecords(root + L"\\bin\\32bit");
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().rfind("version=2.0 ", 0), 0u);
  Checked("an installation at the path limit updated and restarted; a longer entry passed over");
}

// Run under the ANSI code pages 936 and 1252: paths go to the platform as wide text, so the
// update does not depend on the system's code page, nor on code page 936 holding the name.
TEST_F(Scenario, NamesOutsideCodePage936) {
  const std::wstring root = area / L"한국어 설치\\Kivo直播助手";
  MakeInstallation(root, programs);
  DeliverUsualUpdate(DeliveryFolder());
  RunUpdater(programs, root + L"\\bin\\32bit", root);
  ExpectUsualUpdateApplied(root);
  EXPECT_FALSE(FolderExists(DeliveryFolder()));
  Checked("ANSI code page " + std::to_string(GetACP()) + ": update applied below a Korean folder");
}

TEST_F(Scenario, EarlierBrandOutsideCodePage936) {
  const std::wstring root = area / L"한국어\\Dremoth직播";
  MakeInstallation(root, programs);
  DeliverUsualUpdate(DeliveryFolder());
  RunUpdater(programs, root + L"\\bin\\32bit", root);
  ExpectUsualUpdateApplied(area / L"한국어\\Kivo직播");
  EXPECT_FALSE(FolderExists(root));
  Checked("ANSI code page " + std::to_string(GetACP()) + ": a Korean-named earlier-brand folder renamed");
}

TEST_F(Scenario, MissingNewFileLeavesTheInstalledOne) {
  const std::wstring root = area / L"Kivo直播助手";
  MakeInstallation(root, programs);
  // A download cut short: the manifest lists the new main application, the delivery lacks it.
  DeliverUpdate(DeliveryFolder(), {"UpdatedFiles:", "bin/32bit/Kivo直播助手.exe", "readme.txt"},
                {{L"readme.txt", "readme 2.0\n"}});
  RunUpdater(programs, root + L"\\bin\\32bit", root);
  EXPECT_TRUE(ReadBytes(root + kMainApp) == ReadBytes(programs.mainAppV1)) << "main application lost";
  EXPECT_EQ(ReadBytes(root + L"\\readme.txt"), "readme 2.0\n");
  const std::vector<std::string> records = ProbeRecords(root + L"\\bin\\32bit");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].rfind("version=1.0 ", 0), 0u) << records[0];
  Checked("the installed main application kept and restarted; the other entry applied");
}

TEST_F(Scenario, ManifestLineOf400MegabytesIsSkipped) {
  const std::wstring root = area / L"Kivo直播助手";
  MakeInstallation(root, programs);
  DeliverUsualUpdate(DeliveryFolder());
  // The usual manifest with one line of 400 MB in front of its entries.
  const std::string usual = ReadBytes(DeliveryFolder() + L"\\UpdateInfo.ini");
  const size_t firstEntry = usual.find("\r\n") + 2;
  constexpr size_t kChunk = 1024 * 1024;
  HANDLE manifest = CreateFileW((DeliveryFolder() + L"\\UpdateInfo.ini").c_str(), GENERIC_WRITE,
                                0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(manifest, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(manifest, usual.data(), static_cast<DWORD>(firstEntry), &written, nullptr);
  const std::string chunk(kChunk, 'x');
  for (int i = 0; i < 400; ++i) WriteFile(manifest, chunk.data(), kChunk, &written, nullptr);
  WriteFile(manifest, "\r\n", 2, &written, nullptr);
  WriteFile(manifest, usual.data() + firstEntry, static_cast<DWORD>(usual.size() - firstEntry),
            &written, nullptr);
  CloseHandle(manifest);

  RunUpdater(programs, root + L"\\bin\\32bit", root);
  EXPECT_TRUE(LogHas(L"skip unsafe entry : " + std::wstring(65534, L'x') + L" ...(cut)"));
  Checked("the 400 MB line logged cut, as an unsafe entry");
  ExpectUsualUpdateApplied(root);
  EXPECT_FALSE(FolderExists(DeliveryFolder()));
  Checked("the entries after it applied and the delivery removed");
}
