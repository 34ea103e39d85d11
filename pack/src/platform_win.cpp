#include "platform.h"

#include <windows.h>
#include <io.h>

#include <cstdio>

#include "names.h"

namespace {

// UTF-16 as UTF-8, a lone surrogate in its three-byte form: never an exception, and such a name
// is refused later as text no UTF-8 reader takes.
std::string Utf8Of(const wchar_t* text) {
  std::string out;
  for (size_t i = 0; text[i] != 0; ++i) {
    char32_t c = static_cast<char16_t>(text[i]);
    const char32_t next = static_cast<char16_t>(text[i + 1]);
    if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
      ++i;
    }
    AppendUtf8(out, c);
  }
  return out;
}

// The reverse of Utf8Of, "/" written as "\"; a byte that starts no sequence becomes U+FFFD.
std::wstring WideOf(const std::string& utf8) {
  std::wstring out;
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char lead = static_cast<unsigned char>(utf8[i]);
    const size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3
                                        : (lead & 0xF8) == 0xF0   ? 4 : 0;
    char32_t c = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F
                                                                              : lead & 0x07;
    bool valid = length > 0 && i + length <= utf8.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(utf8[i + k]);
      valid = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    if (!valid || c > 0x10FFFF) {
      out += L'\xFFFD';
      ++i;
      continue;
    }
    i += length;
    if (c == '/') {
      out += L'\\';
    } else if (c >= 0x10000) {
      out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<wchar_t>(c);
    }
  }
  return out;
}

}  // namespace

unsigned long ProcessId() { return GetCurrentProcessId(); }

namespace {

volatile LONG interrupted = 0;

BOOL WINAPI OnInterrupt(DWORD) {
  InterlockedExchange(&interrupted, 1);
  // The console closing ends the process once this returns: give the writer time to clean up.
  Sleep(2000);
  return TRUE;
}

}  // namespace

void CatchInterrupts(bool catching) {
  SetConsoleCtrlHandler(OnInterrupt, catching ? TRUE : FALSE);
  if (!catching && interrupted) ExitProcess(1);
}

bool Interrupted() { return interrupted != 0; }

bool ProcessRuns(unsigned long id) {
  const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
  if (!process) return GetLastError() != ERROR_INVALID_PARAMETER;
  const bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return runs;
}

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void UseUtf8Console() { SetConsoleOutputCP(CP_UTF8); }

bool ReadFolder(const std::filesystem::path& folder, std::vector<FolderEntry>& entries,
                std::string& error) {
  WIN32_FIND_DATAW found = {};
  const HANDLE search = FindFirstFileExW((folder.native() + L"\\*").c_str(), FindExInfoBasic,
                                         &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    error = Utf8Of(folder.c_str()) + ": cannot be listed (error " +
            std::to_string(GetLastError()) + ")";
    return false;
  }
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    FolderEntry item{Utf8Of(found.cFileName), ItemKind::kFile, 0};
    // A reparse point whose tag cannot be read counts as a link, as the updater judges it.
    const DWORD attributes = found.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        (found.dwReserved0 == 0 || IsReparseTagNameSurrogate(found.dwReserved0))) {
      item.kind = ItemKind::kLink;
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      item.kind = ItemKind::kFolder;
    } else {
      item.size = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    }
    entries.push_back(std::move(item));
  } while (FindNextFileW(search, &found));
  const DWORD last = GetLastError();
  FindClose(search);
  if (last != ERROR_NO_MORE_FILES) {
    error = Utf8Of(folder.c_str()) + ": cannot be listed (error " + std::to_string(last) + ")";
    return false;
  }
  return true;
}

std::filesystem::path JoinRelative(const std::filesystem::path& root, const std::string& relative) {
  // Joined as text: "a:b.txt" appended with the path operator would replace the whole path by
  // a path on the drive A:.
  std::wstring joined = root.native();
  if (joined.empty() || (joined.back() != L'\\' && joined.back() != L'/')) joined += L'\\';
  return std::filesystem::path(joined + WideOf(relative));
}

std::FILE* OpenFileForReading(const std::filesystem::path& path) {
  return _wfopen(path.c_str(), L"rb");
}
