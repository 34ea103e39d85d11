// The decoder on real zstd frames and patches made here with libzstd, one row per outcome: a
// frame and a patch decode to their files; a wrong base, a damaged, cut or overlong frame and
// a frame beyond the window limit are each refused with their own result.

#include <gtest/gtest.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_frameHeaderSize
#include <zstd.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "zstd_decode.h"

namespace {

// Text-like bytes that compress: words drawn from a small vocabulary by a fixed generator.
std::string Generated(std::size_t size, std::uint32_t seed) {
  static const char* const kWords[] = {"update ", "delivery ", "frame ", "patch ", "base ",
                                       "window ", "installed ", "\r\n", "0x1F ", "{ }; "};
  std::string text;
  while (text.size() < size) {
    seed = seed * 1664525u + 1013904223u;
    text += kWords[(seed >> 16) % 10];
  }
  text.resize(size);
  return text;
}

struct Encoding {
  std::string base;          // the prefix a patch is made against; empty for a plain frame
  int windowLog = 0;         // 0: zstd's choice
  bool streamed = false;     // size not known in advance: no content size in the header
};

// data as one zstd frame with a checksum, level 19 as vintrel-pack makes them.
std::string Encode(const std::string& data, const Encoding& encoding = {}) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 19);
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
  if (encoding.windowLog) ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, encoding.windowLog);
  if (!encoding.base.empty()) {
    ZSTD_CCtx_refPrefix(context, encoding.base.data(), encoding.base.size());
  }
  std::string frame(ZSTD_compressBound(data.size()) + 64, '\0');
  ZSTD_outBuffer out{&frame[0], frame.size(), 0};
  ZSTD_inBuffer in{data.data(), data.size(), 0};
  // Streamed: the input is handed over before zstd is told it is all there.
  if (encoding.streamed) ZSTD_compressStream2(context, &out, &in, ZSTD_e_continue);
  std::size_t left = 0;
  do {
    left = ZSTD_compressStream2(context, &out, &in, ZSTD_e_end);
    EXPECT_FALSE(ZSTD_isError(left)) << ZSTD_getErrorName(left);
  } while (left > 0 && !ZSTD_isError(left));
  ZSTD_freeCCtx(context);
  frame.resize(out.pos);
  return frame;
}

struct Row {
  std::string name;
  std::string frame;
  std::string base;
  std::uint64_t listed;                  // the listed result size
  std::set<DecodeResult> expected;       // what decoding may give (one result for most rows)
  std::string result;                    // for kOk: the decoded bytes
  std::size_t chunk = 1 << 16;           // bytes the read callback gives at a time
  bool failRead = false, failWrite = false;
};

