// Which updater the first stage copies, among real files.

#include <gtest/gtest.h>

#include "base/folders.h"
#include "stages/stages.h"
#include "test_support.h"

using namespace testing_support;

TEST(PickRelaunchSource, DeliveredUpdaterOrTheRunningOneNeverTheCurrentFolders) {
  ScratchFolder scratch;
  const std::wstring delivery = scratch / L"OrbeskVintrel\\Temp";
  MakeFolders(delivery);
  WriteBytes(delivery + L"\\Updater.exe", "delivered");
  // A planted "Updater.exe" in the current folder must never pass for a delivered one.
  const std::wstring current = scratch / L"current";
  MakeFolders(current);
  WriteBytes(current + L"\\Updater.exe", "planted");
  wchar_t previous[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(current.c_str()));

  const std::wstring running = GetModulePath();
  const struct {
    std::wstring dataTempFolder;
    std::wstring expected;
  } cases[] = {
      {delivery, delivery + L"\\Updater.exe"},
      {scratch / L"missing", running},
      {L"", running},  // no data folder
      {L".", running},
      {L"Temp", running},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PickRelaunchSource(c.dataTempFolder), c.expected) << c.dataTempFolder;
  }
  SetCurrentDirectoryW(previous);
}
