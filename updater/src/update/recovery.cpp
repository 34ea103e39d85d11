#include "update/recovery.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/delivery_keys.h"
#include "base/disk_changes.h"
#include "base/file_copy.h"
#include "base/handles.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"
#include "update/release_record.h"

namespace {

const wchar_t kLeftovers[] = L".vintrel\\leftovers";
constexpr std::size_t kMaxLeftoversBytes = 16u << 20;

// Step i's swap undone: a staged copy swapped in goes back to its staged name, and the file it
// replaced or the deletion moved aside back to its own. Only what the journal named is moved,
// and nothing is ever replaced, so undoing twice is undoing once.
bool UndoSwap(const std::wstring& rootFolder, const JournalStep& step) {
  const std::wstring file = PathBelowRoot(rootFolder, step.relative);
  if (file.empty()) return false;
  if (step.kind == JournalStep::Kind::kUpdate) {
    const std::wstring staged = PathBelowRoot(rootFolder, step.staged);
    // While the journal says swapping, only the swap takes a staged copy away.
    if (staged.empty() ||
        (!ItemStandsAt(staged) && ItemStandsAt(file) && !RenameWithoutReplacing(file, staged))) {
      return false;
    }
  }
  if (!step.existed) return true;
  const std::wstring backup = PathBelowRoot(rootFolder, step.backup);
  return !backup.empty() && (!ItemStandsAt(backup) || RenameWithoutReplacing(backup, file));
}

void RemoveFolder(const std::wstring& rootFolder, const MadeFolder& folder) {
  const std::wstring path = PathBelowRoot(rootFolder, folder.relative);
  if (!path.empty() && RemoveDirectoryW(path.c_str())) NoteDiskChange();
}

enum class ListRead { kNone, kRead, kUnreadable };

// The backups earlier applies could not remove yet, below the root folder.
ListRead ReadLeftovers(const std::wstring& rootFolder, std::vector<std::string>& leftovers) {
  leftovers.clear();
  const FileHandle list(CreateFileW(PathBelowRoot(rootFolder, kLeftovers).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!list.valid()) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ListRead::kNone
                                                                          : ListRead::kUnreadable;
  }
  std::string text;
  return ReadOpenFile(list.get(), kMaxLeftoversBytes, text) == ReadResult::kRead &&
                 ParseLeftovers(text, leftovers)
             ? ListRead::kRead
             : ListRead::kUnreadable;
}

bool WriteLeftovers(const std::wstring& rootFolder, const std::vector<std::string>& leftovers) {
  const std::wstring path = PathBelowRoot(rootFolder, kLeftovers);
  if (leftovers.empty()) return RemoveIfThere(path);
  return MakeJournalFolder(rootFolder) && ReplaceFileDurably(path, FormatLeftovers(leftovers));
}

// Removes what can be removed of the listed leftovers; the rest stays listed. A list that
// cannot be read stays as it is, and so do its backups. Never the journal: one the recovery
// could not act on must stay until a recovery does.
void RemoveLeftovers(const std::wstring& rootFolder) {
  std::vector<std::string> leftovers, remaining;
  if (ReadLeftovers(rootFolder, leftovers) != ListRead::kRead) return;
  for (const std::string& relative : leftovers) {
    if (!RemoveIfThere(PathBelowRoot(rootFolder, relative))) remaining.push_back(relative);
  }
  if (remaining.size() != leftovers.size() && WriteLeftovers(rootFolder, remaining) &&
      remaining.empty()) {
    RemoveJournalFolderIfEmpty(rootFolder);
  }
}

}  // namespace

bool RollBack(const std::wstring& rootFolder, Journal& journal) {
  if (journal.state == JournalState::kCommitted) return false;
  if (journal.state == JournalState::kSwapping) {
    for (std::size_t i = journal.steps.size(); i-- > 0;) {
      if (!UndoSwap(rootFolder, journal.steps[i])) return false;
      for (std::size_t f = journal.madeFolders.size(); f-- > 0;) {
        if (journal.madeFolders[f].step == i) RemoveFolder(rootFolder, journal.madeFolders[f]);
      }
    }
    // From here on a missing staged copy means removed, no longer swapped in.
    journal.state = JournalState::kRolledBack;
    if (!WriteJournal(rootFolder, journal)) return false;
  }
  bool whole = true;
  for (const JournalStep& step : journal.steps) {
    if (step.kind != JournalStep::Kind::kUpdate) continue;
    const std::wstring staged = PathBelowRoot(rootFolder, step.staged);
    whole = !staged.empty() && RemoveIfThere(staged) && whole;
  }
  for (std::size_t f = journal.madeFolders.size(); f-- > 0;) {
    RemoveFolder(rootFolder, journal.madeFolders[f]);
  }
  return whole;
}

