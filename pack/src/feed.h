#pragma once
// The publisher's feed folder, served as it is by any web server:
//
//   index, index.sig         the signed index (<vintrel/update_feed.h>) naming the newest
//                            releases with their rollout shares, each one's full delivery and
//                            a partial one from each recent release
//   <N>/release.sha256       release N's every file with its size and SHA-256 (the history)
//   <N>/full/                its full delivery
//   <N>/from-<M>/            its partial delivery from release M
//
// A release's folder is made beside the others under a hidden name and moved into place whole,
// then the index is replaced: an interrupted run leaves no release in the index half-written.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <vintrel/update_feed.h>

#include "findings.h"
#include "hash_list.h"
#include "signing.h"

inline constexpr char kReleaseListName[] = "release.sha256";

// The feed's index when there is one (exists false when the folder has none); false, with
// error, when there is one that does not read.
bool ReadFeedIndex(const std::filesystem::path& feed, vintrel::FeedIndex& index, bool& exists,
                   std::string& error);

// The releases of the feed up to newest whose folder holds a release list, ascending.
std::vector<std::uint64_t> PublishedReleases(const std::filesystem::path& feed,
                                             std::uint64_t newest);

// The index of the feed's published releases from newest down, each with its share from shares
// (100 % for a release shares does not name), down to the first at 100 %; each release's
// deliveries as its folder holds them (full/, from-<M>/).
bool IndexFeedReleases(const std::filesystem::path& feed, std::uint64_t newest,
                       const std::map<std::uint64_t, std::uint32_t>& shares,
                       vintrel::FeedIndex& index, std::string& error);

// A published release's list of files (paths in code page 936).
bool ReadReleaseList(const std::filesystem::path& feed, std::uint64_t release, HashList& list,
                     std::string& error);

// The list of a release tree's files, hashed (paths in code page 936).
bool ListRelease(const std::filesystem::path& root, std::uint64_t release, HashList& list,
                 std::string& error);

// Writes a release's list as release.sha256 into folder.
bool WriteReleaseList(const std::filesystem::path& folder, const HashList& list,
                      std::string& error);

// Writes the files of a published release into out, from its full delivery (zstd frames
// decoded), each verified against the release list.
bool MaterializeRelease(const std::filesystem::path& feed, std::uint64_t release,
                        const std::filesystem::path& out, std::string& error);

// The bytes of a folder's files together.
std::uint64_t FolderBytes(const std::filesystem::path& folder);

// Writes index and its signature into feed, each whole under a temporary name first.
bool WriteFeedIndex(const std::filesystem::path& feed, const vintrel::FeedIndex& index,
                    const DeliveryKey& key, std::string& error);

// Findings for a feed folder: its index and signature (with keys given), and every delivery the
// index names present with its bytes and its list's release and base as the index says. Each
// delivery's folder is returned in deliveries for the delivery checks.
void CheckFeed(const std::filesystem::path& feed, const std::vector<DeliveryKey>& keys,
               Report& report, std::vector<std::filesystem::path>& deliveries);
