// The all-users desktop shortcut and the earlier-brand migration, on real folders and the
// prefix's real shared desktop.

#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <thread>

#include "test_support.h"
#include "update/migration.h"
#include "update/shortcuts.h"

using Microsoft::WRL::ComPtr;
using namespace testing_support;

namespace {

const wchar_t kMainAppBelowRoot[] = L"/bin/32bit/Kivo直播助手.exe";

struct ShortcutProperties {
  bool loaded = false;
  std::wstring target, arguments, workingFolder, description;
};

// Loads a shortcut file through the shell link object, as the desktop does.
ShortcutProperties ReadShortcut(const std::wstring& path) {
  ShortcutProperties properties;
  if (FAILED(CoInitialize(nullptr))) return properties;
  {
    ComPtr<IShellLinkW> link;
    ComPtr<IPersistFile> file;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_PPV_ARGS(&link))) &&
        SUCCEEDED(link.As(&file)) && SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
      wchar_t text[MAX_PATH] = {};
      link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH);
      properties.target = text;
      text[0] = L'\0';
      link->GetArguments(text, MAX_PATH);
      properties.arguments = text;
      text[0] = L'\0';
      link->GetWorkingDirectory(text, MAX_PATH);
      properties.workingFolder = text;
      text[0] = L'\0';
      link->GetDescription(text, MAX_PATH);
      properties.description = text;
      properties.loaded = true;
    }
  }
  CoUninitialize();
  return properties;
}

std::wstring Backslashed(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

// Tests share the prefix's one all-users desktop: each starts and ends without the two
// shortcuts.
class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    desktop_ = GetCommonDesktopFolder();
    ASSERT_FALSE(desktop_.empty());
    MakeFolders(desktop_);
    newShortcut_ = desktop_ + L"\\Kivo直播助手.lnk";
    earlierShortcut_ = desktop_ + L"\\Dremoth直播助手.lnk";
    RemoveShortcuts();
  }
  void TearDown() override { RemoveShortcuts(); }
  void RemoveShortcuts() {
    DeleteFileW(newShortcut_.c_str());
    DeleteFileW(earlierShortcut_.c_str());
  }

  // An installation below root; without the main application when withMainApp is false.
  static void Install(const std::wstring& root, bool withMainApp = true) {
    MakeFolders(root + L"\\bin\\32bit");
    if (withMainApp) WriteBytes(Backslashed(root + kMainAppBelowRoot), "main application");
  }

  std::wstring desktop_, newShortcut_, earlierShortcut_;
  ScratchFolder scratch_;
};

}  // namespace

TEST_F(DesktopTest, ShortcutHoldsItsTargetAndNothingElse) {
  const std::wstring target = scratch_ / L"安装\\bin/32bit/Kivo直播助手.exe";
  Install(scratch_ / L"安装");
  EXPECT_TRUE(CreateDesktopShortcut(target));
  const ShortcutProperties shortcut = ReadShortcut(newShortcut_);
  ASSERT_TRUE(shortcut.loaded);
  EXPECT_EQ(Backslashed(shortcut.target), Backslashed(target));
  EXPECT_EQ(shortcut.arguments, L"");
  EXPECT_EQ(shortcut.workingFolder, L"");
  EXPECT_EQ(shortcut.description, L"");
}

TEST_F(DesktopTest, NoShortcutWithoutASingleThreadedApartment) {
  // A thread already in the multithreaded apartment cannot enter a single-threaded one.
  bool created = true;
  std::thread worker([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    created = CreateDesktopShortcut(scratch_ / L"x.exe");
    CoUninitialize();
  });
  worker.join();
  EXPECT_FALSE(created);
  EXPECT_FALSE(FileExists(newShortcut_));
}

TEST_F(DesktopTest, EarlierInstallationIsRenamedAndGetsTheNewShortcut) {
  const std::wstring earlierRoot = scratch_ / L"Dremoth直播助手";
  Install(earlierRoot);
  WriteBytes(earlierShortcut_, "earlier shortcut");

  std::wstring root = earlierRoot;
  MigrateEarlierBrand(root);
  EXPECT_EQ(root, scratch_ / L"Kivo直播助手");
  EXPECT_FALSE(FolderExists(earlierRoot));
  EXPECT_EQ(ReadBytes(Backslashed(root + kMainAppBelowRoot)), "main application");
  EXPECT_EQ(Backslashed(ReadShortcut(newShortcut_).target), Backslashed(root + kMainAppBelowRoot));
  EXPECT_FALSE(FileExists(earlierShortcut_));

  // With that name taken the numbers follow: 1, then 2 when 1 is taken as well.
  for (const wchar_t* expected : {L"Kivo直播助手1", L"Kivo直播助手2"}) {
    Install(earlierRoot);
    root = earlierRoot;
    MigrateEarlierBrand(root);
    EXPECT_EQ(root, scratch_ / expected);
    EXPECT_TRUE(FileExists(Backslashed(root + kMainAppBelowRoot)));
  }
}

