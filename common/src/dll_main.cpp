#include <windows.h>

// The library has no per-process or per-thread work: its only state, the Log settings, is
// built and destroyed by the runtime around this call. So loading never fails on our account.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
