#include "base/folders.h"

#include <windows.h>
#include <shlobj.h>

#include "base/app_names.h"

namespace {

// Calls fill(buffer, capacity) with a growing buffer until the text fits; fill returns the
// length written, or the capacity needed when it did not fit, or 0 on failure.
template <typename Fill>
std::wstring ReadSizedText(Fill fill) {
  std::wstring buffer(MAX_PATH + 1, L'\0');
  for (int attempt = 0; attempt < 8; ++attempt) {
    const DWORD capacity = static_cast<DWORD>(buffer.size());
    const DWORD length = fill(&buffer[0], capacity);
    if (length == 0) return std::wstring();
    if (length < capacity) {
      buffer.resize(length);
      return buffer;
    }
    buffer.assign(length > capacity ? length + 1 : capacity * 2, L'\0');
  }
  return std::wstring();
}

// Set only by the update service, before its first log line.
std::wstring* dataFolderInUse = nullptr;

}  // namespace

void UseDataFolder(const std::wstring& folder) {
  static std::wstring inUse;
  inUse = folder;
  dataFolderInUse = &inUse;
}

std::wstring GetTempFolder() {
  const std::wstring shortForm =
      ReadSizedText([](wchar_t* buffer, DWORD capacity) { return GetTempPathW(capacity, buffer); });
  if (shortForm.empty()) return shortForm;
  const std::wstring longForm = ReadSizedText([&](wchar_t* buffer, DWORD capacity) {
    return GetLongPathNameW(shortForm.c_str(), buffer, capacity);
  });
  // A temporary folder that cannot be resolved keeps its short form.
  return longForm.empty() ? shortForm : longForm;
}

std::wstring GetDataFolder() {
  if (dataFolderInUse) return *dataFolderInUse;
  wchar_t appData[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData))) {
    return std::wstring();
  }
  std::wstring folder = appData;
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  return folder + kDataFolderName;
}

std::wstring GetDataTempFolder() {
  const std::wstring dataFolder = GetDataFolder();
  // Joined as text: a data folder near MAX_PATH still names its own "Temp", never the
  // current folder's.
  return dataFolder.empty() ? dataFolder : dataFolder + L"\\Temp";
}

std::wstring GetModulePath() {
  return ReadSizedText([](wchar_t* buffer, DWORD capacity) {
    const DWORD length = GetModuleFileNameW(GetModuleHandleW(nullptr), buffer, capacity);
    // A truncated name fills the whole buffer: ask for a larger one.
    return length == capacity ? capacity * 2 : length;
  });
}

bool PathTextContainsFolder(const std::wstring& path, const std::wstring& folder) {
  // An unknown temporary folder must not make every executable look inside it.
  return !folder.empty() && path.find(folder) != std::wstring::npos;
}

bool IsRunningFromTemp() { return PathTextContainsFolder(GetModulePath(), GetTempFolder()); }
