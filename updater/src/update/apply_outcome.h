#pragma once
// How one run's update ended, as the update tells it to the outcome record's writer: the
// record's result and reason codes, and whether the delivery stays for the next run.

#include <cstdint>
#include <string>

#include <vintrel/update_outcome.h>

using ApplyResult = vintrel::UpdateOutcomeResult;
using ApplyReason = vintrel::UpdateOutcomeReason;

struct ApplyOutcome {
  ApplyResult result = ApplyResult::kApplied;
  ApplyReason reason = ApplyReason::kNone;
  std::uint64_t release = 0;  // the hash list's; 0 without one
  std::string file;           // relative, "/" between levels; empty when no file is to blame
  // The delivery stays for the next run (what blocked it may pass: a held record or journal, a
  // repair that could not finish), instead of being removed with the run.
  bool keepDelivery = false;
};
