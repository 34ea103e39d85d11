#pragma once
// The updater's two stages: the relaunch into the temporary folder, and the update followed by
// the restart of the main application.

#include <string>

#include "base/process_args.h"

// The second stage's command line: both paths quoted, so that CommandLineToArgvW gives them
// back exactly (the first by the program-name rules, the second by the argument rules).
std::wstring BuildRelaunchParameters(const std::wstring& installPath, const std::wstring& rootPath);

// Starts file through the shell, elevated ("runas") on Windows Vista and later.
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
