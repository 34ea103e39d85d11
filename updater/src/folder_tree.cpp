#include "folder_tree.h"

#include <windows.h>

#include <vector>

#include "handles.h"
#include "paths.h"

namespace {

bool IsFolder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// Removes the link itself: what it points to may lie anywhere and is never touched.
void RemoveLink(const std::wstring& path, DWORD attributes) {
  if (IsFolder(attributes)) {
    RemoveDirectoryW(path.c_str());
  } else {
    DeleteFileW(path.c_str());
  }
}

// A folder being emptied: held open without delete sharing, so that it cannot be swapped for a
// link while it is listed, and its listing.
struct OpenFolder {
  std::wstring path;
  FileHandle held;
  FindHandle listing;
};

enum class Entered { kListed, kLink, kUnlistable };

// Opens the folder at path without following a link and starts its listing; first is its
// first item. A link is only reported, never listed.
Entered Enter(const std::wstring& path, OpenFolder& folder, WIN32_FIND_DATAW& first) {
  folder.path = path;
  folder.held.reset(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                nullptr));
  // Without a handle the path's attributes still tell.
  if (IsLink(folder.held.get(), path)) return Entered::kLink;
  folder.listing.reset(FindFirstFileW((path + L"\\*.*").c_str(), &first));
  return folder.listing.valid() ? Entered::kListed : Entered::kUnlistable;
}

// Acts on one listed item of folder; returns the path of a subfolder to descend into, or empty.
std::wstring ActOnItem(const std::wstring& folder, const WIN32_FIND_DATAW& item) {
  const std::wstring name = item.cFileName;
  if (name == L"." || name == L"..") return std::wstring();
  const std::wstring path = folder + L"\\" + name;
  if (IsLinkAttributes(item.dwFileAttributes)) {
    RemoveLink(path, item.dwFileAttributes);
  } else if (IsFolder(item.dwFileAttributes)) {
    return path;
  } else {
    DeleteFileW(path.c_str());
  }
  return std::wstring();
}

}  // namespace

bool DeleteFolderTree(const std::wstring& folder) {
  // An empty path would list the current drive's root.
  if (folder.empty()) return false;
  const std::wstring root = ExtendedPath(folder);
  if (root.empty()) return false;

  std::vector<OpenFolder> stack(1);
  WIN32_FIND_DATAW item = {};
  switch (Enter(root, stack.back(), item)) {
    case Entered::kUnlistable:
      return false;
    case Entered::kLink:
      // The folder itself may be a link (the delivery folder lies where the user can write).
      stack.clear();
      RemoveDirectoryW(root.c_str());
      return true;
    case Entered::kListed:
      break;
  }
  bool haveItem = true;
  while (!stack.empty()) {
    if (!haveItem) {
      // The folder on top is empty now, or holds what could not be deleted.
      const std::wstring done = stack.back().path;
      stack.pop_back();
      RemoveDirectoryW(done.c_str());
    } else {
      const std::wstring subfolder = ActOnItem(stack.back().path, item);
      if (!subfolder.empty()) {
        // Checked for a link right before it is listed; one that cannot be listed is passed over.
        stack.emplace_back();
        switch (Enter(subfolder, stack.back(), item)) {
          case Entered::kListed:
            continue;
          case Entered::kLink:
            stack.pop_back();
            RemoveDirectoryW(subfolder.c_str());
            break;
          case Entered::kUnlistable:
            stack.pop_back();
            break;
        }
      }
    }
    if (stack.empty()) break;
    haveItem = FindNextFileW(stack.back().listing.get(), &item) != FALSE;
  }
  return true;
}
