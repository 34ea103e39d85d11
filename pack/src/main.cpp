// vintrel-pack: makes a delivery for the updater from two installation trees, and checks an
// existing delivery against the updater's rules.

#include <CLI/CLI.hpp>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <unordered_map>
#include <string>
#include <utility>
#include <vector>

#include "delivery.h"
#include "delivery_check.h"
#include "delta.h"
#include "delta_check.h"
#include "findings.h"
#include "hash_list_check.h"
#include "hash_list.h"
#include "names.h"
#include "plan.h"
#include "platform.h"
#include "progress.h"
#include "signing.h"
#include "tree.h"

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
  std::vector<std::string> publicKeys;  // check: the keys a signature must verify with
  size_t rootLength = kDefaultRootLength;
  size_t deliveryLength = kDefaultDeliveryLength;
  bool force = false;
  bool json = false;
  bool delta = false;
  // The hash list's release number: by default the time of the run, so later runs list higher.
  std::uint64_t release = static_cast<std::uint64_t>(std::time(nullptr));
};

int UsageError(const std::string& message) {
  std::cerr << "vintrel-pack: " << message << "\n";
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
  if (!force) return "already exists; pass --force to replace it";
  if (!IsFolder(out) || !fs::is_regular_file(out / kManifestName, ec)) {
    return std::string("is not a delivery (no ") + kManifestName +
           " at its top); --force replaces only a delivery: choose another --out";
  }
  return std::string();
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
  // A key that cannot sign is found before any work is done.
  std::optional<DeliveryKey> signingKey;
  if (!options.key.empty()) {
    std::string keyError;
    signingKey.emplace();
    if (!LoadDeliveryKey(fs::u8path(options.key), true, *signingKey, keyError)) {
      return UsageError("--key " + keyError);
    }
  }

  Report report{"diff", out.u8string(), {}, {}, {}};
  std::vector<TreeItem> oldItems, newItems;
  std::string error;
  if (!ListTree(oldRoot, oldItems, error) || !ListTree(newRoot, newItems, error)) {
    report.Problem("unreadable", error, 0, "the tree cannot be listed", "check its permissions");
    return Finish(report, options.json);
  }
  DropTopFolder(oldItems, kUpdaterStateFolder);
  DropTopFolder(newItems, kUpdaterStateFolder);

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
  report.counts = {{"files to copy", plan.updated.size()},
                   {"files to delete", plan.deleted.size()},
                   {"unchanged", plan.unchanged},
                   {"files compared by content", filesCompared},
                   {"bytes compared", bytesCompared},
                   {"bytes delivered", plan.updatedBytes}};
  if (report.ProblemCount() > 0) {
    report.notes.push_back("nothing was written: fix the problems above and run again");
    return Finish(report, options.json);
  }
  std::optional<DeltaOptions> delta;
  if (options.delta) delta = DeltaFor(oldRoot, oldItems, options.deliveryLength);
  {
    Progress progress(options.delta ? "encoded" : "copied");
    if (!WriteDelivery(newRoot, plan, updater ? &*updater : nullptr, options.release,
                       signingKey ? &*signingKey : nullptr, out, options.force,
                       [&](std::uint64_t bytes) { progress.AddFile(bytes); }, error,
                       delta ? &*delta : nullptr)) {
      report.Problem("write-failed", out.u8string(), 0, error,
                     "check the space and permissions of the destination and run again");
      return Finish(report, options.json);
    }
  }
  if (delta) AddDeltaCounts(delta->stats, plan.updatedBytes, report);
  report.notes.push_back("delivery written to " + out.u8string());
  if (signingKey) report.notes.push_back("UpdateInfo.sha256 signed with " + options.key);
  return Finish(report, options.json);
}

int RunCheck(const Options& options) {
  const fs::path delivery = fs::u8path(options.delivery);
  if (!IsFolder(delivery)) return UsageError(options.delivery + ": DELIVERY is not a folder");
  if (!options.installed.empty() && !IsFolder(fs::u8path(options.installed))) {
    return UsageError(options.installed + ": --installed is not a folder");
  }
  std::vector<DeliveryKey> keys(options.publicKeys.size());
  std::string error;
  for (size_t i = 0; i < keys.size(); ++i) {
    if (!LoadDeliveryKey(fs::u8path(options.publicKeys[i]), false, keys[i], error)) {
      return UsageError("--public-key " + error);
    }
  }
  Report report{"check", delivery.u8string(), {}, {}, {}};
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
  }
  return Finish(report, options.json);
}

