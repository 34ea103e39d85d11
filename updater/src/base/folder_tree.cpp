#include "base/folder_tree.h"

#include <windows.h>

#include <memory>
#include <vector>

#include "base/checked_items.h"
#include "base/disk_changes.h"
#include "base/handles.h"
#include "base/paths.h"

namespace {

// A folder being emptied is held without delete sharing: nobody else can rename or remove it.
constexpr DWORD kHeldFolderSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kAnySharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kListingBytes = 64 * 1024;

struct ListedItem {
  std::wstring name;
  bool folder;
  bool link;  // listed as a link (a reparse point's tag comes in the EA size)
  ItemIdentity identity;
};

// A folder being emptied: checked and held, with what its handle listed and how far the walk
// has come through it.
struct OpenFolder {
  CheckedItem folder;
  std::vector<ListedItem> items;
  std::size_t next = 0;
};

// The items of an open folder (without "." and ".."), listed through its handle.
std::vector<ListedItem> ListThroughHandle(const CheckedItem& opened) {
  const HANDLE folder = opened.handle.get();
  // Asked once per folder: what is listed is checked to be on the folder's volume.
  BY_HANDLE_FILE_INFORMATION folderInfo = {};
  std::vector<ListedItem> items;
  if (!GetFileInformationByHandle(folder, &folderInfo)) return items;
  const DWORD volume = folderInfo.dwVolumeSerialNumber;
  const std::unique_ptr<char[]> buffer(new char[kListingBytes]);
  while (GetFileInformationByHandleEx(folder, FileIdBothDirectoryInfo, buffer.get(),
                                      kListingBytes)) {
    for (DWORD offset = 0;;) {
      const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.get() + offset);
      std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") {
        items.push_back({std::move(name), (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                         IsLinkReparse(entry->FileAttributes, entry->EaSize),
                         {volume, static_cast<ULONGLONG>(entry->FileId.QuadPart)}});
      }
      if (entry->NextEntryOffset == 0) break;
      offset += entry->NextEntryOffset;
    }
  }
  return items;
}

// Opens the item at path (in final form) for removal, without following a link; a folder for
// listing too. Given what the listing showed, it must be that very item.
CheckedItem OpenForRemoval(const std::wstring& path, bool folder,
                           const ItemIdentity* listed = nullptr) {
  return folder ? OpenChecked(path, DELETE, kHeldFolderSharing, ItemKind::kFolder, listed)
                : OpenChecked(path, DELETE, kAnySharing, ItemKind::kAny, listed);
}

bool IsFolder(const CheckedItem& item) {
  return (item.info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

bool DeleteFolderTree(const std::wstring& folder) {
  // An empty path would name the current folder.
  if (folder.empty()) return false;
  std::wstring full = ExtendedPath(folder);
  while (!full.empty() && full.back() == L'\\') full.pop_back();
  const size_t cut = full.find_last_of(L'\\');
  if (full.empty() || cut == std::wstring::npos) return false;

  // The folder above is taken as it is, links and all; from the folder itself down, nothing is
  // followed.
  const FileHandle parent(CreateFileW(full.substr(0, cut + 1).c_str(), FILE_READ_ATTRIBUTES,
                                      kAnySharing, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  std::wstring parentPath = parent.valid() ? FinalPathOf(parent.get()) : std::wstring();
  // A drive's root ends in its separator.
  if (!parentPath.empty() && parentPath.back() == L'\\') parentPath.pop_back();
  if (parentPath.empty()) return false;
  std::vector<OpenFolder> stack(1);
  stack.back().folder = OpenForRemoval(parentPath + L"\\" + full.substr(cut + 1), true);
  switch (stack.back().folder.state) {
    case CheckedState::kLink:
      // The link goes, never what it points to.
      RemoveThroughHandle(stack.back().folder.handle.get());
      return true;
    case CheckedState::kElsewhere:
      // A link the platform opened through without showing it: left alone.
      return true;
    case CheckedState::kChecked:
      if (IsFolder(stack.back().folder)) break;
      return false;
    case CheckedState::kHardLinked:
    case CheckedState::kUnavailable:
      return false;
  }
  stack.back().items = ListThroughHandle(stack.back().folder);

  while (!stack.empty()) {
    OpenFolder& top = stack.back();
    if (top.next == top.items.size()) {
      // Empty now, or holding what could not be removed (then it stays). Gone once let go.
      const bool removed = RemoveThroughHandle(top.folder.handle.get());
      stack.pop_back();
      if (removed) NoteDiskChange();
      continue;
    }
    const ListedItem& listed = top.items[top.next++];
    CheckedItem item =
        OpenForRemoval(top.folder.finalPath + L"\\" + listed.name, listed.folder, &listed.identity);
    // Listed as a link but opened as a plain item: the platform went through the link (Wine
    // does so with a Unix link), and what it reached is not ours.
    if (listed.link && item.state != CheckedState::kLink) continue;
    switch (item.state) {
      case CheckedState::kChecked:
        if (IsFolder(item)) {
          std::vector<ListedItem> items = ListThroughHandle(item);
          stack.push_back(OpenFolder{std::move(item), std::move(items), 0});
          continue;
        }
        [[fallthrough]];
      case CheckedState::kLink:        // the link itself, never its target
      case CheckedState::kHardLinked:  // this name only; the file keeps its other names
        if (RemoveThroughHandle(item.handle.get())) {
          item.handle.reset();
          NoteDiskChange();
        }
        break;
      case CheckedState::kElsewhere:  // reached through a link: not ours to remove
      case CheckedState::kUnavailable:  // gone, or held by another program
        break;
    }
  }
  return true;
}
