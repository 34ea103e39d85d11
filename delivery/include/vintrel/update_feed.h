// The publisher's feed index, `index` at the top of a feed folder (vintrel-pack publish writes
// it, signed in `index.sig` as the deliveries' lists are): its one writer (FormatFeedIndex) and
// its one reader (ParseFeedIndex), and the main application's choice of the delivery to fetch
// (ChooseFeedDelivery), the staged rollout included. Header only, C++17, no exceptions of its
// own (only std::bad_alloc from the strings and vectors it returns), no platform call.
//
//   vintrel-feed 2
//   release <N> rollout <P>%        a release and the share of devices it goes to (0 to 100,
//                                   at most two decimals: "12.5%")
//   full <bytes> <folder>           its full delivery: applies onto any earlier release
//   from <M> <bytes> <folder>       a partial delivery of it from release M (M below N), one
//                                   line for each M, in ascending order
//   release <N'> rollout <P'>%      the release before it (N' below N), with its deliveries,
//   ...                             and so on: newest first
//
// The writer lists releases down to the first one at 100 %: every device is in that one, so
// nothing older is ever chosen. An index of the first format ("vintrel-feed 1": one release
// line "release <N>", no share) still reads, as one release at 100 %.
//
// <bytes>: the delivery folder's files together; <folder>: the delivery folder below the feed,
// "/" between levels, of ASCII letters, digits, "-", "_" and "." only, no empty, "." or ".."
// level. Numbers are decimal, 1 to 2^63-1 (bytes from 0), without leading zeros. Lines end
// with CR LF (as written) or LF, the last one too; nothing follows them.
//
// A device is in release N's rollout when FeedRolloutBucket(its device id, N), a stable hash
// in 0..9999, is below the share in hundredths of a percent: the same devices stay in as the
// share grows, and each release starts with other devices.
//
// The index proves nothing on its own: verify index.sig with the publisher's keys before
// reading it, and each delivery's signed list after fetching it (the updater does).
#ifndef VINTREL_UPDATE_FEED_H
#define VINTREL_UPDATE_FEED_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vintrel {

inline constexpr std::string_view kFeedIndexFileName = "index";
inline constexpr std::string_view kFeedIndexSignatureFileName = "index.sig";
inline constexpr std::string_view kFeedIndexHeader = "vintrel-feed 2";
inline constexpr std::string_view kFeedIndexFirstHeader = "vintrel-feed 1";
// The most of an index that is read; a longer text is not an index.
inline constexpr std::size_t kMaxFeedIndexBytes = 1u << 20;
inline constexpr std::uint64_t kMaxFeedNumber = (std::uint64_t{1} << 63) - 1;
// Shares in hundredths of a percent.
inline constexpr std::uint32_t kWholeRollout = 10000;

struct FeedDelivery {
  std::uint64_t from = 0;   // the release it applies onto; 0 for the full delivery
  std::uint64_t bytes = 0;  // what fetching it costs
  std::string folder;       // below the feed folder
};

struct FeedRelease {
  std::uint64_t release = 0;
  std::uint32_t rollout = kWholeRollout;  // the share of devices, in hundredths of a percent
  FeedDelivery full;
  std::vector<FeedDelivery> partial;  // by ascending from
};

struct FeedIndex {
  std::vector<FeedRelease> releases;  // newest first; never empty once read
};

enum class FeedIndexStatus {
  kRead,
  kOtherFormat,  // line 1 is neither "vintrel-feed 2" nor "vintrel-feed 1"
  kMalformed,    // a line missing, out of order or not as above
  kOversized,    // more than kMaxFeedIndexBytes
};

struct FeedIndexRead {
  FeedIndexStatus status = FeedIndexStatus::kMalformed;
  std::size_t line = 0;  // the line at fault (1-based), 0 when read or for the whole text
  FeedIndex index;
};

namespace update_feed_detail {

inline bool ParseNumber(std::string_view digits, std::uint64_t& value) noexcept {
  if (digits.empty() || digits.size() > 19 || (digits.size() > 1 && digits[0] == '0')) {
    return false;
  }
  value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value <= kMaxFeedNumber;
}

}  // namespace update_feed_detail

