#include "delta_check.h"

#include <fstream>
#include <iterator>
#include <string>
#include <unordered_map>

#include "cp936.h"
#include "hash_list.h"
#include "names.h"
#include "sha256.h"

namespace fs = std::filesystem;

namespace {

// The delivery's hash list when it is a valid list of format 2 or 3; the hash list's own check says
// what is wrong with any other.
bool ReadDeltaList(const fs::path& delivery, const FileIndex& files, HashList& list) {
  const auto found = files.find(CaseKey(std::string(kHashListFileName)));
  if (found == files.end() || found->second->size > kMaxHashListBytes) return false;
  std::ifstream in(JoinRelative(delivery, found->second->relative), std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  HashListError error;
  return !in.bad() && ParseHashList(bytes, list, error) && list.format >= 2;
}

std::string Utf8(const std::string& cp936) { return Cp936ToUtf8(cp936).value_or(cp936); }

}  // namespace

std::vector<TreeItem> DecodedItems(const fs::path& delivery, const std::vector<TreeItem>& items,
                                   Report& report) {
  const FileIndex files = IndexFiles(items);
  HashList list;
  if (!ReadDeltaList(delivery, files, list)) return items;
  // Each frame's case key -> its listed file, or the list's size for a frame left out of the
  // view because a file already stands for it there.
  std::unordered_map<std::string, std::size_t> frames;
  for (std::size_t i = 0; i < list.files.size(); ++i) {
    const ListedFile& file = list.files[i];
    if (file.kind == ListedKind::kPlain) continue;
    const bool beside = files.count(CaseKey(Utf8(file.path))) > 0;
    frames.emplace(CaseKey(Utf8(DeliveredPath(file))), beside ? list.files.size() : i);
    if (!beside) continue;
    report.Problem("file-beside-frame", Utf8(file.path), 0,
                   "the delivery holds this file and also its " +
                       std::string(file.kind == ListedKind::kZstd ? "frame" : "patch") +
                       ", which UpdateInfo.sha256 lists instead: the updater installs what the "
                       "frame decodes to",
                   "remove one of the two, or make the delivery again with vintrel-pack diff");
  }
  std::vector<TreeItem> decoded;
  for (const TreeItem& item : items) {
    const auto frame = frames.find(CaseKey(item.relative));
    const bool isFrame = item.kind == ItemKind::kFile && frame != frames.end();
    if (isFrame && frame->second == list.files.size()) continue;
    decoded.push_back(item);
    if (!isFrame) continue;
    const ListedFile& file = list.files[frame->second];
    // The frame's own name less its suffix keeps the delivery's case of the folders.
    const std::size_t suffix = Utf8(DeliveredPath(file)).size() - Utf8(file.path).size();
    decoded.back().relative.resize(item.relative.size() - suffix);
    decoded.back().size = file.size;
  }
  return decoded;
}

void CheckPatchBases(const fs::path& delivery, const std::vector<TreeItem>& items,
                     const fs::path& installedRoot, const std::vector<TreeItem>& installed,
                     Report& report) {
  HashList list;
  if (!ReadDeltaList(delivery, IndexFiles(items), list)) return;
  const FileIndex installedFiles = IndexFiles(installed);
  for (const ListedFile& file : list.files) {
    if (file.kind != ListedKind::kPatch) continue;
    const std::string name = Utf8(file.path);
    const std::string where = std::string(kHashListFileName) + " line " + std::to_string(file.line);
    const auto found = installedFiles.find(CaseKey(name));
    if (found == installedFiles.end()) {
      report.Problem("patch-base-missing", name, 0,
                     where + " delivers a patch against the installed file, and the "
                             "installation has no file here, so the updater refuses the whole "
                             "delivery",
                     "make the delivery again with vintrel-pack diff --delta from this "
                     "installation");
      continue;
    }
    Sha256Digest digest{};
    std::string error;
    if (!HashFile(JoinRelative(installedRoot, found->second->relative), digest, error)) {
      report.Problem("unreadable", name, 0, error, "check its permissions and run again");
    } else if (digest != file.baseSha256) {
      report.Problem("patch-base-differs", name, 0,
                     "the installed file's SHA-256 is " + DigestHex(digest) + " and " + where +
                         " says the patch applies to " + DigestHex(file.baseSha256) +
                         ": the installation changed since the release the delivery was made "
                         "for, so the updater refuses the whole delivery",
                     "make the delivery again with vintrel-pack diff --delta from this "
                     "installation");
    }
  }
  // A whole release's kept files must be installed as listed.
  for (const ListedFile& file : list.kept) {
    const std::string name = Utf8(file.path);
    const auto found = installedFiles.find(CaseKey(name));
    Sha256Digest digest{};
    std::string error;
    if (found != installedFiles.end() &&
        !HashFile(JoinRelative(installedRoot, found->second->relative), digest, error)) {
      report.Problem("unreadable", name, 0, error, "check its permissions and run again");
    } else if (found == installedFiles.end() || found->second->size != file.size ||
               digest != file.sha256) {
      report.Problem("kept-file-differs", name, 0,
                     std::string(kHashListFileName) + " line " + std::to_string(file.line) +
                         " keeps this file as installed, and the installation " +
                         (found == installedFiles.end() ? "has none here"
                                                        : "holds another file here") +
                         ", so the updater refuses the whole delivery (base-differs)",
                     "offer this installation the full delivery, or make the partial one from "
                     "its release");
    }
  }
}
