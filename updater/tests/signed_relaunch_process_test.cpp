// The first stage of an Updater.exe built with delivery keys (Updater_signed_test: the current
// and the next test key), as a process: a delivered Updater.exe is started only when the list
// that vintrel-pack signed names it as it is; otherwise the installed updater's own copy runs
// the second stage.

#include <gtest/gtest.h>

#include <string>

#include "base/folders.h"
#include "test_support.h"

using namespace testing_support;

namespace {

const wchar_t kSecondStageName[] = L"Kivo直播助手升级程序.exe";

// What is done to a signed delivery before the updater meets it.
enum class Change { kNone, kUpdaterReplaced, kListChanged, kSignatureRemoved };

struct Row {
  const char* name;
  const wchar_t* key;  // the test key whose private half signs the list
  Change change;
  bool deliveredStarts;  // the delivered Updater.exe runs as the second stage
};

const Row kRows[] = {
    {"signed with the current key", L"current", Change::kNone, true},
    {"signed with the next key", L"next", Change::kNone, true},
    {"Updater.exe replaced after signing", L"current", Change::kUpdaterReplaced, false},
    {"list changed after signing", L"current", Change::kListChanged, false},
    {"signed with a key the updater does not know", L"other", Change::kNone, false},
    {"no signature", L"current", Change::kSignatureRemoved, false},
};

}  // namespace

TEST(SignedRelaunch, OnlyAnUpdaterTheSignedListNamesIsStarted) {
  const std::wstring updater = FromEnvironment("UPDATER_SIGNED_TEST_EXE");
  const std::wstring pack = FromEnvironment("VINTREL_PACK");
  const std::wstring keys = FromEnvironment("TEST_KEYS");
  const std::wstring probe = FromEnvironment("PROBE_APP");
  const std::wstring probeV2 = FromEnvironment("PROBE_APP_V2");
  ASSERT_TRUE(FileExists(updater) && FileExists(pack) && FileExists(probe) && FileExists(probeV2))
      << "UPDATER_SIGNED_TEST_EXE, VINTREL_PACK, PROBE_APP or PROBE_APP_V2 not set";
  EnsureLogFolder();
  const std::wstring delivery = GetDataTempFolder();
  const std::wstring secondStage = GetTempFolder() + kSecondStageName;
  const std::wstring record = GetTempFolder() + L"probe-record.txt";

  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    RemoveTree(delivery);
    DeleteFileW(secondStage.c_str());
    DeleteFileW(record.c_str());
    ScratchFolder scratch;
    for (const std::wstring tree : {L"old", L"new"}) {
      MakeFolders(scratch / tree + L"\\bin\\32bit");
      WriteBytes(scratch / tree + L"\\bin\\32bit\\a.dll", ToCodePage(tree));
    }
    MakeFolders(scratch / L"root");
    // The delivery carries probe_app 2.0 as its Updater.exe, listed and signed.
    const std::wstring diff = Quote(pack) + L" diff " + Quote(scratch / L"old") + L" " +
                              Quote(scratch / L"new") + L" --out " + Quote(delivery) +
                              L" --updater " + Quote(probeV2) +
                              L" --release 100 --previous-release 99 --key " +
                              Quote(keys + L"\\" + row.key + L".pem");
    ASSERT_EQ(RunAndWait(diff), 0u);
    ASSERT_TRUE(FileExists(delivery + L"\\UpdateInfo.sig"));
    if (row.change == Change::kUpdaterReplaced) {
      ASSERT_TRUE(CopyFileW(probe.c_str(), (delivery + L"\\Updater.exe").c_str(), FALSE));
    } else if (row.change == Change::kListChanged) {
      std::string list = ReadBytes(delivery + L"\\UpdateInfo.sha256");
      const size_t release = list.find("release 100");
      ASSERT_NE(release, std::string::npos);
      list.replace(release, 11, "release 101");
      WriteBytes(delivery + L"\\UpdateInfo.sha256", list);
    } else if (row.change == Change::kSignatureRemoved) {
      ASSERT_TRUE(DeleteFileW((delivery + L"\\UpdateInfo.sig").c_str()));
    }

    EXPECT_EQ(RunAndWait(Quote(updater) + L" \"C:\\inst\" " + Quote(scratch / L"root")), 0u);
    EXPECT_TRUE(WaitUntilNoProcess(kSecondStageName));
    if (row.deliveredStarts) {
      EXPECT_EQ(ReadBytes(secondStage), ReadBytes(probeV2));
      for (int i = 0; i < 50 && !FileExists(record); ++i) Sleep(100);
      const std::string recorded = ReadBytes(record);
      EXPECT_NE(recorded.find("version=2.0"), std::string::npos) << recorded;
      EXPECT_NE(recorded.find("args=\"C:\\inst\""), std::string::npos) << recorded;
    } else {
      // The installed updater copied itself, and that copy ran the second stage to its end.
      EXPECT_EQ(ReadBytes(secondStage), ReadBytes(updater));
      EXPECT_FALSE(FileExists(record)) << ReadBytes(record);
      const std::vector<std::wstring> log = ReadLogMessages();
      ASSERT_FALSE(log.empty());
      EXPECT_EQ(log.front(), L"开始启动更新程序");
      EXPECT_EQ(log.back().rfind(L"主工程安装路径：", 0), 0u) << log.back().c_str();
    }
  }
  RemoveTree(delivery);
  DeleteFileW(secondStage.c_str());
  DeleteFileW(record.c_str());
}
