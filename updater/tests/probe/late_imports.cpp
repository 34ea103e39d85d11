// Imports, statically, each function that Vista and Windows 7 without updates lack: the import
// check must reject this program. Built only, never run.

#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  RemoveDllDirectory(AddDllDirectory(L"C:\\"));
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  CloseHandle(CreateFile2(L"C:\\x", GENERIC_READ, 0, OPEN_EXISTING, nullptr));
  return 0;
}
