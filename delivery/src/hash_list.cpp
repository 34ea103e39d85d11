#include "hash_list.h"

#include "manifest_line.h"

namespace {

// CTRL+Z, where a text-mode read of a file ends (as the updater reads its manifest).

bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

// Whether a double-byte character starts at text[i]: a lead byte followed by a byte that can be
// a trail. A lead byte before anything else stands alone, so a following "/" or ":" still counts.
bool DoubleByteAt(std::string_view text, std::size_t i) {
  if (i + 1 >= text.size() || !IsLeadByte(static_cast<unsigned char>(text[i]))) return false;
  const unsigned char trail = static_cast<unsigned char>(text[i + 1]);
  return trail >= 0x40 && trail <= 0xFE && trail != 0x7F;
}

// The upper-case trail byte of a lower-case letter that code page 936 writes as lead/trail and
// also holds in upper case; the trail unchanged otherwise.
unsigned char UpperTrail(unsigned char lead, unsigned char trail) {
  struct Block {
    unsigned char lead, first, last;
    int shift;  // added to a lower-case trail byte
  };
  static constexpr Block kBlocks[] = {
      {0xA2, 0xA1, 0xAA, +0x50},  // small Roman numerals i..x
      {0xA3, 0xE1, 0xFA, -0x20},  // full-width Latin
      {0xA6, 0xC1, 0xD8, -0x20},  // Greek
      {0xA7, 0xD1, 0xF1, -0x30},  // Cyrillic
  };
  for (const Block& block : kBlocks) {
    if (lead == block.lead && trail >= block.first && trail <= block.last) {
      return static_cast<unsigned char>(trail + block.shift);
    }
  }
  return trail;
}

// Reads a decimal number written without sign and without leading zeros ("0" itself allowed).
bool ParseDecimal(std::string_view digits, std::uint64_t& value, bool& tooLarge) {
  tooLarge = false;
  if (digits.empty() || (digits.size() > 1 && digits.front() == '0')) return false;
  value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) tooLarge = true;
    value = value * 10 + digit;
  }
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ParseDigest(std::string_view hex, Sha256Digest& digest) {
  if (hex.size() != 2 * digest.size()) return false;
  for (std::size_t i = 0; i < digest.size(); ++i) {
    const int high = HexValue(hex[2 * i]);
    const int low = HexValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    digest[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return true;
}

// Why path (already with "/" separators) cannot name a file below the delivery folder, or null.
const char* PathProblem(std::string_view path) {
  if (path.empty()) return "empty path";
  if (path.front() == '/') return "path with a leading separator";
  for (const char c : path) {
    if (c == ':') return "path with a drive or \":\"";
    if (static_cast<unsigned char>(c) < 0x20) return "path with a control character";
  }
  // "/" is never part of a double-byte character, so the levels split at every one.
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = path.find('/', start);
    const std::string_view level = path.substr(start, slash - start);
    if (level.empty() || level == "." || level == "..") {
      return "path with an empty, \".\" or \"..\" level";
    }
    if (slash == std::string_view::npos) return nullptr;
    start = slash + 1;
  }
}

// Takes "<hash> " off the front of rest into digest; false when rest does not start so.
bool TakeDigest(std::string_view& rest, Sha256Digest& digest) {
  constexpr std::size_t kHexDigits = 64;
  if (rest.size() <= kHexDigits || rest[kHexDigits] != ' ' ||
      !ParseDigest(rest.substr(0, kHexDigits), digest)) {
    return false;
  }
  rest.remove_prefix(kHexDigits + 1);
  return true;
}

// Takes "<size> " off the front of rest into size (a frame's when frame), or says why it cannot.
const char* TakeSize(std::string_view& rest, std::uint64_t& size, bool frame) {
  const std::size_t blank = rest.find(' ');
  if (blank == std::string_view::npos) return "missing path";
  bool tooLarge = false;
  if (!ParseDecimal(rest.substr(0, blank), size, tooLarge)) {
    return frame ? "malformed frame size" : "malformed size";
  }
  if (tooLarge) return frame ? "frame size out of range" : "size out of range";
  rest.remove_prefix(blank + 1);
  return nullptr;
}

// Reads one file line into file, or says why it cannot: "<hash> <size> <path>", and in format 2
// also "zstd <hash> <size> <frame hash> <frame size> <path>" and "patch <hash> <size> <frame
// hash> <frame size> <base hash> <path>".
const char* ParseFileLine(std::string_view line, int format, ListedFile& file) {
  constexpr std::string_view kZstd = "zstd ", kPatch = "patch ";
  if (format >= 2 && line.substr(0, kZstd.size()) == kZstd) {
    file.kind = ListedKind::kZstd;
    line.remove_prefix(kZstd.size());
  } else if (format >= 2 && line.substr(0, kPatch.size()) == kPatch) {
    file.kind = ListedKind::kPatch;
    line.remove_prefix(kPatch.size());
  }
  if (!TakeDigest(line, file.sha256)) return "malformed hash";
  if (const char* problem = TakeSize(line, file.size, false)) return problem;
  if (file.kind != ListedKind::kPlain) {
    if (!TakeDigest(line, file.frameSha256)) return "malformed frame hash";
    if (const char* problem = TakeSize(line, file.frameSize, true)) return problem;
  }
  if (file.kind == ListedKind::kPatch && !TakeDigest(line, file.baseSha256)) {
    return "malformed base hash";
  }
  file.path = ListPath(line);
  if (const char* problem = PathProblem(file.path)) return problem;
  // The first stage copies these as they are, and the updater reads the manifest before any
  // decoding.
  const std::string key = FoldPathCase(file.path);
  if (file.kind != ListedKind::kPlain && (key == "UPDATEINFO.INI" || key == "UPDATER.EXE")) {
    return "UpdateInfo.ini and Updater.exe are listed as plain files";
  }
  return nullptr;
}

// Takes the list's lines in turn; remembers the first fault.
class ListReader {
 public:
  ListReader(HashList& list, HashListError& error) : list_(list), error_(error) {}

  // Takes line number; false once the list is known to be invalid.
  bool Take(std::size_t number, const BoundedLine& line) {
    if (line.cut) return Fail(number, "line too long");
    const std::string_view text = line.kept;
    if (number == 1) {
      list_.format = text == kHashListHeaderRelease ? 3 : text == kHashListHeaderDelta ? 2 : 1;
      return text == kHashListHeader || text == kHashListHeaderDelta ||
             text == kHashListHeaderRelease ||
             Fail(number, "not \"vintrel-delivery 1\", \"vintrel-delivery 2\" or "
                          "\"vintrel-delivery 3\"");
    }
    if (number == 2) return TakeRelease(number, text);
    if (number == 3 && list_.format == 3) return TakeBase(number, text);
    ListedFile file{};
    file.line = number;
    constexpr std::string_view kKept = "kept ";
    const bool kept = list_.format == 3 && text.substr(0, kKept.size()) == kKept;
    // A kept file is installed already: it has no delivered form.
    if (const char* problem = ParseFileLine(kept ? text.substr(kKept.size()) : text,
                                            kept ? 1 : list_.format, file)) {
      return Fail(number, problem);
    }
    // One order, so that the writer gives the same lines back.
    if (!kept && !list_.kept.empty()) return Fail(number, "delivered file after the kept ones");
    // A listed path and a delivered frame's name share one folder: no two may name one file.
    const auto [known, added] = lines_.emplace(FoldPathCase(file.path), number);
    if (!added) return Fail(number, "duplicate path (line " + std::to_string(known->second) + ")");
    if (file.kind != ListedKind::kPlain) {
      const auto [other, free] = lines_.emplace(FoldPathCase(DeliveredPath(file)), number);
      if (!free) {
        return Fail(number, "delivered file is line " + std::to_string(other->second) + "'s path");
      }
    }
    (kept ? list_.kept : list_.files).push_back(std::move(file));
    return true;
  }

  // At the end of the text, after `lines` lines.
  bool Finish(std::size_t lines) {
    if (lines == 0) return Fail(1, "missing \"vintrel-delivery 1\"");
    if (lines == 1) return Fail(2, "missing release line");
    if (lines == 2 && list_.format == 3) return Fail(3, "missing \"from\" or \"full\" line");
    return true;
  }

 private:
  bool TakeRelease(std::size_t number, std::string_view text) {
    constexpr std::string_view kPrefix = "release ";
    std::uint64_t release = 0;
    bool tooLarge = false;
    if (text.substr(0, kPrefix.size()) != kPrefix ||
        !ParseDecimal(text.substr(kPrefix.size()), release, tooLarge)) {
      return Fail(number, "malformed release line");
    }
    if (tooLarge || release == 0 || release > kMaxHashListRelease) {
      return Fail(number, "release out of range");
    }
    list_.release = release;
    return true;
  }

  // "from <release>" below the list's own, or "full <main application's file version>".
  bool TakeBase(std::size_t number, std::string_view text) {
    constexpr std::string_view kFrom = "from ", kFull = "full ";
    if (text.substr(0, kFull.size()) == kFull) {
      list_.full = true;
      return ParseFileVersion(text.substr(kFull.size()), list_.mainVersion) ||
             Fail(number, "malformed file version");
    }
    bool tooLarge = false;
    if (text.substr(0, kFrom.size()) != kFrom ||
        !ParseDecimal(text.substr(kFrom.size()), list_.from, tooLarge)) {
      return Fail(number, "not \"from <release>\" or \"full <file version>\"");
    }
    if (tooLarge || list_.from == 0 || list_.from >= list_.release) {
      return Fail(number, "from a release not below this one");
    }
    return true;
  }

  bool Fail(std::size_t number, std::string reason) {
    error_.line = number;
    error_.reason = std::move(reason);
    return false;
  }

  HashList& list_;
  HashListError& error_;
  std::unordered_map<std::string, std::size_t> lines_;  // folded path -> its line
};

}  // namespace

