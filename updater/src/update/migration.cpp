#include "update/migration.h"

#include <windows.h>

#include "base/app_names.h"
#include "base/disk_changes.h"
#include "base/paths.h"
#include "base/text.h"
#include "update/shortcuts.h"

namespace {

constexpr int kLastCandidateNumber = 99;

// The base name when it is free, else the first free of base1 to base98; base99 unchecked.
std::wstring PickNewFolderName(const std::wstring& base) {
  std::wstring candidate = base;
  for (int i = 1; i <= kLastCandidateNumber && PathExists(candidate); ++i) {
    candidate = base + IntToWide(i);
  }
  return candidate;
}

}  // namespace

void MigrateEarlierBrand(std::wstring& rootFolder) {
  const std::wstring earlier = kEarlierBrand;
  const size_t at = rootFolder.find(earlier);
  if (at == std::wstring::npos) return;
  std::wstring base = rootFolder;
  base.replace(at, earlier.size(), kCurrentBrand);
  const std::wstring newFolder = PickNewFolderName(base);

  // Wide paths: a name that the system's ANSI code page cannot hold still names this folder.
  if (!MoveFileW(rootFolder.c_str(), newFolder.c_str())) return;
  NoteDiskChange();
  rootFolder = newFolder;

  const std::wstring mainApp = rootFolder + kMainAppFolder + kMainAppName;
  if (!PathExists(mainApp)) return;
  CreateDesktopShortcut(mainApp);

  const std::wstring desktop = GetCommonDesktopFolder();
  if (desktop.empty()) return;
  DeleteFileW((desktop + kEarlierShortcutName).c_str());
}
