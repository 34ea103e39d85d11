// The round trip: random pairs of installation trees are packed by the real vintrel-pack.exe,
// and its delivery is applied by the real Updater.exe from stage 1; the installation must then
// equal the new tree file by file. Trees the updater cannot apply must be refused, with nothing
// written. A delivery that is cut short, a file held by another program, and a second stage
// killed part-way leave the installation whole, the last repaired by the next run. All under
// Wine with the ANSI code page 936.

#include "roundtrip_support.h"

using namespace roundtrip;

namespace {

TEST_F(RoundTrip, TheUpdaterAppliesWhatVintrelPackPacked) {
  for (unsigned seed = 1; seed <= 5; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    ResetSharedState();
    ScratchFolder scratch;
    const std::wstring root = scratch / L"\u5B89\u88C5 \u76EE\u5F55";  // 安装 目录
    const TreePair pair = RandomPair(seed, programs);
    const PackRun pack = Diff(scratch, pair.before, pair.after, root.size(), programs.updater);
    ASSERT_EQ(pack.exitCode, 0u) << pack.output;
    EXPECT_EQ(pack.output.find("case-only-rename") != std::string::npos, pair.caseRenames > 0)
        << pack.output;

    // The installation as it was, the delivery where the main application puts it.
    MakeTree(root, pair.before);
    fs::copy(fs::path(scratch / L"delivery"), fs::path(DeliveryFolder()),
             fs::copy_options::recursive);
    ASSERT_EQ(RunUpdater(programs, root + L"\\bin\\32bit", root), 0u);

    std::map<std::wstring, std::pair<std::wstring, std::string>> installed = ReadTree(root);
    installed.erase(Upper(kProbeRecord));
    for (const auto& [relative, contents] : pair.after) {
      const auto found = installed.find(Upper(relative));
      ASSERT_NE(found, installed.end()) << Utf8(relative) << " missing\n" << pack.output;
      EXPECT_TRUE(found->second.second == contents) << Utf8(relative) << " differs";
      installed.erase(found);
    }
    for (const auto& [key, file] : installed) ADD_FAILURE() << Utf8(file.first) << " left over";
    EXPECT_FALSE(FolderExists(root + L"\\.vintrel")) << "the journal's folder was left";
    EXPECT_FALSE(FolderExists(DeliveryFolder())) << "the delivery was not removed";
    const std::vector<std::string> records = ProbeRecords(root + L"\\bin\\32bit");
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().rfind("version=2.0 ", 0), 0u) << records.back();
    Checked("seed " + std::to_string(seed) + ": " + std::to_string(pair.after.size()) +
            " files equal the new tree, " + std::to_string(pair.caseRenames) +
            " renamed in case only; the new main application restarted");
  }
}

