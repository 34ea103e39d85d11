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

std::string Describe(const fs::path& path, const std::error_code& ec) {
  return path.u8string() + ": " + ec.message();
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

std::filesystem::path JoinRelative(const fs::path& root, const std::string& relative) {
  return root / fs::u8path(relative);
}

bool ListTree(const fs::path& root, std::vector<TreeItem>& items, std::string& error) {
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
  if (ec) {
    error = Describe(root, ec);
    return false;
  }
  const size_t rootLength = root.native().size();
  for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const fs::directory_entry& entry = *it;
    // The generic form has "/" between levels; a "\\" inside a POSIX name stays in the name.
    std::string relative = fs::path(entry.path().native().substr(rootLength)).generic_u8string();
    while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
    const fs::file_status status = entry.symlink_status(ec);
    if (ec) break;
    TreeItem item{relative, ItemKind::kOther, 0};
    // The platform is asked: on Windows the status above has looked through a link.
    if (IsLink(entry)) {
      item.kind = ItemKind::kLink;
      it.disable_recursion_pending();
    } else if (fs::is_directory(status)) {
      item.kind = ItemKind::kFolder;
    } else if (fs::is_regular_file(status)) {
      item.kind = ItemKind::kFile;
      item.size = entry.file_size(ec);
      if (ec) break;
    }
    items.push_back(std::move(item));
  }
  if (ec) {
    error = Describe(root, ec);
    return false;
  }
  return true;
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
