// The outcome record, read with the main application's reader after whole runs of the real
// updaters under Wine: one row per way an update ends, the delta delivery refused for its base
// followed by the complete one of the same release, and a record that cannot be written.

#include <vintrel/update_outcome.h>

#include "base/folders.h"
#include "roundtrip_support.h"

using namespace roundtrip;

namespace {

std::wstring RecordPath() { return GetDataFolder() + L"\\update-outcome.txt"; }

class Outcome : public SignedBuilds {
 protected:
  void SetUp() override {
    SignedBuilds::SetUp();
    DeleteFileW(RecordPath().c_str());
  }
  void TearDown() override {
    DeleteFileW(RecordPath().c_str());
    SignedBuilds::TearDown();
  }

  // The delivery from pair, made in scratch for root (signed with the current test key when
  // signedWith), copied to where the main application puts it.
  void Deliver(const ScratchFolder& scratch, const std::wstring& root, const TreePair& pair,
               bool signedWith, const std::wstring& more = L"") {
    const PackRun pack =
        Diff(scratch, pair.before, pair.after, root.size(),
             signedWith ? faultsBuild.updater : programs.updater, L"",
             L" --release 100" +
                 (signedWith ? L" --key " + Quoted(keys + L"\\current.pem") : std::wstring()) +
                 more);
    ASSERT_EQ(pack.exitCode, 0u) << pack.output;
    RemoveTree(DeliveryFolder());
    fs::copy(fs::path(scratch / L"delivery"), fs::path(DeliveryFolder()),
             fs::copy_options::recursive);
  }

};

// A replaced file, the new main application, and a library of which one byte changes (which
// a delta delivery sends as a patch).
TreePair SmallPair(const Programs& programs) {
  std::mt19937 random(3);
  TreePair pair;
  pair.before[kMainApp] = ReadBytes(programs.mainAppV1);
  pair.before[L"readme.txt"] = "release 1";
  std::string core = RandomBytes(random, 200000);
  pair.before[L"lib\\core.dll"] = core;
  core[100000] ^= 1;
  pair.after[kMainApp] = ReadBytes(programs.mainAppV2);
  pair.after[L"readme.txt"] = "release 2";
  pair.after[L"lib\\core.dll"] = core;
  return pair;
}

void Edit(const std::wstring& path, const std::string& from, const std::string& to) {
  std::string bytes = ReadBytes(path);
  const size_t at = bytes.find(from);
  ASSERT_NE(at, std::string::npos) << Utf8(path) << " holds no " << from;
  bytes.replace(at, from.size(), to);
  WriteBytes(path, bytes);
}

TEST_F(Outcome, EveryWayAnUpdateEndsIsRecorded) {
  enum class Setup {
    kNone, kNoList, kCutFile, kUnlistedEntry, kBadList, kBaseChanged, kUnsigned, kReplay,
    kHeldFile, kKilledThenNoDelivery, kKilledPastCommit, kDeclined,
  };
  const struct {
    const char* what;
    Setup setup;
    bool signedBuild;
    const char* result;
    const char* reason;
    std::uint64_t release;
    const char* file;
  } rows[] = {
      {"a listed delivery applied", Setup::kNone, true, "applied", "none", 100, ""},
      {"a delivery without a list applied", Setup::kNoList, false, "applied", "no-list", 0, ""},
      {"a file cut short", Setup::kCutFile, false, "refused", "file-differs", 100, "readme.txt"},
      {"an entry the list does not name", Setup::kUnlistedEntry, false, "refused",
       "unlisted-entry", 100, "readme.txt"},
      {"a list that breaks its rules", Setup::kBadList, false, "refused", "list-invalid", 0,
       "UpdateInfo.sha256"},
      {"a patch whose base changed", Setup::kBaseChanged, false, "refused", "base-differs", 100,
       "lib/core.dll"},
      {"an unsigned delivery", Setup::kUnsigned, true, "refused", "no-signature", 0,
       "UpdateInfo.sig"},
      {"a replay", Setup::kReplay, true, "refused", "not-newer", 100, "UpdateInfo.sha256"},
      {"a file held by another program", Setup::kHeldFile, true, "rolled-back", "held", 100,
       "readme.txt"},
      {"a run killed while swapping, repaired", Setup::kKilledThenNoDelivery, true, "recovered",
       "interrupted", 100, ""},
      {"a run killed past its commit, finished, its delivery still waiting",
       Setup::kKilledPastCommit, true, "applied", "none", 100, ""},
      {"the elevation declined", Setup::kDeclined, true, "not-started", "declined", 0, ""},
  };
  const TreePair pair = SmallPair(programs);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ResetSharedState();
    DeleteFileW(RecordPath().c_str());
    ScratchFolder scratch;
    const std::wstring root = scratch / L"\u5B89\u88C5";
    Deliver(scratch, root, pair, row.signedBuild,
            row.setup == Setup::kBaseChanged ? L" --delta" : L"");
    MakeTree(root, pair.before);
    const std::wstring delivery = DeliveryFolder();
    FileHandle held;
    switch (row.setup) {
      case Setup::kNoList:
        DeleteFileW((delivery + L"\\UpdateInfo.sha256").c_str());
        break;
      case Setup::kCutFile:
        WriteBytes(delivery + L"\\readme.txt", "release");
        break;
      case Setup::kUnlistedEntry: {
        std::string list = ReadBytes(delivery + L"\\UpdateInfo.sha256");
        const size_t line = list.find(" readme.txt\r\n");
        ASSERT_NE(line, std::string::npos);
        const size_t start = list.rfind('\n', line) + 1;
        list.erase(start, line + 13 - start);
        WriteBytes(delivery + L"\\UpdateInfo.sha256", list);
        break;
      }
      case Setup::kBadList:
        Edit(delivery + L"\\UpdateInfo.sha256", "vintrel-delivery", "vintrel-dilevery");
        break;
      case Setup::kBaseChanged:
        WriteBytes(root + L"\\lib\\core.dll", "quarantined and put back otherwise");
        break;
      case Setup::kUnsigned:
        DeleteFileW((delivery + L"\\UpdateInfo.sig").c_str());
        break;
      case Setup::kReplay:
        MakeFolders(root + L"\\.vintrel");
        WriteBytes(root + L"\\.vintrel\\release", "101\r\n");
        break;
      case Setup::kHeldFile:
        held = FileHandle(CreateFileW((root + L"\\readme.txt").c_str(), GENERIC_READ,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        break;
      case Setup::kKilledThenNoDelivery:
        SetEnvironmentVariableW(L"VINTREL_KILL_AFTER_CHANGE", L"10");
        RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
        SetEnvironmentVariableW(L"VINTREL_KILL_AFTER_CHANGE", nullptr);
        ASSERT_TRUE(FileExists(root + L"\\.vintrel\\journal")) << "not killed midway";
        RemoveTree(delivery);
        break;
      case Setup::kKilledPastCommit:
        // The journal, three staged copies, the swaps, then the commit: each journal write is
        // its temporary file and its rename.
        SetEnvironmentVariableW(L"VINTREL_KILL_AFTER_CHANGE", L"16");
        RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
        SetEnvironmentVariableW(L"VINTREL_KILL_AFTER_CHANGE", nullptr);
        ASSERT_NE(ReadBytes(root + L"\\.vintrel\\journal").find("state committed"),
                  std::string::npos)
            << "not killed right after the commit";
        ASSERT_TRUE(FolderExists(delivery));
        DeleteFileW(RecordPath().c_str());
        break;
      case Setup::kDeclined:
        SetEnvironmentVariableW(L"VINTREL_DECLINE_ELEVATION", L"1");
        break;
      case Setup::kNone:
        break;
    }
    RunUpdater(row.setup == Setup::kDeclined ? faultsBuild
               : row.signedBuild             ? signedBuild
                                             : programs,
               root + L"\\bin\\32bit", root);
    SetEnvironmentVariableW(L"VINTREL_DECLINE_ELEVATION", nullptr);
    held.reset();

    const std::string bytes = ReadBytes(RecordPath());
    EXPECT_EQ(bytes.find('\n'), bytes.find("\r\n") + 1) << "not CR LF";
    const vintrel::UpdateOutcomeRead read = vintrel::ParseUpdateOutcome(bytes);
    ASSERT_EQ(read.status, vintrel::UpdateOutcomeStatus::kRead) << bytes;
    EXPECT_EQ(vintrel::UpdateOutcomeResultText(read.outcome.result), row.result);
    EXPECT_EQ(vintrel::UpdateOutcomeReasonText(read.outcome.reason), row.reason);
    EXPECT_EQ(read.outcome.release, row.release);
    EXPECT_EQ(read.outcome.file, row.file);
    EXPECT_GT(read.outcome.time, 1700000000u);
    Checked(std::string(row.what) + ": " + row.result + " " + row.reason);
  }
}

// A delta delivery whose patch base the installation no longer has is refused for it; the
// complete delivery the publisher keeps for the same release then applies.
TEST_F(Outcome, TheCompleteDeliveryAppliesWhereTheDeltaWasRefusedForItsBase) {
  const TreePair pair = SmallPair(programs);
  ScratchFolder scratch;
  const std::wstring root = scratch / L"\u5B89\u88C5";
  // The delta from release 50, which the installation records.
  Deliver(scratch, root, pair, true, L" --delta --previous-release 50");
  ASSERT_TRUE(FileExists(DeliveryFolder() + L"\\lib\\core.dll.zstpatch"));
  MakeTree(root, pair.before);
  MakeFolders(root + L"\\.vintrel");
  WriteBytes(root + L"\\.vintrel\\release", "50\r\n");
  WriteBytes(root + L"\\lib\\core.dll", "quarantined and put back otherwise");
  Tree before = Installed(root);

  RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
  vintrel::UpdateOutcomeRead read = vintrel::ReadUpdateOutcome(RecordPath().c_str());
  ASSERT_EQ(read.status, vintrel::UpdateOutcomeStatus::kRead);
  EXPECT_EQ(read.outcome.reason, vintrel::UpdateOutcomeReason::kBaseDiffers);
  EXPECT_TRUE(Installed(root) == before);

  // The full delivery of the same release.
  ScratchFolder complete;
  Deliver(complete, root, pair, true);
  RunUpdater(signedBuild, root + L"\\bin\\32bit", root);
  read = vintrel::ReadUpdateOutcome(RecordPath().c_str());
  ASSERT_EQ(read.status, vintrel::UpdateOutcomeStatus::kRead);
  EXPECT_EQ(read.outcome.result, vintrel::UpdateOutcomeResult::kApplied);
  EXPECT_EQ(read.outcome.release, 100u);
  Tree after = Installed(root);
  after.erase(L".vintrel\\release");
  EXPECT_TRUE(after == pair.after);
  Checked("the delta refused for its base (base-differs), the full delivery of release 100 "
          "applied");
}

// The record is information: when it cannot be written (held by another program, or its folder
// a link), the update applies all the same.
TEST_F(Outcome, ARecordThatCannotBeWrittenCostsNoStep) {
  const TreePair pair = SmallPair(programs);
  ScratchFolder scratch;
  const std::wstring root = scratch / L"\u5B89\u88C5";
  Deliver(scratch, root, pair, false);
  MakeTree(root, pair.before);
  WriteBytes(RecordPath(), "held");
  const FileHandle held(CreateFileW(RecordPath().c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held.valid());

  RunUpdater(programs, root + L"\\bin\\32bit", root);
  EXPECT_TRUE(Installed(root) == pair.after);
  EXPECT_FALSE(FolderExists(DeliveryFolder()));
  const std::vector<std::string> records = ProbeRecords(root + L"\\bin\\32bit");
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().rfind("version=2.0 ", 0), 0u);
  Checked("the record held by another program: the update applied, the new application started");
}

}  // namespace
