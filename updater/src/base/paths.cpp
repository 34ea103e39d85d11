#include "base/paths.h"

#include <shlwapi.h>

namespace {

const wchar_t kExtendedPrefix[] = L"\\\\?\\";
const wchar_t kExtendedUncPrefix[] = L"\\\\?\\UNC\\";

bool EqualIgnoringCase(const wchar_t* a, const wchar_t* b, size_t length) {
  return CompareStringOrdinal(a, static_cast<int>(length), b, static_cast<int>(length), TRUE) ==
         CSTR_EQUAL;
}

// The full path of folder without trailing separators ("C:\" becomes "C:"); empty when it
// cannot be resolved.
std::wstring ResolveFolder(const std::wstring& folder) {
  std::wstring base = ResolveFullPath(folder.empty() ? L"." : folder);
  while (!base.empty() && base.back() == L'\\') base.pop_back();
  return base;
}

}  // namespace

std::wstring CombinePath(const std::wstring& folder, const std::wstring& item) {
  wchar_t joined[MAX_PATH] = {};
  if (!PathCombineW(joined, folder.c_str(), item.c_str())) return std::wstring();
  return joined;
}

bool PathExists(const std::wstring& path) { return !path.empty() && PathFileExistsW(path.c_str()); }

bool ItemStandsAt(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool FileStandsAt(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FolderStandsAt(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring ResolveFullPath(const std::wstring& path) {
  if (path.empty()) return std::wstring();
  // Asked first for the size it needs, so no length of path is too long.
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::wstring();
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
  if (length == 0 || length >= needed) return std::wstring();
  full.resize(length);
  return full;
}

bool ResolvesWithinFolder(const std::wstring& path, const std::wstring& folder) {
  const std::wstring full = ResolveFullPath(path);
  const std::wstring base = ResolveFolder(folder);
  if (full.empty() || base.empty() || full.size() < base.size()) return false;
  if (!EqualIgnoringCase(full.c_str(), base.c_str(), base.size())) return false;
  // "C:\root2" is not inside "C:\root".
  return full.size() == base.size() || full[base.size()] == L'\\';
}

std::wstring ExtendedPath(const std::wstring& path) {
  if (path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0) return path;
  const std::wstring full = ResolveFullPath(path);
  if (full.empty()) return full;
  if (full.compare(0, 2, L"\\\\") == 0) return kExtendedUncPrefix + full.substr(2);
  return kExtendedPrefix + full;
}

std::wstring PathBelowFolder(const std::wstring& path, const std::wstring& folder) {
  if (!ResolvesWithinFolder(path, folder)) return std::wstring();
  const std::wstring full = ResolveFullPath(path);
  const std::wstring base = ResolveFolder(folder);
  return full.size() > base.size() + 1 ? full.substr(base.size() + 1) : std::wstring();
}
