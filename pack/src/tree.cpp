#include "tree.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>

#include "names.h"
#include "platform.h"

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

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
                               const std::string_view relative = item.relative;
                               return CaseKey(relative.substr(0, relative.find('/'))) == key;
                             }),
              items.end());
}

std::filesystem::path JoinRelative(const fs::path& root, const std::string& relative) {
  return root / fs::u8path(relative);
}

#ifdef _WIN32
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
    // The generic form has "/" between levels.
    std::string relative = fs::path(entry.path().native().substr(rootLength)).generic_u8string();
    while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
    const fs::file_status status = entry.symlink_status(ec);
    if (ec) break;
    TreeItem item{relative, ItemKind::kOther, 0};
    // The platform is asked: the status above has looked through a link.
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
#else
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// Lists the folder open as fd (taken over) below prefix ("" or "a/b/"), in the order
// readdir gives, each folder followed at once by its contents. Every item is judged by its
// listing's type and, where that is not enough (a file's size, an unknown type), by one lstat
// relative to the open folder: no path is walked from the root again. A "\" inside a POSIX
// name stays in the name. errno is left set when it fails.
bool ListFolder(int fd, const std::string& prefix, std::vector<TreeItem>& items) {
  const std::unique_ptr<DIR, DirCloser> dir(fdopendir(fd));
  if (!dir) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return false;
  }
  while (true) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (!entry) return errno == 0;
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    TreeItem item{prefix + name, ItemKind::kOther, 0};
    unsigned char type = entry->d_type;
    if (type == DT_REG || type == DT_UNKNOWN) {
      struct stat status;
      if (fstatat(dirfd(dir.get()), name, &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
      type = S_ISREG(status.st_mode)   ? DT_REG
             : S_ISDIR(status.st_mode) ? DT_DIR
             : S_ISLNK(status.st_mode) ? DT_LNK
                                       : DT_UNKNOWN;
      item.size = type == DT_REG ? static_cast<std::uint64_t>(status.st_size) : 0;
    }
    if (type == DT_LNK) {
      item.kind = ItemKind::kLink;
    } else if (type == DT_REG) {
      item.kind = ItemKind::kFile;
    } else if (type == DT_DIR) {
      item.kind = ItemKind::kFolder;
    }
    const bool folder = item.kind == ItemKind::kFolder;
    items.push_back(std::move(item));
    if (folder) {
      // Not followed should it have become a link since it was listed.
      const int child =
          openat(dirfd(dir.get()), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child < 0 || !ListFolder(child, items.back().relative + "/", items)) return false;
    }
  }
}

}  // namespace

bool ListTree(const fs::path& root, std::vector<TreeItem>& items, std::string& error) {
  const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || !ListFolder(fd, std::string(), items)) {
    error = Describe(root, std::error_code(errno, std::generic_category()));
    return false;
  }
  return true;
}
#endif

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
