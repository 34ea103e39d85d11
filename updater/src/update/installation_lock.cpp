#include "update/installation_lock.h"

#include <windows.h>

#include "base/disk_changes.h"
#include "base/handles.h"
#include "update/journal.h"

namespace {

const wchar_t kLockName[] = L"\\lock";

}  // namespace

bool WithInstallationLock(const std::wstring& rootFolder, const std::function<void()>& work) {
  const std::wstring lockPath = PathBelowRoot(rootFolder, std::wstring(L".vintrel") + kLockName);
  const DWORD rootAttributes = GetFileAttributesW(rootFolder.c_str());
  if (lockPath.empty() || rootAttributes == INVALID_FILE_ATTRIBUTES ||
      !(rootAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    work();
    return true;
  }
  // A user cannot open it, and so cannot hold it.
  RecordSecurity security;
  if (!security.attributes()) return false;
  if (!MakeJournalFolder(rootFolder)) return false;
  {
    // Deleted when closed, also by the end of a killed process: a lock never outlives its run.
    const FileHandle lock(CreateFileW(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0,
                                      security.attributes(), OPEN_ALWAYS,
                                      FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
    if (!lock.valid()) return false;
    work();
  }
  // The folder goes when the lock was all it held, as it goes with the journal otherwise.
  if (RemoveDirectoryW(JournalFolderPath(rootFolder).c_str())) NoteDiskChange();
  return true;
}
