// vintrel-pack: makes a delivery for the updater from two installation trees, and checks an
// existing delivery against the updater's rules.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <string>
#include <utility>
#include <vector>

#include "cp936.h"
#include "delivery.h"
#include "delivery_check.h"
#include "delta.h"
#include "delta_check.h"
#include "feed.h"
#include "findings.h"
#include "hash_list_check.h"
#include "hash_list.h"
#include "names.h"
#include "out_folder.h"
#include "plan.h"
#include "platform.h"
#include "progress.h"
#include "release.h"
#include "sha256.h"
#include "signing.h"
#include "tree.h"
#include "utf8_arguments.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr int kExitFine = 0;
constexpr int kExitProblems = 1;
constexpr int kExitUsage = 2;

struct Options {
  std::string oldTree, newTree, out, updater, delivery, installed;
  std::string key;                      // diff: the private key that signs the list
  std::string keyPass;                  // diff: where the key's passphrase comes from
  std::vector<std::string> publicKeys;  // check: the keys a signature must verify with
  size_t rootLength = kDefaultRootLength;
  size_t deliveryLength = kDefaultDeliveryLength;
  bool force = false;
  bool json = false;
  bool delta = false;
  bool full = false;      // diff: every file delivered, onto any earlier release
  // diff --full: the files of every earlier release (UTF-8), deleted where NEW lacks them.
  std::vector<std::string> history;
  std::string feed;       // publish: the feed folder
  size_t keep = 3;        // publish: partial deliveries from this many earlier releases
  std::string share = "100%";  // publish --rollout, rollout --share: "50%", as given
  bool allowDowngrade = false;
  bool fullPlan = false;  // diff: list every file in the text report
  bool dryRun = false;    // diff: decide and report everything, write nothing
  // The hash list's release number: by default the time of the run, so later runs list higher.
  std::uint64_t release = static_cast<std::uint64_t>(std::time(nullptr));
  std::string releaseText, previousReleaseText;  // as given, checked after parsing
  std::string previous;                          // an earlier delivery whose release to pass
};

// Set from the arguments before they are parsed, so that even a parser's complaint is JSON.
bool jsonUsage = false;

int UsageError(const std::string& message) {
  if (jsonUsage) {
    PrintUsageJson(message, std::cout);
  } else {
    std::cerr << "vintrel-pack: " << message << "\n";
  }
  return kExitUsage;
}

bool IsFolder(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

// The path made absolute, with "." and ".." levels and a trailing separator gone: "dir/" and
// "dir" name one folder, and its last level is its own name.
fs::path Normalized(const std::string& utf8) {
  std::error_code ec;
  fs::path path = fs::absolute(fs::u8path(utf8), ec).lexically_normal();
  if (!path.has_filename() && path.has_relative_path()) path = path.parent_path();
  return path;
}

// Whether two levels of a path name one folder: Windows compares names without case.
bool SameLevel(const fs::path& a, const fs::path& b) {
#ifdef _WIN32
  return CaseKey(a.u8string()) == CaseKey(b.u8string());
#else
  return a == b;
#endif
}

// Whether inner is folder itself or lies below it, links resolved as far as the paths exist.
bool IsInside(const fs::path& inner, const fs::path& folder) {
  std::error_code ec;
  const fs::path a = fs::weakly_canonical(inner, ec);
  const fs::path b = fs::weakly_canonical(folder, ec);
  auto ai = a.begin();
  for (auto bi = b.begin(); bi != b.end(); ++bi, ++ai) {
    if (bi->empty()) continue;
    if (ai == a.end() || !SameLevel(*ai, *bi)) return false;
  }
  return true;
}

// Why out cannot take the delivery, or empty: it must not be, hold or lie inside a tree or the
// updater (replacing it would destroy them), and --force replaces only an earlier delivery.
std::string OutProblem(const fs::path& out,
                       const std::vector<std::pair<const char*, fs::path>>& inputs, bool force) {
  for (const auto& [name, input] : inputs) {
    const std::string where = std::string(name) + " (" + input.u8string() + ")";
    if (IsInside(out, input)) return "--out is or lies inside " + where + "; choose another";
    if (IsInside(input, out)) return "--out holds " + where + "; choose another";
  }
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(out, ec))) return std::string();
  // An empty folder, as mktemp -d makes one, is taken as it is.
  if (fs::is_directory(fs::symlink_status(out, ec)) && fs::is_empty(out, ec) && !ec) {
    return std::string();
  }
  if (!force) {
    return "already exists and is not empty; pass --force to replace an earlier delivery "
           "there (one whose every file its UpdateInfo.sha256 names), or choose another --out";
  }
  return ReplaceProblem(out);
}

int Finish(const Report& report, bool json) {
  if (json) {
    PrintJson(report, std::cout);
  } else {
    PrintText(report, std::cout);
  }
  return report.ProblemCount() == 0 ? kExitFine : kExitProblems;
}

// A delta delivery's options: a changed file's base is the old tree's file of its name (in any
// case, as Windows finds it).
DeltaOptions DeltaFor(const fs::path& oldRoot, const std::vector<TreeItem>& oldItems,
                      size_t deliveryLength) {
  auto oldFiles = std::make_shared<std::unordered_map<std::string, std::string>>();
  for (const TreeItem& item : oldItems) {
    if (item.kind == ItemKind::kFile) oldFiles->emplace(CaseKey(item.relative), item.relative);
  }
  DeltaOptions delta{};
  delta.deliveryLength = deliveryLength;
  delta.baseOf = [oldRoot, oldFiles](const std::string& relative) {
    const auto found = oldFiles->find(CaseKey(relative));
    return found == oldFiles->end() ? fs::path() : JoinRelative(oldRoot, found->second);
  };
  return delta;
}

