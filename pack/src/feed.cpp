#include "feed.h"

#include <zstd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

#include "cp936.h"
#include "names.h"
#include "platform.h"
#include "release.h"
#include "sha256.h"
#include "tree.h"

namespace fs = std::filesystem;

namespace {

bool ReadWhole(const fs::path& path, std::size_t limit, std::string& bytes) {
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec || size > limit) return false;
  std::ifstream in(path, std::ios::binary);
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.good() || in.eof();
}

bool WriteWhole(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  return static_cast<bool>(out);
}

// A hash list read whole from path.
bool ReadList(const fs::path& path, HashList& list, std::string& error) {
  std::string bytes;
  HashListError listError;
  if (!ReadWhole(path, kMaxHashListBytes, bytes)) {
    error = path.u8string() + ": cannot be read";
    return false;
  }
  if (!ParseHashList(bytes, list, listError)) {
    error = path.u8string() + ": " + HashListErrorText(listError);
    return false;
  }
  return true;
}

struct DStreamFree {
  void operator()(ZSTD_DStream* stream) const { ZSTD_freeDStream(stream); }
};

// Decodes the zstd frame at source into destination, then hashes what was written.
bool DecodeFrame(const fs::path& source, const fs::path& destination, Sha256Digest& digest,
                 std::uint64_t& size, std::string& error) {
  std::ifstream in(source, std::ios::binary);
  std::ofstream out(destination, std::ios::binary | std::ios::trunc);
  const std::unique_ptr<ZSTD_DStream, DStreamFree> stream(ZSTD_createDStream());
  if (!in || !out || !stream) {
    error = source.u8string() + ": cannot be decoded into " + destination.u8string();
    return false;
  }
  ZSTD_DCtx_setParameter(stream.get(), ZSTD_d_windowLogMax, 31);
  std::vector<char> input(ZSTD_DStreamInSize()), output(ZSTD_DStreamOutSize());
  std::size_t last = 1;
  while (in) {
    in.read(input.data(), static_cast<std::streamsize>(input.size()));
    ZSTD_inBuffer inBuffer{input.data(), static_cast<std::size_t>(in.gcount()), 0};
    while (inBuffer.pos < inBuffer.size) {
      ZSTD_outBuffer outBuffer{output.data(), output.size(), 0};
      last = ZSTD_decompressStream(stream.get(), &outBuffer, &inBuffer);
      if (ZSTD_isError(last)) {
        error = source.u8string() + ": " + ZSTD_getErrorName(last);
        return false;
      }
      out.write(output.data(), static_cast<std::streamsize>(outBuffer.pos));
    }
  }
  out.close();
  if (last != 0 || !out) {
    error = source.u8string() + ": cut short, or cannot be written";
    return false;
  }
  std::error_code ec;
  size = fs::file_size(destination, ec);
  return !ec && HashFile(destination, digest, error);
}

}  // namespace

bool ReadFeedIndex(const fs::path& feed, vintrel::FeedIndex& index, bool& exists,
                   std::string& error) {
  const fs::path path = feed / std::string(vintrel::kFeedIndexFileName);
  std::error_code ec;
  exists = fs::exists(path, ec);
  if (!exists) return true;
  std::string bytes;
  if (!ReadWhole(path, vintrel::kMaxFeedIndexBytes, bytes)) {
    error = path.u8string() + ": cannot be read";
    return false;
  }
  const vintrel::FeedIndexRead read = vintrel::ParseFeedIndex(bytes);
  if (read.status != vintrel::FeedIndexStatus::kRead) {
    error = path.u8string() + ": does not read (line " + std::to_string(read.line) + ")";
    return false;
  }
  index = read.index;
  return true;
}

std::vector<std::uint64_t> PublishedReleases(const fs::path& feed, std::uint64_t newest) {
  std::vector<std::uint64_t> releases;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(feed, ec)) {
    const std::string name = entry.path().filename().u8string();
    if (name.empty() || name.size() > 19 || name[0] == '0' ||
        name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    const std::uint64_t release = std::stoull(name);
    if (release <= newest && fs::is_regular_file(entry.path() / kReleaseListName, ec)) {
      releases.push_back(release);
    }
  }
  std::sort(releases.begin(), releases.end());
  return releases;
}

