#pragma once
// The update manifest, UpdateInfo.ini: where it lies and its entries, in file order.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

enum class ManifestSection { kNone, kUpdatedFiles, kDeletedFiles };

struct ManifestEntry {
  ManifestSection section;    // kUpdatedFiles or kDeletedFiles
  std::string written;        // the line as read, code page 936
  std::wstring relativePath;  // the entry with "\" separators, as wide text
  bool createParentFolder;    // an "UpdatedFiles:" entry written with "/"
  bool cut;                   // longer than any path: written holds only its first bytes
};

// The folder holding UpdateInfo.ini and the delivered files: dataTempFolder when it exists;
// otherwise, for a root folder of the earlier brand, the earlier data folder's "Temp" when it
// exists and nothing when it does not; otherwise dataTempFolder all the same. Nothing for an
// empty dataTempFolder.
std::optional<std::wstring> LocateManifestFolder(const std::wstring& dataTempFolder,
                                                 const std::wstring& rootFolder);

// Reads the manifest at path in one pass, one line in memory at a time, and hands each entry of
// a section to onEntry as soon as its line is read. Of a line longer than kMaxKeptLineBytes
// only that many bytes are ever held: it comes as a cut entry. Read by the rules of text mode
// (CR LF reads as LF, CTRL+Z ends the file); others may read and write the file meanwhile. A read error ends the reading. False when
// the file cannot be opened.
bool ReadManifest(const std::wstring& path,
                  const std::function<void(const ManifestEntry&)>& onEntry);

// The same for a manifest already read whole (a listed delivery's, checked against its hash).
void ReadManifestBytes(std::string_view bytes,
                       const std::function<void(const ManifestEntry&)>& onEntry);
