// Whole releases under Wine, on the real Updater.exe with the test keys: a feed that
// vintrel-pack.exe publish made of three releases (files added, changed and deleted in the middle
// one, one library that never changes), installations with a file that only the main application writes, partial
// deliveries that apply only onto their base, full ones that make any installation the release.

#include <map>

#include "roundtrip_support.h"

using namespace roundtrip;

namespace {

const wchar_t kOwnFile[] = L"bin\\32bit\\user-settings.dat";  // the main application writes it

class WholeRelease : public SignedBuilds {
 protected:
  void SetUp() override {
    SignedBuilds::SetUp();
    std::mt19937 random(30);
    const std::string unchanged = RandomBytes(random, 150000);
    std::string core = RandomBytes(random, 200000);
    releases[1][kMainApp] = ReadBytes(programs.mainAppV1);
    releases[1][L"lib\\unchanged.dll"] = unchanged;
    releases[1][L"lib\\core.dll"] = core;
    releases[1][L"old-notes.txt"] = "deleted in release 2";
    releases[1][L"readme.txt"] = "release 1";
    releases[2] = releases[1];
    releases[2][kMainApp] = ReadBytes(programs.mainAppV2);
    core[1000] ^= 1;
    releases[2][L"lib\\core.dll"] = core;
    releases[2].erase(L"old-notes.txt");
    releases[2][L"lib\\\u65B0\\added.dat"] = "added in release 2";  // 新
    releases[2][L"readme.txt"] = "release 2";
    releases[3] = releases[2];
    core[2000] ^= 1;
    releases[3][L"lib\\core.dll"] = core;
    releases[3][L"readme.txt"] = "release 3";
    root = installation / L"\u5B89\u88C5";  // 安装
  }

  // The delivery of release to from the feed vintrel-pack publish made of the three releases:
  // partial from release from, or full (from 0).
  std::wstring Pack(int from, int to) {
    if (!published) {
      published = true;
      for (int release = 1; release <= 3; ++release) {
        MakeTree(feed / (L"release-" + std::to_wstring(release)), releases[release]);
        const PackRun pack = RunPack(
            L"publish " + Quoted(feed / (L"release-" + std::to_wstring(release))) + L" --feed " +
                Quoted(feed / L"feed") + L" --release " + std::to_wstring(release) +
                L" --updater " + Quoted(signedBuild.updater) + L" --root-length " +
                std::to_wstring(root.size()) + L" --delivery-length " +
                std::to_wstring(DeliveryFolder().size()) + L" --key " +
                Quoted(keys + L"\\current.pem"),
            feed.path());
        EXPECT_EQ(pack.exitCode, 0u) << pack.output;
      }
    }
    return feed / (L"feed\\" + std::to_wstring(to) + L"\\" +
                   (from == 0 ? std::wstring(L"full") : L"from-" + std::to_wstring(from)));
  }

  // An installation of release at root: the installer records it (unless recorded is false),
  // the main application has written its own file.
  void Install(int release, bool recorded = true) {
    RemoveTree(root);
    MakeTree(root, releases[release]);
    if (recorded) {
      MakeFolders(root + L"\\.vintrel");
      WriteBytes(root + L"\\.vintrel\\release", std::to_string(release) + "\r\n");
    }
    WriteBytes(root + L"\\" + kOwnFile, "the user's settings");
  }

  void Deliver(const std::wstring& delivery) {
    RemoveTree(DeliveryFolder());
    fs::copy(fs::path(delivery), fs::path(DeliveryFolder()), fs::copy_options::recursive);
  }

  // The installation is exactly release: every file of it, the main application's own file,
  // the record of release, nothing else.
  void ExpectExactly(int release) {
    Tree expected = releases[release];
    expected[kOwnFile] = "the user's settings";
    expected[L".vintrel\\release"] = std::to_string(release) + "\r\n";
    const Tree installed = Installed(root);
    EXPECT_TRUE(installed == expected) << Difference(expected, installed);
  }

  static std::string Difference(const Tree& a, const Tree& b) {
    std::string names;
    for (const auto& [name, bytes] : a) {
      if (!b.count(name)) names += " -" + Utf8(name);
      else if (b.at(name) != bytes) names += " ~" + Utf8(name);
    }
    for (const auto& [name, bytes] : b) {
      if (!a.count(name)) names += " +" + Utf8(name);
    }
    return names;
  }

