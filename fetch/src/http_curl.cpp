// HttpGet through libcurl (Linux): one easy handle per session, so connections are kept alive.
#include <curl/curl.h>

#include "http.h"

struct HttpSession {
  CURL* easy = nullptr;
};

void HttpSessionClose::operator()(HttpSession* session) const noexcept {
  if (session->easy != nullptr) curl_easy_cleanup(session->easy);
  delete session;
}

HttpSessionHandle OpenHttpSession(std::string& error) {
  // Once per process; libcurl's global set-up is reference counted from 7.84 on.
  static const CURLcode global = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (global != CURLE_OK) {
    error = std::string("libcurl does not start: ") + curl_easy_strerror(global);
    return nullptr;
  }
  HttpSessionHandle session(new HttpSession);
  session->easy = curl_easy_init();
  if (session->easy == nullptr) {
    error = "libcurl does not start";
    return nullptr;
  }
  return session;
}

namespace {

struct Transfer {
  CURL* easy;
  HttpReceiver& receiver;
  bool begun = false;
  bool stopped = false;
};

bool BeginOnce(Transfer& transfer) {
  if (transfer.begun) return true;
  transfer.begun = true;
  long status = 0;
  curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
  const char* type = nullptr;
  curl_easy_getinfo(transfer.easy, CURLINFO_CONTENT_TYPE, &type);
  if (!transfer.receiver.Begin(static_cast<int>(status), type != nullptr ? type : "")) {
    transfer.stopped = true;
    return false;
  }
  return true;
}

size_t OnBody(char* bytes, size_t, size_t size, void* context) {
  Transfer& transfer = *static_cast<Transfer*>(context);
  if (!BeginOnce(transfer)) return 0;
  if (!transfer.receiver.Data(bytes, size)) {
    transfer.stopped = true;
    return 0;
  }
  return size;
}

int OnTick(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  Transfer& transfer = *static_cast<Transfer*>(context);
  if (transfer.receiver.KeepGoing()) return 0;
  transfer.stopped = true;
  return 1;
}

HttpFailure FailureOf(CURLcode code) {
  switch (code) {
    case CURLE_OK: return HttpFailure::kNone;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return HttpFailure::kNameNotFound;
    case CURLE_COULDNT_CONNECT: return HttpFailure::kConnectFailed;
    case CURLE_OPERATION_TIMEDOUT: return HttpFailure::kTimedOut;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM: return HttpFailure::kCut;
    default: return HttpFailure::kOther;
  }
}

}  // namespace

HttpReply HttpGet(HttpSession& session, const std::string& url, std::uint64_t offset,
                  HttpReceiver& receiver, std::chrono::seconds stallTimeout) {
  CURL* easy = session.easy;
  curl_easy_reset(easy);
  Transfer transfer{easy, receiver};
  char error[CURL_ERROR_SIZE] = {};
  const std::string range = std::to_string(offset) + "-";
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, static_cast<long>(stallTimeout.count()));
  // A stall: less than one byte a second for the whole stall time.
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(stallTimeout.count()));
  // Bigger pieces than the default 16 KiB: fewer calls into the receiver, each a write and a
  // hand-over to the hashing thread.
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, OnTick);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
  if (offset > 0) curl_easy_setopt(easy, CURLOPT_RANGE, range.c_str());
  const CURLcode code = curl_easy_perform(easy);
  HttpReply reply;
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  reply.status = static_cast<int>(status);
  if (code == CURLE_OK && !BeginOnce(transfer)) {
    reply.failure = HttpFailure::kStopped;  // an answer without a body, refused
    return reply;
  }
  reply.failure = transfer.stopped ? HttpFailure::kStopped : FailureOf(code);
  if (code != CURLE_OK) reply.detail = error[0] != '\0' ? error : curl_easy_strerror(code);
  return reply;
}
