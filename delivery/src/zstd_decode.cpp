#include "zstd_decode.h"

#include <memory>
#include <vector>

// The frame header's parser is in zstd's static-only part; both builds link zstd statically or
// pin Debian's version.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

namespace {

struct DCtxFree {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};
using DCtxPtr = std::unique_ptr<ZSTD_DCtx, DCtxFree>;

// zstd's error code as a result; error strings are stripped from the size-built decoder.
DecodeResult FromZstdError(std::size_t code) {
  switch (ZSTD_getErrorCode(code)) {
    case ZSTD_error_frameParameter_windowTooLarge:
      return DecodeResult::kWindowTooLarge;
    case ZSTD_error_checksum_wrong:
      return DecodeResult::kChecksumWrong;
    case ZSTD_error_memory_allocation:
      return DecodeResult::kNoMemory;
    default:
      return DecodeResult::kCorrupt;
  }
}

// Reads until buffer holds at least want bytes or the frame's bytes end; false on a failed read.
bool ReadAtLeast(const DecodeRead& read, std::vector<std::uint8_t>& buffer, std::size_t& held,
                 std::size_t want) {
  while (held < want) {
    std::size_t got = 0;
    if (!read(buffer.data() + held, buffer.size() - held, got)) return false;
    if (got == 0) return true;
    held += got;
  }
  return true;
}

// The frame's header against the limits and the listed size, before any window is allocated.
DecodeResult CheckHeader(const std::uint8_t* bytes, std::size_t held, std::uint64_t resultSize) {
  ZSTD_frameHeader header{};
  const std::size_t needed = ZSTD_getFrameHeader(&header, bytes, held);
  if (ZSTD_isError(needed)) return DecodeResult::kCorrupt;
  if (needed > 0) return DecodeResult::kTruncated;
  if (header.frameType != ZSTD_frame) return DecodeResult::kCorrupt;
  if (header.windowSize > kDecodeWindowMax) return DecodeResult::kWindowTooLarge;
  if (header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN) {
    if (header.frameContentSize > resultSize) return DecodeResult::kLargerThanListed;
    if (header.frameContentSize < resultSize) return DecodeResult::kShorterThanListed;
  }
  return DecodeResult::kOk;
}

}  // namespace

DecodeResult DecodeZstd(const DecodeRead& read, const DecodeWrite& write,
                        const std::uint8_t* base, std::size_t baseSize, std::uint64_t resultSize) {
  if (baseSize > kDecodeWindowMax) return DecodeResult::kWindowTooLarge;
  DCtxPtr context(ZSTD_createDCtx());
  if (!context) return DecodeResult::kNoMemory;
  std::size_t status =
      ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, kDecodeWindowLogMax);
  if (!ZSTD_isError(status) && baseSize > 0) {
    status = ZSTD_DCtx_refPrefix(context.get(), base, baseSize);
  }
  if (ZSTD_isError(status)) return FromZstdError(status);

  std::vector<std::uint8_t> in(ZSTD_DStreamInSize()), out(ZSTD_DStreamOutSize());
  std::size_t held = 0;
  if (!ReadAtLeast(read, in, held, ZSTD_FRAMEHEADERSIZE_MAX)) return DecodeResult::kReadFailed;
  const DecodeResult header = CheckHeader(in.data(), held, resultSize);
  if (header != DecodeResult::kOk) return header;

  ZSTD_inBuffer input{in.data(), held, 0};
  std::uint64_t written = 0;
  bool outputFull = false;
  while (true) {
    // zstd may still hold decoded bytes after filling the output: take those before reading on.
    if (input.pos == input.size && !outputFull) {
      std::size_t got = 0;
      if (!read(in.data(), in.size(), got)) return DecodeResult::kReadFailed;
      // zstd never ends the stream on a cut frame by itself: the bytes ended first.
      if (got == 0) return DecodeResult::kTruncated;
      input = ZSTD_inBuffer{in.data(), got, 0};
    }
    ZSTD_outBuffer output{out.data(), out.size(), 0};
    const std::size_t left = ZSTD_decompressStream(context.get(), &output, &input);
    if (ZSTD_isError(left)) return FromZstdError(left);
    outputFull = output.pos == output.size;
    if (output.pos > resultSize - written) return DecodeResult::kLargerThanListed;
    written += output.pos;
    if (output.pos > 0 && !write(out.data(), output.pos)) return DecodeResult::kWriteFailed;
    if (left == 0) break;  // the frame is decoded and flushed whole
  }
  if (input.pos < input.size) return DecodeResult::kTrailingBytes;
  std::size_t got = 0;
  if (!read(in.data(), in.size(), got)) return DecodeResult::kReadFailed;
  if (got > 0) return DecodeResult::kTrailingBytes;
  return written == resultSize ? DecodeResult::kOk : DecodeResult::kShorterThanListed;
}

const char* DecodeResultText(DecodeResult result) {
  switch (result) {
    case DecodeResult::kOk:
      return "decoded";
    case DecodeResult::kReadFailed:
      return "the frame cannot be read";
    case DecodeResult::kWriteFailed:
      return "the decoded file cannot be written";
    case DecodeResult::kNoMemory:
      return "not enough memory to decode";
    case DecodeResult::kWindowTooLarge:
      return "the frame or its base needs more than the 128 MiB decoding limit";
    case DecodeResult::kLargerThanListed:
      return "the frame decodes to more bytes than listed";
    case DecodeResult::kShorterThanListed:
      return "the frame decodes to fewer bytes than listed";
    case DecodeResult::kTruncated:
      return "the frame is cut short";
    case DecodeResult::kTrailingBytes:
      return "bytes follow the frame";
    case DecodeResult::kChecksumWrong:
      return "checksum wrong: the installed file is not the patch's base, or the frame is damaged";
    case DecodeResult::kCorrupt:
      return "the frame is damaged";
  }
  return "unknown decoding result";
}