  std::string LastLogLine() {
    const std::vector<std::wstring> lines = ReadLogMessages();
    return lines.empty() ? std::string() : Utf8(lines.back());
  }

  std::map<int, Tree> releases;
  ScratchFolder installation;
  std::wstring root;
  ScratchFolder feed;
  bool published = false;
};

// Partial deliveries one after the other; the one from release 2 refused by an installation of
// release 1, which stays as it was to the byte.
TEST_F(WholeRelease, APartialDeliveryAppliesOnlyOntoItsBase) {
  Install(1);
  Deliver(Pack(1, 2));
  RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
  ExpectExactly(2);
  Deliver(Pack(2, 3));
  RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
  ExpectExactly(3);
  Checked("release 1 updated by the partial deliveries 1 to 2 and 2 to 3: exactly release 3");

  ResetSharedState();
  Install(1);
  const Tree before = Installed(root);
  Deliver(Pack(2, 3));
  RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
  EXPECT_TRUE(Installed(root) == before) << Difference(before, Installed(root));
  EXPECT_TRUE(LogHasLineStarting(L"refuse delivery : .vintrel/release : ")) << LastLogLine();
  Checked("release 1 given the partial delivery 2 to 3: refused (base-differs), unchanged");
}

// The full delivery of release 3 onto release 1, onto release 2, and onto release 2 with the
// library that never changes altered: each time exactly release 3.
TEST_F(WholeRelease, AFullDeliveryMakesAnyInstallationTheRelease) {
  for (const int installed : {1, 2, 0}) {
    SCOPED_TRACE(installed);
    ResetSharedState();
    Install(installed == 0 ? 2 : installed);
    if (installed == 0) WriteBytes(root + L"\\lib\\unchanged.dll", "put back by an antivirus");
    Deliver(Pack(0, 3));
    RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
    ExpectExactly(3);
    // What is installed as listed already is not staged again.
    EXPECT_EQ(LogHasLineStarting(L"already installed : lib/unchanged.dll"), installed != 0)
        << LastLogLine();
  }
  Checked("the full delivery of release 3 onto releases 1, 2 and a damaged 2: exactly release 3, "
          "the file deleted in release 2 gone, the main application's own file kept");
}

// Where the installer recorded no release, a full delivery is held against the installed main
// application's file version: release 1's (1.0) is not applied over release 2's (2.0), release
// 3's (2.0) is, over release 1's.
TEST_F(WholeRelease, AFullDeliveryOverNoRecordIsHeldAgainstTheMainApplicationsVersion) {
  Install(2, false);
  const Tree before = Installed(root);
  Deliver(Pack(0, 1));
  RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
  EXPECT_TRUE(Installed(root) == before) << Difference(before, Installed(root));
  EXPECT_TRUE(LogHasLineStarting(L"refuse delivery : bin/32bit/")) << LastLogLine();

  ResetSharedState();
  Install(1, false);
  Deliver(Pack(0, 3));
  RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
  ExpectExactly(3);
  Checked("no release recorded: the full delivery of release 1 refused over release 2 "
          "(not-newer), that of release 3 applied over release 1");
}

// A kept file that is not as listed refuses the delivery before anything is touched: the main
// application runs on.
TEST_F(WholeRelease, AKeptFileAlteredRefusesBeforeTheMainApplicationEnds) {
  Install(2);
  WriteBytes(root + L"\\lib\\unchanged.dll", "put back by an antivirus");
  const Tree before = Installed(root);
  Deliver(Pack(2, 3));
  RunningInstances running(root + L"\\" + kMainApp, 1);
  ASSERT_EQ(running.ExitCodes(300), std::vector<DWORD>{STILL_ACTIVE});
  RunUpdater(signedBuild, root + L"\\bin\\32bit", root, false);
  EXPECT_EQ(running.ExitCodes(300), std::vector<DWORD>{STILL_ACTIVE})
      << "the main application was ended";
  EXPECT_TRUE(Installed(root) == before) << Difference(before, Installed(root));
  EXPECT_TRUE(LogHasLineStarting(L"refuse delivery : lib/unchanged.dll : a kept file: "))
      << LastLogLine();
  Checked("a kept file altered: the partial delivery refused, nothing touched, the main "
          "application running on");
}

}  // namespace
