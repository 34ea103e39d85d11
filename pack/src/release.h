#pragma once
// What keeps a delivery going forward: its release number above the last one published, and
// the new tree's main application not older than the installed one.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "findings.h"
#include "tree.h"

// Below this no run with the default numbering (seconds since 1970 UTC) can have numbered a
// delivery: 1,000,000,000 s is September 2001, long before vintrel-pack existed.
inline constexpr std::uint64_t kLowestTimeRelease = 1000000000;

// A release number as given: decimal digits only, 1 to 2^63-1; none for anything else.
std::optional<std::uint64_t> ParseRelease(std::string_view text);

// What --release expects, for the message about a value that is not one.
std::string ReleaseExpected();

// The release read as seconds since 1970: "2026-12-07 15:30:00 UTC".
std::string ReleaseTimeText(std::uint64_t release);

// A warning when release lies below every number the default numbering can have given.
void CheckReleaseRange(std::uint64_t release, const std::string& file, Report& report);

// The release number in the hash list of an earlier delivery; false, with error, when it has
// no readable list.
bool ReadDeliveryRelease(const std::filesystem::path& delivery, std::uint64_t& release,
                         std::string& error);

// A problem when release is not above the previous one (from where, e.g. "--previous-release").
void CheckAbovePrevious(std::uint64_t release, std::uint64_t previous, const std::string& where,
                        Report& report);

// The main application's file version in a tree; none, with why, when it has none (or no main
// application).
std::optional<std::array<std::uint16_t, 4>> MainApplicationVersion(
    const std::filesystem::path& root, const std::vector<TreeItem>& items, std::string& why);

// Compares the main application's file version (its VERSIONINFO) in the two trees: a problem
// when NEW's is lower (a warning instead when allowDowngrade), a warning when it cannot be
// compared, a note with both versions otherwise.
void CheckDirection(const std::filesystem::path& oldRoot, const std::vector<TreeItem>& oldItems,
                    const std::filesystem::path& newRoot, const std::vector<TreeItem>& newItems,
                    bool allowDowngrade, Report& report);
