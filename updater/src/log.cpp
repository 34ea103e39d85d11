#include "log.h"

#include <windows.h>

#include <cstdio>
#include <memory>

#include "folders.h"

namespace {

// False until this process has opened the log once: its first line empties the file.
bool logStarted = false;

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

std::string TwoDigits(std::uint64_t value) {
  std::string text = FormatUInt64(value);
  return text.size() == 1 ? "0" + text : text;
}

}  // namespace

void ResetLogForTesting() { logStarted = false; }

std::wstring GetLogPath() { return GetDataFolder() + L"\\logs\\updater.log"; }

std::string FormatUInt64(std::uint64_t value) { return std::to_string(value); }

std::string FormatLogLine(const std::tm& time, const std::string& message) {
  // Year, month, day and hour are never padded; minute and second always have two digits.
  std::string line = "[";
  line += FormatUInt64(static_cast<std::uint64_t>(time.tm_year) + 1900) + "-";
  line += FormatUInt64(static_cast<std::uint64_t>(time.tm_mon) + 1) + "-";
  line += FormatUInt64(static_cast<std::uint64_t>(time.tm_mday)) + " ";
  line += FormatUInt64(static_cast<std::uint64_t>(time.tm_hour)) + ":";
  line += TwoDigits(static_cast<std::uint64_t>(time.tm_min)) + ":";
  line += TwoDigits(static_cast<std::uint64_t>(time.tm_sec)) + " ] --- ";
  line += message;
  line += "\n";
  return line;
}

void WriteLog(const std::string& message) {
  // The wide path: the data folder's name need not fit the system's ANSI code page.
  // Looked up once: the data folder stays where it is while the updater runs, and looking it
  // up costs more than writing the line.
  static const std::wstring logPath = GetLogPath();
  FILE* opened = nullptr;
  // Text mode, so each "\n" reaches the disk as CR LF.
  if (_wfopen_s(&opened, logPath.c_str(), logStarted ? L"a" : L"w") != 0 || !opened) {
    logStarted = false;
    return;
  }
  UniqueFile file(opened);
  logStarted = true;

  __time64_t now = _time64(nullptr);
  std::tm localTime = {};
  _localtime64_s(&localTime, &now);
  // Written whole, however long the message is.
  const std::string line = FormatLogLine(localTime, message);
  fwrite(line.data(), 1, line.size(), file.get());
}