// A share as the index writes it, "<whole>[.<one or two digits>]%" (at most 100), into
// hundredths of a percent.
inline bool ParseRolloutShare(std::string_view text, std::uint32_t& share) noexcept {
  if (text.empty() || text.back() != '%') return false;
  text.remove_suffix(1);
  const std::size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction =
      dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  std::uint64_t wholeValue = 0, fractionValue = 0;
  if (whole.size() > 3 || (whole != "0" && !update_feed_detail::ParseNumber(whole, wholeValue))) return false;
  if (dot != std::string_view::npos) {
    if (fraction.empty() || fraction.size() > 2) return false;
    for (const char c : fraction) {
      if (c < '0' || c > '9') return false;
      fractionValue = fractionValue * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (fraction.size() == 1) fractionValue *= 10;
  }
  const std::uint64_t value = wholeValue * 100 + fractionValue;
  if (value > kWholeRollout) return false;
  share = static_cast<std::uint32_t>(value);
  return true;
}

// The share in hundredths of a percent as the index writes it ("12.5%").
inline std::string FormatRolloutShare(std::uint32_t share) {
  std::string text = std::to_string(share / 100);
  const std::uint32_t hundredths = share % 100;
  if (hundredths != 0) {
    text += '.';
    text += static_cast<char>('0' + hundredths / 10);
    if (hundredths % 10 != 0) text += static_cast<char>('0' + hundredths % 10);
  }
  return text + "%";
}

namespace update_feed_detail {

inline bool IsFolder(std::string_view folder) noexcept {
  std::size_t levelStart = 0;
  for (std::size_t i = 0; i <= folder.size(); ++i) {
    if (i == folder.size() || folder[i] == '/') {
      const std::string_view level = folder.substr(levelStart, i - levelStart);
      if (level.empty() || level == "." || level == "..") return false;
      levelStart = i + 1;
      continue;
    }
    const char c = folder[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
          c == '-' || c == '_' || c == '.')) {
      return false;
    }
  }
  return true;
}

// "<bytes> <folder>" into delivery.
inline bool ParseDelivery(std::string_view text, FeedDelivery& delivery) {
  const std::size_t blank = text.find(' ');
  if (blank == std::string_view::npos || !ParseNumber(text.substr(0, blank), delivery.bytes) ||
      !IsFolder(text.substr(blank + 1))) {
    return false;
  }
  delivery.folder = std::string(text.substr(blank + 1));
  return true;
}

// "from <M> <bytes> <folder>" of release, after the ones read before.
inline bool ParsePartial(std::string_view line, FeedRelease& release) {
  constexpr std::string_view kFrom = "from ";
  if (line.substr(0, kFrom.size()) != kFrom) return false;
  line.remove_prefix(kFrom.size());
  FeedDelivery delivery;
  const std::size_t blank = line.find(' ');
  if (blank == std::string_view::npos || !ParseNumber(line.substr(0, blank), delivery.from) ||
      delivery.from == 0 || delivery.from >= release.release ||
      (!release.partial.empty() && delivery.from <= release.partial.back().from) ||
      !ParseDelivery(line.substr(blank + 1), delivery)) {
    return false;
  }
  release.partial.push_back(std::move(delivery));
  return true;
}

// "release <N>" (the first format) or "release <N> rollout <P>%" into release.
inline bool ParseReleaseLine(std::string_view line, bool firstFormat, FeedRelease& release) {
  constexpr std::string_view kRelease = "release ", kRollout = " rollout ";
  if (line.substr(0, kRelease.size()) != kRelease) return false;
  line.remove_prefix(kRelease.size());
  const std::size_t blank = firstFormat ? line.size() : line.find(' ');
  if (blank == std::string_view::npos || !ParseNumber(line.substr(0, blank), release.release) ||
      release.release == 0) {
    return false;
  }
  if (firstFormat) return true;
  line.remove_prefix(blank);
  return line.substr(0, kRollout.size()) == kRollout &&
         ParseRolloutShare(line.substr(kRollout.size()), release.rollout);
}

// 64-bit FNV-1a with a final mix (splitmix64's), so that near ids land far apart.
inline std::uint64_t StableHash(std::string_view bytes) noexcept {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  hash ^= hash >> 30;
  hash *= 0xbf58476d1ce4e5b9ull;
  hash ^= hash >> 27;
  hash *= 0x94d049bb133111ebull;
  hash ^= hash >> 31;
  return hash;
}

}  // namespace update_feed_detail

// Where a device stands in release's rollout: 0..9999, the same for the same id and release on
// every run and platform. The device is in a rollout of share when this is below share.
inline std::uint32_t FeedRolloutBucket(std::string_view deviceId, std::uint64_t release) {
  std::string key(deviceId);
  key += '\n';
  key += std::to_string(release);
  return static_cast<std::uint32_t>(update_feed_detail::StableHash(key) % kWholeRollout);
}

// Whether FormatFeedIndex of index reads back as it is.
inline bool IsWritableFeedIndex(const FeedIndex& index) noexcept {
  using update_feed_detail::IsFolder;
  if (index.releases.empty()) return false;
  std::uint64_t above = kMaxFeedNumber + 1;
  for (const FeedRelease& release : index.releases) {
    if (release.release == 0 || release.release >= above || release.rollout > kWholeRollout ||
        release.full.from != 0 || release.full.bytes > kMaxFeedNumber ||
        !IsFolder(release.full.folder)) {
      return false;
    }
    above = release.release;
    std::uint64_t last = 0;
    for (const FeedDelivery& delivery : release.partial) {
      if (delivery.from <= last || delivery.from >= release.release ||
          delivery.bytes > kMaxFeedNumber || !IsFolder(delivery.folder)) {
        return false;
      }
      last = delivery.from;
    }
  }
  return true;
}

