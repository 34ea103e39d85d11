#include "sha256.h"

#include <openssl/evp.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <system_error>

#include "platform.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kChunk = 1 << 20;

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

DigestContext StartSha256() {
  DigestContext context(EVP_MD_CTX_new());
  if (context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) context.reset();
  return context;
}

bool FinishSha256(EVP_MD_CTX* context, Sha256Digest& digest) {
  unsigned int length = 0;
  return EVP_DigestFinal_ex(context, digest.data(), &length) == 1 && length == digest.size();
}

// Reads source in chunks into the digest, handing each chunk to onChunk (which may refuse it).
template <typename OnChunk>
bool HashChunks(const fs::path& source, Sha256Digest& digest, std::uint64_t& size,
                std::string& error, OnChunk onChunk) {
  FilePtr in(OpenFileForReading(source));
  if (!in) {
    error = source.u8string() + ": cannot be opened for reading";
    return false;
  }
  const DigestContext context = StartSha256();
  if (!context) {
    error = "libcrypto has no SHA-256";
    return false;
  }
  const std::unique_ptr<char[]> buffer(new char[kChunk]);
  size = 0;
  while (true) {
    const std::size_t got = std::fread(buffer.get(), 1, kChunk, in.get());
    if (Interrupted()) {
      error = "interrupted";
      return false;
    }
    if (got > 0) {
      EVP_DigestUpdate(context.get(), buffer.get(), got);
      if (!onChunk(buffer.get(), got)) return false;
      size += got;
    }
    if (got < kChunk) break;
  }
  if (std::ferror(in.get())) {
    error = source.u8string() + ": read error";
    return false;
  }
  if (!FinishSha256(context.get(), digest)) {
    error = "libcrypto failed to finish a SHA-256";
    return false;
  }
  return true;
}

}  // namespace

Sha256Digest Sha256Of(std::string_view bytes) {
  Sha256Digest digest{};
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
  return digest;
}

bool CopyFileHashing(const fs::path& source, const fs::path& destination, Sha256Digest& digest,
                     std::uint64_t& size, std::string& error) {
  std::ofstream out(destination, std::ios::binary | std::ios::trunc);
  if (!out) {
    error = destination.u8string() + ": cannot be made";
    return false;
  }
  error.clear();
  const bool read = HashChunks(source, digest, size, error, [&](const char* bytes, std::size_t n) {
    out.write(bytes, static_cast<std::streamsize>(n));
    return out.good();
  });
  out.close();
  if (!read || !out) {
    // A refused chunk leaves no reason of the reading side.
    if (error.empty() || (read && !out)) error = destination.u8string() + ": cannot be written";
    return false;
  }
  // As a plain copy would: an executable stays executable where that is a permission.
  std::error_code ec;
  fs::permissions(destination, fs::status(source, ec).permissions(), ec);
  return true;
}

bool HashFile(const fs::path& path, Sha256Digest& digest, std::string& error) {
  std::uint64_t size = 0;
  return HashChunks(path, digest, size, error, [](const char*, std::size_t) { return true; });
}