// A full delivery's options: no file has a base, so each goes as a zstd frame where smaller.
DeltaOptions FramesOnly(size_t deliveryLength) {
  DeltaOptions frames{};
  frames.deliveryLength = deliveryLength;
  frames.baseOf = [](const std::string&) { return fs::path(); };
  return frames;
}

// Turns plan into a full delivery's: the unchanged files are delivered too, so that the delivery
// makes the release of any installation. The deletions stay those of the trees compared.
void DeliverEveryFile(const std::vector<TreeItem>& newItems, Plan& plan) {
  const FileIndex newFiles = IndexFiles(newItems);
  for (const std::string& relative : plan.unchangedFiles) {
    plan.updated.push_back(relative);
    plan.why[relative] = "unchanged; a full delivery carries every file";
    plan.updatedBytes += newFiles.at(CaseKey(relative))->size;
  }
  plan.unchangedFiles.clear();
  plan.unchanged = 0;
  std::sort(plan.updated.begin(), plan.updated.end(),
            [](const std::string& a, const std::string& b) { return ParentsFirstLess(a, b); });
}

// A full delivery deletes what any earlier release had and NEW lacks: the main application's
// own files, which no release had, stay.
void DeleteHistory(const std::vector<std::string>& history, const std::vector<TreeItem>& newItems,
                   Plan& plan) {
  std::unordered_map<std::string, bool> known;
  for (const TreeItem& item : newItems) known[CaseKey(item.relative)] = true;
  for (const std::string& relative : plan.deleted) known[CaseKey(relative)] = true;
  for (const std::string& relative : history) {
    if (!known.emplace(CaseKey(relative), true).second) continue;
    plan.deleted.push_back(relative);
    plan.why[relative] = "in an earlier release, gone from NEW";
  }
  std::sort(plan.deleted.begin(), plan.deleted.end(),
            [](const std::string& a, const std::string& b) { return ParentsFirstLess(a, b); });
}

// The list's lines of a whole release for the delivery of plan: "full" with NEW's main
// application's file version, or "from" the base release with each file that stays as it is
// listed as kept. Problems go to report.
HashList WholeRelease(const fs::path& newRoot, const std::vector<TreeItem>& newItems,
                      const Plan& plan, bool full, std::uint64_t from, Report& report) {
  HashList whole;
  whole.format = 3;
  whole.full = full;
  if (full) {
    std::string why;
    const auto version = MainApplicationVersion(newRoot, newItems, why);
    if (version) {
      whole.mainVersion = *version;
    } else {
      // 0.0.0.0: below any installed main application's version.
      report.Warning("full-without-version", kMainApplication, 0,
                     "a full delivery names the main application's file version, which an "
                     "installation with no release recorded holds its own against, and NEW's "
                     "has none (" + why + "): listed as 0.0.0.0, the delivery applies only "
                     "where a release is recorded or no main application with a version is "
                     "installed",
                     "give the main application a VERSIONINFO resource");
    }
    return whole;
  }
  whole.from = from;
  const FileIndex newFiles = IndexFiles(newItems);
  for (const std::string& relative : plan.unchangedFiles) {
    ListedFile kept{Utf8ToCp936(relative).value_or(relative), {}, 0, 0};
    std::string error;
    if (!HashFile(JoinRelative(newRoot, relative), kept.sha256, error)) {
      report.Problem("unreadable", relative, 0, error, "check its permissions and run again");
      continue;
    }
    kept.size = newFiles.at(CaseKey(relative))->size;
    whole.kept.push_back(std::move(kept));
  }
  return whole;
}

// The delivered bytes against a plain delivery's, and how the files went.
void AddDeltaCounts(const DeltaStats& stats, std::uint64_t plainBytes, Report& report) {
  for (auto& [name, value] : report.counts) {
    if (name == "bytes delivered") value = stats.deliveredBytes;
  }
  report.counts.insert(report.counts.end(), {{"bytes of a plain delivery", plainBytes},
                                             {"files as patches", stats.patches},
                                             {"files as zstd frames", stats.frames},
                                             {"files plain", stats.plain}});
  if (plainBytes > 0) {
    const std::uint64_t tenths = (stats.deliveredBytes * 1000 + plainBytes / 2) / plainBytes;
    report.notes.push_back("delta delivery: " + std::to_string(stats.deliveredBytes) +
                           " bytes delivered for " + std::to_string(plainBytes) +
                           " bytes of files, " + std::to_string(tenths / 10) + "." +
                           std::to_string(tenths % 10) + "% of a plain delivery");
  }
}

// Whether a limit, not the sizes alone, decided how a file goes: such files are listed even in
// the plan's summary, since a publisher would otherwise expect a patch.
bool DecidedByALimit(const std::string& why) {
  return why.find("limit") != std::string::npos ||
         why.find("another delivered file") != std::string::npos;
}

