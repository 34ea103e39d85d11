#pragma once
// The round trip's shared set-up: trees of files made and read back, vintrel-pack.exe run on two
// trees, and the fixtures of the scenarios that apply its deliveries with the real Updater.exe.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/app_names.h"
#include "e2e_support.h"
#include "test_support.h"
#include "update/process_kill.h"

namespace roundtrip {

namespace fs = std::filesystem;
using namespace e2e;
using namespace testing_support;

inline const wchar_t kMainApp[] = L"bin\\32bit\\Kivo\u76F4\u64AD\u52A9\u624B.exe";  // Kivo直播助手.exe
inline const wchar_t kProbeRecord[] = L"bin\\32bit\\probe-record.txt";

// Relative name ("\" between levels) -> contents.
using Tree = std::map<std::wstring, std::string>;

// CreateFileW's handle: INVALID_HANDLE_VALUE means none.
using FileHandle = ScopedHandle<InvalidValueIsInvalidTraits<CloseHandle>>;

inline std::string Utf8(const std::wstring& text) { return ToCodePage(text, CP_UTF8); }

inline std::wstring Upper(std::wstring text) {
  CharUpperBuffW(&text[0], static_cast<DWORD>(text.size()));
  return text;
}

inline void MakeTree(const std::wstring& root, const Tree& tree) {
  MakeFolders(root);
  for (const auto& [relative, contents] : tree) {
    const std::wstring path = root + L"\\" + relative;
    MakeFolders(path.substr(0, path.find_last_of(L'\\')));
    WriteBytes(path, contents);
  }
}

// The files below root under their case keys, as Windows tells names apart.
inline std::map<std::wstring, std::pair<std::wstring, std::string>> ReadTree(const std::wstring& root) {
  std::map<std::wstring, std::pair<std::wstring, std::string>> files;
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(root))) {
    if (!entry.is_regular_file()) continue;
    const std::wstring relative = entry.path().wstring().substr(root.size() + 1);
    files[Upper(relative)] = {relative, ReadBytes(entry.path().wstring())};
  }
  return files;
}

struct PackRun {
  DWORD exitCode;
  std::string output;  // UTF-8
};

// Runs vintrel-pack.exe with arguments, its output (both streams) caught in a file.
inline PackRun RunPack(const std::wstring& arguments, const std::wstring& scratch) {
  const std::wstring outputPath = scratch + L"\\pack-output.txt";
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  FileHandle output(CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = output.get();
  startup.hStdError = output.get();
  PROCESS_INFORMATION process = {};
  std::wstring commandLine =
      L"\"" + FromHostPath(std::getenv("VINTREL_PACK") ? std::getenv("VINTREL_PACK") : "") +
      L"\" " + arguments;
  DWORD exitCode = static_cast<DWORD>(-1);
  if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                     &startup, &process)) {
    WaitForSingleObject(process.hProcess, 120000);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  output.reset();
  return {exitCode, ReadBytes(outputPath)};
}

inline std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

inline std::string RandomBytes(std::mt19937& random, size_t size) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

// Names with Chinese characters, blanks and mixed case.
inline const std::vector<std::wstring> kNames = {
    L"config.dat",         L"\u76F4\u64AD\u63D2\u4EF6.dll",  // 直播插件.dll
    L"read me.txt",        L"\u7F8E\u989C \u6EE4\u955C.dat",  // 美颜 滤镜.dat
    L"Codec.DLL",          L"skin.ini",
    L"\u8BED\u8A00\u5305.lng",  // 语言包.lng
    L"Log Settings.xml",   L"\u8BF4\u660E \u6587\u6863.txt",  // 说明 文档.txt
    L"avcodec-58.dll",
};
inline const std::vector<std::wstring> kFolders = {L"", L"bin\\32bit", L"bin\\32bit\\plugins", L"res",
                                            L"res\\\u76AE\u80A4"};  // res\皮肤

inline std::wstring Join(const std::wstring& folder, const std::wstring& name) {
  return folder.empty() ? name : folder + L"\\" + name;
}

struct TreePair {
  Tree before, after;
  int caseRenames = 0;
};

