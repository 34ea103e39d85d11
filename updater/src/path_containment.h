#pragma once
// Whether a path names something inside a folder, judged on the paths the file calls will use.

#include <string>

// The full path that the file calls make of path (".", "..", trailing dots and blanks, drive
// and device forms resolved); empty when it cannot be made.
std::wstring ResolveFullPath(const std::wstring& path);

// Whether path, once resolved, is folder itself or lies below it (compared without regard to
// letter case, as the file system does). An empty folder stands for the current folder; an
// empty path is inside nothing.
bool IsWithinFolder(const std::wstring& path, const std::wstring& folder);
