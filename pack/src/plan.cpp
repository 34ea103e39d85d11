#include "plan.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

#include "cp936.h"
#include "hash_list.h"
#include "list_signature.h"
#include "names.h"
#include "pe_file.h"

namespace {

using Index = std::unordered_map<std::string, const TreeItem*>;

// Each item under its case key; two items of one key are two names Windows holds as one.
Index IndexTree(const std::vector<TreeItem>& items, const char* which, Report& report) {
  Index index;
  for (const TreeItem& item : items) {
    const auto [it, inserted] = index.emplace(CaseKey(item.relative), &item);
    if (!inserted) {
      report.Problem("case-collision", item.relative, 0,
                     std::string("the ") + which + " tree also holds \"" + it->second->relative +
                         "\"; Windows compares names without case and holds only one of them",
                     "keep one of the two names in the " + std::string(which) + " tree");
    }
    if (item.kind == ItemKind::kLink || item.kind == ItemKind::kOther) {
      report.Problem(item.kind == ItemKind::kLink ? "link" : "special-file", item.relative, 0,
                     std::string("the ") + which + " tree holds a " +
                         (item.kind == ItemKind::kLink ? "symbolic link" : "special file") +
                         " here; a delivery carries plain files and folders only",
                     "replace it by the file or folder it stands for");
    }
  }
  return index;
}

std::string LastLevel(const std::string& relative) {
  const size_t slash = relative.rfind('/');
  return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

}  // namespace

void CheckEntryName(const std::string& relative, bool updated, size_t rootLength,
                    size_t deliveryLength, int line, Report& report) {
  bool valid = false;
  DecodeUtf8(relative, &valid);
  if (!valid) {
    report.Problem("name-not-utf8", relative, line,
                   "the name is not UTF-8 text, so it names no character code page 936 can write",
                   "rename it with characters of code page 936 (Simplified Chinese and ASCII)");
    return;
  }
  for (const std::string& level : SplitLevels(relative)) {
    const std::string problem = WindowsNameProblem(level);
    if (!problem.empty()) {
      report.Problem("name-not-windows", relative, line,
                     "\"" + level + "\" has " + problem + ", so Windows cannot hold it",
                     "rename it");
      return;
    }
  }
  if (!Utf8ToCp936(relative)) {
    report.Problem("name-not-cp936", relative, line,
                   "code page 936 cannot write this name, and the manifest is code page 936",
                   updated ? "rename it with characters of code page 936 (Simplified Chinese and "
                             "ASCII)"
                           : "the updater cannot delete it; leave it, or remove it another way");
    return;
  }
  const size_t length = Utf16Length(relative);
  if (rootLength + 1 + length > kMaxPathLength) {
    report.Problem("path-too-long", relative, line,
                   "with an installation root of " + std::to_string(rootLength) +
                       " characters the path is " + std::to_string(rootLength + 1 + length) +
                       " characters long, past the limit of " + std::to_string(kMaxPathLength) +
                       ", so the updater skips it",
                   "shorten the name or its folders (--root-length sets the root's length)");
  } else if (updated && deliveryLength + 1 + length > kMaxPathLength) {
    report.Problem("path-too-long", relative, line,
                   "in a delivery folder of " + std::to_string(deliveryLength) +
                       " characters the source path is " +
                       std::to_string(deliveryLength + 1 + length) +
                       " characters long, past the limit of " + std::to_string(kMaxPathLength) +
                       ", so the updater skips it",
                   "shorten the name or its folders (--delivery-length sets the delivery "
                   "folder's length)");
  }
}

Plan PlanDelivery(const std::vector<TreeItem>& oldTree, const std::vector<TreeItem>& newTree,
                  const PlanOptions& options, Report& report) {
  Plan plan;
  const Index oldIndex = IndexTree(oldTree, "old", report);
  const Index newIndex = IndexTree(newTree, "new", report);

  std::vector<const TreeItem*> newFolders;
  for (const TreeItem& item : newTree) {
    const auto old = oldIndex.find(CaseKey(item.relative));
    const TreeItem* before = old == oldIndex.end() ? nullptr : old->second;
    if (item.kind == ItemKind::kFolder) {
      if (!before || before->kind != ItemKind::kFolder) {
        newFolders.push_back(&item);
      } else if (LastLevel(before->relative) != LastLevel(item.relative)) {
        report.Warning("case-only-rename", item.relative, 0,
                       "the folder was \"" + before->relative +
                           "\"; the updater leaves an existing folder's name as it is, so it "
                           "keeps its old case (Windows finds it either way)",
                       "none needed; rename it in the installer if the case matters");
      }
      continue;
    }
    if (item.kind != ItemKind::kFile) continue;
    bool changed = true;
    std::string why = "new";
    if (before && before->kind == ItemKind::kFolder) {
      report.Problem("folder-became-file", item.relative, 0,
                     "this was a folder and is now a file; the updater deletes files only, so "
                     "the folder stays and the file cannot be copied onto it",
                     "give the file another name, or ship the folder's removal separately");
      continue;
    }
    if (before && before->kind == ItemKind::kFile) {
      if (LastLevel(before->relative) != LastLevel(item.relative)) {
        report.Warning("case-only-rename", item.relative, 0,
                       "the file was \"" + LastLevel(before->relative) +
                           "\"; copied onto it, the installed file keeps its old case (Windows "
                           "finds it either way)",
                       "none needed; rename it in the installer if the case matters");
      }
      why = "changed: " + std::to_string(item.size) + " bytes, " +
            std::to_string(before->size) + " before";
      if (before->size == item.size) {
        why = "changed: same size, other content";
        bool same = false;
        if (!options.sameContents(*before, item, same)) {
          report.Problem("unreadable", item.relative, 0,
                         "the file cannot be read in both trees, so it cannot be compared",
                         "check its permissions and run again");
          continue;
        }
        changed = !same;
      }
    }
    if (!changed) {
      ++plan.unchanged;
      plan.unchangedFiles.push_back(item.relative);
      continue;
    }
    plan.why[item.relative] = why;
    plan.updated.push_back(item.relative);
    plan.updatedBytes += item.size;
  }

  for (const TreeItem& item : oldTree) {
    const auto found = newIndex.find(CaseKey(item.relative));
    const TreeItem* after = found == newIndex.end() ? nullptr : found->second;
    if (item.kind == ItemKind::kFile && (!after || after->kind == ItemKind::kFolder)) {
      plan.why[item.relative] = after ? "a folder in NEW" : "gone from NEW";
      plan.deleted.push_back(item.relative);
    } else if (item.kind == ItemKind::kFolder && !after &&
               newIndex.count(CaseKey(ParentOf(item.relative))) + IsTopLevel(item.relative) > 0) {
      report.Warning("folder-left-behind", item.relative, 0,
                     "the folder is gone from the new tree; the updater deletes its files but "
                     "not the folder, which stays empty",
                     "none needed; remove it in the installer if an empty folder matters");
    }
  }

  // A new folder is made only as the parent of a file copied into it, one level at a time.
  std::set<std::string> foldersWithFiles;
  for (const std::string& relative : plan.updated) foldersWithFiles.insert(CaseKey(ParentOf(relative)));
  for (const TreeItem* folder : newFolders) {
    if (foldersWithFiles.count(CaseKey(folder->relative)) == 0) {
      report.Problem("new-folder-without-file", folder->relative, 0,
                     "this new folder holds no file of its own; the updater makes a folder only "
                     "as the parent of a file it copies into it, one level at a time, so neither "
                     "it nor anything below it can be made",
                     "put a file directly in it (a small placeholder will do), or drop the folder");
    } else if (options.rootLength + 1 + Utf16Length(folder->relative) > kMaxFolderPathLength) {
      report.Problem("folder-path-too-long", folder->relative, 0,
                     "with an installation root of " + std::to_string(options.rootLength) +
                         " characters this new folder's path passes the " +
                         std::to_string(kMaxFolderPathLength) +
                         " characters Windows allows for making a folder",
                     "shorten the folder names");
    }
  }

  std::sort(plan.updated.begin(), plan.updated.end(),
            [](const std::string& a, const std::string& b) { return ParentsFirstLess(a, b); });
  std::sort(plan.deleted.begin(), plan.deleted.end(),
            [](const std::string& a, const std::string& b) { return ParentsFirstLess(a, b); });

  for (const std::string& relative : plan.deleted) {
    CheckEntryName(relative, false, options.rootLength, options.deliveryLength, 0, report);
  }
  for (const std::string& relative : plan.updated) {
    CheckEntryName(relative, true, options.rootLength, options.deliveryLength, 0, report);
    const std::string key = CaseKey(relative);
    if (key == CaseKey(kManifestName)) {
      report.Problem("collides-with-manifest", relative, 0,
                     "the delivery's manifest has this name at the top of the delivery, so "
                     "this file cannot be delivered beside it",
                     "rename the file or move it into a folder");
    } else if (key == CaseKey(std::string(kHashListFileName))) {
      report.Problem("collides-with-hash-list", relative, 0,
                     "the delivery's hash list has this name at the top of the delivery, so "
                     "this file cannot be delivered beside it",
                     "rename the file or move it into a folder");
    } else if (key == CaseKey(std::string(kSignatureFileName))) {
      report.Problem("collides-with-signature", relative, 0,
                     "the delivery's signature has this name at the top of the delivery, so "
                     "this file cannot be delivered beside it",
                     "rename the file or move it into a folder");
    } else if (key == CaseKey(kUpdaterName) &&
               !(options.deliversUpdater && options.sameAsUpdater(relative))) {
      report.Problem("collides-with-updater", relative, 0,
                     options.deliversUpdater
                         ? "the updater given with --updater goes to the top of the delivery "
                           "under this name, and this file differs from it"
                         : "a file of this name at the top of the delivery is what the first "
                           "stage starts as the updater",
                     "if it is the updater, pass the same file with --updater; otherwise rename "
                     "it or move it into a folder");
    }
  }
  if (newIndex.count(CaseKey(kMainApplication)) == 0) {
    report.Warning("no-main-application", kMainApplication, 0,
                   "the new tree has no main application here, and this is what the updater "
                   "starts once the update is applied",
                   "check that NEW is the whole installation tree");
  }
  return plan;
}

void CheckUpdaterProgram(const std::filesystem::path& path, const std::string& given,
                         Report& report) {
  const std::string fix =
      "give --updater the Updater.exe of the Windows build (build/windows/updater/Updater.exe)";
  PeFile pe;
  std::string error;
  if (!ReadPeFile(path, pe, error)) {
    report.Problem("updater-not-a-program", given, 0,
                   "the file given with --updater: " + error +
                       "; the first stage starts it as a 32-bit Windows GUI program",
                   fix);
    return;
  }
  std::string wrong;
  if (pe.machine != kMachineI386) {
    wrong = "is built for another machine than i386 (x86)";
  } else if (!pe.pe32) {
    wrong = "is not a 32-bit (PE32) program";
  } else if (pe.subsystem != kSubsystemGui) {
    wrong = pe.subsystem == 3 ? "is a console program" : "is not a GUI program";
  }
  if (!wrong.empty()) {
    report.Problem("updater-not-win32-gui", given, 0,
                   "the file given with --updater " + wrong + "; the first stage starts the delivered updater as a "
                   "32-bit Windows GUI program",
                   fix);
  }
}
