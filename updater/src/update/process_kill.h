#pragma once
// Ending running programs by executable name.

// Ends every running process whose executable file name is exactly name (code page 936 text;
// whole name, case-sensitive), with exit code 9, in snapshot order. Reports nothing.
void KillProcessByName(const char* name);

// Whether a process whose executable file name is exactly name runs.
bool IsProcessRunning(const char* name);
