// Stands in for the main application (and for a delivered updater) in tests: it appends one
// line to "probe-record.txt" beside itself, UTF-8: its version, its path and its command line.
// With the argument --wait it then stays running, to be ended by the updater.

#include <windows.h>

#include <string>

namespace {

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], length,
                      nullptr, nullptr);
  return bytes;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
  std::wstring path(32768, L'\0');
  path.resize(GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size())));
  const std::wstring record = path.substr(0, path.find_last_of(L'\\')) + L"\\probe-record.txt";

  const std::string line = "version=" PROBE_VERSION " path=" + ToUtf8(path) +
                           " args=" + ToUtf8(commandLine) + "\n";
  HANDLE file = CreateFileW(record.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
  }
  if (std::wstring(commandLine).find(L"--wait") != std::wstring::npos) Sleep(120000);
  return 0;
}
