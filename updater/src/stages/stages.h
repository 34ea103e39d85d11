#pragma once
// The updater's two stages: the relaunch into the temporary folder, and the update followed by
// the restart of the main application.

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "base/process_args.h"

// The second stage's command line: both paths quoted, so that CommandLineToArgvW gives them
// back exactly (the first by the program-name rules, the second by the argument rules).
std::wstring BuildRelaunchParameters(const std::wstring& installPath, const std::wstring& rootPath);

// Starts file through the shell, elevated ("runas") on Windows Vista and later. On failure the
// last error says why (ERROR_CANCELLED: the user declined the elevation).
bool LaunchProgram(const std::wstring& file, const std::wstring& parameters,
                   const std::wstring& directory);

// The updater the first stage copies: "Updater.exe" in dataTempFolder when it is there, else
// the running executable; never a bare name found in the current folder.
std::wstring PickRelaunchSource(const std::wstring& dataTempFolder);

// First stage: copies an updater into the temporary folder and starts it with both paths; with
// delivery keys compiled in, only a copy it holds of the updater it verified (CopySignedUpdater).
// Returns the exit code: 0 when the second stage was started, 1 otherwise.
int RunFirstStage();

// Second stage: runs the update, then starts the main application from the root folder.
// Returns the exit code: 0 when the main application was started, 1 otherwise.
int RunSecondStage();

// The shell's start as LaunchProgram calls it; only the test build that plays a declined prompt
// replaces it.
using ShellExecuteFunction = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
void SetShellExecuteHookForTesting(ShellExecuteFunction hook);
