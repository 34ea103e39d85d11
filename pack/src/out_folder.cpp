#include "out_folder.h"

#include <fstream>
#include <iterator>
#include <set>
#include <system_error>

#include "cp936.h"
#include "hash_list.h"
#include "list_signature.h"
#include "names.h"
#include "plan.h"
#include "platform.h"
#include "tree.h"

namespace fs = std::filesystem;

namespace {

bool ReadSmall(const fs::path& path, std::size_t maxBytes, std::string& bytes) {
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec || size > maxBytes) return false;
  std::ifstream in(path, std::ios::binary);
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return static_cast<bool>(in) || in.eof();
}

}  // namespace

std::string PartialMarkerText() { return "vintrel-pack partial " + std::to_string(ProcessId()); }

std::vector<fs::path> RemoveStalePartials(const fs::path& out) {
  std::vector<fs::path> removed;
  const std::string prefix = "." + out.filename().u8string() + ".partial-";
  std::vector<FolderEntry> entries;
  std::string error;
  if (!ReadFolder(out.parent_path(), entries, error)) return removed;
  for (const FolderEntry& entry : entries) {
    if (entry.kind != ItemKind::kFolder || entry.name.rfind(prefix, 0) != 0) continue;
    const fs::path folder = JoinRelative(out.parent_path(), entry.name);
    std::string marker;
    const std::string expected = "vintrel-pack partial " + entry.name.substr(prefix.size());
    if (!ReadSmall(folder / kPartialMarker, 64, marker) || marker != expected) continue;
    unsigned long id = 0;
    try {
      id = std::stoul(entry.name.substr(prefix.size()));
    } catch (const std::exception&) {
      continue;
    }
    if (id != ProcessId() && ProcessRuns(id)) continue;
    std::error_code ec;
    fs::remove_all(folder, ec);
    if (!ec) removed.push_back(folder);
  }
  return removed;
}

std::string ReplaceProblem(const fs::path& out) {
  const std::string refuse = "; --force replaces only an earlier delivery, whose every file its "
                             "UpdateInfo.sha256 names: choose another --out";
  std::vector<TreeItem> items;
  std::string error, bytes;
  HashList list;
  HashListError listError;
  std::error_code ec;
  if (!fs::is_directory(out, ec) || !ListTree(out, items, error)) {
    return "is not a folder that can be listed" + refuse;
  }
  if (!fs::is_regular_file(out / kManifestName, ec)) {
    return std::string("is not a delivery (no ") + kManifestName + " at its top)" + refuse;
  }
  const fs::path listPath = out / fs::u8path(std::string(kHashListFileName));
  if (!ReadSmall(listPath, kMaxHashListBytes, bytes) || !ParseHashList(bytes, list, listError)) {
    return std::string("has no readable ") + std::string(kHashListFileName) +
           " to say which files are the delivery's" + refuse;
  }
  std::set<std::string> ours = {CaseKey(kManifestName), CaseKey(std::string(kHashListFileName)),
                                CaseKey(std::string(kSignatureFileName))};
  for (const ListedFile& file : list.files) {
    ours.insert(CaseKey(Cp936ToUtf8(DeliveredPath(file)).value_or(std::string())));
  }
  std::set<std::string> folders;
  for (const std::string& key : ours) {
    for (std::string parent = ParentOf(key); !parent.empty(); parent = ParentOf(parent)) {
      folders.insert(parent);
    }
  }
  for (const TreeItem& item : items) {
    const std::string key = CaseKey(item.relative);
    if (item.kind == ItemKind::kFile ? ours.count(key) : item.kind == ItemKind::kFolder &&
                                                             folders.count(key)) {
      continue;
    }
    return "holds \"" + item.relative + "\", which its " + std::string(kHashListFileName) +
           " does not name" + refuse;
  }
  return std::string();
}
