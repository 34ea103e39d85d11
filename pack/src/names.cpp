#include "names.h"

#include <algorithm>
#include <array>

namespace {


// Decodes one code point at text[i]; advances i. Returns false (and advances one byte) on an
// invalid sequence.
bool NextCodePoint(std::string_view text, size_t& i, char32_t& c) {
  const unsigned char lead = static_cast<unsigned char>(text[i]);
  size_t length = 0;
  char32_t value = 0;
  if (lead < 0x80) {
    c = lead;
    ++i;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07;
  } else {
    ++i;
    return false;
  }
  if (i + length > text.size()) {
    ++i;
    return false;
  }
  for (size_t k = 1; k < length; ++k) {
    const unsigned char next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) {
      ++i;
      return false;
    }
    value = (value << 6) | (next & 0x3F);
  }
  static constexpr std::array<char32_t, 5> kSmallest = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    ++i;
    return false;
  }
  c = value;
  i += length;
  return true;
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return FoldToUpper(static_cast<unsigned char>(x)) ==
                  FoldToUpper(static_cast<unsigned char>(y));
         });
}

}  // namespace

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

char32_t FoldToUpper(char32_t c) {
  struct Range {
    char32_t first, last;
    int shift;     // added to a lower-case code point
    bool pairs;    // alternating upper/lower pairs instead of a block
    bool upperOdd; // in pairs: the upper case form sits at the odd code point
  };
  static constexpr Range kRanges[] = {
      {0x61, 0x7A, -0x20, false, false},      // Basic Latin
      {0xE0, 0xF6, -0x20, false, false},      // Latin-1
      {0xF8, 0xFE, -0x20, false, false},
      {0x100, 0x12F, -1, true, false},        // Latin Extended-A: Ā ā ...
      {0x132, 0x137, -1, true, false},
      {0x139, 0x148, -1, true, true},         // Ĺ ĺ ... Ň ň
      {0x14A, 0x177, -1, true, false},
      {0x179, 0x17E, -1, true, true},
      {0x1CD, 0x1DC, -1, true, true},         // Ǎ ǎ ... Ǜ ǜ (pinyin tones)
      {0x3B1, 0x3C1, -0x20, false, false},    // Greek
      {0x3C3, 0x3C9, -0x20, false, false},
      {0x430, 0x44F, -0x20, false, false},    // Cyrillic
      {0x450, 0x45F, -0x50, false, false},
      {0x2170, 0x217F, -0x10, false, false},  // small Roman numerals
      {0x24D0, 0x24E9, -0x1A, false, false},  // circled small letters
      {0xFF41, 0xFF5A, -0x20, false, false},  // full-width Latin
  };
  if (c == 0xFF) return 0x178;
  if (c == 0x3C2) return 0x3A3;  // final sigma
  for (const Range& range : kRanges) {
    if (c < range.first || c > range.last) continue;
    if (!range.pairs) return static_cast<char32_t>(static_cast<int>(c) + range.shift);
    const bool isLower = range.upperOdd ? (c % 2 == 0) : (c % 2 == 1);
    return isLower ? c - 1 : c;
  }
  return c;
}

std::vector<char32_t> DecodeUtf8(std::string_view utf8, bool* valid) {
  std::vector<char32_t> codePoints;
  bool allValid = true;
  size_t i = 0;
  while (i < utf8.size()) {
    char32_t c = 0;
    if (NextCodePoint(utf8, i, c)) {
      codePoints.push_back(c);
    } else {
      allValid = false;
    }
  }
  if (valid) *valid = allValid;
  if (!allValid) codePoints.clear();
  return codePoints;
}

std::string CaseKey(std::string_view utf8) {
  // ASCII, most names' every character, is folded in place: only a to z change.
  std::string key(utf8);
  size_t i = 0;
  for (; i < key.size() && static_cast<unsigned char>(key[i]) < 0x80; ++i) {
    if (key[i] >= 'a' && key[i] <= 'z') key[i] = static_cast<char>(key[i] - ('a' - 'A'));
  }
  if (i == key.size()) return key;
  key.resize(i);
  while (i < utf8.size()) {
    const size_t start = i;
    char32_t c = 0;
    if (NextCodePoint(utf8, i, c)) {
      AppendUtf8(key, FoldToUpper(c));
    } else {
      key += utf8[start];
    }
  }
  return key;
}

size_t Utf16Length(std::string_view utf8) {
  size_t units = 0;
  size_t i = 0;
  while (i < utf8.size()) {
    char32_t c = 0;
    units += NextCodePoint(utf8, i, c) && c >= 0x10000 ? 2 : 1;
  }
  return units;
}

std::string WindowsNameProblem(std::string_view name) {
  if (name.empty()) return "an empty name";
  if (name == "." || name == "..") return "a \".\" or \"..\" level";
  for (const char ch : name) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20) return "a control character";
    if (std::string_view("<>:\"|?*\\").find(ch) != std::string_view::npos) {
      return std::string("the character '") + ch + "', which Windows does not allow in a name";
    }
  }
  if (name.back() == '.' || name.back() == ' ') {
    return "a trailing dot or blank, which Windows drops from a name";
  }
  // Device names stay devices with any extension: "nul.txt" is the device NUL.
  const std::string_view base = name.substr(0, name.find('.'));
  static constexpr std::string_view kDevices[] = {"CON", "PRN", "AUX", "NUL"};
  for (const std::string_view device : kDevices) {
    if (EqualsIgnoringAsciiCase(base, device)) return "the device name " + std::string(device);
  }
  if (base.size() == 4 && base[3] >= '1' && base[3] <= '9' &&
      (EqualsIgnoringAsciiCase(base.substr(0, 3), "COM") ||
       EqualsIgnoringAsciiCase(base.substr(0, 3), "LPT"))) {
    return "the device name " + std::string(base);
  }
  return std::string();
}

std::vector<std::string> SplitLevels(std::string_view relative) {
  std::vector<std::string> levels;
  size_t start = 0;
  while (true) {
    const size_t slash = relative.find('/', start);
    levels.emplace_back(relative.substr(start, slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return levels;
}

std::string ParentOf(std::string_view relative) {
  const size_t slash = relative.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(relative.substr(0, slash));
}

bool IsTopLevel(std::string_view relative) { return relative.find('/') == std::string_view::npos; }

bool ParentsFirstLess(std::string_view a, std::string_view b) {
  // Level by level, as views: the comparisons of a sort allocate no level lists.
  size_t startA = 0, startB = 0;
  while (true) {
    const size_t slashA = a.find('/', startA);
    const size_t slashB = b.find('/', startB);
    const bool fileA = slashA == std::string_view::npos;
    const bool fileB = slashB == std::string_view::npos;
    // A file of this folder comes before anything in its subfolders.
    if (fileA != fileB) return fileA;
    const std::string_view levelA = a.substr(startA, fileA ? a.npos : slashA - startA);
    const std::string_view levelB = b.substr(startB, fileB ? b.npos : slashB - startB);
    const std::string keyA = CaseKey(levelA);
    const std::string keyB = CaseKey(levelB);
    if (keyA != keyB) return keyA < keyB;
    if (levelA != levelB) return levelA < levelB;
    if (fileA) return false;  // the same name
    startA = slashA + 1;
    startB = slashB + 1;
  }
}
