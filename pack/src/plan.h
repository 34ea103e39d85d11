#pragma once
// What a delivery must hold to turn the old installation tree into the new one, by the
// updater's rules; no file is read here but through the comparison handed in.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "findings.h"
#include "tree.h"

struct PlanOptions {
  size_t rootLength;      // characters of the installation root the delivery must fit
  size_t deliveryLength;  // characters of the delivery folder on the user's machine
  bool deliversUpdater;   // an Updater.exe goes to the top of the delivery
  // Whether the new tree's file (relative name) holds the same bytes as that updater.
  std::function<bool(const std::string&)> sameAsUpdater;
  // Whether two files of equal size hold the same bytes; false when either cannot be read.
  std::function<bool(const TreeItem& oldFile, const TreeItem& newFile, bool& same)> sameContents;
};

struct Plan {
  std::vector<std::string> deleted;  // old tree's names, for "DeletedFiles:"
  std::vector<std::string> updated;  // new tree's names, parents first, for "UpdatedFiles:"
  std::uint64_t updatedBytes = 0;
  std::uint64_t unchanged = 0;
  std::vector<std::string> unchangedFiles;  // new tree's names, in its order
  // Why each file of updated and deleted goes: "new", "changed: ...", "gone from NEW".
  std::unordered_map<std::string, std::string> why;
};

// The entries of the delivery from the two listings, with a finding for everything the updater
// could not apply (refused) or would apply otherwise than the new tree reads (warned).
Plan PlanDelivery(const std::vector<TreeItem>& oldTree, const std::vector<TreeItem>& newTree,
                  const PlanOptions& options, Report& report);

// Findings for one manifest entry of the given section: its name in code page 936, as
// Windows names, and within the path limits of the root and (for updated files) the delivery.
void CheckEntryName(const std::string& relative, bool updated, size_t rootLength,
                    size_t deliveryLength, int line, Report& report);

// A problem unless the file at path is what the first stage can start as the updater: a 32-bit
// Windows GUI program (PE32, i386, GUI subsystem).
void CheckUpdaterProgram(const std::filesystem::path& path, const std::string& given,
                         Report& report);

// The fixed names at the top of a delivery, and the main application the updater restarts.
inline constexpr char kManifestName[] = "UpdateInfo.ini";
inline constexpr char kUpdaterName[] = "Updater.exe";
// The updater keeps its journal of an update below the installation root; not part of a tree.
inline constexpr char kUpdaterStateFolder[] = ".vintrel";
inline constexpr char kMainApplication[] = u8"bin/32bit/Kivo直播助手.exe";
