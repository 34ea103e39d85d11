#include "cp936.h"

#include <windows.h>

#include <climits>

namespace {

constexpr UINT kManifestCodePage = 936;

// text in codePage as UTF-16; nothing on an invalid sequence.
std::optional<std::wstring> ToWide(UINT codePage, std::string_view text) {
  if (text.empty()) return std::wstring();
  if (text.size() > INT_MAX / 2) return std::nullopt;
  const int length = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(),
                                         static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return std::nullopt;
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                      &wide[0], length);
  return wide;
}

// UTF-16 in codePage; nothing when a character has no exact form there.
std::optional<std::string> FromWide(UINT codePage, const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const bool utf8 = codePage == CP_UTF8;
  // CP_UTF8 takes neither the default character nor the best-fit flag.
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  const int length = WideCharToMultiByte(codePage, flags, wide.data(),
                                         static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                         utf8 ? nullptr : &usedDefault);
  if (length <= 0 || usedDefault) return std::nullopt;
  std::string narrow(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()), &narrow[0],
                      length, nullptr, nullptr);
  return narrow;
}

}  // namespace

std::optional<std::string> Utf8ToCp936(std::string_view utf8) {
  const std::optional<std::wstring> wide = ToWide(CP_UTF8, utf8);
  if (!wide) return std::nullopt;
  return FromWide(kManifestCodePage, *wide);
}

std::optional<std::string> Cp936ToUtf8(std::string_view cp936) {
  const std::optional<std::wstring> wide = ToWide(kManifestCodePage, cp936);
  if (!wide) return std::nullopt;
  return FromWide(CP_UTF8, *wide);
}
