#include "update/manifest.h"

#include <share.h>

#include <cstdio>
#include <memory>

#include "base/app_names.h"
#include "base/paths.h"
#include "base/text.h"
#include "manifest_line.h"

namespace {

constexpr std::size_t kReadChunkBytes = 64 * 1024;

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

// Acts on one whole line: a marker switches the section, an entry of a section goes to onEntry.
void TakeLine(const BoundedLine& line, ManifestSection& section,
              const std::function<void(const ManifestEntry&)>& onEntry) {
  switch (line.cut ? ManifestLineKind::kEntry : ClassifyManifestLine(line.kept)) {
    case ManifestLineKind::kUpdatedFilesMarker:
      section = ManifestSection::kUpdatedFiles;
      return;
    case ManifestLineKind::kDeletedFilesMarker:
      section = ManifestSection::kDeletedFiles;
      return;
    case ManifestLineKind::kEntry:
      break;
  }
  // Lines before the first marker belong to no section.
  if (section == ManifestSection::kNone) return;
  const NormalizedEntry normalized = NormalizeManifestEntry(line.kept);
  onEntry(ManifestEntry{section, line.kept, NarrowToWide(normalized.path),
                        section == ManifestSection::kUpdatedFiles && normalized.hadSlash,
                        line.cut});
}

}  // namespace

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
  // Read as bytes, with the text mode's rules applied here (CR before LF dropped, CTRL+Z ends
  // the file): the runtime's own text mode takes half as long again over a long line.
  UniqueFile manifest(_wfsopen(path.c_str(), L"rb", _SH_DENYNO));
  if (!manifest) return false;

  ManifestSection section = ManifestSection::kNone;
  const ManifestLineReader::OnLine take = [&](const BoundedLine& line) {
    TakeLine(line, section, onEntry);
  };
  std::string chunk(kReadChunkBytes, '\0');
  ManifestLineReader reader;
  size_t got = 0;
  while (!reader.Ended() && (got = fread(&chunk[0], 1, chunk.size(), manifest.get())) > 0) {
    reader.Feed(std::string_view(chunk.data(), got), take);
    if (ferror(manifest.get())) return true;
  }
  // The last line counts without a line feed too; after a read error it is incomplete.
  if (!ferror(manifest.get())) reader.Finish(take);
  return true;
}

void ReadManifestBytes(std::string_view bytes,
                       const std::function<void(const ManifestEntry&)>& onEntry) {
  ManifestSection section = ManifestSection::kNone;
  const ManifestLineReader::OnLine take = [&](const BoundedLine& line) {
    TakeLine(line, section, onEntry);
  };
  ManifestLineReader reader;
  reader.Feed(bytes, take);
  reader.Finish(take);
}
