// The delivery decoder on arbitrary patch bytes against a fixed base: the first 3 bytes of the
// input are the listed result size (little-endian), the rest is the delivered patch, read in
// chunks whose size the input also varies.
//
// Checked: decoding never writes more than the listed size, a decoding that succeeds wrote
// exactly the listed size, and every result has its text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zstd_decode.h"

namespace {

void Check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "zstd_decode_fuzzer: %s\n", what);
    std::abort();
}

// The base the seeds' patches were made against (libzstd, level 19, the base as prefix, with a
// checksum): 64 KiB of words from a fixed generator.
const std::string& Base() {
    static const std::string base = [] {
        static const char* const kWords[] = {"update ", "delivery ", "frame ", "patch ",
                                             "base ", "window ", "installed ", "\r\n",
                                             "0x1F ", "{ }; "};
        std::string text;
        std::uint32_t seed = 1;
        while (text.size() < 65536) {
            seed = seed * 1664525u + 1013904223u;
            text += kWords[(seed >> 16) % 10];
        }
        text.resize(65536);
        return text;
    }();
    return base;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::uint64_t listed = data[0] | (data[1] << 8) | (std::uint64_t{data[2]} << 16);
    const std::uint8_t* frame = data + 3;
    const std::size_t frameSize = size - 3;
    // Chunks of 1 to 64 bytes, or whole, so the frame's header and blocks split anywhere.
    const std::size_t chunk = frameSize > 0 && frame[0] % 2 ? 1 + frame[frameSize - 1] % 64 : size;
    std::size_t offset = 0;
    const DecodeRead read = [&](std::uint8_t* buffer, std::size_t capacity, std::size_t& got) {
        got = std::min(std::min(capacity, chunk), frameSize - offset);
        if (got > 0) std::memcpy(buffer, frame + offset, got);
        offset += got;
        return true;
    };
    std::uint64_t written = 0;
    const DecodeWrite write = [&](const std::uint8_t*, std::size_t bytes) {
        written += bytes;
        return true;
    };
    const std::string& base = Base();
    const DecodeResult result =
        DecodeZstd(read, write, reinterpret_cast<const std::uint8_t*>(base.data()), base.size(),
                   listed);
    Check(written <= listed, "more bytes written than listed");
    Check(result != DecodeResult::kOk || written == listed, "a success of another size");
    Check(DecodeResultText(result)[0] != '\0', "a result without a text");
    return 0;
}
