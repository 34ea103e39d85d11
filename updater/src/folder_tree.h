#pragma once
// Removing a folder with everything below it.

#include <string>

// Deletes everything below folder, depth first, then folder itself, passing over whatever
// cannot be deleted (a read-only file stays, and so do the folders above it). A link (junction
// or symbolic link) is removed as a link and never entered. Walks with a stack of its own, so
// no depth of tree exhausts the thread's stack. False when folder cannot be listed.
bool DeleteFolderTree(const std::wstring& folder);