int Run(int argc, char** argv) {
  CLI::App app{"vintrel-pack: makes a delivery for the updater from two installation trees, and "
               "checks an existing delivery against the updater's rules.\n"
               "Exit codes: 0 fine, 1 problems found (all listed), 2 wrong usage."};
  app.require_subcommand(1);
  Options options;
  CLI::App* diff = app.add_subcommand(
      "diff", "Compare the installed tree OLD with the new tree NEW and write the delivery");
  diff->add_option("OLD", options.oldTree, "the old version as installed")->required();
  diff->add_option("NEW", options.newTree, "the new version as built")->required();
  diff->add_option("--out", options.out, "the delivery folder to write")->required();
  diff->add_option("--updater", options.updater,
                   "an Updater.exe to put at the top of the delivery (the first stage runs it)");
  diff->add_flag("--force", options.force, "replace an existing --out");
  diff->add_option("--key", options.key,
                   "the publisher's ECDSA P-256 private key (PEM) that signs UpdateInfo.sha256 "
                   "into UpdateInfo.sig, for an updater built with delivery keys");
  diff->add_flag("--delta", options.delta,
                 "deliver each changed file as a zstd patch against the installed file, or a "
                 "zstd frame, when smaller (hash list format 2; the updater holds a base and "
                 "decodes with a window of at most 128 MiB, so larger files go as frames or "
                 "plain)");
  diff->add_option("--release", options.release,
                   "the release number in the hash list UpdateInfo.sha256, 1 to 2^63-1 "
                   "(default: the current time in seconds since 1970 UTC)");
  CLI::App* check =
      app.add_subcommand("check", "Report every problem the updater would meet with DELIVERY");
  check->add_option("DELIVERY", options.delivery, "the delivery folder")->required();
  check->add_option("--installed", options.installed,
                    "the installation before the update, to follow new folders level by level "
                    "and check each patch's base");
  check->add_option("--public-key", options.publicKeys,
                    "a public key (PEM) UpdateInfo.sig must verify with; repeat it for each key "
                    "the updater is built with (say which one verified)");
  for (CLI::App* command : {diff, check}) {
    command->add_option("--root-length", options.rootLength,
                        "characters of the installation root the paths must fit (default " +
                            std::to_string(kDefaultRootLength) + ")");
    command->add_option("--delivery-length", options.deliveryLength,
                        "characters of the delivery folder on the user's machine (default " +
                            std::to_string(kDefaultDeliveryLength) + ")");
    command->add_flag("--json", options.json, "print the report as JSON");
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitFine : kExitUsage;
  }
  if (options.rootLength >= kMaxPathLength || options.deliveryLength >= kMaxPathLength) {
    return UsageError("--root-length and --delivery-length must be below " +
                      std::to_string(kMaxPathLength));
  }
  if (options.release == 0 || options.release > kMaxHashListRelease) {
    return UsageError("--release must be from 1 to " + std::to_string(kMaxHashListRelease));
  }
  return diff->parsed() ? RunDiff(options) : RunCheck(options);
}

}  // namespace

#ifdef _WIN32
// The arguments as UTF-8, whatever the ANSI code page: names outside it stay intact.
int wmain(int argc, wchar_t** argv) {
  UseUtf8Console();
  std::vector<std::string> args;
  for (int i = 0; i < argc; ++i) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(length > 0 ? static_cast<size_t>(length) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, &arg[0], length, nullptr, nullptr);
    arg.resize(arg.find('\0'));
    args.push_back(arg);
  }
  std::vector<char*> pointers;
  for (std::string& arg : args) pointers.push_back(&arg[0]);
  return Run(argc, pointers.data());
}
#else
int main(int argc, char** argv) { return Run(argc, argv); }
#endif
