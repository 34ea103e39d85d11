#pragma once
// The journal of a listed delivery's apply, kept inside the installation (<root>\.vintrel\),
// where only an administrator can write, never in the delivery folder: what the apply is about
// to do, so that a run killed at any point is put right by the next one.

#include <cstddef>
#include <string>
#include <vector>

enum class JournalState {
  kStaging,    // staged copies being made; the installation is untouched
  kSwapping,   // installed files being renamed to backups and staged copies into place
  kCommitted,  // the update stands; backups and staged copies are left to remove
};

struct JournalStep {
  enum class Kind { kUpdate, kDelete };
  Kind kind;
  std::wstring relative;  // the file below the root folder, "\" between levels
  bool existed;           // a file stood there before this step
  std::wstring staged;    // an update's staged copy below the root folder: beside the file, or
                          // in the nearest folder above it that stands before the update
};

struct Journal {
  JournalState state = JournalState::kStaging;
  std::vector<std::wstring> madeFolders;  // below the root folder, in the order they are made
  std::vector<JournalStep> steps;         // in the manifest's order; step i's files carry i
};

// The full path (in the form file calls take literally) of relative below rootFolder.
std::wstring PathBelowRoot(const std::wstring& rootFolder, const std::wstring& relative);

// The name of step's staged copy of file (a name without folder), and the full path of the
// backup of the file it replaces or deletes: beside that file, on its volume.
std::wstring StagedCopyName(const std::wstring& fileName, std::size_t step);
std::wstring BackupPath(const std::wstring& file, std::size_t step);

// Replaces the file at path with bytes so that a power cut leaves the old file or the new one:
// written whole into a temporary file beside it, flushed to the disk, and moved into place with
// write-through (tried three times, 100 ms apart, as a scanner may hold the file). False when
// the new one could not be put in place.
bool ReplaceFileDurably(const std::wstring& path, const std::string& bytes);

// Writes the journal whole into a temporary file, flushes it to the disk and moves it into place
// with write-through, so that a journal on disk is always a complete one. False when it cannot
// be written.
bool WriteJournal(const std::wstring& rootFolder, const Journal& journal);

// Puts back what an apply that was not committed changed, from what is on disk: every step in
// reverse order, then the folders it made; staged copies removed. Running it again after a kill
// part-way finishes the work. False when a file could not be put back (the journal stays, for
// the next run).
bool RollBack(const std::wstring& rootFolder, const Journal& journal);

// Removes what a committed apply left: the backups (every staged copy was renamed into place
// before the commit). False when one cannot be removed yet (a backup of a program still
// running): the journal stays, for the next run.
bool CleanUpCommitted(const std::wstring& rootFolder, const Journal& journal);

// Removes the journal and, when nothing else is in it, its folder.
void RemoveJournal(const std::wstring& rootFolder);

// At the start of a run: an apply that was killed before its commit is rolled back, a committed
// one cleaned up, each with a log line. Nothing when there is no journal.
void RecoverInterruptedUpdate(const std::wstring& rootFolder);
