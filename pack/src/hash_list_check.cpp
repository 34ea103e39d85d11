#include "hash_list_check.h"

#include <fstream>
#include <iterator>
#include <string>
#include <unordered_map>

#include "cp936.h"
#include "hash_list.h"
#include "names.h"
#include "plan.h"
#include "release.h"
#include "sha256.h"

namespace fs = std::filesystem;

namespace {

const char kRemake[] = "make the delivery again with vintrel-pack diff";

// Where a listed file's line is; a finding's own line number is that of UpdateInfo.ini.
std::string ListLine(std::size_t line) {
  return std::string(kHashListFileName) + " line " + std::to_string(line);
}


// The list's bytes, at most kMaxHashListBytes of them; false when it cannot be read whole.
bool ReadList(const fs::path& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool IsManifest(const std::string& cp936Path) {
  return FoldPathCase(cp936Path) == FoldPathCase(kManifestName);
}

// One listed file against the delivery: present, of its size and of its hash; for a frame or
// a patch, the delivered bytes, at the listed path plus ".zst" or ".zstpatch".
void CheckListedFile(const fs::path& delivery, const FileIndex& files, const ListedFile& listed,
                     Report& report) {
  const bool frame = listed.kind != ListedKind::kPlain;
  const std::string delivered = DeliveredPath(listed);
  const std::string name = Cp936ToUtf8(delivered).value_or(delivered);
  const std::uint64_t size = frame ? listed.frameSize : listed.size;
  const Sha256Digest& sha256 = frame ? listed.frameSha256 : listed.sha256;
  const auto found = files.find(CaseKey(name));
  if (found == files.end()) {
    report.Problem("listed-file-missing", name, 0,
                   ListLine(listed.line) + " lists this file, but the delivery holds no file "
                   "here, so the updater refuses the whole delivery",
                   "put the file back, or " + std::string(kRemake));
    return;
  }
  const TreeItem& item = *found->second;
  Sha256Digest digest{};
  std::string error;
  if (item.size == size && !HashFile(JoinRelative(delivery, item.relative), digest, error)) {
    report.Problem("unreadable", name, 0, error, "check its permissions and run again");
    return;
  }
  const bool sizeDiffers = item.size != size;
  if (!sizeDiffers && digest == sha256) return;
  const std::string what =
      sizeDiffers ? "the file has " + std::to_string(item.size) + " bytes and " +
                        ListLine(listed.line) + " says " + std::to_string(size)
                  : "the file's SHA-256 is " + DigestHex(digest) + " and " +
                        ListLine(listed.line) + " says " + DigestHex(sha256);
  if (IsManifest(listed.path)) {
    report.Problem("manifest-hash-differs", name, 0,
                   what + ": the manifest was changed after the list was made, so the updater "
                          "refuses the whole delivery",
                   kRemake);
    return;
  }
  if (frame) {
    report.Problem(sizeDiffers ? "frame-size-differs" : "frame-hash-differs", name, 0,
                   what + ": the delivered " + (listed.kind == ListedKind::kZstd ? "frame" : "patch") +
                       " was cut short or changed after the list was made, so the updater "
                       "refuses the whole delivery",
                   kRemake);
    return;
  }
  report.Problem(sizeDiffers ? "listed-size-differs" : "listed-hash-differs", name, 0,
                 what + ": the file was cut short or changed after the list was made, so the "
                        "updater refuses the whole delivery",
                 "copy the file again from the new tree, or " + std::string(kRemake));
}

}  // namespace

void CheckHashList(const fs::path& delivery, const std::vector<TreeItem>& items,
                   bool hasManifest, const std::vector<CopiedEntry>& copied, Report& report) {
  const std::string listName(kHashListFileName);
  const FileIndex files = IndexFiles(items);
  const auto listItem = files.find(CaseKey(listName));
  if (listItem == files.end()) {
    report.Warning("no-hash-list", listName, 0,
                   "the delivery has no hash list, so the updater applies it best effort: entry "
                   "by entry, without verifying a file and without undoing a failed entry",
                   "make the delivery with vintrel-pack diff, which writes the list");
    return;
  }
  std::string bytes;
  HashList list;
  HashListError error;
  if (listItem->second->size > kMaxHashListBytes) {
    error.reason = "larger than " + std::to_string(kMaxHashListBytes) + " bytes";
  } else if (!ReadList(JoinRelative(delivery, listItem->second->relative), bytes)) {
    error.reason = "cannot be read";
  }
  if (!error.reason.empty() || !ParseHashList(bytes, list, error)) {
    report.Problem("hash-list-invalid", listName, 0,
                   "the list is invalid (" + HashListErrorText(error) +
                       "), so the updater refuses the whole delivery",
                   kRemake);
    return;
  }

  const ListedFileIndex listed = IndexListedFiles(list);
  std::unordered_map<std::string, bool> copiedKeys;
  for (const CopiedEntry& entry : copied) {
    copiedKeys[FoldPathCase(ListPath(entry.written))] = true;
    if (FindListedFile(list, listed, entry.written)) continue;
    report.Problem("entry-not-listed", Cp936ToUtf8(entry.written).value_or(entry.written),
                   entry.line,
                   "UpdateInfo.sha256 does not list the file this \"UpdatedFiles:\" entry copies, "
                   "so the updater refuses the whole delivery",
                   kRemake);
  }
  if (hasManifest && !FindListedFile(list, listed, kManifestName)) {
    report.Problem("manifest-not-listed", kManifestName, 0,
                   "UpdateInfo.sha256 does not list the manifest, so the updater refuses the "
                   "whole delivery",
                   kRemake);
  }
  if (files.count(CaseKey(kUpdaterName)) && !FindListedFile(list, listed, kUpdaterName)) {
    report.Problem("updater-not-listed", kUpdaterName, 0,
                   "UpdateInfo.sha256 does not list the delivered updater, so the updater "
                   "refuses the whole delivery",
                   kRemake);
  }
  for (const ListedFile& file : list.files) {
    CheckListedFile(delivery, files, file, report);
    const std::string key = FoldPathCase(file.path);
    if (IsManifest(file.path) || key == FoldPathCase(kUpdaterName) || copiedKeys.count(key)) {
      continue;
    }
    report.Warning("listed-not-copied", Cp936ToUtf8(file.path).value_or(file.path), 0,
                   ListLine(file.line) + " lists this file, but no \"UpdatedFiles:\" entry "
                   "copies it: it must still be present and intact, yet it is not installed",
                   "remove its line from UpdateInfo.sha256, or add an entry that copies it");
  }
  report.notes.push_back("UpdateInfo.sha256: release " + std::to_string(list.release) + " (" +
                         ReleaseTimeText(list.release) + " as seconds since 1970), " +
                         Counted(list.files.size(), "file", "files") + " listed");
  CheckReleaseRange(list.release, std::string(listName), report);
}
