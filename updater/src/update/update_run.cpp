#include "update/update_run.h"

#include <windows.h>
#include <shlwapi.h>

#include "base/app_names.h"
#include "base/checked_items.h"
#include "base/disk_changes.h"
#include "base/file_copy.h"
#include "base/folder_tree.h"
#include "base/folders.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/process_args.h"
#include "base/text.h"
#include "update/installation_lock.h"
#include "update/listed_apply.h"
#include "update/manifest.h"
#include "update/migration.h"
#include "update/outcome_record.h"
#include "update/process_kill.h"
#include "update/recovery.h"

namespace {

const wchar_t kManifestName[] = L"UpdateInfo.ini";
constexpr DWORD kWaitForEndedProcessesMs = 2000;
DWORD waitForEndedProcessesMs = kWaitForEndedProcessesMs;

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

// The elevated stage reads the delivery only below the roaming application data folder, taken as
// it is: the data folder above the delivery folder, and with throughDelivery the delivery folder
// itself, must be plain folders, and are held for as long as the result lives.
AnchoredFolder OpenPlainDataFolder(const std::wstring& deliveryFolder, bool throughDelivery) {
  std::wstring path = ExtendedPath(deliveryFolder);
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  std::vector<std::wstring> names;
  for (int level = 0; level < 2; ++level) {
    const size_t cut = path.find_last_of(L'\\');
    if (cut == std::wstring::npos) return AnchoredFolder();
    names.insert(names.begin(), path.substr(cut + 1));
    path.resize(cut);
  }
  if (!throughDelivery) names.pop_back();
  return OpenAnchoredFolder(path + L"\\", names);
}

void SkipUnsafeFolder(const std::wstring& folder) {
  WriteLog("skip unsafe folder : " + WideToNarrow(folder));
}

void ReplaceFile(const ManifestEntry& entry, const std::wstring& manifestFolder,
                 const std::wstring& deliveryFinalPath, const std::wstring& rootFolder) {
  const std::wstring source = CombinePath(manifestFolder, entry.relativePath);
  const std::wstring destination = CombinePath(rootFolder, entry.relativePath);
  if (entry.cut || !ResolvesWithinFolder(source, manifestFolder) ||
      !ResolvesWithinFolder(destination, rootFolder)) {
    SkipUnsafeEntry(entry);
    return;
  }
  // A delivery is plain files with one name each: a link on the way, or a second name of a file
  // the user could not read, would carry that file into the installation. Held without write or
  // delete sharing, and copied through this handle only. The root folder's links are followed.
  // The manifest folder itself (an empty entry) is no file.
  const std::wstring below = PathBelowFolder(source, manifestFolder);
  const CheckedItem delivered =
      below.empty() ? CheckedItem()
                    : OpenChecked(deliveryFinalPath + L"\\" + below, GENERIC_READ,
                                  FILE_SHARE_READ, ItemKind::kFile);
  if (delivered.state != CheckedState::kChecked &&
      delivered.state != CheckedState::kUnavailable) {
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
  CopyHeldFileWithRetry(source, delivered.handle.get(), destination);
}

// The manifest itself (the link, if it is one), through its handle, below the folder's final
// path as the checks compare it.
void RemoveManifest(const std::wstring& manifestFolder) {
  const DWORD anySharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const FileHandle folder(CreateFileW(manifestFolder.c_str(), FILE_READ_ATTRIBUTES, anySharing,
                                      nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
  const std::wstring finalPath = folder.valid() ? FinalPathOf(folder.get()) : std::wstring();
  if (finalPath.empty()) return;
  const CheckedItem manifest = OpenChecked(finalPath + L"\\" + kManifestName, DELETE,
                                           anySharing, ItemKind::kAny);
  if ((manifest.state == CheckedState::kChecked || manifest.state == CheckedState::kLink) &&
      RemoveThroughHandle(manifest.handle.get())) {
    NoteDiskChange();
  }
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

bool ApplyManifest(const std::wstring& manifestFolder, const std::wstring& rootFolder,
                   ApplyOutcome* outcome, const std::function<void()>& endMainApplication) {
  const auto endMain = [&] {
    if (endMainApplication) endMainApplication();
  };
  // What the run found before (a repair, or nothing) stands unless the delivery is acted on.
  ApplyOutcome ignored;
  ApplyOutcome& result = outcome ? *outcome : ignored;
  const std::wstring manifestPath = CombinePath(manifestFolder, kManifestName);
  if (manifestPath.empty()) return true;
  // Held until every entry is applied; let go before the delivery is removed.
  const AnchoredFolder delivery = OpenPlainDataFolder(manifestFolder, true);
  if (delivery.throughLink) {
    SkipUnsafeFolder(manifestFolder);
    result = ApplyOutcome();
    result.result = ApplyResult::kRefused;
    result.reason = ApplyReason::kUnsafeFolder;
    return false;
  }
  if (delivery.finalPath.empty()) return true;
  // A delivery that carries its hash list goes all or nothing; one without, entry by entry.
  if (HasHashList(delivery.finalPath)) {
    result = ApplyListedDelivery(manifestFolder, delivery.finalPath, rootFolder, endMain);
    return !result.keepDelivery;
  }
  // The manifest is read while held without write or delete sharing: it stays the file checked.
  const CheckedItem manifest = OpenChecked(delivery.finalPath + L"\\" + kManifestName,
                                           GENERIC_READ, FILE_SHARE_READ, ItemKind::kFile);
  if (manifest.state != CheckedState::kChecked) {
    if (manifest.state != CheckedState::kUnavailable) SkipUnsafeFolder(manifestPath);
    return true;
  }
  result = ApplyOutcome();
  result.reason = ApplyReason::kNoList;
  // Entry by entry: each acts at once on the installation.
  endMain();
  ReadManifest(manifest.finalPath, [&](const ManifestEntry& entry) {
    if (entry.section == ManifestSection::kUpdatedFiles) {
      ReplaceFile(entry, manifestFolder, delivery.finalPath, rootFolder);
    } else if (entry.section == ManifestSection::kDeletedFiles) {
      DeleteListedFile(entry, rootFolder);
    }
  });
  return true;
}

namespace {

// Steps 4 to 7 under the installation's lock: the journal acted on, then the delivery. False
// when there was no manifest folder.
bool RepairAndApply(const std::wstring& dataTempFolder, const std::wstring& rootFolder,
                    ApplyOutcome& result, bool recordOutcome,
                    const std::function<void()>& endMain) {
  // Before anything else: an update killed part-way is rolled back or finished from its journal,
  // and a delivery still waiting is then applied from the start. A journal that cannot be acted
  // on keeps every delivery waiting.
  Journal journal;
  if (ReadJournal(rootFolder, journal) != JournalRead::kNone) endMain();
  const Recovery recovery = RecoverInterruptedUpdate(rootFolder, result);
  if (recovery == Recovery::kNothing) {
    result = ApplyOutcome();
    result.result = ApplyResult::kNotStarted;
  }
  // 4. Without a manifest folder nothing else is done.
  const std::optional<std::wstring> manifestFolder =
      LocateManifestFolder(dataTempFolder, rootFolder);
  if (!manifestFolder) return false;
  // The data folder stays held, and so plain, from the apply through the removal below it.
  const AnchoredFolder dataFolder = OpenPlainDataFolder(*manifestFolder, false);
  // 5, 6. Each entry acted on as soon as it is read.
  if (dataFolder.throughLink) {
    SkipUnsafeFolder(*manifestFolder);
    result = ApplyOutcome();
    result.result = ApplyResult::kRefused;
    result.reason = ApplyReason::kUnsafeFolder;
  } else if (recovery == Recovery::kBlocked) {
    WriteLog("keep delivery : " + WideToNarrow(*manifestFolder) +
             " : waits until the journal is repaired");
  } else if (ApplyManifest(*manifestFolder, rootFolder, &result, endMain)) {
    // 7. The delivery goes whole: manifest, new files and any delivered updater. A delivery
    // folder that is a link was not applied, and is not entered. The outcome is recorded
    // first, and the manifest goes first: a run killed in between leaves the record and no
    // delivery that a later run could take for a new one.
    if (recordOutcome && OutcomeWorthRecording(result)) WriteOutcomeRecord(result);
    RemoveManifest(*manifestFolder);
    DeleteFolderTree(*manifestFolder);
  }
  return true;
}

}  // namespace

void ApplyDeliveredUpdate(const std::wstring& dataTempFolder, std::wstring& rootFolder,
                          ApplyOutcome* outcome,
                          const std::function<void()>& endMainApplication) {
  ApplyOutcome ignored;
  ApplyOutcome& result = outcome ? *outcome : ignored;
  result = ApplyOutcome();
  result.result = ApplyResult::kNotStarted;
  // Once, before the first change to what the main application uses.
  bool ended = false;
  const auto endMain = [&] {
    if (ended || !endMainApplication) return;
    ended = true;
    endMainApplication();
  };
  // The update service may be applying to this installation: never both at once. Nothing is
  // touched, and the delivery waits for the next start.
  bool delivered = false;
  if (!WithInstallationLock(rootFolder, [&] {
        delivered = RepairAndApply(dataTempFolder, rootFolder, result, outcome != nullptr, endMain);
      })) {
    WriteLog("keep delivery : " + WideToNarrow(rootFolder) +
             " : another update of this installation runs");
    result = ApplyOutcome();
    result.result = ApplyResult::kNotStarted;
    result.reason = ApplyReason::kHeld;
    result.keepDelivery = true;
    return;
  }
  // Without a manifest folder nothing else is done, not even the migration.
  if (!delivered) {
    endMain();
    return;
  }
  // 8. An installation of the earlier brand moves to the current one: its folder is renamed,
  // which no running program may hold (nor the lock, let go above).
  if (rootFolder.find(kEarlierBrand) != std::wstring::npos) endMain();
  MigrateEarlierBrand(rootFolder);
}

void RunUpdate(std::wstring& rootFolder, ApplyOutcome& outcome) {
  // 1. An empty root folder makes every path relative: let them land in the temporary folder.
  SetCurrentDirectoryW(GetTempFolder().c_str());
  // 4. The root folder as the platform writes it; then steps 4 to 8, which end the main
  // application (steps 2 and 3) right before they first touch what it uses.
  rootFolder = ReplaceAll(rootPathArg, L"/", L"\\");
  ApplyDeliveredUpdate(GetDataTempFolder(), rootFolder, &outcome, [] {
    // 2. Nothing may hold the files about to be replaced, nor may a first stage still run.
    KillProcessByName(kEarlierMainAppProcess);
    KillProcessByName(kMainAppProcess);
    KillProcessByName(kDeliveredUpdaterProcess);
    // 3. The ended processes are not watched; they get this long to let go of their files.
    Sleep(waitForEndedProcessesMs);
  });
  // 9. The entry starts the main application from rootFolder.
}

void SetEndedProcessesWaitForTesting(DWORD milliseconds) {
  waitForEndedProcessesMs = milliseconds;
}

void RunUpdate(std::wstring& rootFolder) {
  ApplyOutcome outcome;
  RunUpdate(rootFolder, outcome);
}
