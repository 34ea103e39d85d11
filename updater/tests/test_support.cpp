#include "test_support.h"

#include <shlobj.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testing_support {

namespace {

std::wstring TempPath() {
  wchar_t buffer[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, buffer);
  return buffer;
}

std::wstring AppDataFolder() {
  wchar_t buffer[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, buffer);
  return buffer;
}

}  // namespace

ScratchFolder::ScratchFolder(const std::wstring& base) {
  static unsigned counter = 0;
  std::wstring parent = base.empty() ? TempPath() : base + L"\\";
  path_ = parent + L"vintrel-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
          std::to_wstring(++counter);
  RemoveTree(path_);
  MakeFolders(path_);
}

ScratchFolder::~ScratchFolder() { RemoveTree(path_); }

void RemoveTree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW item;
    HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &item);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = item.cFileName;
        if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
      } while (FindNextFileW(find, &item));
      FindClose(find);
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(path.c_str());
  } else {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(path.c_str())) RemoveDirectoryW(path.c_str());
  }
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

std::string ReadBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  std::string bytes;
  char chunk[65536];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) bytes.append(chunk, read);
  CloseHandle(file);
  return bytes;
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void MakeFolders(const std::wstring& path) {
  SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
}

std::wstring LogFolder() { return AppDataFolder() + L"\\OrbeskVintrel\\logs"; }

void EnsureLogFolder() { MakeFolders(LogFolder()); }

std::string ReadLogBytes() { return ReadBytes(LogFolder() + L"\\updater.log"); }

std::vector<std::wstring> ReadLogMessages() {
  std::vector<std::wstring> messages;
  std::istringstream lines(ReadLogBytes());
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t prefixEnd = line.find(" ] --- ");
    messages.push_back(FromCodePage(prefixEnd == std::string::npos ? line : line.substr(prefixEnd + 7)));
  }
  return messages;
}

std::wstring FromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value ? FromHostPath(value) : std::wstring();
}

std::wstring Quote(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring FromHostPath(const std::string& hostPath) {
  std::wstring path = FromCodePage(hostPath, CP_UTF8);
  if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

std::wstring TestProgramFolder() {
  wchar_t buffer[4096] = {};
  GetModuleFileNameW(nullptr, buffer, 4096);
  std::wstring path = buffer;
  return path.substr(0, path.find_last_of(L'\\'));
}

ProcessHandle StartProcess(const std::wstring& commandLine) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  std::wstring mutableLine = commandLine;
  if (!CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return ProcessHandle();
  }
  CloseHandle(process.hThread);
  return ProcessHandle(process.hProcess);
}

DWORD WaitForExitCode(const ProcessHandle& process, DWORD timeoutMs) {
  WaitForSingleObject(process.get(), timeoutMs);
  DWORD exitCode = STILL_ACTIVE;
  GetExitCodeProcess(process.get(), &exitCode);
  return exitCode;
}

DWORD RunAndWait(const std::wstring& commandLine, DWORD timeoutMs) {
  const ProcessHandle process = StartProcess(commandLine);
  return process.valid() ? WaitForExitCode(process, timeoutMs) : static_cast<DWORD>(-1);
}

namespace {

// The Unix name of a Windows path in the prefix, through Wine's own export; empty outside Wine.
std::wstring HostPathOf(const std::wstring& path) {
  using UnixName = char*(CDECL*)(const wchar_t*);
  const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* name = unixName ? unixName(path.c_str()) : nullptr;
  if (!name) return std::wstring();
  std::wstring text = FromCodePage(name, CP_UTF8);
  HeapFree(GetProcessHeap(), 0, name);
  return text;
}

// Starts a Unix program given by its Unix path, which Wine allows, and waits until check holds:
// Wine hands back no process handle for it, so its outcome is only seen in the file system.
template <typename Check>
bool RunHostProgramUntil(const std::wstring& commandLine, Check check) {
  StartProcess(commandLine);
  for (int attempt = 0; attempt < 50 && !check(); ++attempt) Sleep(100);
  return check();
}

}  // namespace

bool MakeHostSymbolicLink(const std::wstring& target, const std::wstring& link) {
  const std::wstring unixTarget = HostPathOf(target);
  const std::wstring unixLink = HostPathOf(link);
  if (unixTarget.empty() || unixLink.empty()) return false;
  return RunHostProgramUntil(L"/bin/ln -s \"" + unixTarget + L"\" \"" + unixLink + L"\"", [&] {
    const DWORD attributes = GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  });
}

bool RemoveHostSymbolicLink(const std::wstring& link) {
  const std::wstring unixLink = HostPathOf(link);
  // rm without -r removes the link itself, never what it points to.
  return !unixLink.empty() && RunHostProgramUntil(L"/bin/rm -f \"" + unixLink + L"\"", [&] {
    WIN32_FIND_DATAW item;
    FindHandle found(FindFirstFileW(link.c_str(), &item));
    return !found.valid();
  });
}

int CountProcesses(const std::wstring& name) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  int count = 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (name == entry.szExeFile) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

bool WaitUntilNoProcess(const std::wstring& name, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  while (CountProcesses(name) > 0) {
    if (GetTickCount() - start > timeoutMs) return false;
    Sleep(100);
  }
  return true;
}

std::wstring FromCodePage(const std::string& bytes, UINT codePage) {
  if (bytes.empty()) return std::wstring();
  const int length = MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(length, L'\0');
  MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], length);
  return text;
}

std::string ToCodePage(const std::wstring& text, UINT codePage) {
  if (text.empty()) return std::string();
  const int length = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(length, '\0');
  WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &bytes[0], length, nullptr, nullptr);
  return bytes;
}

}  // namespace testing_support