std::vector<Row> Rows() {
  const std::string oldFile = Generated(300000, 1);
  std::string newFile = oldFile;
  newFile.replace(1000, 40, Generated(60, 7));  // small changes inside a large file
  newFile.insert(150000, "a new line in the middle\r\n");
  newFile += Generated(5000, 9);
  std::string otherBase = oldFile;
  otherBase[200] ^= 0x20;  // the installed file changed after the release: same size

  const std::string frame = Encode(newFile);
  const std::string patch = Encode(newFile, {oldFile});
  const std::string streamed = Encode(newFile, {"", 0, true});
  std::string flipped = patch;
  flipped[flipped.size() / 2] ^= 0x01;
  std::string badChecksum = frame;
  badChecksum.back() ^= 0x01;  // the frame ends with the low 4 bytes of its XXH64
  std::string reservedBlock = frame;
  // The first block header follows the frame header: block type 3 is reserved.
  reservedBlock[ZSTD_frameHeaderSize(frame.data(), frame.size())] |= 0x06;
  const std::string wide = Encode(Generated(1000, 3), {"", 28, true});

  const std::set<DecodeResult> ok = {DecodeResult::kOk};
  std::vector<Row> rows = {
      {"plain frame", frame, "", newFile.size(), ok, newFile},
      {"plain frame read 5 bytes at a time", frame, "", newFile.size(), ok, newFile, 5},
      {"patch", patch, oldFile, newFile.size(), ok, newFile},
      {"patch read 1 byte at a time", patch, oldFile, newFile.size(), ok, newFile, 1},
      {"frame without content size", streamed, "", newFile.size(), ok, newFile},
      {"empty file", Encode(""), "", 0, ok, ""},
      {"patch against another base", patch, otherBase, newFile.size(),
       {DecodeResult::kChecksumWrong}},
      {"patch without its base", patch, "", newFile.size(), {DecodeResult::kCorrupt}},
      {"one byte flipped in a patch", flipped, oldFile, newFile.size(),
       {DecodeResult::kCorrupt, DecodeResult::kChecksumWrong}},
      {"checksum damaged", badChecksum, "", newFile.size(), {DecodeResult::kChecksumWrong}},
      {"reserved block type", reservedBlock, "", newFile.size(), {DecodeResult::kCorrupt}},
      {"not a zstd frame", newFile, "", newFile.size(), {DecodeResult::kCorrupt}},
      {"patch cut before its end", patch.substr(0, patch.size() - 4), oldFile, newFile.size(),
       {DecodeResult::kTruncated}},
      {"patch cut in half", patch.substr(0, patch.size() / 2), oldFile, newFile.size(),
       {DecodeResult::kTruncated}},
      {"frame cut inside its header", frame.substr(0, 5), "", newFile.size(),
       {DecodeResult::kTruncated}},
      {"no bytes at all", "", "", newFile.size(), {DecodeResult::kTruncated}},
      {"bytes after the frame", frame + "x", "", newFile.size(), {DecodeResult::kTrailingBytes}},
      {"two frames", frame + frame, "", newFile.size(), {DecodeResult::kTrailingBytes}},
      {"listed smaller than the header's size", frame, "", newFile.size() - 1,
       {DecodeResult::kLargerThanListed}},
      {"listed larger than the header's size", frame, "", newFile.size() + 1,
       {DecodeResult::kShorterThanListed}},
      {"no content size, listed smaller", streamed, "", 200000,
       {DecodeResult::kLargerThanListed}},
      {"no content size, listed larger", streamed, "", newFile.size() + 1,
       {DecodeResult::kShorterThanListed}},
      {"window of 2^28 bytes", wide, "", 1000, {DecodeResult::kWindowTooLarge}},
      {"read fails", patch, oldFile, newFile.size(), {DecodeResult::kReadFailed}, "", 1 << 16,
       true},
      {"write fails", patch, oldFile, newFile.size(), {DecodeResult::kWriteFailed}, "", 1 << 16,
       false, true},
  };
  return rows;
}

TEST(ZstdDecodeTest, DecodesEachRow) {
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.name);
    std::size_t offset = 0;
    const DecodeRead read = [&](std::uint8_t* buffer, std::size_t capacity, std::size_t& got) {
      // A failing read fails once the decoding has begun.
      if (row.failRead && offset > 0) return false;
      got = std::min({capacity, row.chunk, row.frame.size() - offset});
      std::copy_n(row.frame.data() + offset, got, buffer);
      offset += got;
      return true;
    };
    std::string decoded;
    const DecodeWrite write = [&](const std::uint8_t* data, std::size_t size) {
      if (row.failWrite) return false;
      decoded.append(reinterpret_cast<const char*>(data), size);
      return true;
    };
    const DecodeResult result =
        DecodeZstd(read, write, reinterpret_cast<const std::uint8_t*>(row.base.data()),
                   row.base.size(), row.listed);
    EXPECT_EQ(row.expected.count(result), 1u) << DecodeResultText(result);
    EXPECT_LE(decoded.size(), row.listed);
    if (result == DecodeResult::kOk) EXPECT_TRUE(decoded == row.result);
  }
}

TEST(ZstdDecodeTest, EveryResultHasItsOwnText) {
  std::set<std::string> texts;
  for (int i = 0; i <= static_cast<int>(DecodeResult::kCorrupt); ++i) {
    texts.insert(DecodeResultText(static_cast<DecodeResult>(i)));
  }
  EXPECT_EQ(texts.size(), static_cast<std::size_t>(DecodeResult::kCorrupt) + 1);
}

}  // namespace
