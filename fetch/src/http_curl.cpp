// HttpGet through libcurl (Linux): one easy handle per session, so connections are kept alive.
#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdio>
#include <vector>

#include "http.h"

namespace {

struct X509Free {
  void operator()(X509* certificate) const noexcept { X509_free(certificate); }
};
using X509Handle = std::unique_ptr<X509, X509Free>;

struct FileClose {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

// Every certificate of a PEM file; false when it cannot be read or holds none, so that a
// mistyped CA file is a refusal rather than a fetch trusting the system alone.
bool ReadRoots(const std::string& path, std::vector<X509Handle>& roots, std::string& error) {
  std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "rb"));
  if (file == nullptr) {
    error = "cannot read the CA file " + path;
    return false;
  }
  while (X509* certificate = PEM_read_X509(file.get(), nullptr, nullptr, nullptr)) {
    roots.emplace_back(certificate);
  }
  // The loop ends at the file's end ("no start line") or at a block that does not read.
  const unsigned long last = ERR_peek_last_error();
  ERR_clear_error();
  if (last != 0 &&
      !(ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE)) {
    error = "the CA file " + path + " holds a certificate that does not read";
    return false;
  }
  if (roots.empty()) {
    error = "the CA file " + path + " holds no PEM certificate";
    return false;
  }
  return true;
}

}  // namespace

struct HttpSession {
  CURL* easy = nullptr;
  std::vector<X509Handle> extraRoots;  // trusted besides the system's
};

void HttpSessionClose::operator()(HttpSession* session) const noexcept {
  if (session->easy != nullptr) curl_easy_cleanup(session->easy);
  delete session;
}

HttpSessionHandle OpenHttpSession(const std::string& caFile, std::string& error) {
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
  if (!caFile.empty() && !ReadRoots(caFile, session->extraRoots, error)) return nullptr;
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

// Each TLS context libcurl makes gets the extra roots added to the system's it loaded.
CURLcode AddExtraRoots(CURL*, void* context, void* roots) {
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(context));
  for (const X509Handle& root : *static_cast<std::vector<X509Handle>*>(roots)) {
    if (X509_STORE_add_cert(store, root.get()) != 1) return CURLE_SSL_CACERT_BADFILE;
  }
  return CURLE_OK;
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
    // A handshake that fails stays failed: a plain server on an https port, no common cipher.
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS: return HttpFailure::kTls;
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
  HttpReply reply;
  if (!session.extraRoots.empty()) {
    // Each connection's own store of the system's roots, not libcurl's cached one, gets them.
    // A libcurl on another TLS library has no such hook: refused rather than trusting less.
    if (curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, AddExtraRoots) != CURLE_OK ||
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &session.extraRoots) != CURLE_OK ||
        curl_easy_setopt(easy, CURLOPT_CA_CACHE_TIMEOUT, 0L) != CURLE_OK) {
      reply.failure = HttpFailure::kTls;
      reply.detail = "this libcurl cannot take the CA file's roots (not built on OpenSSL)";
      return reply;
    }
  }
  const CURLcode code = curl_easy_perform(easy);
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