TEST_F(RoundTrip, WhatTheUpdaterCannotApplyIsRefused) {
  const struct {
    const char* what;
    std::vector<std::wstring> before;  // files beside the main application
    std::vector<std::wstring> after;
    size_t rootLength;
    const char* code;
    std::wstring named;  // the file the refusal names
    std::wstring link = L"";  // a folder link in the new tree
  } rows[] = {
      {"a new folder level without a file of its own", {L"res\\skin.ini"},
       {L"res\\skin.ini", L"res\\\u65B0\\\u6DF1\\x.dll"}, 34, "new-folder-without-file",
       L"res/\u65B0"},
      {"a name code page 936 cannot write", {}, {L"bin\\32bit\\\uD55C\uAD6D\uC5B4.dll"}, 34,
       "name-not-cp936", L"bin/32bit/\uD55C\uAD6D\uC5B4.dll"},
      {"a path past the limit", {}, {L"bin\\32bit\\" + std::wstring(60, L'n') + L".dll"}, 200,
       "path-too-long", L"bin/32bit/nnnn"},
      {"a folder that became a file", {L"res\\extras\\a.dat"}, {L"res\\extras"}, 34,
       "folder-became-file", L"res/extras"},
      {"an Updater.exe at the top that is not the updater", {}, {L"Updater.exe"}, 34,
       "collides-with-updater", L"Updater.exe"},
      {"a file where the manifest goes", {}, {L"updateinfo.ini"}, 34, "collides-with-manifest",
       L"updateinfo.ini"},
      {"a file where the hash list goes", {}, {L"UPDATEINFO.SHA256"}, 34,
       "collides-with-hash-list", L"UPDATEINFO.SHA256"},
      {"a folder link", {L"res\\skin.ini"}, {L"res\\skin.ini"}, 34, "link", L"res/linked",
       L"res\\linked"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ScratchFolder scratch;
    Tree before = {{kMainApp, "version 1"}}, after = {{kMainApp, "version 2"}};
    for (const std::wstring& file : row.before) before[file] = "before";
    for (const std::wstring& file : row.after) after[file] = "after";
    const PackRun pack = Diff(scratch, before, after, row.rootLength, programs.updater, row.link);
    EXPECT_EQ(pack.exitCode, 1u) << pack.output;
    EXPECT_NE(pack.output.find(std::string("problem [") + row.code + "] " + Utf8(row.named)),
              std::string::npos)
        << pack.output;
    EXPECT_NE(pack.output.find("fix: "), std::string::npos) << pack.output;
    EXPECT_FALSE(FolderExists(scratch / L"delivery")) << "a refused delivery was written";
    // Wine removes a Unix link only from the Unix side.
    if (!row.link.empty()) RemoveHostSymbolicLink(scratch / (L"new\\" + row.link));
    Checked(std::string(row.what) + ": refused as " + row.code);
  }
}

// --out as Windows names it: in any letter case, with a trailing backslash.
TEST_F(RoundTrip, OutNeverHoldsTheTreesAndMayEndInABackslash) {
  ScratchFolder scratch;
  MakeTree(scratch / L"old", {{kMainApp, "version 1"}});
  MakeTree(scratch / L"new", {{kMainApp, "version 2"}});
  const std::wstring diff =
      L"diff " + Quoted(scratch / L"old") + L" " + Quoted(scratch / L"new") + L" --out ";
  // The scratch folder in upper case holds both trees: refused, --force or not.
  const PackRun refused = RunPack(diff + Quoted(Upper(scratch.path())) + L" --force",
                                  scratch.path());
  EXPECT_EQ(refused.exitCode, 2u) << refused.output;
  EXPECT_NE(refused.output.find("--out holds OLD"), std::string::npos) << refused.output;
  EXPECT_EQ(ReadBytes(scratch / L"old\\" + kMainApp), "version 1");
  EXPECT_EQ(ReadBytes(scratch / L"new\\" + kMainApp), "version 2");

  // "delivery\" made, then replaced: two backslashes before the closing quotation mark are
  // one backslash in the argument.
  for (const wchar_t* force : {L"", L" --force"}) {
    WriteBytes(scratch / L"new\\extra.dat", force[0] ? "second" : "first");
    const PackRun made =
        RunPack(diff + L"\"" + (scratch / L"delivery\\\\") + L"\"" + force, scratch.path());
    EXPECT_EQ(made.exitCode, 0u) << made.output;
    EXPECT_EQ(ReadBytes(scratch / L"delivery\\extra.dat"), force[0] ? "second" : "first");
  }
  std::vector<std::wstring> names;
  for (const auto& entry : fs::directory_iterator(fs::path(scratch.path()))) {
    names.push_back(entry.path().filename().wstring());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::wstring>{L"delivery", L"new", L"old", L"pack-output.txt"}));
  Checked("--out in upper case holding the trees refused; \"delivery\\\" written and replaced");
}

// An update of many small files, one large one and a deletion, for the scenarios that need time
// between the start of staging and the end of the swaps.
TreePair LargePair(const Programs& programs) {
  std::mt19937 random(7);
  TreePair pair;
  pair.before[kMainApp] = ReadBytes(programs.mainAppV1);
  pair.after[kMainApp] = ReadBytes(programs.mainAppV2);
  for (int i = 0; i < 400; ++i) {
    const std::wstring name = L"many\\part " + std::to_wstring(i) + L".dat";
    pair.before[name] = RandomBytes(random, 64);
    pair.after[name] = RandomBytes(random, 64);
  }
  pair.before[L"big.dat"] = RandomBytes(random, 1 << 20);
  pair.after[L"big.dat"] = std::string(40u << 20, 'b') + RandomBytes(random, 64);
  pair.before[L"res\\old.dll"] = "deleted by the update";
  pair.before[L"res\\zz.dll"] = "version 1";
  pair.after[L"res\\zz.dll"] = "version 2";
  return pair;
}