// Every file of the two trees with what becomes of it, in the manifest's order: deletions, the
// files to copy, the updater of its own, then the unchanged. delivered: how the files to copy
// went, when the delivery was decided (plain unless delta says otherwise).
std::vector<PlannedFile> PlannedFiles(const Plan& plan, const std::vector<TreeItem>& oldItems,
                                      const std::vector<TreeItem>& newItems, bool delivered,
                                      const DeltaOptions* delta,
                                      const std::uint64_t* updaterOfItsOwn) {
  const FileIndex oldFiles = IndexFiles(oldItems), newFiles = IndexFiles(newItems);
  const auto sizeIn = [](const FileIndex& files, const std::string& relative) {
    const auto found = files.find(CaseKey(relative));
    return found == files.end() ? std::uint64_t{0} : found->second->size;
  };
  std::unordered_map<std::string, const DeltaFile*> deltaFiles;
  if (delta) {
    for (const DeltaFile& file : delta->files) deltaFiles.emplace(file.relative, &file);
  }
  std::vector<PlannedFile> files;
  for (const std::string& relative : plan.deleted) {
    files.push_back({relative, "delete", "", sizeIn(oldFiles, relative), 0,
                     plan.why.at(relative), false});
  }
  for (const std::string& relative : plan.updated) {
    PlannedFile file{relative, "copy", "", sizeIn(newFiles, relative), 0, plan.why.at(relative),
                     false};
    const auto found = deltaFiles.find(relative);
    if (delivered && found != deltaFiles.end()) {
      const DeltaFile& how = *found->second;
      file.delivery = how.kind == ListedKind::kPatch  ? "patch"
                      : how.kind == ListedKind::kZstd ? "zstd frame"
                                                      : "plain";
      file.deliveredBytes = how.deliveredBytes;
      file.why += "; " + how.why;
      file.notable = DecidedByALimit(how.why);
    } else if (delivered) {
      file.delivery = "plain";
      file.deliveredBytes = file.size;
      file.why += "; plain: without --delta every file goes as it is";
    }
    files.push_back(std::move(file));
  }
  if (updaterOfItsOwn) {
    files.push_back({kUpdaterName, "copy", delivered ? "plain" : "",
                     *updaterOfItsOwn, delivered ? *updaterOfItsOwn : 0,
                     "given with --updater; plain: the first stage copies the updater as it is",
                     false});
  }
  for (const std::string& relative : plan.unchangedFiles) {
    const std::uint64_t size = sizeIn(newFiles, relative);
    files.push_back({relative, "unchanged", "", size, 0, "same size and content", false});
  }
  return files;
}

