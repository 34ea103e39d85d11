#pragma once
// The journal of a listed delivery's apply, kept inside the installation (<root>\.vintrel\),
// where only an administrator can write, never in the delivery folder: what the apply is about
// to do, under names of its own, so that a run killed at any point is put right by the next one.

#include <windows.h>

#include <cstddef>
#include <string>

#include "journal_format.h"

// The full path (in the form file calls take literally) of relative below rootFolder; empty
// when relative is not plain (IsPlainJournalPath) or the path would not stay below the root
// folder as written. The journal's paths are UTF-8.
std::wstring PathBelowRoot(const std::wstring& rootFolder, const std::wstring& relative);
std::wstring PathBelowRoot(const std::wstring& rootFolder, const std::string& utf8Relative);

// The names an apply gives its staged copy of file (a name without folder) and the backup of the
// file a step replaces or deletes: the apply's own mark (fresh for each apply) and the step.
std::wstring StagedCopyName(const std::wstring& fileName, const std::wstring& mark,
                            std::size_t step);
std::wstring BackupName(const std::wstring& relative, const std::wstring& mark, std::size_t step);

// The security of the updater's records in <root>\.vintrel (the journal, the leftovers, the
// release and the installation's lock): SYSTEM and Administrators alone, not inherited, so that no
// program of a user can open one, and so none can hold one and keep every user's updates waiting.
// attributes() is null when the descriptor cannot be made: the record is then not written.
class RecordSecurity {
 public:
  RecordSecurity();
  ~RecordSecurity();
  RecordSecurity(const RecordSecurity&) = delete;
  RecordSecurity& operator=(const RecordSecurity&) = delete;
  SECURITY_ATTRIBUTES* attributes() { return descriptor_ ? &attributes_ : nullptr; }

 private:
  void* descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_ = {};
};

// Replaces the file at path with bytes so that a power cut leaves the old file or the new one:
// written whole into a temporary file beside it, flushed to the disk, and moved into place with
// write-through (tried three times, 100 ms apart, as a scanner may hold the file), with the
// records' security. False when the new one could not be put in place.
bool ReplaceFileDurably(const std::wstring& path, const std::string& bytes);

// A rename that a file held by another program may block for a moment (three tries, 100 ms
// apart); it never replaces: what stands at to stays, and the rename fails.
bool RenameWithoutReplacing(const std::wstring& from, const std::wstring& to);

// Removes a file of the apply's own that may be missing, read-only or not; false when it is
// there and stays.
bool RemoveIfThere(const std::wstring& path);

// The journal's folder below rootFolder (<root>\.vintrel); empty when the root is no plain path.
std::wstring JournalFolderPath(const std::wstring& rootFolder);

// The journal's folder below rootFolder, made when missing (with the installation's
// permissions, which it inherits); false when it cannot be made.
bool MakeJournalFolder(const std::wstring& rootFolder);

// Writes the journal whole, durably (ReplaceFileDurably). False when it cannot be written.
bool WriteJournal(const std::wstring& rootFolder, const Journal& journal);

enum class JournalRead {
  kNone,        // there is no journal
  kRead,        // read and every rule kept
  kUnreadable,  // there, but it cannot be opened or read whole (held, denied, cut)
  kInvalid,     // read, but it breaks a rule: nothing in it is acted on
};

// Reads the journal of rootFolder. Only "does not exist" is kNone.
JournalRead ReadJournal(const std::wstring& rootFolder, Journal& journal);

// Removes the journal and, when nothing else is in it, its folder.
void RemoveJournal(const std::wstring& rootFolder);

// Removes the journal's folder when nothing is in it.
void RemoveJournalFolderIfEmpty(const std::wstring& rootFolder);

// Removes the temporary files that a kill left of the journal, the leftovers list and the
// release record while one was being replaced (ReplaceFileDurably); never the records.
void RemoveRecordsBeingWritten(const std::wstring& rootFolder);
