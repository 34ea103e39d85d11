#include "release.h"

#include <ctime>
#include <fstream>
#include <iterator>

#include "hash_list.h"
#include "names.h"
#include "pe_file.h"
#include "plan.h"

namespace fs = std::filesystem;

std::optional<std::uint64_t> ParseRelease(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value == 0 || value > kMaxHashListRelease) return std::nullopt;
  return value;
}

std::string ReleaseExpected() {
  return "a whole decimal number from 1 to " + std::to_string(kMaxHashListRelease) +
         ", above every release published before (the default is the time of the run in "
         "seconds since 1970 UTC, such as " +
         std::to_string(static_cast<std::uint64_t>(std::time(nullptr))) +
         "; for a set time: date -u -d '2026-12-07 15:30' +%s)";
}

std::string ReleaseTimeText(std::uint64_t release) {
  // Past year 9999 the number is no time of this calendar.
  if (release > 253402300799u) return "past the year 9999";
  const std::time_t seconds = static_cast<std::time_t>(release);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
  return text;
}

void CheckReleaseRange(std::uint64_t release, const std::string& file, Report& report) {
  if (release >= kLowestTimeRelease) return;
  report.Warning("release-below-time-range", file, 0,
                 "release " + std::to_string(release) + " is below " +
                     std::to_string(kLowestTimeRelease) +
                     ", the least number the default numbering (seconds since 1970) gives; an "
                     "installation that applied a delivery numbered by default refuses this "
                     "one and every later one numbered like it",
                 "use the default, or a number above the last release published (diff "
                 "--previous DELIVERY checks it)");
}

bool ReadDeliveryRelease(const fs::path& delivery, std::uint64_t& release, std::string& error) {
  const fs::path path = delivery / fs::u8path(std::string(kHashListFileName));
  std::ifstream in(path, std::ios::binary);
  std::string bytes;
  if (in) {
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  HashList list;
  HashListError listError;
  if (!in || bytes.size() > kMaxHashListBytes) {
    error = path.u8string() + ": cannot be read; --previous takes an earlier delivery folder";
    return false;
  }
  if (!ParseHashList(bytes, list, listError)) {
    error = path.u8string() + ": is no valid hash list (" + HashListErrorText(listError) + ")";
    return false;
  }
  release = list.release;
  return true;
}

void CheckAbovePrevious(std::uint64_t release, std::uint64_t previous, const std::string& where,
                        Report& report) {
  if (release > previous) return;
  report.Problem("release-not-above-previous", std::string(kHashListFileName), 0,
                 "release " + std::to_string(release) + " is not above release " +
                     std::to_string(previous) + " of the previous delivery (" + where +
                     "), so every installation that applied that one refuses this one",
                 "give --release a number above " + std::to_string(previous) +
                     ", or leave it out to number by the time of the run");
}

namespace {

constexpr char kNoMainApplication[] = "there is none";

}  // namespace

std::optional<std::array<std::uint16_t, 4>> MainApplicationVersion(
    const fs::path& root, const std::vector<TreeItem>& items, std::string& why) {
  const std::string key = CaseKey(kMainApplication);
  for (const TreeItem& item : items) {
    if (item.kind != ItemKind::kFile || CaseKey(item.relative) != key) continue;
    PeFile pe;
    std::string error;
    if (!ReadPeFile(JoinRelative(root, item.relative), pe, error)) {
      why = error;
      return std::nullopt;
    }
    if (!pe.fileVersion) why = "it carries no version information";
    return pe.fileVersion;
  }
  why = kNoMainApplication;
  return std::nullopt;
}

void CheckDirection(const fs::path& oldRoot, const std::vector<TreeItem>& oldItems,
                    const fs::path& newRoot, const std::vector<TreeItem>& newItems,
                    bool allowDowngrade, Report& report) {
  std::string oldWhy, newWhy;
  const auto oldVersion = MainApplicationVersion(oldRoot, oldItems, oldWhy);
  const auto newVersion = MainApplicationVersion(newRoot, newItems, newWhy);
  // Without a main application in NEW, no-main-application has said so already.
  if (!newVersion && newWhy == kNoMainApplication) return;
  if (!oldVersion || !newVersion) {
    report.Warning("direction-unchecked", kMainApplication, 0,
                   std::string("the main application's file version cannot be compared (") +
                       (oldVersion ? "" : "OLD: " + oldWhy) +
                       (!oldVersion && !newVersion ? "; " : "") +
                       (newVersion ? "" : "NEW: " + newWhy) +
                       "), so whether NEW is newer than OLD was not checked",
                   "check that OLD is the installed release and NEW the new one; give the main "
                   "application a VERSIONINFO resource so that this is checked");
    return;
  }
  const std::string versions = VersionText(*oldVersion) + " in OLD, " + VersionText(*newVersion) +
                               " in NEW";
  if (*newVersion < *oldVersion) {
    const std::string message = "the main application's file version is lower in NEW than in "
                                "OLD (" + versions + "): the delivery would bring back the older "
                                "release";
    if (allowDowngrade) {
      report.Warning("downgrade", kMainApplication, 0, message + "; allowed by --allow-downgrade",
                     "none needed if the downgrade is deliberate");
    } else {
      report.Problem("downgrade", kMainApplication, 0, message,
                     "check the order: OLD is the installed release, NEW the new one; pass "
                     "--allow-downgrade for a deliberate downgrade");
    }
    return;
  }
  report.notes.push_back(std::string("main application: ") + versions);
}
