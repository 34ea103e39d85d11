// The hash list's reader on arbitrary bytes.
//
// Checked: a list that reads is written again by HashListText and read again to the same list
// (release, base, paths, hashes, sizes, lines, delivered and kept files); every path read has "/"
// separators only, no "..", "." or empty level and no ":", and no two paths, delivered or kept,
// fold to the same key; a partial release list applies onto a release below its own.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "hash_list.h"

namespace {

void Check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "hash_list_fuzzer: %s\n", what);
    std::abort();
}

void CheckPath(const std::string& path) {
    Check(!path.empty() && path.front() != '/', "an empty path or a leading separator");
    Check(path.find(':') == std::string::npos, "a \":\" in a path");
    Check(ListPath(path) == path, "a separator other than \"/\" in a path");
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = path.find('/', start);
        const std::string level = path.substr(start, slash - start);
        Check(!level.empty() && level != "." && level != "..", "an empty, . or .. level");
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    HashList list;
    HashListError error;
    if (!ParseHashList(input, list, error)) {
        Check(!error.reason.empty(), "a failure without a reason");
        return 0;
    }
    Check(list.release >= 1 && list.release < (std::uint64_t{1} << 63), "release out of range");
    std::set<std::string> keys;
    for (const auto* files : {&list.files, &list.kept}) {
        for (const ListedFile& file : *files) {
            CheckPath(file.path);
            Check(keys.insert(FoldPathCase(file.path)).second, "two paths with one key");
        }
    }
    Check(list.format == 3 || (list.kept.empty() && !list.full && list.from == 0),
          "a release's lines in format 1 or 2");
    Check(list.format != 3 || list.full || (list.from >= 1 && list.from < list.release),
          "a partial release not from a release below its own");

    const std::string text = HashListText(list);
    HashList again;
    Check(ParseHashList(text, again, error), "the written list does not read");
    Check(again.release == list.release && again.format == list.format, "the release or format changed");
    Check(again.full == list.full && again.from == list.from &&
              again.mainVersion == list.mainVersion,
          "the base changed");
    for (const auto& [read, reread] : {std::make_pair(&list.files, &again.files),
                                       std::make_pair(&list.kept, &again.kept)}) {
        Check(read->size() == reread->size(), "the number of files changed");
        for (std::size_t i = 0; i < read->size(); ++i) {
            const ListedFile& a = (*read)[i];
            const ListedFile& b = (*reread)[i];
            Check(a.path == b.path && a.sha256 == b.sha256 && a.size == b.size &&
                      a.line == b.line && a.kind == b.kind && a.frameSha256 == b.frameSha256 &&
                      a.frameSize == b.frameSize && a.baseSha256 == b.baseSha256,
                  "a file changed");
        }
    }
    return 0;
}