TEST_F(AllOrNothing, ADeliveredFileCutShortChangesNothing) {
  ScratchFolder scratch;
  const std::wstring root = scratch / L"\u5B89\u88C5";  // 安装
  const TreePair pair = RandomPair(11, programs);
  Prepare(scratch, root, pair);
  const std::wstring cut = DeliveryFolder() + L"\\res\\\u4E3B\u9898\\theme.ini";  // res\主题
  ASSERT_EQ(ReadBytes(cut), "theme");
  WriteBytes(cut, "the");

  ASSERT_EQ(RunUpdater(programs, root + L"\\bin\\32bit", root), 0u);
  EXPECT_TRUE(Installed(root) == pair.before) << "the installation changed";
  EXPECT_FALSE(FolderExists(root + L"\\.vintrel"));
  EXPECT_FALSE(FolderExists(DeliveryFolder()));
  ExpectOldMainApplicationRestarted(root);
  EXPECT_TRUE(LogHasLineStarting(L"refuse delivery : res/\u4E3B\u9898/theme.ini : cut short"));
  Checked("a file cut short: nothing installed, the delivery removed, the old application "
          "restarted, the file named in the log");
}

TEST_F(AllOrNothing, AFileHeldByAnotherProgramRollsEverySwapBack) {
  ScratchFolder scratch;
  const std::wstring root = scratch / L"\u5B89\u88C5";
  const TreePair pair = LargePair(programs);
  Prepare(scratch, root, pair);
  // Swapped last: every file before it has been swapped when its rename fails.
  const FileHandle held(CreateFileW((root + L"\\res\\zz.dll").c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held.valid());

  ASSERT_EQ(RunUpdater(programs, root + L"\\bin\\32bit", root), 0u);
  EXPECT_TRUE(Installed(root) == pair.before) << "a swap was not rolled back";
  EXPECT_FALSE(FolderExists(root + L"\\.vintrel"));
  ExpectOldMainApplicationRestarted(root);
  EXPECT_TRUE(LogHasLineStarting(L"roll back update : res/zz.dll : cannot be renamed"));
  Checked("a file held without delete sharing: every swap rolled back, the installation as it "
          "was");
}

TEST_F(AllOrNothing, KilledWhileStagingChangesNothingAndTheNextRunApplies) {
  ScratchFolder scratch;
  const std::wstring root = scratch / L"\u5B89\u88C5";
  const TreePair pair = LargePair(programs);
  Prepare(scratch, root, pair);

  ASSERT_TRUE(KillSecondStageWhen(root, root + L"\\big.dat.vintrel-new-*"));
  ASSERT_TRUE(FileExists(root + L"\\.vintrel\\journal")) << "not killed part-way";
  for (const auto& [relative, contents] : pair.before) {
    EXPECT_TRUE(ReadBytes(root + L"\\" + relative) == contents) << Utf8(relative) << " changed";
  }
  Checked("killed while staging: every installed file unchanged");
  ExpectNextRunRepairs(root, pair);
  Checked("the next run rolled the staging back and applied the delivery whole");
}

TEST_F(AllOrNothing, KilledWhileSwappingIsRepairedByTheNextRun) {
  ScratchFolder scratch;
  const std::wstring root = scratch / L"\u5B89\u88C5";
  const TreePair pair = LargePair(programs);
  Prepare(scratch, root, pair);

  ASSERT_TRUE(KillSecondStageWhen(root, root + L"\\many\\*.vintrel-old-*"));
  ASSERT_TRUE(FileExists(root + L"\\.vintrel\\journal")) << "not killed part-way";
  Checked("killed while swapping: the installation left part old, part new");
  ExpectNextRunRepairs(root, pair);
  Checked("the next run rolled the swaps back and applied the delivery whole");
}

// An Updater.exe built with the current and the next test key: a delivery is applied only when
// one of them verifies its signature and its release is above the last one applied.
TEST_F(AllOrNothing, OnlyWhatThePublisherSignedIsApplied) {
  Programs signedBuild = programs;
  signedBuild.updater = FromEnvironment("UPDATER_SIGNED_TEST_EXE");
  const std::wstring keys = FromEnvironment("TEST_KEYS");
  ASSERT_TRUE(FileExists(signedBuild.updater)) << "UPDATER_SIGNED_TEST_EXE not set";
  enum class Change { kNone, kListChanged, kUpdaterReplaced };
  const Tree v1 = {{kMainApp, ReadBytes(programs.mainAppV1)}, {L"a.dll", "1"}};
  const Tree v2 = {{kMainApp, ReadBytes(programs.mainAppV2)}, {L"a.dll", "2"}, {L"b.dll", "2"}};
  const Tree v3 = {{kMainApp, ReadBytes(programs.mainAppV2)}, {L"a.dll", "3"}, {L"b.dll", "3"}};
  const struct {
    const char* what;
    const Tree* from;
    const Tree* to;
    const wchar_t* key;  // signs the list; none: unsigned
    int release;
    Change change;
    const wchar_t* refusal;  // how the log line starts; none: applied
  } rows[] = {
      {"signed with the current key", &v1, &v2, L"current", 100, Change::kNone, nullptr},
      {"a replay of that release", &v1, &v2, L"current", 100, Change::kNone,
       L"remove delivery : release 100 is the one applied"},
      {"unsigned", &v2, &v3, nullptr, 101, Change::kNone,
       L"refuse delivery : UpdateInfo.sig : no signature"},
      {"signed with a key the updater does not know", &v2, &v3, L"other", 101, Change::kNone,
       L"refuse delivery : UpdateInfo.sig : "},
      {"the list changed after signing", &v2, &v3, L"current", 101, Change::kListChanged,
       L"refuse delivery : UpdateInfo.sig : "},
      {"Updater.exe replaced after signing", &v2, &v3, L"current", 101,
       Change::kUpdaterReplaced, L"refuse delivery : Updater.exe : "},
      {"signed with the next key", &v2, &v3, L"next", 101, Change::kNone, nullptr},
  };
  ScratchFolder installation;
  const std::wstring root = installation / L"\u5B89\u88C5";
  MakeTree(root, v1);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ResetSharedState();
    ScratchFolder scratch;
    const std::wstring more = L" --release " + std::to_wstring(row.release) +
                              (row.key ? L" --key " + Quoted(keys + L"\\" + row.key + L".pem")
                                       : std::wstring());
    const PackRun pack = Diff(scratch, *row.from, *row.to, root.size(), signedBuild.updater,
                              L"", more);
    ASSERT_EQ(pack.exitCode, 0u) << pack.output;
    fs::copy(fs::path(scratch / L"delivery"), fs::path(DeliveryFolder()),
             fs::copy_options::recursive);
    if (row.change == Change::kListChanged) {
      std::string list = ReadBytes(DeliveryFolder() + L"\\UpdateInfo.sha256");
      list.replace(list.find("release 101"), 11, "release 102");
      WriteBytes(DeliveryFolder() + L"\\UpdateInfo.sha256", list);
    } else if (row.change == Change::kUpdaterReplaced) {
      ASSERT_TRUE(CopyFileW(programs.updater.c_str(), (DeliveryFolder() + L"\\Updater.exe").c_str(),
                            FALSE));
    }
    // What the build with keys keeps beside the installation's files: the last release applied.
    const auto files = [&] {
      Tree tree = Installed(root);
      tree.erase(L".vintrel\\release");
      return tree;
    };
    const Tree before = files();

    ASSERT_EQ(RunUpdater(signedBuild, root + L"\\bin\\32bit", root), 0u);
    EXPECT_FALSE(FolderExists(DeliveryFolder()));
    const Tree after = files();
    if (row.refusal) {
      EXPECT_TRUE(after == before) << "a refused delivery changed the installation";
      EXPECT_TRUE(LogHasLineStarting(row.refusal)) << Utf8(row.refusal);
      Checked(std::string(row.what) + ": not applied, the installation unchanged");
    } else {
      EXPECT_TRUE(after == *row.to) << "a signed delivery was not applied";
      EXPECT_EQ(ReadBytes(root + L"\\.vintrel\\release"), std::to_string(row.release) + "\r\n");
      // Its marker, for the first stage, which may not open the record.
      EXPECT_TRUE(FileExists(root + L"\\.vintrel\\release-" + std::to_wstring(row.release)));
      Checked(std::string(row.what) + ": applied");
    }
  }
}