int RunDiff(const Options& options) {
  const fs::path oldRoot = Normalized(options.oldTree);
  const fs::path newRoot = Normalized(options.newTree);
  const fs::path out = Normalized(options.out);
  if (!IsFolder(oldRoot)) return UsageError(options.oldTree + ": OLD is not a folder");
  if (!IsFolder(newRoot)) return UsageError(options.newTree + ": NEW is not a folder");
  std::optional<fs::path> updater;
  std::vector<std::pair<const char*, fs::path>> inputs = {{"OLD", oldRoot}, {"NEW", newRoot}};
  if (!options.updater.empty()) {
    updater = Normalized(options.updater);
    std::error_code ec;
    if (!fs::is_regular_file(*updater, ec)) {
      return UsageError(options.updater + ": --updater is not a file");
    }
    inputs.emplace_back("--updater", *updater);
  }
  const std::string outProblem = OutProblem(out, inputs, options.force);
  if (!outProblem.empty()) return UsageError(options.out + ": " + outProblem);
  // The release to pass: given, or read from the previous delivery's list.
  std::optional<std::uint64_t> previousRelease;
  std::string previousFrom;
  if (!options.previousReleaseText.empty()) {
    previousRelease = ParseRelease(options.previousReleaseText);
    previousFrom = "--previous-release";
  } else if (!options.previous.empty()) {
    std::string previousError;
    previousRelease.emplace();
    if (!ReadDeliveryRelease(Normalized(options.previous), *previousRelease, previousError)) {
      return UsageError("--previous " + previousError);
    }
    previousFrom = options.previous;
  }
  // A signed partial delivery says which release it applies onto.
  if (!options.key.empty() && !options.full && !previousRelease) {
    return UsageError("--key: a signed delivery names the release it applies onto; give "
                      "--previous-release N or --previous DELIVERY (the release OLD is), or make "
                      "a full delivery with --full");
  }
  // A key that cannot sign is found before any work is done.
  std::optional<DeliveryKey> signingKey;
  if (!options.key.empty()) {
    std::string keyError;
    signingKey.emplace();
    std::string passphrase;
    if (!options.keyPass.empty() && !ReadPassphrase(options.keyPass, passphrase, keyError)) {
      return UsageError(keyError);
    }
    if (!LoadDeliveryKey(fs::u8path(options.key), true, *signingKey, keyError,
                         options.keyPass.empty() ? nullptr : &passphrase)) {
      return UsageError("--key " + keyError);
    }
  }

  Report report;
  report.command = "diff";
  report.target = out.u8string();
  report.fullPlan = options.fullPlan;
  std::vector<TreeItem> oldItems, newItems;
  std::string error;
  if (!ListTree(oldRoot, oldItems, error) || !ListTree(newRoot, newItems, error)) {
    report.Problem("unreadable", error, 0, "the tree cannot be listed", "check its permissions");
    return Finish(report, options.json);
  }
  DropTopFolder(oldItems, kUpdaterStateFolder);
  DropTopFolder(newItems, kUpdaterStateFolder);
  if (updater) CheckUpdaterProgram(*updater, options.updater, report);
  CheckDirection(oldRoot, oldItems, newRoot, newItems, options.allowDowngrade, report);
  CheckReleaseRange(options.release, std::string(kHashListFileName), report);
  if (previousRelease) CheckAbovePrevious(options.release, *previousRelease, previousFrom, report);

  std::uint64_t filesCompared = 0, bytesCompared = 0;
  Plan plan;
  {
    Progress progress("compared");
    PlanOptions planOptions;
    planOptions.rootLength = options.rootLength;
    planOptions.deliveryLength = options.deliveryLength;
    planOptions.deliversUpdater = updater.has_value();
    planOptions.sameAsUpdater = [&](const std::string& relative) {
      bool same = false;
      std::error_code sizeError;
      const fs::path file = JoinRelative(newRoot, relative);
      return fs::file_size(file, sizeError) == fs::file_size(*updater, sizeError) &&
             SameContents(file, *updater, nullptr, same, error) && same;
    };
    planOptions.sameContents = [&](const TreeItem& oldFile, const TreeItem& newFile, bool& same) {
      ++filesCompared;
      progress.AddFile(0);
      return SameContentsBelow(oldRoot, oldFile.relative, newRoot, newFile.relative,
                               [&](std::uint64_t bytes) {
                                 bytesCompared += bytes;
                                 progress.AddBytes(bytes);
                               },
                               same, error);
    };
    plan = PlanDelivery(oldItems, newItems, planOptions, report);
  }
  std::optional<HashList> whole;
  if (options.full || previousRelease) {
    if (options.full) DeliverEveryFile(newItems, plan);
    if (options.full) DeleteHistory(options.history, newItems, plan);
    whole = WholeRelease(newRoot, newItems, plan, options.full,
                         previousRelease ? *previousRelease : 0, report);
  }
  // The updater given goes to the top as a file of its own unless NEW delivers it there.
  bool updaterOfItsOwn = updater.has_value();
  for (const std::string& relative : plan.updated) {
    updaterOfItsOwn &= CaseKey(relative) != CaseKey(kUpdaterName);
  }
  std::error_code sizeError;
  const std::uint64_t updaterBytes = updaterOfItsOwn ? fs::file_size(*updater, sizeError) : 0;
  report.counts = {{"files to copy", plan.updated.size() + updaterOfItsOwn},
                   {"files to delete", plan.deleted.size()},
                   {"unchanged", plan.unchanged},
                   {"files compared by content", filesCompared},
                   {"bytes compared", bytesCompared},
                   {"bytes delivered", plan.updatedBytes + updaterBytes}};
  const std::uint64_t* updaterPlanned = updaterOfItsOwn ? &updaterBytes : nullptr;
  // A run that ends without its delivery delivers nothing, whatever its plan was.
  const auto nothingDelivered = [&]() {
    for (auto& [name, value] : report.counts) {
      if (name == "bytes delivered") value = 0;
    }
    report.plan = PlannedFiles(plan, oldItems, newItems, false, nullptr, updaterPlanned);
    return Finish(report, options.json);
  };
  if (report.ProblemCount() > 0) {
    report.notes.push_back("nothing was written: fix the problems above and run again");
    return nothingDelivered();
  }
  std::optional<DeltaOptions> delta;
  if (options.full) {
    delta = FramesOnly(options.deliveryLength);
  } else if (options.delta) {
    delta = DeltaFor(oldRoot, oldItems, options.deliveryLength);
  }
  if (options.dryRun) {
    // Decided as the real run decides, each frame and patch made and measured, none written.
    if (delta) {
      Progress progress("measured");
      if (!MeasureDelta(newRoot, plan, *delta,
                        [&](std::uint64_t bytes) { progress.AddFile(bytes); }, error)) {
        report.Problem("unreadable", newRoot.u8string(), 0, error,
                       "check the file's permissions and run again");
        return nothingDelivered();
      }
    }
  } else {
    Progress progress(options.delta ? "encoded" : "copied");
    for (const fs::path& stale : RemoveStalePartials(out)) {
      report.notes.push_back("removed " + stale.u8string() +
                             ", a partial delivery left by a run that was ended");
    }
    // OutProblem has allowed what is there: an earlier delivery with --force, or an empty folder.
    std::error_code ec;
    const bool replace = fs::exists(fs::symlink_status(out, ec));
    CatchInterrupts(true);
    const bool written = WriteDelivery(newRoot, plan, updater ? &*updater : nullptr,
                                       options.release, signingKey ? &*signingKey : nullptr, out,
                                       replace,
                                       [&](std::uint64_t bytes) { progress.AddFile(bytes); },
                                       error, delta ? &*delta : nullptr,
                                       whole ? &*whole : nullptr);
    if (!written && Interrupted()) {
      report.Problem("interrupted", out.u8string(), 0,
                     "the run was interrupted; the partial delivery has been removed",
                     "run again");
      nothingDelivered();
      std::cout.flush();
      // Ends the process as the interrupt would have.
      CatchInterrupts(false);
      return kExitProblems;
    }
    CatchInterrupts(false);
    if (!written) {
      report.Problem("write-failed", out.u8string(), 0, error,
                     "check the space and permissions of the destination and run again");
      return nothingDelivered();
    }
  }
  report.plan = PlannedFiles(plan, oldItems, newItems, true, delta ? &*delta : nullptr,
                             updaterPlanned);
  if (delta) {
    // The updater of its own is copied as it is, beside the files the delta decided on.
    delta->stats.plain += updaterOfItsOwn;
    delta->stats.deliveredBytes += updaterBytes;
    AddDeltaCounts(delta->stats, plan.updatedBytes + updaterBytes, report);
  }
  if (options.dryRun) {
    report.notes.push_back("dry run: nothing was written; the delivery would go to " +
                           out.u8string());
    return Finish(report, options.json);
  }
  report.notes.push_back("delivery written to " + out.u8string());
  if (signingKey) report.notes.push_back("UpdateInfo.sha256 signed with " + options.key);
  return Finish(report, options.json);
}