// The index's text, CR LF line ends; index must be writable (IsWritableFeedIndex).
inline std::string FormatFeedIndex(const FeedIndex& index) {
  std::string text(kFeedIndexHeader);
  text += "\r\n";
  for (const FeedRelease& release : index.releases) {
    text += "release " + std::to_string(release.release) + " rollout " +
            FormatRolloutShare(release.rollout) + "\r\nfull " +
            std::to_string(release.full.bytes) + " " + release.full.folder + "\r\n";
    for (const FeedDelivery& delivery : release.partial) {
      text += "from " + std::to_string(delivery.from) + " " + std::to_string(delivery.bytes) +
              " " + delivery.folder + "\r\n";
    }
  }
  return text;
}

// Reads an index from its bytes; status says why it does not read, line where.
inline FeedIndexRead ParseFeedIndex(std::string_view bytes) {
  using namespace update_feed_detail;
  FeedIndexRead read;
  if (bytes.size() > kMaxFeedIndexBytes) {
    read.status = FeedIndexStatus::kOversized;
    return read;
  }
  std::size_t number = 0;
  bool firstFormat = false;
  bool expectFull = false;  // the line after a release line
  std::vector<FeedRelease>& releases = read.index.releases;
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    if (end == std::string_view::npos) {
      read.line = number + 1;  // the last line has no line end: cut
      return read;
    }
    std::string_view line = bytes.substr(0, end);
    bytes.remove_prefix(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    read.line = ++number;
    if (number == 1) {
      firstFormat = line == kFeedIndexFirstHeader;
      if (line != kFeedIndexHeader && !firstFormat) {
        read.status = FeedIndexStatus::kOtherFormat;
        return read;
      }
      continue;
    }
    if (expectFull) {
      constexpr std::string_view kFull = "full ";
      if (line.substr(0, kFull.size()) != kFull ||
          !ParseDelivery(line.substr(kFull.size()), releases.back().full)) {
        return read;
      }
      expectFull = false;
      continue;
    }
    if (!releases.empty() && ParsePartial(line, releases.back())) continue;
    // Otherwise the next release: the first format has only one.
    FeedRelease release;
    if ((firstFormat && !releases.empty()) || !ParseReleaseLine(line, firstFormat, release) ||
        (!releases.empty() && release.release >= releases.back().release)) {
      return read;
    }
    releases.push_back(std::move(release));
    expectFull = true;
  }
  if (releases.empty() || expectFull) {
    read.line = number + 1;
    return read;
  }
  read.status = FeedIndexStatus::kRead;
  read.line = 0;
  return read;
}

enum class FeedChoice {
  kFetch,         // fetch delivery, of release
  kUpToDate,      // the installation has the feed's newest release (or a later one)
  kNotInRollout,  // a newer release exists, but this device is not in its rollout yet (nor
                  // in that of any other release above the installed one)
};

struct FeedPick {
  FeedChoice choice = FeedChoice::kUpToDate;
  const FeedRelease* release = nullptr;    // kFetch: the release to fetch
  const FeedDelivery* delivery = nullptr;  // kFetch: the delivery to fetch
};

// The delivery an installation of release installed (0: none recorded) on device deviceId
// fetches: the newest release whose rollout includes the device, if it is above the installed
// one; of it, the partial delivery from the installed release when there is one and it is
// smaller than the full one, else the full one. A device without an id is in the releases at
// 100 % only. index must have a release (as every index that reads has).
inline FeedPick ChooseFeedDelivery(const FeedIndex& index, std::uint64_t installed,
                                   std::string_view deviceId) {
  FeedPick pick;
  const std::uint64_t newest = index.releases.front().release;
  if (installed != 0 && installed >= newest) return pick;
  for (const FeedRelease& release : index.releases) {
    if (installed != 0 && release.release <= installed) break;
    const bool included = release.rollout >= kWholeRollout ||
                          (!deviceId.empty() &&
                           FeedRolloutBucket(deviceId, release.release) < release.rollout);
    if (!included) continue;
    pick.choice = FeedChoice::kFetch;
    pick.release = &release;
    pick.delivery = &release.full;
    for (const FeedDelivery& delivery : release.partial) {
      if (installed != 0 && delivery.from == installed && delivery.bytes < release.full.bytes) {
        pick.delivery = &delivery;
      }
    }
    return pick;
  }
  pick.choice = FeedChoice::kNotInRollout;
  return pick;
}

}  // namespace vintrel

#endif  // VINTREL_UPDATE_FEED_H
