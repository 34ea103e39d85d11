#pragma once
// Code page 936 (GBK, as Windows defines it) against UTF-8: the one place where the narrow text
// of the manifest meets the names of the trees. iconv on POSIX, the Windows conversions there.

#include <optional>
#include <string>
#include <string_view>

// utf8 as code page 936 bytes; nothing when it is not valid UTF-8 or holds a character that
// code page 936 cannot write (no best-fit substitutes).
std::optional<std::string> Utf8ToCp936(std::string_view utf8);

// Code page 936 bytes as UTF-8; nothing when a byte sequence is not valid code page 936.
std::optional<std::string> Cp936ToUtf8(std::string_view cp936);
