// HttpGet through WinHTTP (Windows): the system's HTTP stack, its proxy settings and TLS.
#include <windows.h>
#include <winhttp.h>

#include <vector>

#include "http.h"

namespace {

struct InternetClose {
  void operator()(void* handle) const noexcept { WinHttpCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetClose>;

std::wstring Wide(const std::string& utf8) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                       nullptr, 0);
  std::wstring wide(size > 0 ? static_cast<std::size_t>(size) : 0, L'\0');
  if (size > 0) {
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], size);
  }
  return wide;
}

std::string Narrow(const wchar_t* wide) {
  std::string text;
  for (; *wide != L'\0'; ++wide) text += *wide < 0x80 ? static_cast<char>(*wide) : '?';
  return text;
}

HttpFailure FailureOf(DWORD error) {
  switch (error) {
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return HttpFailure::kNameNotFound;
    case ERROR_WINHTTP_CANNOT_CONNECT: return HttpFailure::kConnectFailed;
    // Wine's WinHTTP passes the socket's own errors through (a receive that timed out is
    // WSAETIMEDOUT there, ERROR_WINHTTP_TIMEOUT on Windows).
    case ERROR_WINHTTP_TIMEOUT:
    case WSAETIMEDOUT: return HttpFailure::kTimedOut;
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
    case WSAECONNRESET:
    case WSAECONNABORTED: return HttpFailure::kCut;
    case WSAECONNREFUSED: return HttpFailure::kConnectFailed;
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED: return HttpFailure::kTls;
    default: return HttpFailure::kOther;
  }
}

HttpReply Failed(const char* step, HttpReply reply) {
  const DWORD error = GetLastError();
  reply.failure = FailureOf(error);
  reply.detail = std::string(step) + " failed (WinHTTP error " + std::to_string(error) + ")";
  if (reply.failure == HttpFailure::kTls) {
    reply.detail += ": no secure channel, or the server's certificate is not trusted by the "
                    "system's store";
  }
  return reply;
}

}  // namespace

struct HttpSession {
  InternetHandle session;
};

void HttpSessionClose::operator()(HttpSession* session) const noexcept { delete session; }

HttpSessionHandle OpenHttpSession(const std::string& caFile, std::string& error) {
  // An organisation's own root belongs in the system's store, where WinHTTP looks.
  if (!caFile.empty()) {
    error = "a CA file is for libcurl builds: on Windows the system's store decides";
    return nullptr;
  }
  HttpSessionHandle session(new HttpSession);
  session->session.reset(WinHttpOpen(L"vintrel-fetch/1", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (session->session == nullptr) {
    error = "WinHTTP does not start (error " + std::to_string(GetLastError()) + ")";
    return nullptr;
  }
  return session;
}

HttpReply HttpGet(HttpSession& session, const std::string& url, std::uint64_t offset,
                  HttpReceiver& receiver, std::chrono::seconds stallTimeout) {
  HttpReply reply;
  const std::wstring wideUrl = Wide(url);
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(wideUrl.c_str(), 0, 0, &parts) ||
      (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)) {
    reply.detail = "not an http or https URL";
    return reply;
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  const int timeout = static_cast<int>(stallTimeout.count() * 1000);
  WinHttpSetTimeouts(session.session.get(), timeout, timeout, timeout, timeout);
  InternetHandle connection(WinHttpConnect(session.session.get(), host.c_str(), parts.nPort, 0));
  if (connection == nullptr) return Failed("connect", reply);
  InternetHandle request(WinHttpOpenRequest(
      connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
      WINHTTP_DEFAULT_ACCEPT_TYPES, parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
  if (request == nullptr) return Failed("open request", reply);
  if (offset > 0) {
    const std::wstring range = L"Range: bytes=" + std::to_wstring(offset) + L"-";
    WinHttpAddRequestHeaders(request.get(), range.c_str(), static_cast<DWORD>(-1),
                             WINHTTP_ADDREQ_FLAG_ADD);
  }
  if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA,
                          0, 0, 0) ||
      !WinHttpReceiveResponse(request.get(), nullptr)) {
    return Failed("request", reply);
  }
  DWORD status = 0, size = sizeof status;
  WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
  reply.status = static_cast<int>(status);
  wchar_t type[256] = {};
  size = sizeof type - sizeof(wchar_t);
  std::string contentType;
  if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_HEADER_NAME_BY_INDEX,
                          type, &size, WINHTTP_NO_HEADER_INDEX)) {
    contentType = Narrow(type);
  }
  // The announced length, to tell a cut from the end when the connection closes early.
  wchar_t lengthText[32] = {};
  size = sizeof lengthText - sizeof(wchar_t);
  std::uint64_t announced = 0;
  const bool hasLength = WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_LENGTH,
                                             WINHTTP_HEADER_NAME_BY_INDEX, lengthText, &size,
                                             WINHTTP_NO_HEADER_INDEX) != FALSE;
  if (hasLength) announced = _wcstoui64(lengthText, nullptr, 10);
  if (!receiver.Begin(reply.status, contentType)) {
    reply.failure = HttpFailure::kStopped;
    return reply;
  }
  // Big pieces: fewer calls into the receiver, each a write and a hand-over to the hashing thread.
  std::vector<char> buffer(1u << 18);
  std::uint64_t received = 0;
  for (;;) {
    if (!receiver.KeepGoing()) {
      reply.failure = HttpFailure::kStopped;
      return reply;
    }
    DWORD got = 0;
    if (!WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got)) {
      return Failed("read", reply);
    }
    if (got == 0) break;
    received += got;
    if (!receiver.Data(buffer.data(), got)) {
      reply.failure = HttpFailure::kStopped;
      return reply;
    }
  }
  if (hasLength && received < announced) {
    reply.failure = HttpFailure::kCut;
    reply.detail = "the connection ended after " + std::to_string(received) + " of " +
                   std::to_string(announced) + " bytes";
    return reply;
  }
  reply.failure = HttpFailure::kNone;
  return reply;
}
