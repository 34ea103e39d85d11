// The verified update over a series of updates and beside the user's other programs, on the
// real updater built with the test keys: the second stage killed after every one of its changes
// to the disk (and the repair killed after every one of its own), then repaired by the next run;
// backups a running program keeps; the journal and the release record held or aimed elsewhere
// by a program of the user; an older signed updater in the delivery folder.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>

#include <vintrel/update_outcome.h>

#include "base/folders.h"
#include "roundtrip_support.h"

using namespace roundtrip;

namespace {

const wchar_t kRelease[] = L"100";

// The file a held-file scenario holds: its update is swapped last of all, so that the roll back
// undoes every other kind of change.
const wchar_t kSwappedLast[] = L"zlast.txt";

// A small installation and its next version: a replaced file, a deleted one, a file that
// becomes a folder holding a new file, the new main application, and the file swapped last.
TreePair SmallPair(const Programs& programs) {
  TreePair pair;
  pair.before[kMainApp] = ReadBytes(programs.mainAppV1);
  pair.before[L"readme.txt"] = "release 1";
  pair.before[L"res\\old.dll"] = "deleted by the update";
  pair.before[L"res\\skin"] = "a file that becomes a folder";
  pair.before[kSwappedLast] = "last 1";
  pair.after[kMainApp] = ReadBytes(programs.mainAppV2);
  pair.after[L"readme.txt"] = "release 2";
  pair.after[L"res\\skin\\dark.ini"] = "dark";
  pair.after[kSwappedLast] = "last 2";
  return pair;
}

// The same with ten files, for the full loop (VINTREL_KILL_LOOP=full).
TreePair FullPair(const Programs& programs) {
  TreePair pair = SmallPair(programs);
  for (int i = 0; i < 3; ++i) {
    const std::wstring n = std::to_wstring(i);
    pair.before[L"plugins\\p" + n + L".dll"] = "plugin 1." + std::to_string(i);
    pair.after[L"plugins\\p" + n + L".dll"] = "plugin 2." + std::to_string(i);
    pair.after[L"plugins\\new\\n" + n + L".dat"] = "new " + std::to_string(i);
  }
  pair.before[L"\u8BF4\u660E.txt"] = "deleted too";  // 说明.txt
  return pair;
}

// Every file below root that an update may leave behind by mistake: staged copies, backups,
// the journal and its temporary files.
std::vector<std::wstring> UpdateRemains(const std::wstring& root) {
  std::vector<std::wstring> remains;
  for (const auto& [key, file] : ReadTree(root)) {
    const std::wstring& name = file.first;
    if (name.find(L".vintrel-") != std::wstring::npos || name.find(L".vintrel\\journal") == 0 ||
        name.find(L".vintrel\\leftovers") == 0 || name.find(L".new") != std::wstring::npos) {
      remains.push_back(name);
    }
  }
  return remains;
}

std::wstring RecordPath() { return GetDataFolder() + L"\\update-outcome.txt"; }

// The outcome record as "result reason release file", or why it cannot be read.
std::string RecordedOutcome() {
  const vintrel::UpdateOutcomeRead read = vintrel::ReadUpdateOutcome(RecordPath().c_str());
  if (read.status != vintrel::UpdateOutcomeStatus::kRead) {
    return "no record (" + std::string(vintrel::UpdateOutcomeStatusText(read.status)) + ")";
  }
  return std::string(vintrel::UpdateOutcomeResultText(read.outcome.result)) + " " +
         std::string(vintrel::UpdateOutcomeReasonText(read.outcome.reason)) + " " +
         std::to_string(read.outcome.release) + " " + read.outcome.file;
}

int FailuresSoFar() {
  const ::testing::TestResult* result =
      ::testing::UnitTest::GetInstance()->current_test_info()->result();
  int failures = 0;
  for (int i = 0; i < result->total_part_count(); ++i) {
    failures += result->GetTestPartResult(i).failed();
  }
  return failures;
}

// The folders below root (but the records' own), and those the files of tree stand in, as
// Windows tells names apart: a stray empty folder is a difference.
std::set<std::wstring> FoldersBelow(const std::wstring& root) {
  std::set<std::wstring> folders;
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(root))) {
    const std::wstring relative = Upper(entry.path().wstring().substr(root.size() + 1));
    if (entry.is_directory() && relative.rfind(L".VINTREL", 0) != 0) folders.insert(relative);
  }
  return folders;
}

std::set<std::wstring> FoldersOf(const Tree& tree) {
  std::set<std::wstring> folders;
  for (const auto& [name, bytes] : tree) {
    for (size_t cut = name.find(L'\\'); cut != std::wstring::npos;
         cut = name.find(L'\\', cut + 1)) {
      folders.insert(Upper(name.substr(0, cut)));
    }
  }
  return folders;
}

