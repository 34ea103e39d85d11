#include "update_run.h"

#include <windows.h>
#include <shlwapi.h>

#include "app_names.h"
#include "file_copy.h"
#include "folder_tree.h"
#include "folders.h"
#include "log.h"
#include "manifest.h"
#include "migration.h"
#include "paths.h"
#include "process_kill.h"
#include "stages.h"
#include "text.h"

namespace {

const wchar_t kManifestName[] = L"UpdateInfo.ini";
constexpr DWORD kWaitForEndedProcessesMs = 2000;

// The manifest lies where any program of the user can write, while the updater runs
// elevated: an entry may name nothing outside the two folders, nor reach a delivered file
// through a link. A cut entry shows the bytes that were read of it.
void SkipUnsafeEntry(const ManifestEntry& entry) {
  WriteLog("skip unsafe entry : " + entry.written + (entry.cut ? " ...(cut)" : ""));
}

std::wstring ParentFolder(const std::wstring& path) {
  std::wstring parent = path;
  PathRemoveFileSpecW(&parent[0]);
  parent.resize(wcslen(parent.c_str()));
  return parent;
}

void ReplaceFile(const ManifestEntry& entry, const std::wstring& manifestFolder,
                 PlainFolders& deliveryFolders, const std::wstring& rootFolder) {
  const std::wstring source = CombinePath(manifestFolder, entry.relativePath);
  const std::wstring destination = CombinePath(rootFolder, entry.relativePath);
  if (entry.cut || !ResolvesWithinFolder(source, manifestFolder) ||
      !ResolvesWithinFolder(destination, rootFolder)) {
    SkipUnsafeEntry(entry);
    return;
  }
  // A delivery is plain files: a link on the way below the manifest folder could carry any file
  // the elevated updater can read into the installation. Held until the copy is done, so that
  // nothing on the way can be swapped meanwhile. The root folder's links are followed.
  const HeldPlainFile held = OpenPlainFileBelow(deliveryFolders, source);
  if (held.state == PlainFileState::kThroughLink) {
    SkipUnsafeEntry(entry);
    return;
  }
  // Only the one missing level above the file is made, and never above the root folder.
  if (entry.createParentFolder) {
    const std::wstring parent = ParentFolder(destination);
    if (!PathExists(parent) && ResolvesWithinFolder(parent, rootFolder)) {
      CreateDirectoryW(parent.c_str(), nullptr);
    }
  }
  // A file that is missing or cannot be opened is not copied, and the installed one stays.
  CopyHeldFileWithRetry(source, held.openedPath, destination);
}

void DeleteListedFile(const ManifestEntry& entry, const std::wstring& rootFolder) {
  const std::wstring target = CombinePath(rootFolder, entry.relativePath);
  if (entry.cut || !ResolvesWithinFolder(target, rootFolder)) {
    SkipUnsafeEntry(entry);
    return;
  }
  WriteLog("delete file : " + WideToNarrow(target));
  // The wide path: whatever the system's ANSI code page, this file or none is removed.
  DeleteFileW(target.c_str());
}

}  // namespace

void ApplyManifest(const std::wstring& manifestFolder, const std::wstring& rootFolder) {
  const std::wstring manifestPath = CombinePath(manifestFolder, kManifestName);
  if (manifestPath.empty()) return;
  // The delivery's folders stay held until every entry is applied, and are let go before the
  // delivery is removed.
  PlainFolders deliveryFolders(manifestFolder);
  ReadManifest(manifestPath, [&](const ManifestEntry& entry) {
    if (entry.section == ManifestSection::kUpdatedFiles) {
      ReplaceFile(entry, manifestFolder, deliveryFolders, rootFolder);
    } else if (entry.section == ManifestSection::kDeletedFiles) {
      DeleteListedFile(entry, rootFolder);
    }
  });
}

void ApplyDeliveredUpdate(const std::wstring& dataTempFolder, std::wstring& rootFolder) {
  // 4. Without a manifest folder nothing else is done, not even the migration.
  const std::optional<std::wstring> manifestFolder =
      LocateManifestFolder(dataTempFolder, rootFolder);
  if (!manifestFolder) return;
  // 5, 6. Each entry acted on as soon as it is read.
  ApplyManifest(*manifestFolder, rootFolder);
  // 7. The delivery goes whole: manifest, new files and any delivered updater.
  DeleteFolderTree(*manifestFolder);
  // 8. An installation of the earlier brand moves to the current one.
  MigrateEarlierBrand(rootFolder);
}

void RunUpdate(std::wstring& rootFolder) {
  // 1. An empty root folder makes every path relative: let them land in the temporary folder.
  SetCurrentDirectoryW(GetTempFolder().c_str());
  // 2. Nothing may hold the files about to be replaced, nor may a first stage still run.
  KillProcessByName(kEarlierMainAppProcess);
  KillProcessByName(kMainAppProcess);
  KillProcessByName(kDeliveredUpdaterProcess);
  // 3. The ended processes are not watched; they get this long to let go of their files.
  Sleep(kWaitForEndedProcessesMs);
  // 4. The root folder as the platform writes it; then steps 4 to 8.
  rootFolder = ReplaceAll(rootPathArg, L"/", L"\\");
  ApplyDeliveredUpdate(GetDataTempFolder(), rootFolder);
  // 9. The entry starts the main application from rootFolder.
}
