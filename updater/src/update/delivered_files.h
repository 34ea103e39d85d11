#pragma once
// The files of a listed delivery as the elevated stage meets them: opened through checked
// handles below the held delivery folder, and held against what the hash list gives for them.

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/checked_items.h"
#include "base/sha256.h"
#include "hash_list.h"
#include "update/listed_apply.h"

// The delivered file a list line names below the delivery folder: the file itself, or its zstd
// frame or patch.
std::wstring DeliveredFile(const std::wstring& deliveryFinalPath, const ListedFile& listed);

// Opens a file of the delivery as the elevated stage opens what a user can write; the reason
// why not, otherwise.
CheckedItem OpenDelivered(const std::wstring& path, std::string& reason);

enum class ReadDeliveredResult { kRead, kUnavailable, kTooLarge, kNoMemory };

// Reads a checked delivered file whole, when it holds at most limit bytes.
ReadDeliveredResult ReadDelivered(const std::wstring& path, std::uint64_t limit,
                                  std::string& bytes, std::string& reason);

// Whether bytes are of the size and SHA-256 the list gives; the reason otherwise.
bool Matches(const Sha256Value& digest, std::uint64_t size, const Sha256Digest& listedSha256,
             std::uint64_t listedSize, std::string& reason);
bool MatchesList(const Sha256Value& digest, std::uint64_t size, const ListedFile& listed,
                 std::string& reason);

// Whether an open delivered file, read from its start, is what the list gives for the bytes
// delivered: the file, or its frame.
bool DeliveredAsListed(HANDLE file, const ListedFile& listed, std::string& reason);

// The decimal text of a number, for log lines.
std::string Decimal(std::uint64_t value);

// A path for the outcome record: "/" between levels.
std::string OutcomePath(const std::string& written);

// Ends the apply before the installation was touched: one log line ("refuse delivery : file :
// reason") and the outcome.
void Refuse(ListedApply& apply, ApplyReason why, const std::string& file,
            const std::string& reason);
