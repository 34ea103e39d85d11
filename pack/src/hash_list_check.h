#pragma once
// The check of a delivery's hash list UpdateInfo.sha256: read by the updater's own reader, each
// listed file matched by size and SHA-256, and every file the updater copies required in it.

#include <filesystem>
#include <vector>

#include "delivery_check.h"
#include "findings.h"
#include "tree.h"

// Every problem of the hash list in the delivery folder (items: its listing) against its files
// and the manifest's "UpdatedFiles:" entries, each with its fix; a warning when the delivery
// has none, as the updater then applies it best effort.
void CheckHashList(const std::filesystem::path& delivery, const std::vector<TreeItem>& items,
                   bool hasManifest, const std::vector<CopiedEntry>& copied, Report& report);
