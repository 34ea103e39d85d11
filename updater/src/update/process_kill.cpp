#include "update/process_kill.h"

#include <windows.h>
#include <tlhelp32.h>

#include <string>

#include "base/handles.h"
#include "base/text.h"

namespace {

constexpr UINT kKilledExitCode = 9;

// Calls onProcess with the id of every running process whose executable name is name, in
// snapshot order, until it returns false.
template <typename OnProcess>
void ForEachProcessNamed(const char* name, const OnProcess& onProcess) {
  if (!name) return;
  // Compared as wide text: a process name that code page 936 cannot hold must never match
  // through a lossy conversion of it.
  const std::wstring wanted = NarrowToWide(name);
  if (wanted.empty()) return;

  SnapshotHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPALL, 0));
  if (!snapshot.valid()) return;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL found = Process32FirstW(snapshot.get(), &entry); found;
       found = Process32NextW(snapshot.get(), &entry)) {
    if (wanted == entry.szExeFile && !onProcess(entry.th32ProcessID)) return;
  }
}

}  // namespace

void KillProcessByName(const char* name) {
  ForEachProcessNamed(name, [](DWORD id) {
    // A process that has gone or that we may not end is passed over.
    ProcessHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, id));
    if (process.valid()) TerminateProcess(process.get(), kKilledExitCode);
    return true;
  });
}

void KillProcessOfImage(const char* name, const std::wstring& image) {
  ForEachProcessNamed(name, [&](DWORD id) {
    ProcessHandle process(
        OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    if (!process.valid()) return true;
    std::wstring path(32768, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    if (!QueryFullProcessImageNameW(process.get(), 0, &path[0], &size)) return true;
    path.resize(size);
    if (CompareStringOrdinal(path.c_str(), -1, image.c_str(), -1, TRUE) == CSTR_EQUAL) {
      TerminateProcess(process.get(), kKilledExitCode);
    }
    return true;
  });
}

bool IsProcessRunning(const char* name) {
  bool running = false;
  ForEachProcessNamed(name, [&](DWORD) {
    running = true;
    return false;
  });
  return running;
}