// An installation and its next version: a new main application, files changed with and without
// a change of size, deleted, renamed in case only, added in existing folders, in a new folder one
// level deep and in a new folder below that (each new level with a file of its own), and a
// file that became a folder.
inline TreePair RandomPair(unsigned seed, const Programs& programs) {
  std::mt19937 random(seed);
  TreePair pair;
  pair.before[kMainApp] = ReadBytes(programs.mainAppV1);
  for (const std::wstring& folder : kFolders) {
    std::vector<std::wstring> names = kNames;
    std::shuffle(names.begin(), names.end(), random);
    const size_t count = 2 + random() % 4;
    for (size_t i = 0; i < count; ++i) {
      pair.before[Join(folder, names[i])] = RandomBytes(random, random() % 5000);
    }
  }
  pair.before[L"res\\extras"] = "a file that becomes a folder";

  for (const auto& [relative, contents] : pair.before) {
    if (relative == kMainApp || relative == L"res\\extras") continue;
    const unsigned action = random() % 10;
    const size_t slash = relative.find_last_of(L'\\');
    const std::wstring folder = slash == std::wstring::npos ? L"" : relative.substr(0, slash);
    const std::wstring name = relative.substr(slash == std::wstring::npos ? 0 : slash + 1);
    std::wstring caseRenamed = name;
    CharLowerBuffW(&caseRenamed[0], static_cast<DWORD>(caseRenamed.size()));
    if (caseRenamed == name) CharUpperBuffW(&caseRenamed[0], static_cast<DWORD>(caseRenamed.size()));
    switch (action) {
      case 0: {  // same size, other bytes
        std::string changed = contents;
        if (changed.empty()) changed = "x";
        changed.back() = static_cast<char>(changed.back() ^ 0x5A);
        pair.after[relative] = changed;
        break;
      }
      case 1:
        pair.after[relative] = RandomBytes(random, random() % 5000 + 1);
        break;
      case 2:  // deleted
        break;
      case 3:
        pair.after[Join(folder, caseRenamed)] = contents;
        pair.caseRenames += caseRenamed != name;
        break;
      case 4:
        pair.after[Join(folder, caseRenamed)] = contents + "changed";
        pair.caseRenames += caseRenamed != name;
        break;
      default:
        pair.after[relative] = contents;
    }
  }
  pair.after[kMainApp] = ReadBytes(programs.mainAppV2);
  pair.after[L"bin\\32bit\\new " + std::to_wstring(seed) + L".dll"] = RandomBytes(random, 300);
  pair.after[L"bin\\32bit\\\u65B0 \u63D2\u4EF6\\a.dll"] = RandomBytes(random, 200);  // 新 插件
  pair.after[L"bin\\32bit\\\u65B0 \u63D2\u4EF6\\B.dat"] = RandomBytes(random, 10);
  pair.after[L"res\\\u4E3B\u9898\\theme.ini"] = "theme";                      // 主题
  pair.after[L"res\\\u4E3B\u9898\\\u6DF1\u8272\\dark.ini"] = "dark";          // 主题\深色
  pair.after[L"res\\extras\\extra.dat"] = "now a folder";
  return pair;
}

class RoundTrip : public UpdaterTest {
 protected:
  // vintrel-pack diff of two trees made in scratch, for an installation root of rootLength.
  // link, when given, is made in the new tree as a folder link to a folder outside it. A signed
  // delivery names what it applies onto: where more gives no base, it is a full delivery, which
  // the installations these scenarios make (no release recorded, as an installer leaves them)
  // take.
  PackRun Diff(const ScratchFolder& scratch, const Tree& before, const Tree& after,
               size_t rootLength, const std::wstring& updater, const std::wstring& link = L"",
               std::wstring more = L"") {
    if (more.find(L" --key ") != std::wstring::npos &&
        more.find(L" --previous") == std::wstring::npos &&
        more.find(L" --full") == std::wstring::npos) {
      more += L" --full";
    }
    MakeTree(scratch / L"old", before);
    MakeTree(scratch / L"new", after);
    if (!link.empty()) {
      MakeTree(scratch / L"elsewhere", {{L"linked.dll", "through a link"}});
      EXPECT_TRUE(MakeHostSymbolicLink(scratch / L"elsewhere", scratch / (L"new\\" + link)));
    }
    return RunPack(L"diff " + Quoted(scratch / L"old") + L" " + Quoted(scratch / L"new") +
                       L" --out " + Quoted(scratch / L"delivery") + L" --updater " +
                       Quoted(updater) + L" --root-length " + std::to_wstring(rootLength) +
                       L" --delivery-length " + std::to_wstring(DeliveryFolder().size()) + more,
                   scratch.path());
  }
};

