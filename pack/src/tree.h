#pragma once
// The two installation trees on disk: their listing (never following a link) and the
// comparison of two files in chunks, so that no file is ever held whole in memory.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

enum class ItemKind { kFile, kFolder, kLink, kOther };

struct TreeItem {
  std::string relative;  // UTF-8 (the bytes of the name where it is not), "/" between levels
  ItemKind kind;
  std::uint64_t size;    // files only
};

// Every file, folder, link and other item below root, folders before their contents. A link is
// listed as a link and not entered. False, with error set, when root cannot be read.
bool ListTree(const std::filesystem::path& root, std::vector<TreeItem>& items,
              std::string& error);

// items without the top-level folder name (matched without regard to case) and its contents.
void DropTopFolder(std::vector<TreeItem>& items, const std::string& name);

// The files of a listing under their case keys (CaseKey): Windows finds a name whatever its case.
using FileIndex = std::unordered_map<std::string, const TreeItem*>;
FileIndex IndexFiles(const std::vector<TreeItem>& items);

// root joined with a relative name as listed, as text: no level is read as a drive or a root,
// and no name, however malformed, throws.
std::filesystem::path JoinRelative(const std::filesystem::path& root, const std::string& relative);

// Called with the number of bytes just read from each side.
using BytesRead = std::function<void(std::uint64_t)>;

// Whether two files of equal size hold the same bytes, read in chunks side by side and stopped
// at the first difference. False, with error set, when either cannot be read whole.
bool SameContents(const std::filesystem::path& a, const std::filesystem::path& b,
                  const BytesRead& onRead, bool& same, std::string& error);

// SameContents of relativeA below rootA and relativeB below rootB (names as listed), opened
// without building a path object for each.
bool SameContentsBelow(const std::filesystem::path& rootA, const std::string& relativeA,
                       const std::filesystem::path& rootB, const std::string& relativeB,
                       const BytesRead& onRead, bool& same, std::string& error);
