#pragma once
// The folder diff writes to: what --force may replace, and the partial deliveries of runs that
// were killed before they could remove them.

#include <filesystem>
#include <string>
#include <vector>

// Written at the top of a partial delivery while it is made: "vintrel-pack partial <pid>".
// Only a folder holding it, of a process that no longer runs, is removed as stale.
inline constexpr char kPartialMarker[] = ".vintrel-pack-partial";

// The text of the marker for this process.
std::string PartialMarkerText();

// Removes the partial deliveries beside out (".<out's name>.partial-<pid>") that hold the
// marker of a process that no longer runs; returns the folders removed.
std::vector<std::filesystem::path> RemoveStalePartials(const std::filesystem::path& out);

// Why --force may not replace out, or empty: out must be an earlier delivery, every file in it
// named by its hash list, or the list itself, its manifest or its signature.
std::string ReplaceProblem(const std::filesystem::path& out);