// "50%" or "50" (a percent, up to two decimals) into hundredths of a percent.
bool ParseShareOption(std::string text, std::uint32_t& share) {
  if (text.empty() || text.back() != '%') text += '%';
  return vintrel::ParseRolloutShare(text, share);
}

std::string ShareExpected(const std::string& option) {
  return option + " takes the share of devices as a percent from 0 to 100, at most two "
                  "decimals (\"10%\", \"12.5\")";
}

// Signs index with the publisher's key and puts it into feed.
bool SignFeedIndex(const Options& options, const fs::path& feed, const vintrel::FeedIndex& index,
                   std::string& error) {
  std::string passphrase;
  DeliveryKey key;
  return (options.keyPass.empty() || ReadPassphrase(options.keyPass, passphrase, error)) &&
         LoadDeliveryKey(fs::u8path(options.key), true, key, error,
                         options.keyPass.empty() ? nullptr : &passphrase) &&
         WriteFeedIndex(feed, index, key, error);
}

// Adds the release NEW to the feed folder: its list, its full delivery, a partial delivery from
// each of the last --keep releases, then the signed index naming them. Each delivery is made by
// diff, with its report.
int RunPublish(const Options& options) {
  const fs::path feed = Normalized(options.feed);
  const fs::path newRoot = Normalized(options.newTree);
  if (!IsFolder(newRoot)) return UsageError(options.newTree + ": NEW is not a folder");
  if (options.key.empty()) return UsageError("publish signs the index and every list: give --key");
  std::uint32_t share = 0;
  if (!ParseShareOption(options.share, share)) return UsageError(ShareExpected("--rollout"));
  std::error_code ec;
  fs::create_directories(feed, ec);
  vintrel::FeedIndex index;
  bool indexed = false;
  std::string error;
  if (!ReadFeedIndex(feed, index, indexed, error)) return UsageError("--feed " + error);
  Report report;
  report.command = "publish";
  report.target = feed.u8string();
  const std::uint64_t newestListed = indexed ? index.releases.front().release : 0;
  if (indexed) CheckAbovePrevious(options.release, newestListed, feed.u8string(), report);
  if (report.ProblemCount() > 0) return Finish(report, options.json);
  const std::vector<std::uint64_t> published =
      indexed ? PublishedReleases(feed, newestListed) : std::vector<std::uint64_t>();
  const std::string name = std::to_string(options.release);
  const fs::path target = feed / name;
  const fs::path staging = feed / ("." + name + ".publish-" + std::to_string(ProcessId()));
  const fs::path work = feed / (".work-" + std::to_string(ProcessId()));
  // Above the index's newest release: a folder left by a run that was ended, never served.
  if (fs::exists(target, ec)) {
    fs::remove_all(target, ec);
    report.notes.push_back("removed " + target.u8string() + ", left by a run that was ended");
  }
  // What runs ended by a signal left under hidden names: never in the index.
  std::vector<fs::path> leftovers;
  for (const fs::directory_entry& entry : fs::directory_iterator(feed, ec)) {
    const std::string left = entry.path().filename().u8string();
    if (left.rfind("." + name + ".publish-", 0) == 0 || left.rfind(".work-", 0) == 0) {
      leftovers.push_back(entry.path());
    }
  }
  for (const fs::path& left : leftovers) {
    fs::remove_all(left, ec);
    report.notes.push_back("removed " + left.u8string() + ", left by a run that was ended");
  }
  fs::create_directories(staging, ec);
  fs::create_directories(work / "none", ec);
  const auto failed = [&](const std::string& what) {
    fs::remove_all(staging, ec);
    fs::remove_all(work, ec);
    if (!what.empty()) report.Problem("publish-failed", feed.u8string(), 0, what, "run again");
    report.notes.push_back("the feed is as it was: nothing of release " + name + " is in its index");
    Finish(report, options.json);
    return kExitProblems;
  };
  HashList release;
  std::vector<std::string> history;
  for (const std::uint64_t earlier : published) {
    HashList list;
    if (!ReadReleaseList(feed, earlier, list, error)) return failed(error);
    for (const ListedFile& file : list.files) {
      history.push_back(Cp936ToUtf8(file.path).value_or(file.path));
    }
  }
  if (!ListRelease(newRoot, options.release, release, error) ||
      !WriteReleaseList(staging, release, error)) {
    return failed(error);
  }
  // Each earlier release's tree, made again from its full delivery, is the OLD of a diff.
  const auto treeOf = [&](std::uint64_t earlier, fs::path& tree) {
    tree = work / std::to_string(earlier);
    return fs::exists(tree, ec) || MaterializeRelease(feed, earlier, tree, error);
  };
  Options full = options;
  full.out = (staging / "full").u8string();
  full.full = true;
  full.history = history;
  // The first release's full delivery is made against its own folders without files: every
  // installation it applies onto has its folders already (it runs the updater from one).
  fs::path newest = work / "none";
  std::vector<TreeItem> newItems;
  if (published.empty() && ListTree(newRoot, newItems, error)) {
    for (const TreeItem& item : newItems) {
      if (item.kind == ItemKind::kFolder) fs::create_directories(JoinRelative(newest, item.relative), ec);
    }
  }
  if (!published.empty() && !treeOf(published.back(), newest)) return failed(error);
  full.oldTree = newest.u8string();
  if (RunDiff(full) != kExitFine) return failed("the full delivery was not made (see above)");
  const size_t partials = std::min(options.keep, published.size());
  for (size_t i = published.size() - partials; i < published.size(); ++i) {
    const std::uint64_t from = published[i];
    fs::path tree;
    if (!treeOf(from, tree)) return failed(error);
    Options partial = options;
    partial.oldTree = tree.u8string();
    partial.out = (staging / ("from-" + std::to_string(from))).u8string();
    partial.delta = true;
    partial.previousReleaseText = std::to_string(from);
    if (RunDiff(partial) != kExitFine) {
      return failed("the delivery from " + std::to_string(from) + " was not made (see above)");
    }
  }
  fs::remove_all(work, ec);
  // The release whole in place, then the index that names it.
  fs::rename(staging, target, ec);
  if (ec) return failed(target.u8string() + ": cannot be moved into place: " + ec.message());
  // The earlier releases keep their shares; the index lists them down to the first at 100 %.
  std::map<std::uint64_t, std::uint32_t> shares;
  for (const vintrel::FeedRelease& earlier : index.releases) {
    shares[earlier.release] = earlier.rollout;
  }
  shares[options.release] = share;
  vintrel::FeedIndex next;
  if (!IndexFeedReleases(feed, options.release, shares, next, error) ||
      !SignFeedIndex(options, feed, next, error)) {
    report.Problem("publish-failed", feed.u8string(), 0, error, "run again");
    return Finish(report, options.json);
  }
  report.counts = {{"partial deliveries", next.releases.front().partial.size()},
                   {"bytes of the full delivery", next.releases.front().full.bytes},
                   {"releases in the index", next.releases.size()}};
  report.notes.push_back("release " + name + " published in " + feed.u8string() +
                         ": the index names it, rollout " + vintrel::FormatRolloutShare(share));
  return Finish(report, options.json);
}

