// The publisher's feed index, `index` at the top of a feed folder (vintrel-pack publish writes
// it, signed in `index.sig` as the deliveries' lists are): its one writer (FormatFeedIndex) and
// its one reader (ParseFeedIndex), and the main application's choice of the delivery to fetch
// (ChooseFeedDelivery). Header only, C++17, no exceptions of its own (only std::bad_alloc from
// the strings and vectors it returns), no platform call.
//
//   vintrel-feed 1
//   release <N>                     the newest release
//   full <bytes> <folder>           its full delivery: applies onto any earlier release
//   from <M> <bytes> <folder>       a partial delivery of it from release M (M below N), one
//                                   line for each M, in ascending order
//
// <bytes>: the delivery folder's files together; <folder>: the delivery folder below the feed,
// "/" between levels, of ASCII letters, digits, "-", "_" and "." only, no empty, "." or ".."
// level. Numbers are decimal, 1 to 2^63-1 (bytes from 0), without leading zeros. Lines end
// with CR LF (as written) or LF, the last one too; nothing follows them.
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
inline constexpr std::string_view kFeedIndexHeader = "vintrel-feed 1";
// The most of an index that is read; a longer text is not an index.
inline constexpr std::size_t kMaxFeedIndexBytes = 1u << 20;
inline constexpr std::uint64_t kMaxFeedNumber = (std::uint64_t{1} << 63) - 1;

struct FeedDelivery {
  std::uint64_t from = 0;   // the release it applies onto; 0 for the full delivery
  std::uint64_t bytes = 0;  // what fetching it costs
  std::string folder;       // below the feed folder
};

struct FeedIndex {
  std::uint64_t release = 0;
  FeedDelivery full;
  std::vector<FeedDelivery> partial;  // by ascending from
};

enum class FeedIndexStatus {
  kRead,
  kOtherFormat,  // line 1 is not "vintrel-feed 1"
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

}  // namespace update_feed_detail

// Whether FormatFeedIndex of index reads back as it is.
inline bool IsWritableFeedIndex(const FeedIndex& index) noexcept {
  using update_feed_detail::IsFolder;
  if (index.release == 0 || index.release > kMaxFeedNumber || index.full.from != 0 ||
      index.full.bytes > kMaxFeedNumber || !IsFolder(index.full.folder)) {
    return false;
  }
  std::uint64_t last = 0;
  for (const FeedDelivery& delivery : index.partial) {
    if (delivery.from <= last || delivery.from >= index.release ||
        delivery.bytes > kMaxFeedNumber || !IsFolder(delivery.folder)) {
      return false;
    }
    last = delivery.from;
  }
  return true;
}

// The index's text, CR LF line ends; index must be writable (IsWritableFeedIndex).
inline std::string FormatFeedIndex(const FeedIndex& index) {
  std::string text(kFeedIndexHeader);
  text += "\r\nrelease " + std::to_string(index.release) + "\r\nfull " +
          std::to_string(index.full.bytes) + " " + index.full.folder + "\r\n";
  for (const FeedDelivery& delivery : index.partial) {
    text += "from " + std::to_string(delivery.from) + " " + std::to_string(delivery.bytes) + " " +
            delivery.folder + "\r\n";
  }
  return text;
}

// Reads an index from its bytes; status says why it does not read, line where.
inline FeedIndexRead ParseFeedIndex(std::string_view bytes) {
  using update_feed_detail::ParseDelivery;
  using update_feed_detail::ParseNumber;
  FeedIndexRead read;
  if (bytes.size() > kMaxFeedIndexBytes) {
    read.status = FeedIndexStatus::kOversized;
    return read;
  }
  std::size_t number = 0;
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
    FeedIndex& index = read.index;
    constexpr std::string_view kRelease = "release ", kFull = "full ", kFrom = "from ";
    if (number == 1) {
      if (line != kFeedIndexHeader) {
        read.status = FeedIndexStatus::kOtherFormat;
        return read;
      }
    } else if (number == 2) {
      if (line.substr(0, kRelease.size()) != kRelease ||
          !ParseNumber(line.substr(kRelease.size()), index.release) || index.release == 0) {
        return read;
      }
    } else if (number == 3) {
      if (line.substr(0, kFull.size()) != kFull ||
          !ParseDelivery(line.substr(kFull.size()), index.full)) {
        return read;
      }
    } else {
      FeedDelivery delivery;
      line.remove_prefix(line.substr(0, kFrom.size()) == kFrom ? kFrom.size() : line.size());
      const std::size_t blank = line.find(' ');
      if (blank == std::string_view::npos || !ParseNumber(line.substr(0, blank), delivery.from) ||
          delivery.from == 0 || delivery.from >= index.release ||
          (!index.partial.empty() && delivery.from <= index.partial.back().from) ||
          !ParseDelivery(line.substr(blank + 1), delivery)) {
        return read;
      }
      index.partial.push_back(std::move(delivery));
    }
  }
  if (number < 3) {
    read.line = number + 1;
    return read;
  }
  read.status = FeedIndexStatus::kRead;
  read.line = 0;
  return read;
}

// The delivery an installation of release installed (0: none recorded) fetches: the partial one
// from that release when there is one and it is smaller than the full one, else the full one;
// nullptr when it has the newest release already.
inline const FeedDelivery* ChooseFeedDelivery(const FeedIndex& index,
                                              std::uint64_t installed) noexcept {
  if (installed != 0 && installed >= index.release) return nullptr;
  for (const FeedDelivery& delivery : index.partial) {
    if (installed != 0 && delivery.from == installed && delivery.bytes < index.full.bytes) {
      return &delivery;
    }
  }
  return &index.full;
}

}  // namespace vintrel

#endif  // VINTREL_UPDATE_FEED_H