std::wstring KillMarker(unsigned k) {
  return GetTempFolder() + L"vintrel-killed-at-" + std::to_wstring(k);
}

class Series : public SignedBuilds {
 protected:
  // A delivery from before to after, signed with the current test key, kept in
  // scratch\delivery. It carries the updater that ends itself at a chosen change (and only
  // then), which the first stage starts as the signed list names it.
  void Pack(const ScratchFolder& scratch, const std::wstring& root, const Tree& before,
            const Tree& after, const std::wstring& release,
            const std::wstring& updater = L"") {
    const PackRun pack = Diff(scratch, before, after, root.size(),
                              updater.empty() ? faultsBuild.updater : updater, L"",
                              L" --release " + release + L" --key " +
                                  Quoted(keys + L"\\current.pem"));
    ASSERT_EQ(pack.exitCode, 0u) << pack.output;
  }

  void Deliver(const ScratchFolder& scratch) {
    RemoveTree(DeliveryFolder());
    fs::copy(fs::path(scratch / L"delivery"), fs::path(DeliveryFolder()),
             fs::copy_options::recursive);
  }

  // Runs build's updater; with killAfter, its second stage ends itself right after that change
  // to the disk. True when it did.
  bool RunKilled(const Programs& build, const std::wstring& root, unsigned killAfter,
                 bool waitForMainApplication = true) {
    DeleteFileW(KillMarker(killAfter).c_str());
    SetEnvironmentVariableW(L"VINTREL_KILL_AFTER_CHANGE", std::to_wstring(killAfter).c_str());
    RunUpdater(build, root + L"\\bin\\32bit", root, waitForMainApplication);
    SetEnvironmentVariableW(L"VINTREL_KILL_AFTER_CHANGE", nullptr);
    const bool killed = FileExists(KillMarker(killAfter));
    DeleteFileW(KillMarker(killAfter).c_str());
    return killed;
  }

  // The names in which two trees differ, for a failure's message.
std::string Difference(const Tree& a, const Tree& b) {
  std::string names;
  for (const auto& [name, bytes] : a) {
    if (!b.count(name) || b.at(name) != bytes) names += " " + Utf8(name);
  }
  for (const auto& [name, bytes] : b) {
    if (!a.count(name)) names += " +" + Utf8(name);
  }
  return names;
}

// The installation is exactly one of the two trees, nothing of the update is left in it, and
  // the release recorded is the tree's. Returns which tree it is ("old", "new" or "neither").
  std::string Whole(const std::wstring& root, const TreePair& pair) {
    Tree tree = Installed(root);
    const bool hasRecord = tree.erase(L".vintrel\\release") > 0;
    const std::string record = ReadBytes(root + L"\\.vintrel\\release");
    EXPECT_TRUE(UpdateRemains(root).empty()) << Utf8(UpdateRemains(root).front());
    const std::set<std::wstring> folders = FoldersBelow(root);
    if (tree == pair.after && folders == FoldersOf(pair.after)) {
      EXPECT_EQ(record, Utf8(kRelease) + "\r\n");
      return "new";
    }
    if (tree == pair.before && folders == FoldersOf(pair.before)) {
      EXPECT_FALSE(hasRecord) << record;
      return "old";
    }
    return "neither:" + Difference(pair.after, tree) + " /" + Difference(pair.before, tree) +
           (folders == FoldersOf(pair.after) || folders == FoldersOf(pair.before)
                ? ""
                : " (other folders)");
  }

};

// The mark of the apply whose journal stands in root ("" when there is none).
std::string JournalMark(const std::wstring& root) {
  const std::string journal = ReadBytes(root + L"\\.vintrel\\journal");
  const size_t at = journal.find(".vintrel-old-");
  return at == std::string::npos ? std::string() : journal.substr(at + 13, 8);
}

// The journal's state after a killed run and, with detail, how far the swaps came (backups
// standing, the file that became a folder): where a kill left the update.
std::string Phase(const std::wstring& root, bool detail) {
  const std::string journal = ReadBytes(root + L"\\.vintrel\\journal");
  const size_t state = journal.find("state ");
  std::string phase = state == std::string::npos
                          ? (FileExists(root + L"\\.vintrel\\release") ? "finished" : "none")
                          : journal.substr(state + 6, journal.find('\n', state) - state - 6);
  if (!detail) return phase;
  size_t backups = 0;
  for (const std::wstring& name : UpdateRemains(root)) {
    backups += name.find(L".vintrel-old-") != std::wstring::npos;
  }
  return phase + " " + std::to_string(backups) + (FolderExists(root + L"\\res\\skin") ? "+" : "");
}

