#pragma once
// The platform's HTTP stack behind one small call: libcurl on Linux (http_curl.cpp), WinHTTP on
// Windows (http_winhttp.cpp). It only moves bytes: what they mean is judged by fetch.cpp.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

enum class HttpFailure {
  kNone,          // the answer came whole (any status)
  kNameNotFound,  // the host name does not resolve
  kConnectFailed, // refused, unreachable
  kTimedOut,      // no byte for the stall time
  kCut,           // the connection ended before the answer's end
  kStopped,       // the receiver asked to stop
  kTls,           // no secure channel: the certificate is not trusted, or the handshake failed
  kOther,         // whatever else the stack reports (detail says)
};

// What receives one answer: Begin once with the status before any body byte, then the body in
// pieces; KeepGoing is asked at least once a second while waiting. Any false stops the transfer.
class HttpReceiver {
 public:
  virtual bool Begin(int status, std::string_view contentType) = 0;
  virtual bool Data(const char* bytes, std::size_t size) = 0;
  virtual bool KeepGoing() = 0;

 protected:
  ~HttpReceiver() = default;
};

struct HttpReply {
  HttpFailure failure = HttpFailure::kOther;
  int status = 0;  // 0 when no answer came
  std::string detail;
};

// A session (kept-alive connections, the platform's proxy settings), closed by its deleter.
struct HttpSession;
struct HttpSessionClose {
  void operator()(HttpSession* session) const noexcept;
};
using HttpSessionHandle = std::unique_ptr<HttpSession, HttpSessionClose>;

// Nullptr, with error, when the stack cannot start. caFile: roots trusted besides the system's
// (PEM), or empty; libcurl only, WinHTTP trusts the system's store alone.
HttpSessionHandle OpenHttpSession(const std::string& caFile, std::string& error);

// GET url, from byte offset on (a range request when above 0), into receiver.
HttpReply HttpGet(HttpSession& session, const std::string& url, std::uint64_t offset,
                  HttpReceiver& receiver, std::chrono::seconds stallTimeout);
