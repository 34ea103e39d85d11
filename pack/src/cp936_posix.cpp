#include "cp936.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

namespace {

// One iconv conversion of the whole text; nothing on any invalid or unconvertible sequence.
std::optional<std::string> Convert(const char* to, const char* from, std::string_view text) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  std::vector<char> buffer(4 * text.size() + 16);
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  bool ok = true;
  while (inLeft > 0) {
    char* outPtr = buffer.data();
    size_t outLeft = buffer.size();
    const size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer.data(), buffer.size() - outLeft);
    if (result == static_cast<size_t>(-1) && errno != E2BIG) {
      ok = false;
      break;
    }
    // glibc counts reversible substitutions in result; any is a character it could not write.
    if (result != static_cast<size_t>(-1) && result > 0) {
      ok = false;
      break;
    }
  }
  iconv_close(cd);
  if (!ok) return std::nullopt;
  return out;
}

}  // namespace

std::optional<std::string> Utf8ToCp936(std::string_view utf8) {
  return Convert("CP936", "UTF-8", utf8);
}

std::optional<std::string> Cp936ToUtf8(std::string_view cp936) {
  return Convert("UTF-8", "CP936", cp936);
}
