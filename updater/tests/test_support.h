#pragma once
// Shared helpers of the updater's tests: throwaway folders, files, the log, processes.

#include <windows.h>

#include <string>
#include <vector>

#include "base/handles.h"

namespace testing_support {

// A fresh folder below the temporary folder (or below base), removed with its contents.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::wstring& base = L"");
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

// Removes a folder and everything below it (without following links), ignoring failures.
void RemoveTree(const std::wstring& path);

void WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
bool FolderExists(const std::wstring& path);
void MakeFolders(const std::wstring& path);

// updater.log's bytes, and its lines decoded from code page 936 without their prefix.
std::string ReadLogBytes();
std::vector<std::wstring> ReadLogMessages();
// Creates or removes the data folder's "logs" subfolder (the updater never creates it).
void EnsureLogFolder();

// A Unix path handed over by ctest, as Wine's Windows path (drive Z: is the Unix root).
std::wstring FromHostPath(const std::string& hostPath);
// The Windows path of the Unix path in the environment variable name; empty when it is not set.
std::wstring FromEnvironment(const char* name);
// text between double quotation marks, as a command line takes a path.
std::wstring Quote(const std::wstring& text);
// The folder of the running test executable.
std::wstring TestProgramFolder();

// Starts commandLine, waits for it and returns its exit code (or -1 when it did not start).
DWORD RunAndWait(const std::wstring& commandLine, DWORD timeoutMs = 60000);
// Number of running processes whose executable name is exactly name.
int CountProcesses(const std::wstring& name);
// Waits until no process of that name runs; false on timeout.
bool WaitUntilNoProcess(const std::wstring& name, DWORD timeoutMs = 60000);

// Starts commandLine without waiting; the handle is the caller's (invalid when it did not start).
ProcessHandle StartProcess(const std::wstring& commandLine);
// The exit code of a process, after waiting up to timeoutMs for it to end; STILL_ACTIVE when it
// still runs.
DWORD WaitForExitCode(const ProcessHandle& process, DWORD timeoutMs = 10000);

// Makes link a Unix symbolic link to target (both Windows paths in the prefix), which Wine shows
// as a folder carrying FILE_ATTRIBUTE_REPARSE_POINT. False when Wine's Unix side is not there.
bool MakeHostSymbolicLink(const std::wstring& target, const std::wstring& link);
// Removes such a link on the Unix side (Wine's own calls look through it).
bool RemoveHostSymbolicLink(const std::wstring& link);

// Narrow (code page 936) and wide conversions that do not go through the code under test.
std::wstring FromCodePage(const std::string& bytes, UINT codePage = 936);
std::string ToCodePage(const std::wstring& text, UINT codePage = 936);

}  // namespace testing_support
