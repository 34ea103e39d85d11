#pragma once
// Every change the second stage makes to the disk on the update's road (a rename, a removal, a
// file or folder made, each record's temporary file and its rename, the outcome record, the
// earlier brand's folder rename) is announced here, right after it is made. Only a test build
// listens: it ends the process after a chosen change, to prove that the next run repairs a
// process killed at any point. A killed process keeps what it wrote in the system's cache: a
// power cut rests on the flush order as well (docs/updater.md, "What a power cut can still cost").

using DiskChangeHook = void (*)();

// Called after each such change; nothing happens unless a test build set a hook.
void NoteDiskChange();

// Installed by the test build's entry only, before the stages run.
void SetDiskChangeHookForTesting(DiskChangeHook hook);
