#pragma once
// A delivery that carries its hash list (UpdateInfo.sha256) is applied all or nothing, in four
// steps that each take the apply as one value: trust (the list, its signature and release, the
// manifest and every entry checked), stage (each file verified and copied beside its
// destination under a journal), swap (installed files renamed to backups and staged copies into
// place) and commit, or roll back whole when any of them fails.

#include <functional>
#include <string>
#include <vector>

#include "base/delivery_keys.h"
#include "base/handles.h"
#include "hash_list.h"
#include "update/apply_outcome.h"
#include "update/journal.h"
#include "update/release_record.h"

// One entry of the manifest as the listed apply carries it out.
struct PlannedStep {
  JournalStep::Kind kind;
  std::string written;        // the entry as the manifest holds it, for the log
  std::wstring source;        // the delivered file as the log names it (updates)
  std::wstring destination;   // the installed file as the log names it
  std::wstring relative;      // the installed file below the root folder
  const ListedFile* listed;   // the list's line for the delivered file (updates)
  bool createsFolder;         // the one missing folder level above it is made (updates)
};

struct ListedApply {
  std::wstring manifestFolder;     // the delivery folder as the log names it
  std::wstring deliveryFinalPath;  // the held delivery folder's final path
  std::wstring rootFolder;
  HashList list;
  std::vector<PlannedStep> steps;     // trusted
  Journal journal;                    // staged: the names of every copy and backup
  std::vector<FileHandle> stagedCopies;  // step i's copy, held until renamed into place
  ApplyOutcome outcome;
};

// Whether the delivery folder (its final path) carries a hash list: then it is applied only by
// ApplyListedDelivery. A build with keys takes nothing unsigned: every delivery goes that way.
// A folder without a manifest is no delivery: false.
bool HasHashList(const std::wstring& deliveryFinalPath);

// Applies the listed delivery in deliveryFinalPath (manifestFolder is its path as the log names
// it) to rootFolder, with the log line of each entry. Anything wrong refuses the delivery whole,
// or rolls every swap back, with one log line naming the file and the reason: the installation
// is then as it was. The outcome says which, and whether the delivery stays for the next run.
// beforeSwaps (ending the main application) runs once every file is verified and staged, and
// only then: a delivery refused before it ends nothing.
ApplyOutcome ApplyListedDelivery(const std::wstring& manifestFolder,
                                 const std::wstring& deliveryFinalPath,
                                 const std::wstring& rootFolder,
                                 const std::function<void()>& beforeSwaps = nullptr);

// A delivery's hash list as the elevated stage takes it: its exact bytes read through a checked
// handle and, with keys, a compiled key's signature (UpdateInfo.sig) verified over them before
// anything in them is read; then parsed.
struct DeliveryList {
  std::string bytes;      // as read, and verified when keys are given
  std::string signature;  // as read; empty without keys
  HashList list;
};

// Reads the list of the delivery in deliveryFinalPath. False when it cannot be taken: why, the
// file it concerns and the reason in words say so.
bool ReadDeliveryList(const std::wstring& deliveryFinalPath, const DeliveryKeySet& keys,
                      DeliveryList& read, ApplyReason& why, std::string& file,
                      std::string& reason);

// Within trust: a whole release's base (hash list format 3) against the installation, while the
// main application still runs. With keys a list of another format is refused, a partial
// delivery applies only onto the recorded release (record, recorded: the release record as
// read), and a full one onto an installation with no record only when its main application's
// file version is not above the listed one; in any build every kept file must be installed
// with its listed size and SHA-256. False once refused (base-differs, not-newer, held).
bool CheckReleaseBase(ListedApply& apply, bool keys, ReleaseRecordRead record,
                      std::uint64_t recorded);

// Within trust, for a full delivery: drops the updates whose file is installed already with its
// listed size and SHA-256 (each said in the log), so that a full delivery over a near release
// stages only what differs.
void SkipInstalledFiles(ListedApply& apply);

// The four steps, for ApplyListedDelivery. Each returns false once the apply has ended, its
// outcome and log line given.
bool TrustDelivery(ListedApply& apply);
bool StageDelivery(ListedApply& apply);
bool SwapIn(ListedApply& apply);
void Commit(ListedApply& apply);

// Ends the apply after staging began: every swap undone and every staged copy removed (or, when
// that cannot finish, left to the next run with the delivery kept), one log line, the outcome.
void Abandon(ListedApply& apply, ApplyReason why, const std::string& file,
             const std::string& reason);
