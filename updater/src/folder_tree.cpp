#include "folder_tree.h"

#include <windows.h>

#include "handles.h"
#include "path_containment.h"

namespace {

const wchar_t kExtendedPrefix[] = L"\\\\?\\";
const wchar_t kExtendedUncPrefix[] = L"\\\\?\\UNC\\";

// The path in the form that file calls take literally: names such as "..." or "a." are not
// rewritten into other names, and a deep tree is not cut at MAX_PATH.
std::wstring ExtendedPath(const std::wstring& path) {
  if (path.compare(0, 4, L"\\\\?\\") == 0 || path.compare(0, 4, L"\\\\.\\") == 0) return path;
  const std::wstring full = ResolveFullPath(path);
  if (full.empty()) return full;
  if (full.compare(0, 2, L"\\\\") == 0) return kExtendedUncPrefix + full.substr(2);
  return kExtendedPrefix + full;
}

bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsFolder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// Removes the link itself: what it points to may lie anywhere and is never touched.
void RemoveLink(const std::wstring& path, DWORD attributes) {
  if (IsFolder(attributes)) {
    RemoveDirectoryW(path.c_str());
  } else {
    DeleteFileW(path.c_str());
  }
}

bool DeleteTree(const std::wstring& folder) {
  WIN32_FIND_DATAW item = {};
  FindHandle listing(FindFirstFileW((folder + L"\\*.*").c_str(), &item));
  if (!listing.valid()) return false;
  do {
    const std::wstring name = item.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    if (IsLink(item.dwFileAttributes)) {
      RemoveLink(path, item.dwFileAttributes);
    } else if (IsFolder(item.dwFileAttributes)) {
      DeleteTree(path);
    } else {
      DeleteFileW(path.c_str());
    }
  } while (FindNextFileW(listing.get(), &item));
  listing.reset();
  RemoveDirectoryW(folder.c_str());
  return true;
}

}  // namespace

bool DeleteFolderTree(const std::wstring& folder) {
  // An empty path would list the current drive's root.
  if (folder.empty()) return false;
  const std::wstring path = ExtendedPath(folder);
  if (path.empty()) return false;
  // The folder itself may be a link (the delivery folder lies where the user can write).
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && IsLink(attributes) && IsFolder(attributes)) {
    RemoveDirectoryW(path.c_str());
    return true;
  }
  return DeleteTree(path);
}