// Two versions of an installation for a delta delivery: small changes inside large files (and a
// new main application), new files that compress and that do not, a deleted and an unchanged one.
TreePair DeltaPair(const Programs& programs) {
  std::mt19937 random(5);
  TreePair pair;
  pair.before[kMainApp] = ReadBytes(programs.mainAppV1);
  pair.after[kMainApp] = ReadBytes(programs.mainAppV2);
  std::string core = RandomBytes(random, 3 << 20);
  pair.before[L"lib\\core.dll"] = core;
  for (size_t at : {1000u, 1500000u, 3000000u}) core[at] = static_cast<char>(core[at] ^ 0x55);
  pair.after[L"lib\\core.dll"] = core;
  std::string ui = RandomBytes(random, 2 << 20);
  pair.before[L"lib\\ui.dll"] = ui;
  ui.insert(1 << 20, RandomBytes(random, 1000));
  pair.after[L"lib\\ui.dll"] = ui;
  pair.before[L"res\\same.dat"] = pair.after[L"res\\same.dat"] = RandomBytes(random, 100000);
  pair.before[L"res\\old.dat"] = "deleted by the update";
  pair.after[L"res\\new.dat"] = RandomBytes(random, 300000);
  std::string notes;
  for (int line = 0; line < 20000; ++line) notes += "line " + std::to_string(line % 97) + "\r\n";
  pair.after[L"res\\notes.txt"] = notes;
  return pair;
}