bool IndexFeedReleases(const fs::path& feed, std::uint64_t newest,
                       const std::map<std::uint64_t, std::uint32_t>& shares,
                       vintrel::FeedIndex& index, std::string& error) {
  index.releases.clear();
  std::vector<std::uint64_t> published = PublishedReleases(feed, newest);
  std::error_code ec;
  for (auto release = published.rbegin(); release != published.rend(); ++release) {
    const std::string name = std::to_string(*release);
    const fs::path folder = feed / name;
    vintrel::FeedRelease entry;
    entry.release = *release;
    const auto share = shares.find(*release);
    entry.rollout = share == shares.end() ? vintrel::kWholeRollout : share->second;
    if (!fs::is_directory(folder / "full", ec)) {
      error = (folder / "full").u8string() + ": release " + name + " has no full delivery";
      return false;
    }
    entry.full = {0, FolderBytes(folder / "full"), name + "/full"};
    for (const fs::directory_entry& item : fs::directory_iterator(folder, ec)) {
      const std::string itemName = item.path().filename().u8string();
      const std::optional<std::uint64_t> from =
          itemName.rfind("from-", 0) == 0 ? ParseRelease(itemName.substr(5)) : std::nullopt;
      if (from && *from < *release && item.is_directory(ec)) {
        entry.partial.push_back({*from, FolderBytes(item.path()), name + "/" + itemName});
      }
    }
    std::sort(entry.partial.begin(), entry.partial.end(),
              [](const vintrel::FeedDelivery& a, const vintrel::FeedDelivery& b) {
                return a.from < b.from;
              });
    index.releases.push_back(std::move(entry));
    if (index.releases.back().rollout >= vintrel::kWholeRollout) break;
  }
  if (index.releases.empty() || index.releases.front().release != newest) {
    error = feed.u8string() + ": release " + std::to_string(newest) + " is not published there";
    return false;
  }
  return true;
}

bool ReadReleaseList(const fs::path& feed, std::uint64_t release, HashList& list,
                     std::string& error) {
  return ReadList(feed / std::to_string(release) / kReleaseListName, list, error);
}

bool ListRelease(const fs::path& root, std::uint64_t release, HashList& list,
                 std::string& error) {
  std::vector<TreeItem> items;
  if (!ListTree(root, items, error)) return false;
  list = HashList{};
  list.release = release;
  for (const TreeItem& item : items) {
    if (item.kind != ItemKind::kFile || item.relative.rfind(".vintrel/", 0) == 0) continue;
    ListedFile file{Utf8ToCp936(item.relative).value_or(item.relative), {}, item.size, 0};
    if (!HashFile(JoinRelative(root, item.relative), file.sha256, error)) return false;
    list.files.push_back(std::move(file));
  }
  return true;
}

bool WriteReleaseList(const fs::path& folder, const HashList& list, std::string& error) {
  if (WriteWhole(folder / kReleaseListName, HashListText(list))) return true;
  error = (folder / kReleaseListName).u8string() + ": cannot be written";
  return false;
}

bool MaterializeRelease(const fs::path& feed, std::uint64_t release, const fs::path& out,
                        std::string& error) {
  HashList files, delivered;
  const fs::path full = feed / std::to_string(release) / "full";
  if (!ReadReleaseList(feed, release, files, error) ||
      !ReadList(full / std::string(kHashListFileName), delivered, error)) {
    return false;
  }
  const ListedFileIndex index = IndexListedFiles(delivered);
  for (const ListedFile& file : files.files) {
    const ListedFile* how = FindListedFile(delivered, index, file.path);
    const std::string utf8 = Cp936ToUtf8(file.path).value_or(file.path);
    const std::string deliveredName = how ? DeliveredPath(*how) : std::string();
    const fs::path source = JoinRelative(full, Cp936ToUtf8(deliveredName).value_or(deliveredName));
    const fs::path destination = JoinRelative(out, utf8);
    std::error_code ec;
    fs::create_directories(destination.parent_path(), ec);
    Sha256Digest digest{};
    std::uint64_t size = 0;
    if (!how || how->kind == ListedKind::kPatch) {
      error = (full / utf8).u8string() + ": release " + std::to_string(release) +
              "'s full delivery does not carry this file";
      return false;
    }
    if (how->kind == ListedKind::kZstd ? !DecodeFrame(source, destination, digest, size, error)
                                       : !CopyFileHashing(source, destination, digest, size,
                                                          error)) {
      return false;
    }
    if (digest != file.sha256 || size != file.size) {
      error = source.u8string() + ": is not the file release " + std::to_string(release) +
              " lists";
      return false;
    }
  }
  return true;
}

std::uint64_t FolderBytes(const fs::path& folder) {
  std::uint64_t bytes = 0;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec)) bytes += it->file_size(ec);
  }
  return bytes;
}