// The files of an installation: relative name as on disk -> contents.
inline Tree Installed(const std::wstring& root) {
  Tree tree;
  for (const auto& [key, file] : ReadTree(root)) {
    // The release record's marker, "release-<N>", is checked where the record is.
    if (file.first.rfind(L".vintrel\\release-", 0) == 0) continue;
    tree[file.first] = file.second;
  }
  tree.erase(kProbeRecord);
  return tree;
}

inline bool LogHasLineStarting(const std::wstring& start) {
  for (const std::wstring& line : ReadLogMessages()) {
    if (line.rfind(start, 0) == 0) return true;
  }
  return false;
}

class AllOrNothing : public RoundTrip {
 protected:
  // The old tree installed at root, the delivery for the new one where the main application
  // puts it.
  void Prepare(const ScratchFolder& scratch, const std::wstring& root, const TreePair& pair) {
    const PackRun pack = Diff(scratch, pair.before, pair.after, root.size(), programs.updater);
    ASSERT_EQ(pack.exitCode, 0u) << pack.output;
    MakeTree(root, pair.before);
    fs::copy(fs::path(scratch / L"delivery"), fs::path(DeliveryFolder()),
             fs::copy_options::recursive);
  }

  void ExpectOldMainApplicationRestarted(const std::wstring& root) {
    const std::vector<std::string> records = ProbeRecords(root + L"\\bin\\32bit");
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().rfind("version=1.0 ", 0), 0u) << records.back();
  }

  // Starts the update as the main application does and ends its second stage as soon as a
  // file matching pattern appears (polled every few milliseconds).
  bool KillSecondStageWhen(const std::wstring& root, const std::wstring& pattern) {
    const ProcessHandle firstStage = StartProcess(L"\"" + programs.updater + L"\" \"" + root +
                                                  L"\\bin\\32bit\" \"" + root + L"\"");
    for (int poll = 0; poll < 60000; ++poll) {
      WIN32_FIND_DATAW found = {};
      const HANDLE search = FindFirstFileW(pattern.c_str(), &found);
      if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
        KillProcessByName(ToCodePage(kRelaunchedUpdaterName).c_str());
        WaitUntilNoProcess(kRelaunchedUpdaterName);
        WaitForExitCode(firstStage);
        return true;
      }
      Sleep(2);
    }
    return false;
  }

  // The next run of the updater, the delivery still waiting, leaves exactly the new tree.
  void ExpectNextRunRepairs(const std::wstring& root, const TreePair& pair) {
    ASSERT_TRUE(FolderExists(DeliveryFolder())) << "a killed run removed the delivery";
    ASSERT_EQ(RunUpdater(programs, root + L"\\bin\\32bit", root), 0u);
    EXPECT_TRUE(Installed(root) == pair.after) << "the next run did not leave the new tree";
    EXPECT_FALSE(FolderExists(root + L"\\.vintrel"));
    EXPECT_FALSE(FolderExists(DeliveryFolder()));
    const std::vector<std::string> records = ProbeRecords(root + L"\\bin\\32bit");
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().rfind("version=2.0 ", 0), 0u) << records.back();
  }
};

// The updaters built with the test keys: Updater_signed_test.exe, and Updater_faults.exe, which
// plays faults on request (a kill after a chosen change to the disk, a declined prompt); keys
// holds the test key pairs that sign deliveries for them.
class SignedBuilds : public AllOrNothing {
 protected:
  void SetUp() override {
    AllOrNothing::SetUp();
    keys = FromEnvironment("TEST_KEYS");
    signedBuild = programs;
    signedBuild.updater = FromEnvironment("UPDATER_SIGNED_TEST_EXE");
    faultsBuild = programs;
    faultsBuild.updater = FromEnvironment("UPDATER_FAULTS_EXE");
    ASSERT_TRUE(FileExists(signedBuild.updater)) << "UPDATER_SIGNED_TEST_EXE not set";
    ASSERT_TRUE(FileExists(faultsBuild.updater)) << "UPDATER_FAULTS_EXE not set";
  }

  std::wstring keys;
  Programs signedBuild, faultsBuild;
};

}  // namespace roundtrip
