#pragma once
// Where the updater's folders are, and the test that tells its two stages apart.

#include <string>

// The long form of the user's temporary folder, ending in a backslash.
std::wstring GetTempFolder();

// The per-user data folder: the roaming application data folder followed by "OrbeskVintrel".
std::wstring GetDataFolder();

// From now on GetDataFolder gives folder in this process (the update service's own folder below
// %ProgramData%): its log never lands in a user's folder. Call before the first log line.
void UseDataFolder(const std::wstring& folder);

// The data folder's "Temp" subfolder, where an update is delivered.
std::wstring GetDataTempFolder();

// Full path and file name of the running executable.
std::wstring GetModulePath();

// Whether the running executable lies inside the temporary folder (compared case-sensitively).
bool IsRunningFromTemp();

// Whether folder's text (ending in a backslash) occurs anywhere in path's text, compared
// case-sensitively and without resolving either: the stage test, nothing more. An empty folder
// occurs in nothing.
bool PathTextContainsFolder(const std::wstring& path, const std::wstring& folder);
