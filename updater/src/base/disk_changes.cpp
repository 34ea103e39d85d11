#include "base/disk_changes.h"

namespace {

DiskChangeHook diskChangeHook = nullptr;

}  // namespace

void NoteDiskChange() {
  if (diskChangeHook) diskChangeHook();
}

void SetDiskChangeHookForTesting(DiskChangeHook hook) { diskChangeHook = hook; }
