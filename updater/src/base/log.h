#pragma once
// updater.log: one time-stamped line per event, in the data folder's "logs" subfolder.

#include <cstdint>
#include <ctime>
#include <string>

// Appends one line to updater.log; the first line of each process empties the file first.
// Writes nothing, silently, when the file cannot be opened (the "logs" folder is never created).
void WriteLog(const std::string& message);

// From now on this process writes the log only where no link leads: the data folder, its
// "logs" folder and updater.log are opened without following links and checked through their
// handles, and a line that would go through a link is not written. For the elevated stage,
// whose log lies where the user can write.
void GuardLogAgainstLinks();

// From now on this process's first line does not empty the log: lines of every run are kept,
// and a log found past maxBytes is first renamed updater.log.1 (replacing the one before) and
// begun anew. For the update service, whose starts any user may make: a start cannot erase the
// trace of the runs before it. Only with GuardLogAgainstLinks.
void KeepEarlierRunsInLog(std::uint64_t maxBytes);

// Decimal text of an unsigned 64-bit value.
std::string FormatUInt64(std::uint64_t value);

// The line WriteLog writes for message at time: "[2018-7-5 9:03:07 ] --- message\n".
std::string FormatLogLine(const std::tm& time, const std::string& message);

// Full path of updater.log.
std::wstring GetLogPath();

// Makes the next line empty the file again, as the first line of a new process does.
void ResetLogForTesting();
