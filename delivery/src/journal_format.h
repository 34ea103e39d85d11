#pragma once
// The updater's journal of a listed apply (<root>\.vintrel\journal) and the list of leftovers
// beside it, as text: byte-level and free of platform calls, so that the one reader of each is
// tested and fuzzed natively. Paths are UTF-8, relative to the installation root, "\" between
// levels.
//
//   vintrel-journal 2
//   state <staging|swapping|rolled-back|committed>
//   release <N>
//   folder <step>\t<path>                       a folder made right before step is swapped in
//   update <0|1>\t<path>\t<staged>\t<backup>     1 when a file stood at path before the step
//   delete <0|1>\t<path>\t<backup>
//
// Lines end in LF. The first updaters wrote "vintrel-journal 1": no release line, "folder
// <path>", "update <0|1> <path>\t<staged>" and "delete <0|1> <path>", every backup named
// "<path>.vintrel-old-<step>"; it is still read.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class JournalState {
  kStaging,     // staged copies being made; the installation is untouched
  kSwapping,    // installed files being renamed to backups and staged copies into place
  kRolledBack,  // every swap undone; staged copies and made folders left to remove
  kCommitted,   // the update stands; backups are left to remove and the release to record
};

struct JournalStep {
  enum class Kind { kUpdate, kDelete };
  Kind kind;
  std::string relative;  // the file below the root folder
  bool existed;          // a file stood there before this step
  std::string staged;    // an update's staged copy below the root folder: beside the file, or
                         // in the nearest folder above it that stands before the update
  std::string backup;    // where the file that stood there goes, beside it (when it existed)
};

struct MadeFolder {
  std::size_t step;      // made right before this step is swapped in
  std::string relative;  // below the root folder
};

struct Journal {
  JournalState state = JournalState::kStaging;
  std::uint64_t release = 0;            // the hash list's release; 0 for none
  std::vector<MadeFolder> madeFolders;  // in the order they are made
  std::vector<JournalStep> steps;       // in the manifest's order
};

// Whether a relative path may stand in the journal or the leftovers: valid UTF-8, levels split
// by "\" only, none empty, "." or "..", and no "/", ":" or control character, so that it names
// one item below the root and nothing else.
bool IsPlainJournalPath(const std::string& utf8);

// The journal's text, and the reverse: false when any rule is broken (a path that is not plain,
// a folder's step past the last step, an unknown line, a cut line).
std::string FormatJournal(const Journal& journal);
bool ParseJournal(const std::string& text, Journal& journal);

// The leftovers: backups that a program still held when their apply committed, removed by a
// later run. "vintrel-leftovers 1", then one plain path a line, each ending in LF.
std::string FormatLeftovers(const std::vector<std::string>& leftovers);
bool ParseLeftovers(const std::string& text, std::vector<std::string>& leftovers);
