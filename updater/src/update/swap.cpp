// Swapping: under the journal, in the manifest's order, each installed file renamed to its
// backup and each staged copy renamed into place (a running or loaded program can be renamed
// where it could not be overwritten); then the commit, or every swap undone.

#include <windows.h>

#include "base/checked_items.h"
#include "base/disk_changes.h"
#include "base/file_copy.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"
#include "update/delivered_files.h"
#include "update/listed_apply.h"
#include "update/recovery.h"

namespace {

const char kManifestName[] = "UpdateInfo.ini";

// Step i swapped in: the installed file to its backup, the staged copy into its place (through
// the handle held on it since staging), the one missing folder above it made first.
bool SwapStep(ListedApply& apply, size_t i) {
  const PlannedStep& step = apply.steps[i];
  const JournalStep& planned = apply.journal.steps[i];
  const std::wstring file = PathBelowRoot(apply.rootFolder, step.relative);
  const std::wstring backup = PathBelowRoot(apply.rootFolder, planned.backup);
  if (step.kind == JournalStep::Kind::kDelete) {
    WriteLog("delete file : " + WideToNarrow(step.destination));
    return !planned.existed || RenameWithoutReplacing(file, backup);
  }
  WriteLog("copy file from : " + WideToNarrow(step.source) + ",to :" +
           WideToNarrow(step.destination));
  for (const MadeFolder& folder : apply.journal.madeFolders) {
    const std::wstring path = PathBelowRoot(apply.rootFolder, folder.relative);
    if (folder.step == i && !FolderStandsAt(path) && CreateDirectoryW(path.c_str(), nullptr)) {
      NoteDiskChange();
    }
  }
  const bool swapped = (!planned.existed || RenameWithoutReplacing(file, backup)) &&
                       RenameThroughHandle(apply.stagedCopies[i].get(), file);
  if (swapped) NoteDiskChange();
  apply.stagedCopies[i].reset();
  return swapped;
}

}  // namespace

void Abandon(ListedApply& apply, ApplyReason why, const std::string& file,
             const std::string& reason) {
  // The staged copies are held without sharing: let go before they are moved or removed.
  apply.stagedCopies.clear();
  const bool staging = apply.journal.state == JournalState::kStaging;
  const bool whole = RollBack(apply.rootFolder, apply.journal);
  if (whole) RemoveJournal(apply.rootFolder);
  WriteLog((staging ? "refuse delivery : " : "roll back update : ") + file + " : " + reason +
           (whole ? (staging ? "" : ", every file put back")
                  : " (roll back incomplete, repaired at the next run)"));
  apply.outcome.result = staging ? ApplyResult::kRefused : ApplyResult::kRolledBack;
  apply.outcome.reason = why;
  apply.outcome.file = OutcomePath(file);
  // What is left is repaired by the next run, which needs the delivery to apply it then.
  apply.outcome.keepDelivery = !whole;
}

bool SwapIn(ListedApply& apply) {
  apply.journal.state = JournalState::kSwapping;
  if (!WriteJournal(apply.rootFolder, apply.journal)) {
    apply.journal.state = JournalState::kStaging;
    Abandon(apply, ApplyReason::kDisk, kManifestName, "the journal cannot be written");
    return false;
  }
  for (size_t i = 0; i < apply.steps.size(); ++i) {
    if (!SwapStep(apply, i)) {
      Abandon(apply, ApplyReason::kHeld, apply.steps[i].written,
              "cannot be renamed (error " + Decimal(GetLastError()) + ")");
      return false;
    }
  }
  return true;
}

void Commit(ListedApply& apply) {
  apply.journal.state = JournalState::kCommitted;
  if (!WriteJournal(apply.rootFolder, apply.journal)) {
    apply.journal.state = JournalState::kSwapping;
    Abandon(apply, ApplyReason::kDisk, kManifestName, "the journal cannot be committed");
    return;
  }
  apply.outcome.result = ApplyResult::kApplied;
  apply.outcome.reason = ApplyReason::kNone;
  // The update stands. What is left of the old files, and the release record, follow now or,
  // when something holds them, at a later run: the journal says what.
  FinishCommitted(apply.rootFolder, apply.journal);
}
