#pragma once
// Decoding a delivered zstd frame (a ".zst" file) or zstd patch (a ".zstpatch" file, a frame
// made with the installed file as its prefix), free of platform calls: the frame comes in
// through a read callback and the decoded bytes go out through a write callback, so neither is
// ever held whole. Memory stays bounded for a 32-bit process: a frame may need a window of at
// most 2^27 bytes (128 MiB) and a base may be at most that large, so decoding holds at most the
// caller's base, a window of 128 MiB and two buffers of about 128 KiB.

#include <cstddef>
#include <cstdint>
#include <functional>

// The largest window a frame may ask for, as a power of two, and in bytes; also the largest base.
inline constexpr int kDecodeWindowLogMax = 27;
inline constexpr std::uint64_t kDecodeWindowMax = std::uint64_t{1} << kDecodeWindowLogMax;

enum class DecodeResult {
  kOk,                  // exactly one frame, decoded to exactly the listed size
  kReadFailed,          // the read callback failed
  kWriteFailed,         // the write callback failed
  kNoMemory,            // the decoder's state or window could not be allocated
  kWindowTooLarge,      // the frame needs a window beyond 2^27 bytes, or the base is larger
  kLargerThanListed,    // the frame decodes to more bytes than listed (stopped there)
  kShorterThanListed,   // the frame ended with fewer bytes than listed
  kTruncated,           // the bytes ended before the frame did (a cut frame)
  kTrailingBytes,       // more bytes follow the frame
  kChecksumWrong,       // the result fails the frame's checksum: a patch applied to another
                        // base than it was made against, or a damaged frame
  kCorrupt,             // any other fault zstd finds in the frame (damaged, not a zstd frame)
};

// Fills buffer with up to capacity next bytes of the frame, setting got to how many (0 once
// they are all read); false when reading fails.
using DecodeRead = std::function<bool(std::uint8_t* buffer, std::size_t capacity, std::size_t& got)>;
// Takes the next size decoded bytes; false when they cannot be written.
using DecodeWrite = std::function<bool(const std::uint8_t* data, std::size_t size)>;

// Decodes the one zstd frame that read gives into write, expecting resultSize bytes: a patch
// against the base's baseSize bytes, or (baseSize 0) a plain frame. Stops at the first fault
// and says which; bytes already written are then to be thrown away.
DecodeResult DecodeZstd(const DecodeRead& read, const DecodeWrite& write,
                        const std::uint8_t* base, std::size_t baseSize, std::uint64_t resultSize);

// The result as a short English text for a log, e.g. "the frame is cut short".
const char* DecodeResultText(DecodeResult result);
