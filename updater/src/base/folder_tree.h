#pragma once
// Removing a folder with everything below it.

#include <string>

// Deletes everything below folder, depth first, then folder itself, passing over whatever
// cannot be deleted (a read-only file stays, and so do the folders above it). Each item is
// opened without following a link, checked through its handle (what it is and where it
// resolves) and removed through that handle; a folder is listed through its handle while held,
// and one that cannot be held is neither listed nor entered. A link (junction or symbolic link)
// is removed as a link and never entered. Walks with a stack of its own, so no depth of tree
// exhausts the thread's stack. False when folder cannot be listed.
bool DeleteFolderTree(const std::wstring& folder);
