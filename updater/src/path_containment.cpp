#include "path_containment.h"

#include <windows.h>

namespace {

bool EqualIgnoringCase(const wchar_t* a, const wchar_t* b, size_t length) {
  return CompareStringOrdinal(a, static_cast<int>(length), b, static_cast<int>(length), TRUE) ==
         CSTR_EQUAL;
}

}  // namespace

std::wstring ResolveFullPath(const std::wstring& path) {
  if (path.empty()) return std::wstring();
  // Asked first for the size it needs, so no length of path is too long.
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::wstring();
  std::wstring full(needed, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
  if (length == 0 || length >= needed) return std::wstring();
  full.resize(length);
  return full;
}

bool IsWithinFolder(const std::wstring& path, const std::wstring& folder) {
  const std::wstring full = ResolveFullPath(path);
  std::wstring base = ResolveFullPath(folder.empty() ? L"." : folder);
  if (full.empty() || base.empty()) return false;
  // "C:\root\" and "C:\root" are one folder; "C:\" keeps its meaning as "C:" plus separator.
  while (!base.empty() && base.back() == L'\\') base.pop_back();
  if (base.empty() || full.size() < base.size()) return false;
  if (!EqualIgnoringCase(full.c_str(), base.c_str(), base.size())) return false;
  // "C:\root2" is not inside "C:\root".
  return full.size() == base.size() || full[base.size()] == L'\\';
}
