#pragma once
// SHA-256 of the delivery's files with libcrypto, computed while a file is copied or read in
// chunks, so that no file is held whole in memory and none is read twice.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "hash_list.h"

// The SHA-256 of bytes in memory.
Sha256Digest Sha256Of(std::string_view bytes);

// Copies source to a new file destination, computing the SHA-256 and size of the bytes as they
// pass. False, with error set, when either side fails (destination may then be left partial).
bool CopyFileHashing(const std::filesystem::path& source, const std::filesystem::path& destination,
                     Sha256Digest& digest, std::uint64_t& size, std::string& error);

// The SHA-256 of the file at path, read in chunks. False, with error set, when it cannot be read.
bool HashFile(const std::filesystem::path& path, Sha256Digest& digest, std::string& error);
