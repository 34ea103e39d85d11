#pragma once
// Paths as the update run uses them: joining, existence, containment judged on the paths the
// file calls will use, and the way to a delivered file checked for links.

#include <windows.h>

#include <string>
#include <vector>

#include "handles.h"

// folder and item joined by PathCombineW, which also resolves "." and ".."; empty when the
// joined path would not fit MAX_PATH.
std::wstring CombinePath(const std::wstring& folder, const std::wstring& item);

// Whether a file or folder exists at path.
bool PathExists(const std::wstring& path);

// The full path that the file calls make of path (".", "..", trailing dots and blanks, drive
// and device forms resolved); empty when it cannot be made.
std::wstring ResolveFullPath(const std::wstring& path);

// Whether path, once resolved, is folder itself or lies below it (compared without regard to
// letter case, as the file system does). An empty folder stands for the current folder; an
// empty path is inside nothing.
bool ResolvesWithinFolder(const std::wstring& path, const std::wstring& folder);

// path in the form that file calls take literally ("\\?\"): names such as "..." or "a." are not
// rewritten into other names, and a deep tree is not cut at MAX_PATH. Empty when path cannot
// be resolved.
std::wstring ExtendedPath(const std::wstring& path);

// Whether attributes mark a reparse point (junction, symbolic link, mount point).
bool IsLinkAttributes(DWORD attributes);

// Whether the item at path, or the one handle has open, is a reparse point itself. Both are
// asked: the handle is what the item is, and the path's attributes are what Wine shows for a
// Unix link that it opens through.
bool IsLink(HANDLE handle, const std::wstring& path);

enum class PlainFileState {
  kPlain,        // a plain file, reached through plain folders only; held open
  kThroughLink,  // a folder on the way or the file itself is a reparse point
  kUnavailable,  // something on the way is missing, is no file, or cannot be opened
};

// A file below a folder, held open without write or delete sharing for as long as this lives.
// The folders on the way are held by the PlainFolders it was opened through.
struct HeldPlainFile {
  PlainFileState state = PlainFileState::kUnavailable;
  // The file's path through the folder as its handle resolved it, for reading it while held.
  std::wstring openedPath;
  FileHandle held;
};

// The plain folders below one folder that files were opened through. Each is opened without
// following a link, checked once and then held without delete sharing (so none of them can be
// renamed, removed or replaced) for as long as this lives: entries of one folder share its check.
struct PlainFolders {
  explicit PlainFolders(const std::wstring& folder);
  std::wstring base;                        // the folder, resolved, without trailing separator
  std::wstring finalBase;                   // the same as its handle resolved it; empty: none
  std::vector<std::wstring> checked;        // the ways below base checked and held
  std::vector<FileHandle> held;             // the folder itself and every checked folder
};

// Opens path, which must resolve below the folders' folder, one component after the other
// without following a link. The folder itself may be reached through links; the way below it
// must be plain.
HeldPlainFile OpenPlainFileBelow(PlainFolders& folders, const std::wstring& path);
