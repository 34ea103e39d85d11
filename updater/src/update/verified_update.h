#pragma once
// A delivery that carries its hash list (UpdateInfo.sha256) is applied all or nothing: every
// file verified and staged beside its destination before the installation is touched, then
// swapped in under a journal that lets the next run repair a kill, and rolled back whole when
// any swap fails.

#include <string>

// Whether the delivery folder (its final path) carries a hash list: then it is applied only by
// ApplyListedDelivery.
bool HasHashList(const std::wstring& deliveryFinalPath);

// Applies the listed delivery in deliveryFinalPath (manifestFolder is its path as the log names
// it) to rootFolder: the list and the manifest verified, each file to copy staged from a checked
// handle and verified by size and SHA-256, then installed files renamed to backups and staged
// copies into place, in the manifest's order, with the log line of each entry. Anything wrong
// refuses the delivery whole, or rolls every swap back, with one log line naming the file and
// the reason: the installation is then as it was. True when the update was committed.
bool ApplyListedDelivery(const std::wstring& manifestFolder, const std::wstring& deliveryFinalPath,
                         const std::wstring& rootFolder);
