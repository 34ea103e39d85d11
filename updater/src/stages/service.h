#pragma once
// The update service of a build with delivery keys: the installed Updater.exe registered once, by
// the main application's installer, as a demand-start service of its own process running as
// LocalSystem. Started by the first stage with "apply <delivery folder>", it applies only what
// the publisher signed, from a copy in a folder of its own, and so no prompt is needed.

#include <windows.h>

#include <string>

#include "base/handles.h"

// Service manager handles (OpenSCManagerW, OpenServiceW, CreateServiceW).
struct ServiceHandleTraits {
  using Handle = SC_HANDLE;
  static Handle InvalidValue() { return nullptr; }
  static void Close(Handle handle) { CloseServiceHandle(handle); }
};
using ServiceHandle = ScopedHandle<ServiceHandleTraits>;

// When this build has delivery keys and commandLine (without the program) is exactly
// "--install-service", "--remove-service" or "--service": does that and sets exitCode (0 or 1;
// the service reports its outcome to the service manager instead). False otherwise: the stages
// run as they always did. Must come before the process's first log line.
bool RunServiceVerb(const wchar_t* commandLine, int& exitCode);

// 16 random lowercase hexadecimal digits (from the system's random source): the first stage's
// token for its request, and the service's fresh folder names. Empty when none can be had.
std::wstring FreshHexName();

// Test builds: called once the service has copied a delivery and holds the installation's
// lock, right before it repairs and applies.
void SetServicePauseHookForTesting(void (*hook)());

// Test builds, whose kill hook ends the service's process outright: tells the service manager
// first that it stopped as a killed process does (no outcome), as Wine's service manager takes
// most of a minute to notice a process that ended without a word.
void ReportServiceKilledForTesting();

// The service's own folder, %ProgramData%\OrbeskVintrel\service; empty when unknown.
std::wstring ServiceFolder();

// First stage, with delivery keys: when the service is installed and a delivery waits, asks the
// service to apply it, waits for its outcome (up to 10 minutes), records it, removes a delivery
// the service applied or refused, and restarts the main application as the user. False, with
// nothing done, when the service is missing, disabled, cannot start or gives no outcome in
// time: the first stage then asks for elevation as before. exitCode: 0 when the main
// application was started.
bool UpdateThroughService(int& exitCode);