bool WriteFeedIndex(const fs::path& feed, const vintrel::FeedIndex& index,
                    const DeliveryKey& key, std::string& error) {
  const std::string text = vintrel::FormatFeedIndex(index);
  std::string signature;
  if (!SignList(key, text, signature, error)) return false;
  const fs::path indexPath = feed / std::string(vintrel::kFeedIndexFileName);
  const fs::path signaturePath = feed / std::string(vintrel::kFeedIndexSignatureFileName);
  const std::string suffix = ".new-" + std::to_string(ProcessId());
  std::error_code ec;
  // The signature first: a reader between the two moves sees a mismatch and asks again later,
  // never an index of a release that is not there.
  if (!WriteWhole(signaturePath.u8string() + suffix, signature) ||
      !WriteWhole(indexPath.u8string() + suffix, text)) {
    error = feed.u8string() + ": the index cannot be written";
    return false;
  }
  fs::rename(signaturePath.u8string() + suffix, signaturePath, ec);
  if (!ec) fs::rename(indexPath.u8string() + suffix, indexPath, ec);
  if (ec) error = feed.u8string() + ": the index cannot be moved into place: " + ec.message();
  return !ec;
}

void CheckFeed(const fs::path& feed, const std::vector<DeliveryKey>& keys, Report& report,
               std::vector<fs::path>& deliveries) {
  const std::string indexName(vintrel::kFeedIndexFileName);
  std::string bytes, signature;
  const fs::path indexPath = feed / indexName;
  if (!ReadWhole(indexPath, vintrel::kMaxFeedIndexBytes, bytes)) {
    report.Problem("feed-index-unreadable", indexName, 0, "the index cannot be read",
                   "publish the release again");
    return;
  }
  const vintrel::FeedIndexRead read = vintrel::ParseFeedIndex(bytes);
  if (read.status != vintrel::FeedIndexStatus::kRead) {
    report.Problem("feed-index-invalid", indexName, static_cast<int>(read.line),
                   "the index does not read, so no main application can choose a delivery",
                   "publish the release again");
    return;
  }
  if (!keys.empty()) {
    const std::string signatureName(vintrel::kFeedIndexSignatureFileName);
    std::string verifiedBy;
    if (ReadWhole(feed / signatureName, 1024, signature)) {
      for (const DeliveryKey& key : keys) {
        if (verifiedBy.empty() && VerifyList(key, bytes, signature)) verifiedBy = key.file;
      }
    }
    if (verifiedBy.empty()) {
      report.Problem("feed-signature-not-verified", signatureName, 0,
                     "no key given verifies the index's signature (missing, or the index "
                     "changed after signing)",
                     "publish the release again with the current key");
    } else {
      report.notes.push_back(signatureName + ": verified by " + verifiedBy);
    }
  }
  std::size_t partials = 0;
  for (const vintrel::FeedRelease& release : read.index.releases) {
    std::vector<vintrel::FeedDelivery> named = release.partial;
    named.insert(named.begin(), release.full);
    partials += release.partial.size();
    for (const vintrel::FeedDelivery& delivery : named) {
      const fs::path folder = feed / fs::u8path(delivery.folder);
      HashList list;
      std::string error;
      if (!ReadList(folder / std::string(kHashListFileName), list, error)) {
        report.Problem("feed-delivery-missing", delivery.folder, 0,
                       "the index names this delivery, but its list does not read: " + error,
                       "publish the release again");
        continue;
      }
      const std::uint64_t bytesThere = FolderBytes(folder);
      const bool asNamed = list.release == release.release && list.format == 3 &&
                           list.full == (delivery.from == 0) &&
                           (delivery.from == 0 || list.from == delivery.from);
      if (!asNamed || bytesThere != delivery.bytes) {
        report.Problem("feed-delivery-differs", delivery.folder, 0,
                       "the index names it as " +
                           (delivery.from == 0 ? std::string("the full delivery")
                                               : "the delivery from " +
                                                     std::to_string(delivery.from)) +
                           " of release " + std::to_string(release.release) + ", " +
                           std::to_string(delivery.bytes) + " bytes; it is " +
                           std::to_string(bytesThere) + " bytes, release " +
                           std::to_string(list.release) +
                           (list.full ? ", full" : ", from " + std::to_string(list.from)),
                       "publish the release again");
      }
      deliveries.push_back(folder);
    }
  }
  std::string rollouts;
  for (const vintrel::FeedRelease& release : read.index.releases) {
    rollouts += (rollouts.empty() ? "" : ", ") + std::to_string(release.release) + " at " +
                vintrel::FormatRolloutShare(release.rollout);
  }
  report.notes.push_back("feed: releases " + rollouts + "; their full deliveries and " +
                         Counted(partials, "partial delivery", "partial deliveries"));
}