TEST_F(DesktopTest, BrandOnlyInAParentFolder) {
  // The parent's new name must exist already: without it the rename fails and nothing else
  // happens.
  const std::wstring earlierRoot = scratch_ / L"Dremoth\\App";
  Install(earlierRoot);
  WriteBytes(earlierShortcut_, "earlier shortcut");
  std::wstring root = earlierRoot;
  MigrateEarlierBrand(root);
  EXPECT_EQ(root, earlierRoot);
  EXPECT_TRUE(FolderExists(earlierRoot));
  EXPECT_FALSE(FileExists(newShortcut_));
  EXPECT_TRUE(FileExists(earlierShortcut_));

  MakeFolders(scratch_ / L"Kivo");
  MigrateEarlierBrand(root);
  EXPECT_EQ(root, scratch_ / L"Kivo\\App");
  EXPECT_TRUE(FileExists(Backslashed(root + kMainAppBelowRoot)));
  EXPECT_FALSE(FileExists(earlierShortcut_));
}

TEST_F(DesktopTest, TrailingBackslashPutsANumberedFolderInsideTheBaseName) {
  const std::wstring earlierRoot = scratch_ / L"Dremoth直播助手\\";
  Install(earlierRoot);
  MakeFolders(scratch_ / L"Kivo直播助手");
  std::wstring root = earlierRoot;
  MigrateEarlierBrand(root);
  EXPECT_EQ(root, scratch_ / L"Kivo直播助手\\1");
  EXPECT_TRUE(FileExists(scratch_ / L"Kivo直播助手\\1\\bin\\32bit\\Kivo直播助手.exe"));
  EXPECT_TRUE(FileExists(newShortcut_));
}

TEST_F(DesktopTest, NoShortcutWithoutTheMainApplicationOrTheBrand) {
  Install(scratch_ / L"Dremoth直播助手", false);
  WriteBytes(earlierShortcut_, "earlier shortcut");
  std::wstring root = scratch_ / L"Dremoth直播助手";
  MigrateEarlierBrand(root);
  EXPECT_EQ(root, scratch_ / L"Kivo直播助手");
  EXPECT_TRUE(FolderExists(root));
  EXPECT_FALSE(FileExists(newShortcut_));
  EXPECT_TRUE(FileExists(earlierShortcut_));

  // "dremoth" in lower case is not the brand.
  const std::wstring other = scratch_ / L"dremoth-app";
  Install(other);
  root = other;
  MigrateEarlierBrand(root);
  EXPECT_EQ(root, other);
  EXPECT_TRUE(FolderExists(other));
  EXPECT_FALSE(FileExists(newShortcut_));
  EXPECT_TRUE(FileExists(earlierShortcut_));
}

// Also run with the ANSI code page 1252: the rename and the removal of the earlier shortcut act
// on the names as they are, never on what code page 936 bytes would name there.
TEST_F(DesktopTest, AnsiCodePageRenameAndRemovalUseTheRealNames) {
  // U+0E01 has no code page 936 form at all.
  const std::wstring earlierRoot = scratch_ / L"Dremoth直播助手\u0E01";
  Install(earlierRoot);
  WriteBytes(earlierShortcut_, "earlier shortcut");
  const std::wstring lookalike =
      desktop_ + L"\\" + FromCodePage(ToCodePage(L"Dremoth直播助手.lnk"), 1252);
  WriteBytes(lookalike, "not a shortcut of ours");

  std::wstring root = earlierRoot;
  MigrateEarlierBrand(root);
  EXPECT_EQ(root, scratch_ / L"Kivo直播助手\u0E01");
  EXPECT_TRUE(FileExists(Backslashed(root + kMainAppBelowRoot)));
  EXPECT_FALSE(FileExists(earlierShortcut_));
  EXPECT_EQ(ReadBytes(lookalike), "not a shortcut of ours");
  DeleteFileW(lookalike.c_str());
}
