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

namespace {

// Compares the two open files in chunks side by side; nameA and nameB say which one failed.
template <typename NameA, typename NameB>
bool SameOpenContents(std::FILE* fileA, std::FILE* fileB, const NameA& nameA, const NameB& nameB,
                      const BytesRead& onRead, bool& same, std::string& error) {
  if (!fileA || !fileB) {
    error = (fileA ? nameB() : nameA()) + ": cannot be opened for reading";
    return false;
  }
  // Two chunks, allocated once per thread, whatever the size of the files.
  thread_local std::unique_ptr<char[]> bufferA(new char[kChunk]);
  thread_local std::unique_ptr<char[]> bufferB(new char[kChunk]);
  same = true;
  while (true) {
    const size_t readA = std::fread(bufferA.get(), 1, kChunk, fileA);
    const size_t readB = std::fread(bufferB.get(), 1, kChunk, fileB);
    if (onRead) onRead(readA + readB);
    if (readA != readB || std::memcmp(bufferA.get(), bufferB.get(), readA) != 0) {
      same = false;
      break;
    }
    if (readA < kChunk) break;
  }
  if (std::ferror(fileA) || std::ferror(fileB)) {
    error = (std::ferror(fileA) ? nameA() : nameB()) + ": read error";
    return false;
  }
  return true;
}

// The file relative below root, opened for reading in chunks.
FilePtr OpenBelow(const fs::path& root, const std::string& relative) {
#ifdef _WIN32
  return OpenForReading(JoinRelative(root, relative));
#else
  // The native name is the bytes of both joined: no path object to build and take apart.
  std::string path;
  path.reserve(root.native().size() + 1 + relative.size());
  path += root.native();
  path += '/';
  path += relative;
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (file) std::setvbuf(file.get(), nullptr, _IONBF, 0);
  return file;
#endif
}

}  // namespace

bool SameContents(const fs::path& a, const fs::path& b, const BytesRead& onRead, bool& same,
                  std::string& error) {
  const FilePtr fileA = OpenForReading(a);
  const FilePtr fileB = OpenForReading(b);
  return SameOpenContents(
      fileA.get(), fileB.get(), [&] { return a.u8string(); }, [&] { return b.u8string(); },
      onRead, same, error);
}

bool SameContentsBelow(const fs::path& rootA, const std::string& relativeA,
                       const fs::path& rootB, const std::string& relativeB,
                       const BytesRead& onRead, bool& same, std::string& error) {
  const FilePtr fileA = OpenBelow(rootA, relativeA);
  const FilePtr fileB = OpenBelow(rootB, relativeB);
  return SameOpenContents(
      fileA.get(), fileB.get(), [&] { return JoinRelative(rootA, relativeA).u8string(); },
      [&] { return JoinRelative(rootB, relativeB).u8string(); }, onRead, same, error);
}

FileIndex IndexFiles(const std::vector<TreeItem>& items) {
  FileIndex files;
  for (const TreeItem& item : items) {
    if (item.kind == ItemKind::kFile) files.emplace(CaseKey(item.relative), &item);
  }
  return files;
}