bool ParseHashList(std::string_view bytes, HashList& list, HashListError& error) {
  list = HashList{};
  error = HashListError{};
  // The manifest's own line reader: CR LF or LF, a bounded line, a CTRL+Z ends the text.
  ListReader reader(list, error);
  ManifestLineReader lines;
  std::size_t number = 0;
  bool good = true;
  const ManifestLineReader::OnLine take = [&](const BoundedLine& line) {
    if (good) good = reader.Take(++number, line);
  };
  lines.Feed(bytes, take);
  lines.Finish(take);
  return good && reader.Finish(number);
}

std::string HashListErrorText(const HashListError& error) {
  if (error.line == 0) return error.reason;
  return "line " + std::to_string(error.line) + ": " + error.reason;
}

bool ParseFileVersion(std::string_view text, FileVersion& version) {
  for (std::size_t i = 0; i < version.size(); ++i) {
    const std::size_t dot = i + 1 < version.size() ? text.find('.') : text.size();
    std::uint64_t value = 0;
    bool tooLarge = false;
    if (dot == std::string_view::npos || !ParseDecimal(text.substr(0, dot), value, tooLarge) ||
        tooLarge || value > 0xFFFF) {
      return false;
    }
    version[i] = static_cast<std::uint16_t>(value);
    text.remove_prefix(dot == text.size() ? dot : dot + 1);
  }
  return true;
}

