#include "base/text.h"

#include <windows.h>

#include <climits>

namespace {

// The updater's narrow text is Simplified Chinese, whatever the system's ANSI code page is.
constexpr UINT kNarrowCodePage = 936;

}  // namespace

std::wstring NarrowToWide(const std::string& narrow) {
  if (narrow.empty() || narrow.size() > INT_MAX) return std::wstring();
  const int narrowLength = static_cast<int>(narrow.size());
  // Without MB_ERR_INVALID_CHARS an invalid sequence turns into a replacement character.
  const int wideLength =
      MultiByteToWideChar(kNarrowCodePage, 0, narrow.data(), narrowLength, nullptr, 0);
  if (wideLength <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(wideLength), L'\0');
  MultiByteToWideChar(kNarrowCodePage, 0, narrow.data(), narrowLength, &wide[0], wideLength);
  return wide.substr(0, wide.find(L'\0'));
}

std::string WideToNarrow(const std::wstring& wide) {
  if (wide.empty() || wide.size() > INT_MAX / 2) return std::string();
  const int wideLength = static_cast<int>(wide.size());
  // No best-fit mapping: a lookalike character ("é" as "e") could name another file.
  const DWORD flags = WC_NO_BEST_FIT_CHARS;
  const int narrowLength = WideCharToMultiByte(kNarrowCodePage, flags, wide.data(), wideLength,
                                               nullptr, 0, "?", nullptr);
  if (narrowLength <= 0) return std::string();
  std::string narrow(static_cast<size_t>(narrowLength), '\0');
  WideCharToMultiByte(kNarrowCodePage, flags, wide.data(), wideLength, &narrow[0], narrowLength,
                      "?", nullptr);
  return narrow.substr(0, narrow.find('\0'));
}

std::wstring ReplaceAll(const std::wstring& source, const std::wstring& pattern,
                        const std::wstring& replacement) {
  std::wstring result = source;
  if (pattern.empty()) return result;
  size_t position = 0;
  while ((position = result.find(pattern, position)) != std::wstring::npos) {
    result.replace(position, pattern.size(), replacement);
    position += replacement.size();
  }
  return result;
}

std::wstring DecimalWide(unsigned long long value) {
  std::wstring digits;
  do {
    digits.insert(digits.begin(), static_cast<wchar_t>(L'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return digits;
}

std::wstring IntToWide(int value) {
  const long long wide = value;
  return wide < 0 ? L"-" + DecimalWide(static_cast<unsigned long long>(-wide))
                  : DecimalWide(static_cast<unsigned long long>(wide));
}

std::string WideToUtf8(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string utf8(size > 0 ? size : 0, '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0], size,
                        nullptr, nullptr);
  }
  return utf8;
}

std::wstring Utf8ToWide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                       static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(size > 0 ? size : 0, L'\0');
  if (size > 0) {
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], size);
  }
  return wide;
}
