#include "tree.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>

#include "names.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kChunk = 1 << 20;

FilePtr OpenForReading(const fs::path& path) {
  FilePtr file(OpenFileForReading(path));
  // The chunks are read straight into our buffers.
  if (file) std::setvbuf(file.get(), nullptr, _IONBF, 0);
  return file;
}

}  // namespace

void DropTopFolder(std::vector<TreeItem>& items, const std::string& name) {
  const std::string key = CaseKey(name);
  items.erase(std::remove_if(items.begin(), items.end(),
                             [&](const TreeItem& item) {
                               return CaseKey(SplitLevels(item.relative).front()) == key;
                             }),
              items.end());
}

namespace {

// The items below folder (relative, "" for the root itself), each folder before its contents.
bool ListBelow(const fs::path& root, const std::string& relative, std::vector<TreeItem>& items,
               std::string& error) {
  std::vector<FolderEntry> entries;
  if (!ReadFolder(relative.empty() ? root : JoinRelative(root, relative), entries, error)) {
    return false;
  }
  for (FolderEntry& entry : entries) {
    std::string name = relative.empty() ? std::move(entry.name) : relative + "/" + entry.name;
    items.push_back({name, entry.kind, entry.size});
    // A link is listed as a link and not entered.
    if (entry.kind == ItemKind::kFolder && !ListBelow(root, name, items, error)) return false;
  }
  return true;
}

}  // namespace

bool ListTree(const fs::path& root, std::vector<TreeItem>& items, std::string& error) {
  return ListBelow(root, std::string(), items, error);
}

bool SameContents(const fs::path& a, const fs::path& b, const BytesRead& onRead, bool& same,
                  std::string& error) {
  const FilePtr fileA = OpenForReading(a);
  const FilePtr fileB = OpenForReading(b);
  if (!fileA || !fileB) {
    error = (fileA ? b : a).u8string() + ": cannot be opened for reading";
    return false;
  }
  // Two chunks, allocated once per thread, whatever the size of the files.
  thread_local std::unique_ptr<char[]> bufferA(new char[kChunk]);
  thread_local std::unique_ptr<char[]> bufferB(new char[kChunk]);
  same = true;
  while (true) {
    const size_t readA = std::fread(bufferA.get(), 1, kChunk, fileA.get());
    const size_t readB = std::fread(bufferB.get(), 1, kChunk, fileB.get());
    if (onRead) onRead(readA + readB);
    if (readA != readB || std::memcmp(bufferA.get(), bufferB.get(), readA) != 0) {
      same = false;
      break;
    }
    if (readA < kChunk) break;
  }
  if (std::ferror(fileA.get()) || std::ferror(fileB.get())) {
    error = (std::ferror(fileA.get()) ? a : b).u8string() + ": read error";
    return false;
  }
  return true;
}

FileIndex IndexFiles(const std::vector<TreeItem>& items) {
  FileIndex files;
  for (const TreeItem& item : items) {
    if (item.kind == ItemKind::kFile) files.emplace(CaseKey(item.relative), &item);
  }
  return files;
}