// Changes the rollout share of a release the feed's index lists, and signs the index again.
// The releases below it are listed again from their folders when it falls below 100 %, so that
// a paused rollout still leaves every device a release it is in.
int RunRollout(const Options& options) {
  const fs::path feed = Normalized(options.feed);
  std::uint32_t share = 0;
  if (!ParseShareOption(options.share, share)) return UsageError(ShareExpected("--share"));
  if (options.releaseText.empty()) return UsageError("give --release, the release to roll out");
  vintrel::FeedIndex index;
  bool indexed = false;
  std::string error;
  if (!ReadFeedIndex(feed, index, indexed, error)) return UsageError("--feed " + error);
  if (!indexed) return UsageError("--feed " + feed.u8string() + ": there is no index: publish first");
  Report report;
  report.command = "rollout";
  report.target = feed.u8string();
  std::map<std::uint64_t, std::uint32_t> shares;
  bool listed = false;
  for (const vintrel::FeedRelease& release : index.releases) {
    shares[release.release] = release.rollout;
    listed = listed || release.release == options.release;
  }
  if (!listed) {
    return UsageError("--release " + std::to_string(options.release) +
                      " is not in the feed's index (its releases are the ones listed by check)");
  }
  shares[options.release] = share;
  vintrel::FeedIndex next;
  if (!IndexFeedReleases(feed, index.releases.front().release, shares, next, error) ||
      !SignFeedIndex(options, feed, next, error)) {
    report.Problem("rollout-failed", feed.u8string(), 0, error, "run again");
    return Finish(report, options.json);
  }
  std::string listedReleases;
  for (const vintrel::FeedRelease& release : next.releases) {
    listedReleases += (listedReleases.empty() ? "" : ", ") + std::to_string(release.release) +
                      " at " + vintrel::FormatRolloutShare(release.rollout);
  }
  report.notes.push_back("the index lists releases " + listedReleases + ", signed again");
  return Finish(report, options.json);
}

int RunCheck(const Options& options);

// The --public-key files; 0, or the usage error's exit code.
int LoadPublicKeys(const Options& options, std::vector<DeliveryKey>& keys) {
  keys.assign(options.publicKeys.size(), DeliveryKey());
  std::string error;
  for (size_t i = 0; i < keys.size(); ++i) {
    if (!LoadDeliveryKey(fs::u8path(options.publicKeys[i]), false, keys[i], error)) {
      return UsageError("--public-key " + error);
    }
  }
  return 0;
}

// check of a feed folder: its index, then each delivery it names as a delivery.
int RunCheckFeed(const Options& options) {
  std::vector<DeliveryKey> keys;
  if (const int usage = LoadPublicKeys(options, keys)) return usage;
  Report report;
  report.command = "check";
  report.target = options.delivery;
  std::vector<fs::path> deliveries;
  CheckFeed(fs::u8path(options.delivery), keys, report, deliveries);
  int code = Finish(report, options.json);
  for (const fs::path& delivery : deliveries) {
    Options one = options;
    one.delivery = delivery.u8string();
    code = std::max(code, RunCheck(one));
  }
  return code;
}