TEST_F(AllOrNothing, ADeltaDeliveryAppliesAndAChangedBaseOrADamagedPatchChangesNothing) {
  enum class Change { kNone, kBaseChanged, kPatchDamaged };
  const struct {
    const char* what;
    Change change;
  } rows[] = {
      {"a delta delivery", Change::kNone},
      {"an installed file changed after the release", Change::kBaseChanged},
      {"one byte of a patch changed", Change::kPatchDamaged},
  };
  const TreePair pair = DeltaPair(programs);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ResetSharedState();
    ScratchFolder scratch;
    const std::wstring root = scratch / L"\u5B89\u88C5";
    const PackRun pack =
        Diff(scratch, pair.before, pair.after, root.size(), programs.updater, L"", L" --delta");
    ASSERT_EQ(pack.exitCode, 0u) << pack.output;
    MakeTree(root, pair.before);
    fs::copy(fs::path(scratch / L"delivery"), fs::path(DeliveryFolder()),
             fs::copy_options::recursive);
    const std::wstring patch = DeliveryFolder() + L"\\lib\\core.dll.zstpatch";
    ASSERT_TRUE(FileExists(patch)) << pack.output;
    ASSERT_TRUE(FileExists(DeliveryFolder() + L"\\res\\notes.txt.zst")) << pack.output;
    Tree before = pair.before;
    if (row.change == Change::kBaseChanged) {
      before[L"lib\\core.dll"][2000000] ^= 1;
      WriteBytes(root + L"\\lib\\core.dll", before[L"lib\\core.dll"]);
    } else if (row.change == Change::kPatchDamaged) {
      std::string bytes = ReadBytes(patch);
      bytes[bytes.size() / 2] ^= 1;
      WriteBytes(patch, bytes);
    }

    ASSERT_EQ(RunUpdater(programs, root + L"\\bin\\32bit", root), 0u);
    EXPECT_FALSE(FolderExists(DeliveryFolder()));
    EXPECT_FALSE(FolderExists(root + L"\\.vintrel"));
    if (row.change == Change::kNone) {
      EXPECT_TRUE(Installed(root) == pair.after) << "the delta delivery did not give the new tree";
      Checked("a delta delivery (patches, frames, plain files) applied to exactly the new tree");
    } else {
      EXPECT_TRUE(Installed(root) == before) << "a refused delivery changed the installation";
      ExpectOldMainApplicationRestarted(root);
      EXPECT_TRUE(LogHasLineStarting(L"refuse delivery : lib/core.dll : ")) << row.what;
      Checked(std::string(row.what) + ": not applied, the installation unchanged");
    }
  }
}

}  // namespace
