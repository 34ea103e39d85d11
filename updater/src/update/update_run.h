#pragma once
// The second stage's work: end the main application, apply the manifest, clean up, migrate.

#include <windows.h>

#include <functional>
#include <string>

#include "update/apply_outcome.h"

// Runs the update and sets rootFolder (given empty) to the folder from which the main
// application is to be started.
void RunUpdate(std::wstring& rootFolder);
// The same, telling how the update ended.
void RunUpdate(std::wstring& rootFolder, ApplyOutcome& outcome);

// The update's steps after the wait, for the delivery in dataTempFolder and the root folder
// already set: repair an update killed part-way, apply the manifest, remove the manifest
// folder (unless what blocked the delivery may pass at the next run), migrate. rootFolder may
// change. outcome, when given, says how the update ended (kNotStarted with no delivery).
// endMainApplication ends the main application and waits; it is called once, before anything
// the main application uses is touched: before a repair, the entries of a delivery without a
// list, a listed delivery's swaps (after it was verified and staged), the migration; or when
// there is no delivery at all. A delivery refused while verified or staged ends nothing.
void ApplyDeliveredUpdate(const std::wstring& dataTempFolder, std::wstring& rootFolder,
                          ApplyOutcome* outcome = nullptr,
                          const std::function<void()>& endMainApplication = nullptr);

// Acts on each entry of manifestFolder's UpdateInfo.ini as soon as it is read: copies the
// "UpdatedFiles:" from manifestFolder to rootFolder and deletes the "DeletedFiles:" below
// rootFolder. An entry that would reach outside either folder, or a delivered file that is a
// link, lies behind one or has a second name, is skipped with a log line. False, with a log
// line and nothing applied, when manifestFolder or the data folder above it is a link. A
// delivery that carries its hash list is applied all or nothing instead (ApplyListedDelivery),
// and false when it is to stay for the next run. outcome, when given, says how it ended.
bool ApplyManifest(const std::wstring& manifestFolder, const std::wstring& rootFolder,
                   ApplyOutcome* outcome = nullptr,
                   const std::function<void()>& endMainApplication = nullptr);

// The wait after the processes are ended; only the test build that kills itself at every step
// shortens it, as nothing runs there to be waited for.
void SetEndedProcessesWaitForTesting(DWORD milliseconds);
