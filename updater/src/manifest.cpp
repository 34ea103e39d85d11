#include "manifest.h"

#include <fstream>

#include "app_names.h"
#include "folders.h"
#include "manifest_line.h"
#include "text.h"

std::optional<std::wstring> LocateManifestFolder(const std::wstring& dataTempFolder,
                                                 const std::wstring& rootFolder) {
  // Without a data folder every later path would be relative, and the clean-up would list
  // the current drive's root.
  if (dataTempFolder.empty()) return std::nullopt;
  if (PathExists(dataTempFolder)) return dataTempFolder;
  // A missing folder stays the manifest folder: its manifest simply cannot be opened.
  if (rootFolder.find(kEarlierBrand) == std::wstring::npos) return dataTempFolder;

  // An installation of the earlier brand may still have its update below the earlier name.
  const std::wstring current = kDataFolderName;
  const size_t at = dataTempFolder.find(current);
  if (at == std::wstring::npos) return std::nullopt;
  std::wstring earlier = dataTempFolder;
  earlier.replace(at, current.size(), kEarlierDataFolderName);
  if (!PathExists(earlier)) return std::nullopt;
  return earlier;
}

bool ReadManifest(const std::wstring& path,
                  const std::function<void(const ManifestEntry&)>& onEntry) {
  // Text mode, so CR LF reads as LF; the runtime opens it sharing read and write with others.
  std::ifstream manifest(path.c_str());
  if (!manifest.is_open()) return false;

  ManifestSection section = ManifestSection::kNone;
  std::string line;
  while (std::getline(manifest, line)) {
    switch (ClassifyManifestLine(line)) {
      case ManifestLineKind::kUpdatedFilesMarker:
        section = ManifestSection::kUpdatedFiles;
        continue;
      case ManifestLineKind::kDeletedFilesMarker:
        section = ManifestSection::kDeletedFiles;
        continue;
      case ManifestLineKind::kEntry:
        break;
    }
    // Lines before the first marker belong to no section.
    if (section == ManifestSection::kNone) continue;
    const NormalizedEntry normalized = NormalizeManifestEntry(line);
    onEntry(ManifestEntry{section, line, NarrowToWide(normalized.path),
                          section == ManifestSection::kUpdatedFiles && normalized.hadSlash});
  }
  return true;
}