int RunCheck(const Options& options) {
  const fs::path delivery = fs::u8path(options.delivery);
  std::error_code feedError;
  if (fs::is_regular_file(delivery / std::string(vintrel::kFeedIndexFileName), feedError)) {
    return RunCheckFeed(options);
  }
  if (!IsFolder(delivery)) return UsageError(options.delivery + ": DELIVERY is not a folder");
  if (!options.installed.empty() && !IsFolder(fs::u8path(options.installed))) {
    return UsageError(options.installed + ": --installed is not a folder");
  }
  std::vector<DeliveryKey> keys;
  if (const int usage = LoadPublicKeys(options, keys)) return usage;
  std::string error;
  Report report;
  report.command = "check";
  report.target = delivery.u8string();
  std::vector<TreeItem> items, installed;
  if (!ListTree(delivery, items, error) ||
      (!options.installed.empty() && !ListTree(fs::u8path(options.installed), installed, error))) {
    report.Problem("unreadable", error, 0, "the folder cannot be listed", "check its permissions");
    return Finish(report, options.json);
  }
  // Windows finds the manifest whatever the case of its name.
  std::ifstream manifest;
  for (const TreeItem& item : items) {
    if (item.kind == ItemKind::kFile && CaseKey(item.relative) == CaseKey(kManifestName)) {
      manifest.open(JoinRelative(delivery, item.relative), std::ios::binary);
    }
  }
  CheckOptions checkOptions{options.rootLength, options.deliveryLength,
                            options.installed.empty() ? nullptr : &installed};
  std::vector<CopiedEntry> copied;
  // The manifest's entries name what the frames of a delta delivery decode to.
  CheckDelivery(manifest.is_open() ? &manifest : nullptr, DecodedItems(delivery, items, report),
                checkOptions, report, &copied);
  CheckHashList(delivery, items, manifest.is_open(), copied, report);
  CheckSignature(delivery, items, keys, report);
  if (!options.installed.empty()) {
    CheckPatchBases(delivery, items, fs::u8path(options.installed), installed, report);
  } else {
    std::uint64_t patches = 0;
    const std::string suffix(kPatchSuffix);
    for (const TreeItem& item : items) {
      patches += item.kind == ItemKind::kFile && item.relative.size() > suffix.size() &&
                 CaseKey(item.relative.substr(item.relative.size() - suffix.size())) ==
                     CaseKey(suffix);
    }
    if (patches > 0) {
      report.notes.push_back(
          (patches == 1 ? std::string("the base of 1 patch was") :
                          "the bases of " + std::to_string(patches) + " patches were") +
          " not checked: give --installed OLD to check them against the installation");
    }
  }
  return Finish(report, options.json);
}

