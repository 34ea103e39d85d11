#pragma once
// Paths as the update run uses them: joining, existence, and containment judged on the paths the
// file calls will use.

#include <windows.h>

#include <string>

// folder and item joined by PathCombineW, which also resolves "." and ".."; empty when the
// joined path would not fit MAX_PATH.
std::wstring CombinePath(const std::wstring& folder, const std::wstring& item);

// Whether a file or folder exists at path.
bool PathExists(const std::wstring& path);

// Whether anything, a file, or a folder stands at path (any form, "\\?\" too), as its
// attributes tell.
bool ItemStandsAt(const std::wstring& path);
bool FileStandsAt(const std::wstring& path);
bool FolderStandsAt(const std::wstring& path);

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

// The part of path, once resolved, below folder ("a\\b.dll"); empty when path is folder itself or
// lies outside it (compared as ResolvesWithinFolder compares).
std::wstring PathBelowFolder(const std::wstring& path, const std::wstring& folder);
