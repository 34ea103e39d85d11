#include "base/log.h"

#include <windows.h>

#include <cstdio>
#include <memory>

#include "base/checked_items.h"
#include "base/folders.h"

namespace {

// False until this process has opened the log once: its first line empties the file.
bool logStarted = false;
bool guardedAgainstLinks = false;
std::uint64_t keepEarlierRunsBytes = 0;
const wchar_t kLogFolderName[] = L"logs";
const wchar_t kLogFileName[] = L"updater.log";

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

std::string TwoDigits(std::uint64_t value) {
  std::string text = FormatUInt64(value);
  return text.size() == 1 ? "0" + text : text;
}

// What text mode makes of the line on disk: each "\n" becomes CR LF.
std::string WithCrLf(const std::string& line) {
  std::string bytes;
  bytes.reserve(line.size() + 2);
  for (const char byte : line) {
    if (byte == '\n') bytes += '\r';
    bytes += byte;
  }
  return bytes;
}

// The "logs" folder below the data folder, checked and held once found: a file is then only
// ever created relative to this handle, so no link can redirect the creation.
const AnchoredFolder& CheckedLogFolder() {
  static AnchoredFolder logs;
  if (logs.finalPath.empty()) {
    static const std::wstring dataFolder = GetDataFolder();
    const size_t cut = dataFolder.find_last_of(L'\\');
    if (cut == std::wstring::npos) return logs;
    logs = OpenAnchoredFolder(dataFolder.substr(0, cut + 1),
                              {dataFolder.substr(cut + 1), kLogFolderName});
  }
  return logs;
}

// updater.log, opened relative to the held "logs" folder and checked once, then held without
// write or delete sharing for the rest of the run: no other program can replace it or give it
// a second name while it is held, so every later line goes through this handle unchecked.
FileHandle& HeldLog() {
  static FileHandle log;
  return log;
}

// Opens and checks updater.log; an invalid handle when it cannot be opened or is not plainly
// where it should be.
FileHandle OpenCheckedLog() {
  const AnchoredFolder& logs = CheckedLogFolder();
  if (logs.finalPath.empty()) return FileHandle();
  FileHandle file = OpenOrCreateInFolder(logs.held.back().get(), kLogFileName,
                                         FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE,
                                         FILE_SHARE_READ);
  if (!file.valid()) return FileHandle();
  BY_HANDLE_FILE_INFORMATION info = {};
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!GetFileInformationByHandle(file.get(), &info) ||
      !GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &tag, sizeof(tag)) ||
      IsLinkReparse(tag.FileAttributes, tag.ReparseTag) || info.nNumberOfLinks != 1 ||
      !SameFinalPath(FinalPathOf(file.get()), logs.finalPath + L"\\" + kLogFileName)) {
    return FileHandle();
  }
  LARGE_INTEGER size = {};
  if (keepEarlierRunsBytes > 0 && GetFileSizeEx(file.get(), &size) &&
      static_cast<std::uint64_t>(size.QuadPart) > keepEarlierRunsBytes) {
    // The earlier runs' lines move aside whole; without that, the new lines go on below them.
    if (RenameThroughHandle(file.get(), std::wstring(kLogFileName) + L".1",
                            logs.held.back().get(), true)) {
      return OpenCheckedLog();
    }
  }
  return file;
}

// Writes bytes to updater.log through checked handles only; false when the file cannot be
// opened or is not plainly where it should be.
bool WriteCheckedLog(const std::string& bytes, bool startAfresh) {
  FileHandle& log = HeldLog();
  if (startAfresh || !log.valid()) log = OpenCheckedLog();
  if (!log.valid()) return false;
  LARGE_INTEGER position = {};
  if (startAfresh) {
    FILE_END_OF_FILE_INFO empty = {};
    if (!SetFileInformationByHandle(log.get(), FileEndOfFileInfo, &empty, sizeof(empty))) {
      log.reset();
      return false;
    }
  } else if (!SetFilePointerEx(log.get(), position, nullptr, FILE_END)) {
    log.reset();
    return false;
  }
  DWORD written = 0;
  WriteFile(log.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  return true;
}

std::tm LocalTimeNow() {
  __time64_t now = _time64(nullptr);
  std::tm localTime = {};
  _localtime64_s(&localTime, &now);
  return localTime;
}

}  // namespace

void ResetLogForTesting() {
  logStarted = false;
  HeldLog().reset();
}

void GuardLogAgainstLinks() { guardedAgainstLinks = true; }

void KeepEarlierRunsInLog(std::uint64_t maxBytes) { keepEarlierRunsBytes = maxBytes; }

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
  if (guardedAgainstLinks) {
    logStarted = WriteCheckedLog(WithCrLf(FormatLogLine(LocalTimeNow(), message)),
                                 !logStarted && keepEarlierRunsBytes == 0);
    return;
  }
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

  // Written whole, however long the message is.
  const std::string line = FormatLogLine(LocalTimeNow(), message);
  fwrite(line.data(), 1, line.size(), file.get());
}
