#pragma once
// The outcome record, %APPDATA%\OrbeskVintrel\update-outcome.txt: how the last run of the
// updater that did or refused anything ended, for the main application to read at its next
// start (vintrel/update_outcome.h). The updater never reads it back.

#include "update/apply_outcome.h"

// Whether a run with this outcome did or refused anything, and so writes the record.
bool OutcomeWorthRecording(const ApplyOutcome& outcome);

// Replaces the record whole with outcome (time: now): written to a temporary file beside it and
// moved into place, both through the held data folder's handle, as the second stage writes its
// log: nothing is written through a link or into a second name of another file. False when it
// could not be written; the update does not depend on it.
bool WriteOutcomeRecord(const ApplyOutcome& outcome);
