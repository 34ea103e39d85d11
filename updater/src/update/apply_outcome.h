#pragma once
// How one run's update ended, as the update tells it to whoever writes the outcome record.

#include <cstdint>
#include <string>

enum class ApplyResult { kApplied, kRefused, kRolledBack, kRecovered, kNotStarted };

// One cause per case the updater tells apart.
enum class ApplyReason {
  kNone,
  kNoList,         // applied best effort, entry by entry
  kListInvalid,
  kFileDiffers,    // a delivered file cut short or changed
  kUnlistedEntry,
  kBaseDiffers,    // a patch's base is not the installed file
  kNoSignature,
  kBadSignature,
  kNotNewer,       // a release not above the last one applied
  kHeld,           // a file or record another program holds
  kDisk,           // a staged copy or the journal could not be written
  kMemory,
  kUnsafeFolder,
  kInterrupted,    // an earlier run was killed and is repaired
  kDeclined,       // the user refused the elevation
  kStartFailed,
};

struct ApplyOutcome {
  ApplyResult result = ApplyResult::kApplied;
  ApplyReason reason = ApplyReason::kNone;
  std::uint64_t release = 0;  // the hash list's; 0 without one
  std::string file;           // relative, "/" between levels; empty when no file is to blame
  // The delivery stays for the next run (what blocked it may pass: a held record or journal, a
  // repair that could not finish), instead of being removed with the run.
  bool keepDelivery = false;
};
