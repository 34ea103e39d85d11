#pragma once
// Ending running programs by executable name, or by their image's full path.

#include <string>

// Ends every running process whose executable file name is exactly name (code page 936 text;
// whole name, case-sensitive), with exit code 9, in snapshot order. Reports nothing.
void KillProcessByName(const char* name);

// Whether a process whose executable file name is exactly name runs.
bool IsProcessRunning(const char* name);

// Ends every running process of executable name name (as above) whose image is the file image
// (a full path, compared without regard to letter case): a program of the same name elsewhere
// runs on. Reports nothing.
void KillProcessOfImage(const char* name, const std::wstring& image);