// One scenario driven through every kill point: the second stage killed right after its k-th
// change to the disk, for every k, then the normal updater run once (the suite: once for each
// place a kill left things, by the journal, what of the update stands, the delivery and the
// record), which must leave the tree the scenario ends in (the new one; the old one when the
// file swapped last is held, so that the roll back undoes every kind of change) and the
// outcome record that says so. Then the
// repair itself killed after each of its changes, after a first kill in each phase the first
// loops passed through. The number of kill points is pinned: a change to it is a change to
// what the loop proves.
TEST_F(Series, KilledAfterEveryChangeTheNextRunLeavesTheOldOrTheNewTree) {
  const bool full = std::getenv("VINTREL_KILL_LOOP") &&
                    std::string(std::getenv("VINTREL_KILL_LOOP")) == "full";
  const TreePair pair = full ? FullPair(programs) : SmallPair(programs);
  ScratchFolder scratch;
  const std::wstring root = scratch / L"\u5B89\u88C5";  // 安装
  Pack(scratch, root, pair.before, pair.after, kRelease);
  const struct {
    const char* what;
    bool heldFile;
    const char* ends;
    const char* outcome;
    unsigned changes, fullChanges;
  } scenarios[] = {
      {"committed", false, "new", "applied none 100 ", 44, 73},
      {"rolled back", true, "old", "rolled-back held 100 zlast.txt", 40, 62},
  };
  // The first kill of each phase met, by scenario: where the repair is killed in turn.
  std::vector<std::pair<bool, unsigned>> firstKills;
  std::vector<std::string> phases;
  const auto prepare = [&](bool heldFile, FileHandle& held) {
    ResetSharedState();
    DeleteFileW(RecordPath().c_str());
    RemoveTree(root);
    MakeTree(root, pair.before);
    Deliver(scratch);
    // Read-only files on both sides: the backup of a deleted one and the staged copy of a
    // delivered one are the apply's to remove, in a roll back and after the commit.
    SetFileAttributesW((root + L"\\res\\old.dll").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW((DeliveryFolder() + L"\\readme.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    if (heldFile) {
      held = FileHandle(CreateFileW((root + L"\\" + kSwappedLast).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    }
  };
  // Where each kill left things, in detail: the suite runs the next run once per place (the
  // killed run at every point still counts the kill points), the full loop at every point.
  std::vector<std::string> places;
  for (const auto& scenario : scenarios) {
    SCOPED_TRACE(scenario.what);
    unsigned changes = 0, checked = 0, repaired = 0;
    for (unsigned k = 1;; ++k) {
      SCOPED_TRACE("killed after change " + std::to_string(k));
      const int failures = FailuresSoFar();
      FileHandle held;
      prepare(scenario.heldFile, held);
      if (!RunKilled(faultsBuild, root, k)) {
        changes = k - 1;
        held.reset();
        EXPECT_EQ(Whole(root, pair), scenario.ends) << "the run without a kill";
        EXPECT_EQ(RecordedOutcome(), scenario.outcome) << "the run without a kill";
        break;
      }
      const std::string held0 = scenario.heldFile ? "rolling back " : "";
      const std::string phase = held0 + Phase(root, full);
      if (std::find(phases.begin(), phases.end(), phase) == phases.end()) {
        phases.push_back(phase);
        firstKills.emplace_back(scenario.heldFile, k);
      }
      const std::vector<std::wstring> remains = UpdateRemains(root);
      const std::string place =
          held0 + Phase(root, true) + " " + std::to_string(remains.size()) +
          (FileExists(DeliveryFolder() + L"\\UpdateInfo.ini") ? " delivery" : "") +
          (FileExists(RecordPath()) ? " recorded" : "");
      if (!full && std::find(places.begin(), places.end(), place) != places.end()) continue;
      places.push_back(place);
      ++checked;
      RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
      held.reset();
      EXPECT_EQ(Whole(root, pair), scenario.ends);
      EXPECT_EQ(RecordedOutcome(), scenario.outcome);
      EXPECT_FALSE(FolderExists(DeliveryFolder() + L"\\UpdateInfo.ini")) << "the delivery stayed";
      repaired += FailuresSoFar() == failures;
      ASSERT_LT(k, 400u) << "the updater never ran to its end";
    }
    EXPECT_EQ(changes, full ? scenario.fullChanges : scenario.changes) << "kill points";
    Checked(std::string(scenario.what) + ": killed after each of " + std::to_string(changes) +
            " changes, the next run after " + std::to_string(checked) +
            (full ? "" : " (one per place the kill left)") + ", " + std::to_string(repaired) +
            "/" + std::to_string(checked) + " repaired to the " + scenario.ends +
            " tree, the outcome recorded");
  }

  // The repair killed after each of its own changes, for a first kill in each phase (the
  // suite: each state of the journal, and the first few of the repair's changes; the full
  // loop: each swap too, and every change until the repair is done).
  const unsigned lastRepairKill = full ? 400 : 6;
  unsigned repairs = 0, repairsRepaired = 0;
  for (size_t i = 0; i < firstKills.size(); ++i) {
    const auto& [heldFile, first] = firstKills[i];
    const auto& scenario = scenarios[heldFile ? 1 : 0];
    for (unsigned k = 1; k <= lastRepairKill; ++k) {
      SCOPED_TRACE(phases[i] + ": killed after change " + std::to_string(first) +
                   ", its repair after " + std::to_string(k));
      const int failures = FailuresSoFar();
      FileHandle held;
      prepare(heldFile, held);
      ASSERT_TRUE(RunKilled(faultsBuild, root, first));
      const std::string mark = JournalMark(root);
      const bool killedAgain = RunKilled(faultsBuild, root, k);
      // Once the first run's journal is gone, what the repair does is apply the delivery
      // again, which the loops above have covered.
      const bool repairDone = mark.empty() || JournalMark(root) != mark;
      if (killedAgain) RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
      held.reset();
      EXPECT_EQ(Whole(root, pair), scenario.ends);
      EXPECT_EQ(RecordedOutcome(), scenario.outcome);
      EXPECT_FALSE(FolderExists(DeliveryFolder() + L"\\UpdateInfo.ini"));
      if (!killedAgain) break;
      ++repairs;
      repairsRepaired += FailuresSoFar() == failures;
      if (repairDone) break;
      ASSERT_LT(k, 400u);
    }
  }
  Checked("the repair killed after each of its changes, after a first kill in each of " +
          std::to_string(phases.size()) + " phases: " + std::to_string(repairsRepaired) + "/" +
          std::to_string(repairs) + " repaired");
}

// Delivery A killed after its k-th change, then delivery B (release 101, touching other files)
// put in its place before the next run: A's journal is acted on by its own names (rolled back,
// or finished once committed), then B applies from the start. The installation must be A's old
// or new tree, as far as A came, with B's changes, and the record must say B applied. The suite
// takes every third kill point, the full loop each.
TEST_F(Series, AJournalOfOneDeliveryIsRepairedBeforeTheNextDeliveryApplies) {
  const bool full = std::getenv("VINTREL_KILL_LOOP") &&
                    std::string(std::getenv("VINTREL_KILL_LOOP")) == "full";
  const TreePair pair = full ? FullPair(programs) : SmallPair(programs);
  ScratchFolder scratchA, scratchB;
  const std::wstring root = scratchA / L"\u5B89\u88C5";
  Pack(scratchA, root, pair.before, pair.after, kRelease);
  Tree afterB = pair.after;
  afterB[L"notes.txt"] = "notes 2";
  afterB[L"extra\\b.dat"] = "new in B";
  TreePair withB = pair;
  withB.before[L"notes.txt"] = "notes 1";
  withB.after[L"notes.txt"] = "notes 1";
  // B is a whole release: its full delivery, made knowing A's base too, ends at exactly B
  // whether A was rolled back or finished.
  Pack(scratchB, root, withB.before, afterB, L"101");
  unsigned points = 0, passed = 0;
  for (unsigned k = 1;; k += full ? 1 : 3) {
    SCOPED_TRACE("A killed after change " + std::to_string(k));
    const int failures = FailuresSoFar();
    ResetSharedState();
    DeleteFileW(RecordPath().c_str());
    RemoveTree(root);
    MakeTree(root, withB.before);
    Deliver(scratchA);
    if (!RunKilled(faultsBuild, root, k)) break;
    const bool committed =
        ReadBytes(root + L"\\.vintrel\\journal").find("state committed") != std::string::npos ||
        FileExists(root + L"\\.vintrel\\release");
    Deliver(scratchB);
    RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
    Tree tree = Installed(root);
    tree.erase(L".vintrel\\release");
    const Tree expected = afterB;
    EXPECT_TRUE(tree == expected) << (committed ? "A committed: " : "A not committed: ")
                                  << Difference(expected, tree);
    EXPECT_TRUE(FoldersBelow(root) == FoldersOf(expected)) << "other folders";
    EXPECT_TRUE(UpdateRemains(root).empty());
    EXPECT_EQ(ReadBytes(root + L"\\.vintrel\\release"), "101\r\n");
    EXPECT_EQ(RecordedOutcome(), "applied none 101 ");
    ++points;
    passed += FailuresSoFar() == failures;
    ASSERT_LT(k, 400u);
  }
  EXPECT_EQ(points, full ? 75u : 16u) << "kill points";
  Checked("delivery A killed at " + std::to_string(points) + " points, then B: " +
          std::to_string(passed) + "/" + std::to_string(points) +
          " with A repaired by its own journal and B applied");
}

// The update replaces the installed updater the main application starts, whose first stage runs
// from it (and may still run while the second stage swaps it). Killed after each (the suite:
// every third) change, the next run must end new, started from the installed updater, or from
// another copy where the kill left none in place (between its backup and its new copy).
TEST_F(Series, TheInstalledUpdaterReplacingItselfKilledAtEveryStep) {
  const bool full = std::getenv("VINTREL_KILL_LOOP") &&
                    std::string(std::getenv("VINTREL_KILL_LOOP")) == "full";
  TreePair pair = full ? FullPair(programs) : SmallPair(programs);
  const std::wstring updater = L"bin\\32bit\\Updater.exe";
  pair.before[updater] = ReadBytes(signedBuild.updater);
  pair.after[updater] = ReadBytes(faultsBuild.updater);
  // Outside the temporary folder: an updater started from there takes itself for the second
  // stage.
  ScratchFolder scratch, place(L"C:");
  const std::wstring root = place / L"\u5B89\u88C5";
  Pack(scratch, root, pair.before, pair.after, kRelease);
  Programs installed = signedBuild;
  installed.updater = root + L"\\" + updater;
  unsigned points = 0, passed = 0, notInPlace = 0;
  for (unsigned k = 1;; k += full ? 1 : 3) {
    SCOPED_TRACE("killed after change " + std::to_string(k));
    const int failures = FailuresSoFar();
    ResetSharedState();
    DeleteFileW(RecordPath().c_str());
    RemoveTree(root);
    MakeTree(root, pair.before);
    Deliver(scratch);
    const bool killed = RunKilled(installed, root, k);
    if (killed) {
      const bool inPlace = FileExists(installed.updater);
      notInPlace += !inPlace;
      RunUpdater(inPlace ? installed : signedBuild, root + L"\\bin\\32bit", root);
    }
    EXPECT_EQ(Whole(root, pair), "new");
    EXPECT_EQ(RecordedOutcome(), "applied none 100 ");
    if (!killed) break;
    ++points;
    passed += FailuresSoFar() == failures;
    ASSERT_LT(k, 400u);
  }
  EXPECT_EQ(points, full ? 80u : 17u) << "kill points";
  Checked("the installed updater replaced, killed at " + std::to_string(points) + " points: " +
          std::to_string(passed) + "/" + std::to_string(points) + " ended new (" +
          std::to_string(notInPlace) + " left no installed updater to start from)");
}

// The leftovers' clean-up killed after each of its changes, no delivery waiting: two backups an
// earlier update listed (one read-only), and a stray temporary list a kill left. The next run
// must leave the installation without any of them.
TEST_F(Series, TheLeftoversCleanUpKilledAtEveryStepFinishesAtTheNextRun) {
  ScratchFolder scratch;
  const std::wstring root = scratch / L"\u5B89\u88C5";
  const TreePair pair = SmallPair(programs);
  unsigned changes = 0, passed = 0;
  for (unsigned k = 1;; ++k) {
    SCOPED_TRACE("killed after change " + std::to_string(k));
    const int failures = FailuresSoFar();
    ResetSharedState();
    RemoveTree(root);
    MakeTree(root, pair.after);
    MakeFolders(root + L"\\.vintrel");
    WriteBytes(root + L"\\.vintrel\\release", "100\r\n");
    WriteBytes(root + L"\\.vintrel\\leftovers",
               "vintrel-leftovers 1\nreadme.txt.vintrel-old-1-1\nres\\old.dll.vintrel-old-1-2\n");
    WriteBytes(root + L"\\.vintrel\\leftovers.new", "vintrel-leftovers 1\n");
    WriteBytes(root + L"\\readme.txt.vintrel-old-1-1", "release 1");
    WriteBytes(root + L"\\res\\old.dll.vintrel-old-1-2", "deleted by the update");
    SetFileAttributesW((root + L"\\res\\old.dll.vintrel-old-1-2").c_str(),
                       FILE_ATTRIBUTE_READONLY);
    const bool killed = RunKilled(faultsBuild, root, k);
    if (killed) RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
    EXPECT_EQ(Whole(root, pair), "new");
    EXPECT_FALSE(FileExists(root + L"\\.vintrel\\leftovers.new"));
    if (!killed) {
      changes = k - 1;
      break;
    }
    passed += FailuresSoFar() == failures;
    ASSERT_LT(k, 50u);
  }
  EXPECT_EQ(changes, 4u) << "kill points: the temporary list, two backups, the list";
  Checked("the leftovers' clean-up killed after each of " + std::to_string(changes) +
          " changes: " + std::to_string(passed) + "/" + std::to_string(changes) +
          " finished by the next run");
}

// Release 5 replaces a running helper program, whose old image cannot be removed while it runs;
// release 6 replaces it again. Both commit, the old images are listed as leftovers, and the run
// after the helper ended removes them. An earlier updater's backup name lying beside a file
// changes nothing either.
TEST_F(Series, TwoUpdatesBesideARunningProgramBothCommitAndTheLeftoversGoLater) {
  ScratchFolder installation;
  const std::wstring root = installation / L"\u5B89\u88C5";
  const std::wstring helper = L"bin\\32bit\\helper.exe";
  Tree v4 = {{kMainApp, ReadBytes(programs.mainAppV1)}, {helper, ReadBytes(programs.mainAppV1)},
             {L"readme.txt", "4"}};
  Tree v5 = v4, v6 = v4;
  v5[helper] = ReadBytes(programs.mainAppV2);
  v5[L"readme.txt"] = "5";
  v6[helper] = ReadBytes(programs.mainAppV1) + "6";
  v6[L"readme.txt"] = "6";
  MakeTree(root, v4);
  // What an earlier updater named a backup of step 0: never taken for this update's own.
  WriteBytes(root + L"\\readme.txt.vintrel-old-0", "stale");
  // And the names this update's staged copies of readme.txt would take in the coming seconds
  // (its mark is the run's time), written in other letter case: the apply looks for free names
  // in a listing of the folder, which must match them as the file system does, or staging would
  // fail on them. Fewer than the 64 marks the apply tries.
  std::vector<std::wstring> decoys;
  const auto now = static_cast<std::uint32_t>(std::time(nullptr));
  for (std::uint32_t mark = now - 1; mark < now + 40; ++mark) {
    for (int step = 0; step < 4; ++step) {
      wchar_t name[64];
      std::swprintf(name, 64, L"README.TXT.VINTREL-NEW-%08X-%d", mark, step);
      decoys.push_back(name);
      WriteBytes(root + L"\\" + name, "decoy");
    }
  }
  const auto isDecoy = [](const std::wstring& name) {
    return name.find(L".VINTREL-NEW-") != std::wstring::npos;
  };
  {
    RunningInstances running(root + L"\\" + helper, 1);
    const struct {
      const Tree* from;
      const Tree* to;
      const wchar_t* release;
    } updates[] = {{&v4, &v5, L"5"}, {&v5, &v6, L"6"}};
    for (const auto& update : updates) {
      ScratchFolder scratch;
      Pack(scratch, root, *update.from, *update.to, update.release);
      Deliver(scratch);
      RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
      Tree tree = Installed(root);
      tree.erase(L".vintrel\\release");
      tree.erase(L".vintrel\\leftovers");
      tree.erase(L"readme.txt.vintrel-old-0");
      for (auto it = tree.begin(); it != tree.end();) {
        it = it->first.find(L"helper.exe.vintrel-old-") != std::wstring::npos || isDecoy(it->first)
                 ? tree.erase(it)
                 : std::next(it);
      }
      EXPECT_TRUE(tree == *update.to) << Difference(*update.to, tree);
      EXPECT_EQ(ReadBytes(root + L"\\.vintrel\\release"), Utf8(update.release) + "\r\n");
      EXPECT_FALSE(FileExists(root + L"\\.vintrel\\journal"));
      EXPECT_TRUE(FileExists(root + L"\\.vintrel\\leftovers"));
    }
    EXPECT_EQ(ReadBytes(root + L"\\readme.txt.vintrel-old-0"), "stale");
    for (const std::wstring& decoy : decoys) EXPECT_EQ(ReadBytes(root + L"\\" + decoy), "decoy");
    Checked("two updates beside a running program: both committed, the old images listed");
  }
  RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
  EXPECT_FALSE(FileExists(root + L"\\.vintrel\\leftovers"));
  EXPECT_TRUE(UpdateRemains(root) == std::vector<std::wstring>{L"readme.txt.vintrel-old-0"});
  Checked("the run after the program ended removed the leftovers");
}

// What a program of the user can do to the records it may read, and a journal aimed outside the
// root: each keeps the installation as it is and the delivery for a later run. A backup an
// earlier update listed as a leftover lies beside each: it goes, and a journal the recovery
// refused stays with every byte.
TEST_F(Series, RecordsHeldOrAimedElsewhereApplyNothing) {
  enum class Trick { kRecordHeld, kJournalHeld, kJournalLeavesRoot };
  const struct {
    const char* what;
    Trick trick;
    const wchar_t* logLine;
  } rows[] = {
      {"the release record held without sharing", Trick::kRecordHeld,
       L"refuse delivery : UpdateInfo.sha256 : the last release applied cannot be read"},
      {"the journal held sharing only delete", Trick::kJournalHeld,
       L"recover update : the journal cannot be read, kept"},
      {"a journal path that leaves the root", Trick::kJournalLeavesRoot,
       L"recover update : the journal breaks its rules, kept"},
  };
  const TreePair pair = SmallPair(programs);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ResetSharedState();
    ScratchFolder scratch;
    const std::wstring root = scratch / L"\u5B89\u88C5";
    Pack(scratch, root, pair.before, pair.after, kRelease);
    MakeTree(root, pair.before);
    MakeFolders(root + L"\\.vintrel");
    WriteBytes(scratch / L"victim.txt", "outside the root");
    if (row.trick == Trick::kRecordHeld) {
      WriteBytes(root + L"\\.vintrel\\release", "7\r\n");
    } else {
      const std::string staged = row.trick == Trick::kJournalLeavesRoot
                                     ? "x/../../victim.txt"
                                     : "readme.txt.vintrel-new-1-0";
      WriteBytes(root + L"\\.vintrel\\journal",
                 "vintrel-journal 2\nstate swapping\nrelease 7\nupdate 0\tnew.txt\t" + staged +
                     "\tnew.txt.vintrel-old-1-0\n");
    }
    WriteBytes(root + L"\\.vintrel\\leftovers", "vintrel-leftovers 1\nold.dll.vintrel-old-1-0\n");
    Tree before = Installed(root);
    WriteBytes(root + L"\\old.dll.vintrel-old-1-0", "an old image no program holds now");
    const std::string journal = ReadBytes(root + L"\\.vintrel\\journal");
    const std::wstring heldPath =
        root + (row.trick == Trick::kRecordHeld ? L"\\.vintrel\\release" : L"\\.vintrel\\journal");
    FileHandle held;
    if (row.trick != Trick::kJournalLeavesRoot) {
      held = FileHandle(CreateFileW(heldPath.c_str(), GENERIC_READ,
                                    row.trick == Trick::kJournalHeld ? FILE_SHARE_DELETE : 0,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(held.valid());
    }
    Deliver(scratch);

    RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
    held.reset();
    before.erase(L".vintrel\\leftovers");
    EXPECT_TRUE(Installed(root) == before) << Difference(before, Installed(root));
    EXPECT_EQ(ReadBytes(root + L"\\.vintrel\\journal"), journal);
    EXPECT_EQ(ReadBytes(scratch / L"victim.txt"), "outside the root");
    EXPECT_TRUE(FileExists(DeliveryFolder() + L"\\UpdateInfo.sha256")) << "the delivery went";
    EXPECT_TRUE(LogHasLineStarting(row.logLine)) << Utf8(row.logLine);
    ExpectOldMainApplicationRestarted(root);
    Checked(std::string(row.what) + ": nothing applied, the delivery kept");
  }
}

// Read-only files are the apply's to remove where it made them or moved them aside: a read-only
// delivered file whose update rolls back (the file swapped last held) leaves nothing, and the
// next delivery applies; a read-only installed file is replaced and its backup removed. The
// installed file keeps the delivered file's attribute.
TEST_F(Series, ReadOnlyFilesLeaveNoRollBackOrCommitUnfinished) {
  ScratchFolder scratch;
  const std::wstring root = scratch / L"\u5B89\u88C5";
  const TreePair pair = SmallPair(programs);
  Pack(scratch, root, pair.before, pair.after, kRelease);
  const std::wstring readme = root + L"\\readme.txt";
  const auto deliverReadOnly = [&] {
    SetFileAttributesW((DeliveryFolder() + L"\\readme.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    Deliver(scratch);
    ASSERT_TRUE(SetFileAttributesW((DeliveryFolder() + L"\\readme.txt").c_str(),
                                   FILE_ATTRIBUTE_READONLY));
  };
  MakeTree(root, pair.before);
  deliverReadOnly();
  {
    const FileHandle held(CreateFileW((root + L"\\" + kSwappedLast).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
  }
  EXPECT_TRUE(LogHasLineStarting(L"roll back update : zlast.txt : cannot be renamed"));
  EXPECT_FALSE(LogHasLineStarting(L"recover update : roll back incomplete"));
  EXPECT_EQ(Whole(root, pair), "old");
  EXPECT_FALSE(FolderExists(root + L"\\.vintrel"));
  Checked("a read-only delivered file rolled back with the rest: nothing of it left");

  ResetSharedState();
  deliverReadOnly();
  RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
  EXPECT_EQ(Whole(root, pair), "new");
  EXPECT_TRUE(GetFileAttributesW(readme.c_str()) & FILE_ATTRIBUTE_READONLY);
  Checked("the next delivery applied, the installed file read-only as delivered");

  ResetSharedState();
  SetFileAttributesW(readme.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveTree(root);
  MakeTree(root, pair.before);
  ASSERT_TRUE(SetFileAttributesW(readme.c_str(), FILE_ATTRIBUTE_READONLY));
  SetFileAttributesW((DeliveryFolder() + L"\\readme.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
  Deliver(scratch);
  RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
  EXPECT_EQ(Whole(root, pair), "new");
  EXPECT_FALSE(FileExists(root + L"\\.vintrel\\leftovers"));
  RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
  EXPECT_EQ(Whole(root, pair), "new");
  EXPECT_FALSE(GetFileAttributesW(readme.c_str()) & FILE_ATTRIBUTE_READONLY);
  Checked("a read-only installed file replaced, its backup removed at once");
}

// A signed delivery of an earlier release carries its own Updater.exe: the first stage starts
// its own copy instead, and the second stage refuses the delivery as a replay.
TEST_F(Series, AnOlderSignedUpdaterIsNotStarted) {
  ScratchFolder scratch;
  const std::wstring root = scratch / L"\u5B89\u88C5";
  const TreePair pair = SmallPair(programs);
  Pack(scratch, root, pair.before, pair.after, L"50", programs.updater);
  MakeTree(root, pair.before);
  MakeFolders(root + L"\\.vintrel");
  WriteBytes(root + L"\\.vintrel\\release", "60\r\n");
  Deliver(scratch);

  RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
  EXPECT_TRUE(LogHasLineStarting(
      L"refuse delivery : UpdateInfo.sha256 : release 50 is not above the last one applied, 60"))
      << "the delivered updater (which has no keys) ran the second stage";
  Tree tree = Installed(root);
  tree.erase(L".vintrel\\release");
  EXPECT_TRUE(tree == pair.before);
  Checked("an older signed Updater.exe in the delivery: not started, the delivery refused");
}

// The main application runs on while a listed delivery is verified and staged: a delivery
// refused then ends nothing and starts no second copy; one killed while staging leaves it
// running and the installation as it was; one that applies ends it for the swaps only.
TEST_F(Series, TheMainApplicationRunsOnUntilEveryFileIsStaged) {
  const TreePair pair = SmallPair(programs);
  const std::wstring mainApp = std::wstring(kMainApp);
  enum class Run { kCutFile, kKilledWhileStaging, kApplied };
  for (const Run run : {Run::kCutFile, Run::kKilledWhileStaging, Run::kApplied}) {
    ResetSharedState();
    ScratchFolder scratch;
    const std::wstring root = scratch / L"\u5B89\u88C5";
    Pack(scratch, root, pair.before, pair.after, kRelease);
    MakeTree(root, pair.before);
    Deliver(scratch);
    if (run == Run::kCutFile) WriteBytes(DeliveryFolder() + L"\\readme.txt", "rel");
    const Tree before = Installed(root);
    RunningInstances running(root + L"\\" + mainApp, 1);
    ASSERT_EQ(running.ExitCodes(300), std::vector<DWORD>{STILL_ACTIVE});
    const size_t startsBefore = ProbeRecords(root + L"\\bin\\32bit").size();

    if (run == Run::kKilledWhileStaging) {
      // The journal's folder, its temporary file and its rename, then the first staged copy:
      // the apply is staging.
      ASSERT_TRUE(RunKilled(faultsBuild, root, 4, false));
    } else {
      RunUpdater(signedBuild, root + L"\\bin\\32bit", root, run == Run::kApplied);
    }
    const std::vector<DWORD> exitCodes = running.ExitCodes(run == Run::kApplied ? 10000 : 300);
    const size_t startsAfter = ProbeRecords(root + L"\\bin\\32bit").size();
    if (run == Run::kApplied) {
      EXPECT_NE(exitCodes.front(), static_cast<DWORD>(STILL_ACTIVE));
      EXPECT_EQ(Whole(root, pair), "new");
      EXPECT_EQ(startsAfter, startsBefore + 1) << "the new main application was not started";
      Checked("applied: the running main application ended for the swaps, the new one started");
      continue;
    }
    EXPECT_EQ(exitCodes.front(), static_cast<DWORD>(STILL_ACTIVE)) << "the main application ended";
    EXPECT_EQ(startsAfter, startsBefore) << "a second copy was started";
    Tree tree = Installed(root);
    tree.erase(L".vintrel\\journal");
    for (auto it = tree.begin(); it != tree.end();) {
      it = it->first.find(L".vintrel-new-") != std::wstring::npos ? tree.erase(it) : std::next(it);
    }
    EXPECT_TRUE(tree == before) << Difference(before, tree);
    Checked(run == Run::kCutFile
                ? "a file cut short: refused while staging, the main application ran on alone"
                : "killed while staging: the main application ran on, the installation as it was");
  }
}

}  // namespace
