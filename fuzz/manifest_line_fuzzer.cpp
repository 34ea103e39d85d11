// The manifest reader's line handling on arbitrary bytes. The input is split into lines at
// line feeds, as the reader's getline does, and the whole input is also tried as one line (so
// carriage returns, line feeds and zero bytes reach the functions too).
//
// Checked: a line is a marker exactly when it equals one byte for byte; normalisation keeps the
// length, turns every "/" and only "/" into "\", and reports whether there was a "/".
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "manifest_line.h"

namespace {

void Check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "manifest_line_fuzzer: %s\n", what);
    std::abort();
}

void CheckLine(std::string_view line) {
    const ManifestLineKind kind = ClassifyManifestLine(line);
    Check((kind == ManifestLineKind::kUpdatedFilesMarker) == (line == "UpdatedFiles:"),
          "wrong UpdatedFiles: classification");
    Check((kind == ManifestLineKind::kDeletedFilesMarker) == (line == "DeletedFiles:"),
          "wrong DeletedFiles: classification");

    const NormalizedEntry entry = NormalizeManifestEntry(line);
    Check(entry.path.size() == line.size(), "normalisation changed the length");
    bool sawSlash = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '/') {
            sawSlash = true;
            Check(entry.path[i] == '\\', "a slash was not turned into a backslash");
        } else {
            Check(entry.path[i] == line[i], "a byte other than a slash changed");
        }
    }
    Check(entry.hadSlash == sawSlash, "wrong slash flag");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    CheckLine(input);
    std::size_t start = 0;
    while (start < input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos) end = input.size();
        CheckLine(input.substr(start, end - start));
        start = end + 1;
    }
    return 0;
}
