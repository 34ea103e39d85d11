#include "delta.h"

#include <zstd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <system_error>
#include <vector>

#include "cp936.h"
#include "platform.h"
#include "sha256.h"
#include "tree.h"
#include "zstd_decode.h"

namespace fs = std::filesystem;

namespace {

struct CCtxFree {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
using CCtxPtr = std::unique_ptr<ZSTD_CCtx, CCtxFree>;

// The smallest window (as a power of two) that holds bytes, within zstd's least and the
// decoder's limit.
int WindowLogFor(std::uint64_t bytes) {
  int log = 10;  // ZSTD_WINDOWLOG_MIN
  while (log < kDecodeWindowLogMax && (std::uint64_t{1} << log) < bytes) ++log;
  return log;
}

// The whole file at path, of size bytes (at most the decoder's window).
bool ReadWhole(const fs::path& path, std::uint64_t size, std::string& bytes, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  bytes.resize(static_cast<std::size_t>(size));
  if (!in.read(&bytes[0], static_cast<std::streamsize>(size)) || in.peek() != EOF) {
    error = path.u8string() + ": cannot be read, or changed while it was read";
  }
  return error.empty();
}

// Compresses source (size bytes) into the new file out as one frame with a checksum and the
// size in its header, against prefix when it is not empty, read and written in chunks; written
// gets the frame's size. With out empty the frame is only measured.
bool CompressFile(const fs::path& source, std::uint64_t size, const std::string& prefix,
                  const fs::path& out, std::uint64_t& written, std::string& error,
                  int level = kDeltaLevel) {
  CCtxPtr context(ZSTD_createCCtx());
  const int windowLog = WindowLogFor(prefix.size() + size);
  // The window sized to the files, as zstd --long does, within what the updater decodes.
  const std::pair<ZSTD_cParameter, int> parameters[] = {
      {ZSTD_c_compressionLevel, level}, {ZSTD_c_checksumFlag, 1},
      {ZSTD_c_windowLog, windowLog}, {ZSTD_c_enableLongDistanceMatching, 1}};
  bool good = context != nullptr;
  for (const auto& [parameter, value] : parameters) {
    good = good && !ZSTD_isError(ZSTD_CCtx_setParameter(context.get(), parameter, value));
  }
  good = good && !ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(context.get(), size));
  if (good && !prefix.empty()) {
    good = !ZSTD_isError(ZSTD_CCtx_refPrefix(context.get(), prefix.data(), prefix.size()));
  }
  if (!good) {
    error = source.u8string() + ": zstd cannot be set up to compress it";
    return false;
  }
  FilePtr in(OpenFileForReading(source));
  std::ofstream file;
  if (!out.empty()) file.open(out, std::ios::binary);
  if (!in || (!out.empty() && !file)) {
    error = (in ? out : source).u8string() + ": cannot be opened";
    return false;
  }
  std::vector<char> inBytes(ZSTD_CStreamInSize()), outBytes(ZSTD_CStreamOutSize());
  bool last = false;
  written = 0;
  while (!last) {
    const std::size_t got = std::fread(inBytes.data(), 1, inBytes.size(), in.get());
    if (std::ferror(in.get())) {
      error = source.u8string() + ": cannot be read";
      return false;
    }
    last = got < inBytes.size();
    ZSTD_inBuffer input{inBytes.data(), got, 0};
    std::size_t left = 0;
    do {
      ZSTD_outBuffer output{outBytes.data(), outBytes.size(), 0};
      left = ZSTD_compressStream2(context.get(), &output, &input,
                                  last ? ZSTD_e_end : ZSTD_e_continue);
      if (ZSTD_isError(left)) {
        // A file that changed size while it was read no longer matches the pledged size.
        error = source.u8string() + ": cannot be compressed (" + ZSTD_getErrorName(left) + ")";
        return false;
      }
      if (!out.empty()) file.write(outBytes.data(), static_cast<std::streamsize>(output.pos));
      written += output.pos;
    } while (last ? left > 0 : input.pos < input.size);
  }
  if (out.empty()) return true;
  file.close();
  if (!file) error = out.u8string() + ": cannot be written";
  return error.empty();
}

fs::path WithSuffix(const fs::path& path, std::string_view suffix) {
  fs::path result = path;
  result += fs::u8path(std::string(suffix));
  return result;
}

std::string Bytes(std::uint64_t bytes) { return std::to_string(bytes) + " bytes"; }

}  // namespace