std::string DeliveredPath(const ListedFile& file) {
  std::string path = ListPath(file.path);
  if (file.kind == ListedKind::kZstd) path.append(kZstdSuffix);
  if (file.kind == ListedKind::kPatch) path.append(kPatchSuffix);
  return path;
}

std::string ListPath(std::string_view cp936Path) {
  std::string path(cp936Path);
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (DoubleByteAt(path, i)) {
      ++i;
    } else if (path[i] == '\\') {
      path[i] = '/';
    }
  }
  return path;
}

std::string FoldPathCase(std::string_view cp936Path) {
  std::string key(cp936Path);
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (DoubleByteAt(key, i)) {
      key[i + 1] = static_cast<char>(UpperTrail(static_cast<unsigned char>(key[i]),
                                                static_cast<unsigned char>(key[i + 1])));
      ++i;
    } else if (key[i] >= 'a' && key[i] <= 'z') {
      key[i] = static_cast<char>(key[i] - 'a' + 'A');
    }
  }
  return key;
}

ListedFileIndex IndexListedFiles(const HashList& list) {
  ListedFileIndex index;
  for (std::size_t i = 0; i < list.files.size(); ++i) {
    index.emplace(FoldPathCase(list.files[i].path), i);
  }
  return index;
}

const ListedFile* FindListedFile(const HashList& list, const ListedFileIndex& index,
                                 std::string_view cp936Path) {
  const auto found = index.find(FoldPathCase(ListPath(cp936Path)));
  return found == index.end() ? nullptr : &list.files[found->second];
}

std::string DigestHex(const Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * digest.size());
  for (const std::uint8_t byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  return hex;
}
