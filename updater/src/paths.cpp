#include "paths.h"

#include <shlwapi.h>

#include <algorithm>
#include <utility>

namespace {

const wchar_t kExtendedPrefix[] = L"\\\\?\\";
const wchar_t kExtendedUncPrefix[] = L"\\\\?\\UNC\\";

// Folders on the way to a held file: no delete sharing, so none can be renamed or removed, and
// a folder that holds an open item is not empty, so it cannot be turned into a link either.
constexpr DWORD kHeldFolderSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
// The file itself: nobody may write it, rename it or put another file in its place.
constexpr DWORD kHeldFileSharing = FILE_SHARE_READ;

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

// Read access, so that the sharing given applies to everyone who opens the item after us.
FileHandle OpenHeld(const std::wstring& path, DWORD sharing, DWORD flags) {
  return FileHandle(CreateFileW(path.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                                flags | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// The path of an open folder as its handle resolves it, with every link above it followed
// once, here; fallback when the platform cannot tell.
std::wstring FinalPathOf(HANDLE folder, const std::wstring& fallback) {
  const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  const DWORD needed = GetFinalPathNameByHandleW(folder, nullptr, 0, flags);
  if (needed == 0) return fallback;
  std::wstring path(needed, L'\0');
  const DWORD length = GetFinalPathNameByHandleW(folder, &path[0], needed, flags);
  if (length == 0 || length >= needed) return fallback;
  path.resize(length);
  return path;
}

}  // namespace

std::wstring CombinePath(const std::wstring& folder, const std::wstring& item) {
  wchar_t joined[MAX_PATH] = {};
  if (!PathCombineW(joined, folder.c_str(), item.c_str())) return std::wstring();
  return joined;
}

bool PathExists(const std::wstring& path) { return !path.empty() && PathFileExistsW(path.c_str()); }

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

bool IsLinkAttributes(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool IsLink(HANDLE handle, const std::wstring& path) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (GetFileInformationByHandle(handle, &info) && IsLinkAttributes(info.dwFileAttributes)) {
    return true;
  }
  return IsLinkAttributes(GetFileAttributesW(path.c_str()));
}

PlainFolders::PlainFolders(const std::wstring& folder) : base(ResolveFolder(folder)) {
  if (base.empty()) return;
  FileHandle top = OpenHeld(ExtendedPath(base), kHeldFolderSharing, 0);
  if (!top.valid()) return;
  finalBase = FinalPathOf(top.get(), ExtendedPath(base));
  held.push_back(std::move(top));
}

namespace {

// Opens the item at path without following a link: a folder when folder, else a file. Invalid
// when it is missing, of the other kind, or a link (then *throughLink is set).
FileHandle OpenPlainItem(const std::wstring& path, bool folder, bool* throughLink) {
  FileHandle item = OpenHeld(path, folder ? kHeldFolderSharing : kHeldFileSharing,
                             FILE_FLAG_OPEN_REPARSE_POINT);
  if (!item.valid()) return item;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(item.get(), &info)) return FileHandle();
  // The handle tells what the item is. Wine opens through a Unix link to a folder and shows
  // it only in the path's attributes; a link to a file it shows as a plain file either way.
  if (IsLinkAttributes(info.dwFileAttributes) ||
      (folder && IsLinkAttributes(GetFileAttributesW(path.c_str())))) {
    *throughLink = true;
    return FileHandle();
  }
  const bool isFolder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (isFolder != folder) return FileHandle();
  return item;
}

}  // namespace

HeldPlainFile OpenPlainFileBelow(PlainFolders& folders, const std::wstring& path) {
  HeldPlainFile result;
  if (folders.finalBase.empty()) return result;
  const std::wstring full = ResolveFullPath(path);
  const std::wstring& base = folders.base;
  // The folder itself is no file.
  if (full.size() <= base.size() + 1 || !ResolvesWithinFolder(full, base)) return result;
  const std::wstring below = full.substr(base.size() + 1);

  // The folders on the way, each checked once and then held by folders.
  bool throughLink = false;
  for (size_t end = below.find(L'\\'); end != std::wstring::npos;
       end = below.find(L'\\', end + 1)) {
    const std::wstring way = below.substr(0, end);
    // A delivery has a handful of folders: a plain list costs less code than a tree.
    if (std::find(folders.checked.begin(), folders.checked.end(), way) != folders.checked.end()) {
      continue;
    }
    FileHandle folder = OpenPlainItem(folders.finalBase + L"\\" + way, true, &throughLink);
    if (!folder.valid()) {
      if (throughLink) result.state = PlainFileState::kThroughLink;
      return result;
    }
    folders.held.push_back(std::move(folder));
    folders.checked.push_back(way);
  }
  const std::wstring file = folders.finalBase + L"\\" + below;
  result.held = OpenPlainItem(file, false, &throughLink);
  if (!result.held.valid()) {
    if (throughLink) result.state = PlainFileState::kThroughLink;
    return result;
  }
  result.state = PlainFileState::kPlain;
  result.openedPath = file;
  return result;
}