int Run(int argc, char** argv) {
  CLI::App app{"vintrel-pack: makes a delivery for the updater from two installation trees, and "
               "checks an existing delivery against the updater's rules.\n"
               "Exit codes: 0 fine, 1 problems found (all listed), 2 wrong usage.",
               "vintrel-pack"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("vintrel-pack ") + VINTREL_PACK_VERSION);
  for (int i = 1; i < argc; ++i) jsonUsage |= std::string(argv[i]) == "--json";
  Options options;
  CLI::App* diff = app.add_subcommand(
      "diff", "Compare the installed tree OLD with the new tree NEW and write the delivery");
  diff->add_option("OLD", options.oldTree, "the old version as installed")->required();
  diff->add_option("NEW", options.newTree, "the new version as built")->required();
  diff->add_option("--out", options.out, "the delivery folder to write")->required();
  diff->add_option("--updater", options.updater,
                   "an Updater.exe to put at the top of the delivery (the first stage runs it)");
  diff->add_flag("--force", options.force,
                 "replace an earlier delivery at --out: only a folder with UpdateInfo.ini at its "
                 "top whose every file its UpdateInfo.sha256 names (besides the list, the "
                 "manifest and UpdateInfo.sig); anything else there is refused, named");
  diff->add_option("--key", options.key,
                   "the publisher's ECDSA P-256 private key (PEM) that signs UpdateInfo.sha256 "
                   "into UpdateInfo.sig, for an updater built with delivery keys");
  diff->add_option("--key-pass", options.keyPass,
                   "where the --key's passphrase comes from, as the openssl tool takes it: "
                   "env:NAME (a variable) or file:PATH (the file's first line); never asked for");
  diff->add_flag("--delta", options.delta,
                 "deliver each changed file as a zstd patch against the installed file, or a "
                 "zstd frame, when smaller (hash list format 2; the updater holds a base and "
                 "decodes with a window of at most 128 MiB, so larger files go as frames or "
                 "plain)");
  diff->add_flag("--full", options.full,
                 "deliver every file of NEW (each as a zstd frame where smaller): the delivery "
                 "applies onto any earlier release and onto a damaged installation, and deletes "
                 "OLD's files that NEW lacks (hash list format 3, \"full\" with the main "
                 "application's file version)");
  diff->add_option("--release", options.releaseText,
                   "the release number in the hash list UpdateInfo.sha256, a decimal number from "
                   "1 to 2^63-1 (default: the current time in seconds since 1970 UTC)");
  CLI::Option* previous = diff->add_option(
      "--previous", options.previous,
      "the delivery published before this one, the release OLD is: the release must be above "
      "its list's, and the delivery applies onto that release only (hash list format 3, "
      "\"from\"; the files that stay are listed as kept, and the updater checks them)");
  diff->add_option("--previous-release", options.previousReleaseText,
                   "the release number published before, the release OLD is: as --previous")
      ->excludes(previous);
  diff->add_flag("--plan", options.fullPlan,
                 "list every file in the report with what becomes of it (copy, delete, "
                 "unchanged), how it is delivered (plain, zstd frame, patch) and why; without "
                 "it the report sums the plan up (--json always lists every file)");
  diff->add_flag("--dry-run", options.dryRun,
                 "decide and report everything, as the real run would, and write nothing");
  diff->add_flag("--allow-downgrade", options.allowDowngrade,
                 "let a NEW whose main application has a lower file version than OLD's through "
                 "(with a warning)");
  CLI::App* check =
      app.add_subcommand("check", "Report every problem the updater would meet with DELIVERY");
  check->add_option("DELIVERY", options.delivery, "the delivery folder")->required();
  check->add_option("--installed", options.installed,
                    "the installation before the update, to follow new folders level by level "
                    "and check each patch's base");
  check->add_option("--public-key", options.publicKeys,
                    "a public key (PEM) UpdateInfo.sig must verify with; repeat it for each key "
                    "the updater is built with (say which one verified)");
  CLI::App* publish = app.add_subcommand(
      "publish", "Add the release NEW to a feed folder: its full delivery, partial deliveries "
                 "from the last releases, and the signed index that names them");
  publish->add_option("NEW", options.newTree, "the new release as built")->required();
  publish->add_option("--feed", options.feed, "the feed folder (made when missing)")->required();
  publish->add_option("--release", options.releaseText,
                      "the release number, above the feed's newest (default: the time of the "
                      "run in seconds since 1970 UTC)");
  publish->add_option("--key", options.key, "the private key (PEM) that signs every list and "
                                            "the index")->required();
  publish->add_option("--key-pass", options.keyPass, "as for diff");
  publish->add_option("--updater", options.updater,
                      "an Updater.exe to put at the top of every delivery");
  publish->add_option("--keep", options.keep,
                      "partial deliveries from this many of the latest releases (default 3)");
  publish->add_flag("--allow-downgrade", options.allowDowngrade, "as for diff");
  publish->add_option("--rollout", options.share,
                      "the share of devices the release goes to at first, e.g. 10% (default "
                      "100%); the releases before it stay in the index for the others")
      ->capture_default_str();
  CLI::App* rollout = app.add_subcommand(
      "rollout", "Change the share of devices a release of the feed goes to, and sign the "
                 "index again");
  rollout->add_option("--feed", options.feed, "the feed folder")->required();
  rollout->add_option("--release", options.releaseText, "a release the index lists")->required();
  rollout->add_option("--share", options.share, "the share of devices, e.g. 50% (0% pauses it)")
      ->required();
  rollout->add_option("--key", options.key, "the private key (PEM) that signs the index")
      ->required();
  rollout->add_option("--key-pass", options.keyPass, "as for diff");
  rollout->add_flag("--json", options.json, "print the report as JSON");
  std::string helpTopic;
  CLI::App* help =
      app.add_subcommand("help", "Describe vintrel-pack, or COMMAND (diff, check, publish, "
                                 "rollout) and its options");
  help->add_option("COMMAND", helpTopic, "the command to describe");
  for (CLI::App* command : {diff, check, publish}) {
    command->add_option("--root-length", options.rootLength,
                        "characters of the installation root the paths must fit (default " +
                            std::to_string(kDefaultRootLength) + ")");
    command->add_option("--delivery-length", options.deliveryLength,
                        "characters of the delivery folder on the user's machine (default " +
                            std::to_string(kDefaultDeliveryLength) + ")");
    // publish prints a report for each delivery it makes and its own: text only.
    if (command != publish) command->add_flag("--json", options.json, "print the report as JSON");
  }
  // The parser would only say that a subcommand is required.
  if (argc < 2) return UsageError("give a command: diff, check, publish, rollout or help");
  const std::string command = argv[1];
  if (command != "diff" && command != "check" && command != "publish" && command != "rollout" &&
      command != "help" && (command.empty() || command[0] != '-')) {
    return UsageError("\"" + command +
                      "\" is no command: the commands are diff, check, publish, rollout and help");
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version end here too, fine; the parser's complaints are said as ours are.
    if (e.get_exit_code() == 0) return app.exit(e) == 0 ? kExitFine : kExitUsage;
    return UsageError(std::string(e.what()) + " (vintrel-pack help [COMMAND] says more)");
  }
  if (help->parsed()) {
    // The formatter directly: help() would describe the help command itself.
    if (helpTopic.empty()) {
      std::cout << app.get_formatter()->make_help(&app, "vintrel-pack", CLI::AppFormatMode::Normal);
      return kExitFine;
    }
    for (CLI::App* topic : {diff, check, publish, rollout}) {
      if (topic->get_name() == helpTopic) {
        std::cout << topic->get_formatter()->make_help(topic, "vintrel-pack " + helpTopic,
                                                       CLI::AppFormatMode::Normal);
        return kExitFine;
      }
    }
    return UsageError("help: there is no command \"" + helpTopic + "\"; the commands are diff, "
                      "check, publish and rollout");
  }
  if (options.rootLength >= kMaxPathLength || options.deliveryLength >= kMaxPathLength) {
    return UsageError("--root-length and --delivery-length must be below " +
                      std::to_string(kMaxPathLength));
  }
  for (const auto& [name, text] : {std::pair<const char*, const std::string&>{
                                       "--release", options.releaseText},
                                   {"--previous-release", options.previousReleaseText}}) {
    if (!text.empty() && !ParseRelease(text)) {
      return UsageError(std::string(name) + " \"" + text + "\" is no release number: it takes " +
                        ReleaseExpected());
    }
  }
  if (!options.releaseText.empty()) options.release = *ParseRelease(options.releaseText);
  if (publish->parsed()) return RunPublish(options);
  if (rollout->parsed()) return RunRollout(options);
  return diff->parsed() ? RunDiff(options) : RunCheck(options);
}

// Run, with anything thrown reported instead of ending the program: every name and file is
// meant to be a finding, so this is a fault of vintrel-pack, said as one.
int RunGuarded(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "vintrel-pack: internal error, please report it: " << e.what() << "\n";
    return kExitProblems;
  }
}

}  // namespace

#ifdef _WIN32
// The arguments as UTF-8, whatever the ANSI code page: names outside it stay intact.
int wmain(int argc, wchar_t** argv) {
  UseUtf8Console();
  Utf8Arguments arguments(argc, argv);
  return RunGuarded(argc, arguments.argv());
}
#else
int main(int argc, char** argv) { return RunGuarded(argc, argv); }
#endif
