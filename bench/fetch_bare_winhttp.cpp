// The least a WinHTTP download does: GET each URL into its file with WinHttpReadData and
// WriteFile, in pieces of the fetch's size (256 KiB), one session for all (connections kept
// alive). scripts/bench times it under Wine beside vintrel-fetch.exe.
//
//   fetch_bare_winhttp.exe BASE_URL OUT_DIR PATHS_FILE   each line of PATHS_FILE: a path below
//                                                         BASE_URL, with "/"
//
// Exit 0 when every GET answered 200 and was written whole; 1 otherwise.
#include <windows.h>
#include <winhttp.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

struct InternetClose {
  void operator()(void* handle) const noexcept { WinHttpCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetClose>;

struct FileClose {
  void operator()(HANDLE file) const noexcept { CloseHandle(file); }
};
using FileHandle = std::unique_ptr<void, FileClose>;

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Every folder above the file, made when missing.
void MakeParents(const std::wstring& file) {
  for (std::size_t at = file.find(L'\\', 3); at != std::wstring::npos;
       at = file.find(L'\\', at + 1)) {
    CreateDirectoryW(file.substr(0, at).c_str(), nullptr);
  }
}

bool Get(HINTERNET connection, const std::wstring& urlPath, const std::wstring& target,
         std::vector<char>& buffer) {
  InternetHandle request(WinHttpOpenRequest(connection, L"GET", urlPath.c_str(), nullptr,
                                            WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
  if (request == nullptr ||
      !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                          0, 0, 0) ||
      !WinHttpReceiveResponse(request.get(), nullptr)) {
    return false;
  }
  DWORD status = 0, size = sizeof status;
  WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
  if (status != 200) return false;
  MakeParents(target);
  FileHandle file(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    file.release();
    return false;
  }
  for (;;) {
    DWORD got = 0, written = 0;
    if (!WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got)) {
      return false;
    }
    if (got == 0) return true;
    if (!WriteFile(file.get(), buffer.data(), got, &written, nullptr) || written != got) {
      return false;
    }
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: fetch_bare_winhttp.exe BASE_URL OUT_DIR PATHS_FILE\n");
    return 2;
  }
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(argv[1], 0, 0, &parts)) return 1;
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  const std::wstring basePath(parts.lpszUrlPath, parts.dwUrlPathLength);
  InternetHandle session(WinHttpOpen(L"fetch_bare_winhttp/1", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (session == nullptr) return 1;
  InternetHandle connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (connection == nullptr) return 1;
  std::ifstream paths(argv[3]);
  if (!paths) return 1;
  std::vector<char> buffer(1u << 18);
  std::string path;
  while (std::getline(paths, path)) {
    if (path.empty()) continue;
    std::wstring target = std::wstring(argv[2]) + L"\\" + Wide(path);
    for (wchar_t& c : target) c = c == L'/' ? L'\\' : c;
    if (!Get(connection.get(), basePath + L"/" + Wide(path), target, buffer)) {
      std::fprintf(stderr, "%s: failed (error %lu)\n", path.c_str(), GetLastError());
      return 1;
    }
  }
  return 0;
}
