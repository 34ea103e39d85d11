#pragma once
// The check of a delta delivery's frames beyond their size and hash: the delivery as the
// updater sees it once decoded, and each patch's base against the installed tree.

#include <filesystem>
#include <vector>

#include "findings.h"
#include "tree.h"

// The delivery's items as the updater sees them once it has decoded the frames of a valid
// format-2 hash list: each delivered frame stands at its listed path with the result's size.
// Any other delivery comes back as it is. A file delivered both plain and as a frame is a
// problem.
std::vector<TreeItem> DecodedItems(const std::filesystem::path& delivery,
                                   const std::vector<TreeItem>& items, Report& report);

// Every patch of a valid format 2 or 3 hash list against the installed tree (installed: its
// listing): the file it applies to must be there with the listed base SHA-256; and every kept
// file of a format 3 list, there with its listed size and SHA-256.
void CheckPatchBases(const std::filesystem::path& delivery, const std::vector<TreeItem>& items,
                     const std::filesystem::path& installedRoot,
                     const std::vector<TreeItem>& installed, Report& report);