Finish FinishCommitted(const std::wstring& rootFolder, const Journal& journal) {
  if (CompiledDeliveryKeys().count > 0 && journal.release > 0) {
    std::uint64_t recorded = 0;
    const ReleaseRecordRead read = ReadReleaseRecord(rootFolder, recorded);
    if (read == ReleaseRecordRead::kUnreadable ||
        (recorded < journal.release && !WriteReleaseRecord(rootFolder, journal.release))) {
      WriteLog("finish update : the release record cannot be read or written, finished at the "
               "next run");
      return Finish::kBlocked;
    }
  }
  std::vector<std::string> held;
  for (const JournalStep& step : journal.steps) {
    if (!step.existed) continue;
    const std::wstring backup = PathBelowRoot(rootFolder, step.backup);
    if (backup.empty() || !RemoveIfThere(backup)) held.push_back(step.backup);
  }
  if (!held.empty()) {
    // Kept by a program still running: listed, so that the journal can go and the next update
    // is not held up; a later run removes them. A list that cannot be read is not written
    // over: the backups it names would stay for good.
    std::vector<std::string> leftovers;
    const bool read = ReadLeftovers(rootFolder, leftovers) != ListRead::kUnreadable;
    for (const std::string& backup : held) {
      // Listed once, also when a kill cut an earlier finish after the list was written.
      if (std::find(leftovers.begin(), leftovers.end(), backup) == leftovers.end()) {
        leftovers.push_back(backup);
      }
    }
    if (!read || !WriteLeftovers(rootFolder, leftovers)) {
      WriteLog("finish update : " + WideToNarrow(Utf8ToWide(held.front())) +
               " : cannot be removed nor listed, finished at the next run");
      return Finish::kBlocked;
    }
  }
  RemoveJournal(rootFolder);
  return Finish::kDone;
}

Recovery RecoverInterruptedUpdate(const std::wstring& rootFolder, ApplyOutcome& outcome) {
  // What a kill left of a record being written is never read: it goes first.
  RemoveRecordsBeingWritten(rootFolder);
  Journal journal;
  const JournalRead read = ReadJournal(rootFolder, journal);
  Recovery recovery = Recovery::kRepaired;
  outcome.result = ApplyResult::kRecovered;
  outcome.reason = ApplyReason::kInterrupted;
  outcome.release = journal.release;
  if (read == JournalRead::kNone) {
    recovery = Recovery::kNothing;
  } else if (read == JournalRead::kUnreadable) {
    // Held by another program, or denied: what it says cannot be known, so nothing is applied
    // over it; it is read again at the next run.
    WriteLog("recover update : the journal cannot be read, kept; nothing applied until it can");
    outcome.reason = ApplyReason::kHeld;
    recovery = Recovery::kBlocked;
  } else if (read == JournalRead::kInvalid) {
    WriteLog("recover update : the journal breaks its rules, kept; nothing applied");
    recovery = Recovery::kBlocked;
  } else if (journal.state == JournalState::kCommitted) {
    if (FinishCommitted(rootFolder, journal) == Finish::kBlocked) {
      recovery = Recovery::kBlocked;
    } else {
      // The update is in place: that is what the run reports, whatever the delivery then gets.
      WriteLog("recover update : interrupted update finished");
      outcome.result = ApplyResult::kApplied;
      outcome.reason = ApplyReason::kNone;
    }
  } else if (!RollBack(rootFolder, journal)) {
    WriteLog("recover update : roll back incomplete, tried again at the next run");
    recovery = Recovery::kBlocked;
  } else {
    RemoveJournal(rootFolder);
    WriteLog("recover update : interrupted update rolled back");
  }
  if (recovery == Recovery::kBlocked) {
    outcome.result = ApplyResult::kNotStarted;
    outcome.keepDelivery = true;
  }
  RemoveLeftovers(rootFolder);
  return recovery;
}
