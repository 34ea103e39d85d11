// The hash list's writer, in an object of its own: the updater only reads lists, and a static
// library's member that nothing references is not linked into it.

#include <string>

#include "hash_list.h"

std::string HashListText(std::uint64_t release, const std::vector<ListedFile>& files,
                         int format) {
  HashList list;
  list.format = format;
  list.release = release;
  list.files = files;
  return HashListText(list);
}

namespace {

void AppendFileLine(const ListedFile& file, std::string& text) {
  if (file.kind != ListedKind::kPlain) {
    text.append(file.kind == ListedKind::kZstd ? "zstd " : "patch ");
  }
  text.append(DigestHex(file.sha256)).append(" ").append(std::to_string(file.size));
  if (file.kind != ListedKind::kPlain) {
    text.append(" ").append(DigestHex(file.frameSha256));
    text.append(" ").append(std::to_string(file.frameSize));
  }
  if (file.kind == ListedKind::kPatch) text.append(" ").append(DigestHex(file.baseSha256));
  text.append(" ").append(ListPath(file.path)).append("\r\n");
}

}  // namespace

std::string HashListText(const HashList& list) {
  std::string text;
  text.append(list.format >= 3   ? kHashListHeaderRelease
              : list.format == 2 ? kHashListHeaderDelta
                                 : kHashListHeader)
      .append("\r\n");
  text.append("release ").append(std::to_string(list.release)).append("\r\n");
  if (list.format >= 3) {
    text.append(list.full ? "full " + FileVersionText(list.mainVersion)
                          : "from " + std::to_string(list.from))
        .append("\r\n");
  }
  for (const ListedFile& file : list.files) AppendFileLine(file, text);
  if (list.format >= 3) {
    for (const ListedFile& file : list.kept) {
      text.append("kept ");
      AppendFileLine(file, text);
    }
  }
  return text;
}

std::string FileVersionText(const FileVersion& version) {
  return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." +
         std::to_string(version[2]) + "." + std::to_string(version[3]);
}
