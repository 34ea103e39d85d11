#pragma once
// Putting an installation right from its journal: the swaps of an apply that did not commit
// undone, what a committed one left finished, and the backups a held file kept removed by a
// later run. Each acts only on names the journal (or the list of leftovers) recorded.

#include <string>

#include "update/apply_outcome.h"
#include "update/journal.h"

// Puts back what an apply that was not committed changed, from what is on disk: every swap
// undone in reverse order (each folder it made removed right after the steps made in it), the
// journal marked rolled back, then the staged copies removed. Running it again after a kill
// part-way finishes the work. False when something could not be put back or removed (the
// journal stays, for the next run).
bool RollBack(const std::wstring& rootFolder, Journal& journal);

enum class Finish { kDone, kBlocked };

// Finishes a committed apply: its release recorded (a build with keys), its backups removed, or
// those a running program still holds listed as leftovers for later runs, and the journal
// removed. kBlocked, with a log line, when the record cannot be read or written or the
// leftovers cannot be listed: the journal stays, and no other delivery is applied until then.
Finish FinishCommitted(const std::wstring& rootFolder, const Journal& journal);

enum class Recovery {
  kNothing,    // no journal
  kRepaired,   // an interrupted apply rolled back, or a committed one finished
  kBlocked,    // the journal stays (unreadable, breaking a rule, or the repair not finished):
               // no delivery may be applied in this run
};

// At the start of a run: the journal acted on, each with one log line; then the leftovers of
// earlier applies removed where they can be now. outcome says how (interrupted, held).
Recovery RecoverInterruptedUpdate(const std::wstring& rootFolder, ApplyOutcome& outcome);