bool DeliverSmallest(const fs::path& source, const fs::path& base, const fs::path& folder,
                     const std::string& relative, bool plain, ListedFile& listed,
                     std::string& error, std::string* why) {
  // Without a folder the choice is made and measured, and nothing written.
  const bool measure = folder.empty();
  const fs::path destination = measure ? fs::path() : JoinRelative(folder, relative);
  std::error_code ec;
  if (!measure) fs::create_directories(destination.parent_path(), ec);
  listed = ListedFile{Utf8ToCp936(relative).value_or(std::string()), {}, 0, 0};
  if (ec || (!measure && !HashFile(source, listed.sha256, error))) {
    error = source.u8string() + ": cannot be delivered: " + (ec ? ec.message() : error);
    return false;
  }
  listed.size = fs::file_size(source, ec);
  const fs::path frame = measure ? fs::path() : WithSuffix(destination, kZstdSuffix);
  const fs::path patch = measure ? fs::path() : WithSuffix(destination, kPatchSuffix);
  std::uint64_t frameSize = listed.size, patchSize = listed.size;
  // A patch needs the base in memory, within the decoder's window like the file itself.
  const std::uint64_t baseSize = base.empty() ? 0 : fs::file_size(base, ec);
  std::string noPatch;  // why no patch was tried
  if (base.empty() || ec) {
    noPatch = "a new file, with no installed file to patch";
  } else if (listed.size > kDecodeWindowMax) {
    noPatch = "the file is over the 128 MiB patch limit";
  } else if (baseSize > kDecodeWindowMax) {
    noPatch = "the base is over the 128 MiB patch limit";
  }
  if (!plain && noPatch.empty()) {
    std::string baseBytes;
    if (!ReadWhole(base, baseSize, baseBytes, error) ||
        !CompressFile(source, listed.size, baseBytes, patch, patchSize, error)) {
      return false;
    }
    listed.baseSha256 = Sha256Of(baseBytes);
  }
  // The frame is made only where it could be the smaller: see kFrameSkipRatio and kProbeBytes.
  bool frameTried = !plain && patchSize * kFrameSkipRatio > listed.size;
  bool incompressible = false;
  if (frameTried && listed.size >= kProbeBytes) {
    std::uint64_t fastSize = 0;
    if (!CompressFile(source, listed.size, std::string(), fs::path(), fastSize, error, 1)) {
      return false;
    }
    incompressible = fastSize >= listed.size - listed.size / kProbeSaveRatio;
    frameTried = !incompressible;
  }
  if (frameTried &&
      !CompressFile(source, listed.size, std::string(), frame, frameSize, error)) {
    return false;
  }
  if (patchSize < frameSize && patchSize < listed.size) {
    listed.kind = ListedKind::kPatch;
    listed.frameSize = patchSize;
    if (why) {
      *why = frameTried ? "patch: smaller than a frame (" + Bytes(frameSize) + ") and the file"
                        : "patch: under 1/" + std::to_string(kFrameSkipRatio) +
                              " of the file, no frame tried";
    }
  } else if (frameSize < listed.size) {
    listed.kind = ListedKind::kZstd;
    listed.frameSize = frameSize;
    listed.baseSha256 = Sha256Digest{};
    if (why) {
      *why = "frame: " + (noPatch.empty() ? "smaller than a patch (" + Bytes(patchSize) + ")"
                                          : noPatch);
    }
  } else if (why && incompressible) {
    *why = "plain: incompressible (zstd's fastest level saves under 1/" +
           std::to_string(kProbeSaveRatio) + ")" +
           (noPatch.empty() ? ", a patch " + Bytes(patchSize) : std::string());
  } else if (why && !plain) {
    *why = "plain: compression does not pay (a frame would be " + Bytes(frameSize) +
           (noPatch.empty() ? ", a patch " + Bytes(patchSize) : std::string()) + ")";
  }
  if (measure) return true;
  // What is not delivered goes; the file itself is copied only when nothing smaller was made.
  if (listed.kind != ListedKind::kZstd) fs::remove(frame, ec);
  if (listed.kind != ListedKind::kPatch) fs::remove(patch, ec);
  if (listed.kind == ListedKind::kPlain) {
    std::uint64_t copied = 0;
    Sha256Digest digest{};
    if (!CopyFileHashing(source, destination, digest, copied, error)) return false;
    if (digest != listed.sha256 || copied != listed.size) {
      error = source.u8string() + ": changed while it was delivered";
      return false;
    }
    return true;
  }
  if (!HashFile(listed.kind == ListedKind::kZstd ? frame : patch, listed.frameSha256, error)) {
    return false;
  }
  return true;
}
