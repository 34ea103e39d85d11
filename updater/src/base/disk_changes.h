#pragma once
// Every change the second stage makes to the disk on the update's road (a rename, a removal, a
// file or folder made, the journal or a record written) is announced here, right after it is
// made. Only a test build listens: it ends the process after a chosen change, to prove that the
// next run repairs a kill at any point.

using DiskChangeHook = void (*)();

// Called after each such change; nothing happens unless a test build set a hook.
void NoteDiskChange();

// Installed by the test build's entry only, before the stages run.
void SetDiskChangeHookForTesting(DiskChangeHook hook);
