// The fetch's logic, the same on every platform: the signed index, the pick, the signed list,
// every listed file hashed while it is written, the folder placed whole.
#include "vintrel/fetch.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "cp936.h"
#include "crypto.h"
#include "hash_list.h"
#include "http.h"
#include "list_signature.h"
#include "local.h"
#include "record_number.h"
#include "vintrel/update_feed.h"

namespace fs = std::filesystem;

namespace vintrel {

bool ReadInstalledRelease(const fs::path& installation, std::uint64_t& release,
                          std::string& error) {
  release = 0;
  const fs::path records = installation / ".vintrel";
  std::error_code ec;
  if (!fs::exists(records, ec)) {
    if (ec) error = records.u8string() + ": " + ec.message();
    return !ec;
  }
  constexpr std::string_view kMarkerPrefix = "release-";
  bool marked = false;
  fs::directory_iterator item(records, ec), end;
  for (; !ec && item != end; item.increment(ec)) {
    const std::string name = item->path().filename().u8string();
    if (name.compare(0, kMarkerPrefix.size(), kMarkerPrefix) != 0) continue;
    std::uint64_t number = 0;
    if (!ParseRecordNumber(std::string_view(name).substr(kMarkerPrefix.size()), number) ||
        number == 0) {
      error = (records / item->path().filename()).u8string() + ": a marker without a release";
      return false;
    }
    marked = true;
    release = std::max(release, number);
  }
  if (ec) {
    error = records.u8string() + ": cannot be listed: " + ec.message();
    release = 0;
    return false;
  }
  if (marked) return true;
  // An installation last updated before the markers: the record, a number and CR LF.
  const fs::path record = records / "release";
  if (!fs::exists(record, ec)) return !ec;
  std::ifstream in(record, std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(in), {});
  if (!in.good() && !in.eof()) text.clear();
  if (text.size() < 3 || text.size() > 64 || text.compare(text.size() - 2, 2, "\r\n") != 0 ||
      !ParseRecordNumber(std::string_view(text).substr(0, text.size() - 2), release) ||
      release == 0) {
    release = 0;
    error = record.u8string() + ": cannot be read as a release record";
    return false;
  }
  return true;
}

const char* FetchStatusName(FetchStatus status) noexcept {
  switch (status) {
    case FetchStatus::kPlaced: return "placed";
    case FetchStatus::kUpToDate: return "up-to-date";
    case FetchStatus::kNotInRollout: return "not-in-rollout";
    case FetchStatus::kDeliveryWaiting: return "delivery-waiting";
    case FetchStatus::kCancelled: return "cancelled";
    case FetchStatus::kNoKeys: return "no-keys";
    case FetchStatus::kNameNotFound: return "name-not-found";
    case FetchStatus::kConnectFailed: return "connect-failed";
    case FetchStatus::kTimedOut: return "timed-out";
    case FetchStatus::kCut: return "cut";
    case FetchStatus::kTlsFailed: return "tls-failed";
    case FetchStatus::kHttpStatus: return "http-status";
    case FetchStatus::kNotAFeed: return "not-a-feed";
    case FetchStatus::kBadSignature: return "bad-signature";
    case FetchStatus::kMalformed: return "malformed";
    case FetchStatus::kFileDiffers: return "file-differs";
    case FetchStatus::kDiskFull: return "disk-full";
    case FetchStatus::kLocalError: return "local-error";
  }
  return "unknown";
}

namespace {

constexpr std::chrono::milliseconds kProgressInterval{100};
constexpr std::chrono::seconds kLongestRetryDelay{30};
constexpr std::size_t kReadPiece = 1u << 16;
// How much is written before the system is asked to start writing it to the disk.
constexpr std::uint64_t kWriteBackStep = 8u << 20;

// SHA-256 on a thread of its own, a few pieces behind the bytes written, so that hashing
// overlaps the network and the disk rather than adding to them (on a slow SHA-256, such as
// Wine's CNG, it otherwise doubles the fetch's time). At most kPieces pieces are held (4 MiB):
// enough that the download goes on while a busy machine keeps the worker waiting for a core.
// The same thread asks for the write-back of what was written, which costs the asker the
// submission of the writes.
class HashBehind {
 public:
  HashBehind() : worker_([this] { Work(); }) {}
  ~HashBehind() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }
  HashBehind(const HashBehind&) = delete;
  HashBehind& operator=(const HashBehind&) = delete;

  // Hashes into hasher from now on (none: nothing more is added), after what was added before
  // went into the earlier one; the earlier one may then go.
  bool Use(Sha256Hasher* hasher) {
    const bool ok = Drain();
    std::lock_guard<std::mutex> lock(mutex_);
    hasher_ = hasher;
    failed_ = false;
    return ok;
  }
  // Copies bytes into the piece being filled; a full piece goes to the worker. False once a
  // hash call failed.
  bool Add(const char* bytes, std::size_t size) {
    while (size > 0) {
      if (filling_ == nullptr) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !free_.empty(); });
        if (failed_) return false;
        filling_ = free_.back();
        free_.pop_back();
      }
      const std::size_t take = std::min(size, filling_->bytes.size() - filling_->used);
      std::copy(bytes, bytes + take, filling_->bytes.begin() + filling_->used);
      filling_->used += take;
      bytes += take;
      size -= take;
      if (filling_->used == filling_->bytes.size()) Hand();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return !failed_;
  }
  // Has the worker start the write-back of file's bytes handed to the system so far. file must
  // stay open until the next Drain.
  void WriteBackBehind(std::FILE* file) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ready_.push_back(Item{nullptr, file});
    }
    changed_.notify_all();
  }
  // Waits until every byte added is hashed and every write-back asked for has started; false
  // when a hash call failed.
  bool Drain() {
    if (filling_ != nullptr) Hand();
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return ready_.empty() && !busy_; });
    return !failed_;
  }

 private:
  static constexpr std::size_t kPieces = 16;
  static constexpr std::size_t kPieceBytes = 1u << 18;
  struct Piece {
    std::vector<char> bytes = std::vector<char>(kPieceBytes);
    std::size_t used = 0;
  };

  // A full piece to hash, or a file whose write-back to start.
  struct Item {
    Piece* piece;
    std::FILE* writeBack;
  };

  void Hand() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ready_.push_back(Item{filling_, nullptr});
    }
    filling_ = nullptr;
    changed_.notify_all();
  }
  void Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stop_ || !ready_.empty(); });
      if (ready_.empty()) return;
      const Item item = ready_.front();
      ready_.pop_front();
      busy_ = true;
      Sha256Hasher* hasher = hasher_;
      lock.unlock();
      if (item.writeBack != nullptr) {
        StartWriteBack(item.writeBack);
        lock.lock();
      } else {
        Piece* piece = item.piece;
        const bool ok = hasher != nullptr && Sha256Add(*hasher, piece->bytes.data(), piece->used);
        lock.lock();
        failed_ = failed_ || !ok;
        piece->used = 0;
        free_.push_back(piece);
      }
      busy_ = false;
      changed_.notify_all();
    }
  }

  std::vector<Piece> pieces_ = std::vector<Piece>(kPieces);
  std::vector<Piece*> free_ = [this] {
    std::vector<Piece*> all;
    for (Piece& piece : pieces_) all.push_back(&piece);
    return all;
  }();
  Piece* filling_ = nullptr;  // the adding thread's alone
  std::deque<Item> ready_;
  Sha256Hasher* hasher_ = nullptr;
  bool busy_ = false;
  bool failed_ = false;
  bool stop_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread worker_;  // last: it starts once everything above is made
};

struct Run {
  Run(const FetchOptions& runOptions, HttpSession& runSession)
      : options(runOptions), session(runSession) {}
  const FetchOptions& options;
  HttpSession& session;
  HashBehind hashBehind;
  FetchResult result;
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  std::string file;  // the listed path at hand
  std::chrono::steady_clock::time_point lastProgress{};

  bool Cancelled() const {
    return options.cancel != nullptr && options.cancel->load(std::memory_order_relaxed);
  }
  void Progress(bool last) {
    if (options.progress == nullptr) return;
    const auto now = std::chrono::steady_clock::now();
    if (!last && now - lastProgress < kProgressInterval) return;
    lastProgress = now;
    options.progress(FetchProgress{done, total, file}, options.progressContext);
  }
  bool Fail(FetchStatus status, std::string detail) {
    result.status = status;
    result.detail = std::move(detail);
    return false;
  }
};

// One answer's body into a string of at most limit bytes.
class TextReceiver final : public HttpReceiver {
 public:
  TextReceiver(Run& run, std::size_t limit) : run_(run), limit_(limit) {}
  bool Begin(int status, std::string_view contentType) override {
    status_ = status;
    contentType_ = std::string(contentType);
    text_.clear();
    return status == 200;
  }
  bool Data(const char* bytes, std::size_t size) override {
    run_.result.downloaded += size;
    if (size > limit_ - text_.size()) {
      oversized_ = true;
      return false;
    }
    text_.append(bytes, size);
    return !run_.Cancelled();
  }
  bool KeepGoing() override { return !run_.Cancelled(); }

  Run& run_;
  std::size_t limit_;
  int status_ = 0;
  std::string contentType_;
  std::string text_;
  bool oversized_ = false;
};

// One listed file into its place in the work folder: appended to what is there, hashed as it
// comes, never beyond its listed size.
class FileReceiver final : public HttpReceiver {
 public:
  FileReceiver(Run& run, std::FILE* file, std::uint64_t have, std::uint64_t size)
      : run_(run), file_(file), have_(have), size_(size) {}
  bool Begin(int status, std::string_view) override {
    status_ = status;
    if (status == 206 && have_ > 0) return true;
    if (status != 200) return false;
    restarted_ = have_ > 0;  // no range honoured: the whole file again
    return !restarted_;
  }
  bool Data(const char* bytes, std::size_t size) override {
    run_.result.downloaded += size;
    if (size > size_ - have_) {
      overSize_ = true;
      return false;
    }
    if (std::fwrite(bytes, 1, size, file_) != size) {
      writeFailed_ = true;
      return false;
    }
    if (!run_.hashBehind.Add(bytes, size)) {
      hashFailed_ = true;
      return false;
    }
    have_ += size;
    unflushed_ += size;
    if (unflushed_ >= kWriteBackStep) {
      if (std::fflush(file_) != 0) {
        writeFailed_ = true;
        return false;
      }
      run_.hashBehind.WriteBackBehind(file_);
      unflushed_ = 0;
    }
    run_.done += size;
    run_.Progress(false);
    return !run_.Cancelled();
  }
  bool KeepGoing() override { return !run_.Cancelled(); }

  Run& run_;
  std::FILE* file_;
  std::uint64_t have_;
  std::uint64_t unflushed_ = 0;
  const std::uint64_t size_;
  int status_ = 0;
  bool restarted_ = false;
  bool overSize_ = false;
  bool writeFailed_ = false;
  bool hashFailed_ = false;
};

// Whether a failed try is worth another: the connection, a stall, a 5xx answer.
bool Retryable(const HttpReply& reply) {
  return reply.failure == HttpFailure::kConnectFailed || reply.failure == HttpFailure::kCut ||
         reply.failure == HttpFailure::kTimedOut ||
         (reply.failure == HttpFailure::kNone && reply.status >= 500 && reply.status < 600) ||
         (reply.failure == HttpFailure::kStopped && reply.status >= 500 && reply.status < 600);
}

// The status and detail of a try that failed for good.
bool FailHttp(Run& run, const HttpReply& reply, const std::string& url) {
  switch (reply.failure) {
    case HttpFailure::kNameNotFound:
      return run.Fail(FetchStatus::kNameNotFound, url + ": " + reply.detail);
    case HttpFailure::kConnectFailed:
      return run.Fail(FetchStatus::kConnectFailed, url + ": " + reply.detail);
    case HttpFailure::kTimedOut:
      return run.Fail(FetchStatus::kTimedOut, url + ": " + reply.detail);
    case HttpFailure::kCut: return run.Fail(FetchStatus::kCut, url + ": " + reply.detail);
    case HttpFailure::kTls: return run.Fail(FetchStatus::kTlsFailed, url + ": " + reply.detail);
    case HttpFailure::kOther: return run.Fail(FetchStatus::kConnectFailed, url + ": " + reply.detail);
    case HttpFailure::kNone:
    case HttpFailure::kStopped: break;
  }
  if (run.Cancelled()) return run.Fail(FetchStatus::kCancelled, "cancelled at " + url);
  return run.Fail(FetchStatus::kHttpStatus,
                  url + ": HTTP " + std::to_string(reply.status));
}

// Waits before try number attempt (1 is the first retry); false when cancelled meanwhile.
bool WaitBeforeRetry(Run& run, int attempt) {
  auto delay = run.options.firstRetryDelay;
  for (int i = 1; i < attempt && delay < kLongestRetryDelay; ++i) delay *= 2;
  delay = std::min<std::chrono::milliseconds>(delay, kLongestRetryDelay);
  const auto end = std::chrono::steady_clock::now() + delay;
  while (std::chrono::steady_clock::now() < end) {
    if (run.Cancelled()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return !run.Cancelled();
}

// A small file (the index, a list, a signature) whole, with retries.
bool GetText(Run& run, const std::string& url, std::size_t limit, std::string& text,
             std::string* contentType = nullptr) {
  TextReceiver receiver(run, limit);
  for (int attempt = 1;; ++attempt) {
    const HttpReply reply = HttpGet(run.session, url, 0, receiver, run.options.stallTimeout);
    if (receiver.oversized_) {
      return run.Fail(receiver.contentType_.rfind("text/html", 0) == 0 ? FetchStatus::kNotAFeed
                                                                       : FetchStatus::kMalformed,
                      url + ": more than " + std::to_string(limit) + " bytes");
    }
    if (run.Cancelled()) return run.Fail(FetchStatus::kCancelled, "cancelled at " + url);
    if (reply.failure == HttpFailure::kNone && reply.status == 200) {
      text = std::move(receiver.text_);
      if (contentType != nullptr) *contentType = receiver.contentType_;
      return true;
    }
    if (!Retryable(reply) || attempt >= run.options.attempts || !WaitBeforeRetry(run, attempt)) {
      return FailHttp(run, reply, url);
    }
  }
}

// "%xx" for every byte of a URL path but the unreserved ones and "/".
std::string UrlPath(std::string_view utf8) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : utf8) {
    const unsigned char b = static_cast<unsigned char>(c);
    if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '-' ||
        b == '_' || b == '.' || b == '~' || b == '/') {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

// A listed path as UTF-8 when every level is a plain name below the delivery folder.
bool ListedPathUtf8(std::string_view cp936, std::string& utf8) {
  const std::optional<std::string> converted = Cp936ToUtf8(cp936);
  if (!converted || converted->empty()) return false;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= converted->size(); ++i) {
    if (i < converted->size() && (*converted)[i] != '/') {
      const char c = (*converted)[i];
      if (c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20) return false;
      continue;
    }
    const std::string_view level(converted->data() + start, i - start);
    if (level.empty() || level == "." || level == "..") return false;
    start = i + 1;
  }
  utf8 = *converted;
  return true;
}

bool HashLocalFile(std::FILE* file, Sha256Hasher& hasher, std::uint64_t bytes) {
  std::vector<char> piece(kReadPiece);
  while (bytes > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, piece.size()));
    if (std::fread(piece.data(), 1, want, file) != want) return false;
    if (!Sha256Add(hasher, piece.data(), want)) return false;
    bytes -= want;
  }
  return true;
}

struct Wanted {
  std::string listed;  // code page 936, as the list has it
  std::string utf8;    // the delivered file's path
  std::uint64_t size = 0;
  Sha256Digest sha256{};
};

// The bytes of wanted already at path that belong to it (hashed into hasher), after dropping
// what cannot: a file longer than listed.
bool Resumable(Run& run, const fs::path& path, const Wanted& wanted, Sha256Hasher& hasher,
               std::uint64_t& have) {
  std::error_code error;
  have = 0;
  const std::uintmax_t size = fs::file_size(path, error);
  if (error || size > wanted.size) {
    fs::remove(path, error);
    return true;
  }
  FileHandle file = OpenLocalFile(path, "rb");
  if (file == nullptr || !HashLocalFile(file.get(), hasher, size)) {
    return run.Fail(FetchStatus::kLocalError, "cannot read " + path.u8string());
  }
  have = size;
  return true;
}

// Fetches wanted into path, resuming what is there.
bool FetchFile(Run& run, const std::string& url, const fs::path& path, const Wanted& wanted) {
  bool resumedOnce = false;
  for (int restart = 0; restart < 2; ++restart) {
    Sha256HasherHandle hasher = NewSha256Hasher();
    if (hasher == nullptr) return run.Fail(FetchStatus::kLocalError, "no SHA-256");
    std::uint64_t have = 0;
    // The worker done with hasher before it goes, however this ends.
    struct HashedBeforeFree {
      HashBehind& behind;
      ~HashedBeforeFree() { behind.Use(nullptr); }
    } hashedBeforeFree{run.hashBehind};
    if (!Resumable(run, path, wanted, *hasher, have)) return false;
    if (!run.hashBehind.Use(hasher.get())) return run.Fail(FetchStatus::kLocalError, "SHA-256 failed");
    run.done += have;
    // Bytes an earlier run left may be of a file the server has replaced since.
    resumedOnce = resumedOnce || have > 0;
    int attempt = 0;
    while (have < wanted.size) {
      ++attempt;
      FileHandle file = OpenLocalFile(path, have > 0 ? "ab" : "wb");
      if (file == nullptr) return run.Fail(FetchStatus::kLocalError, "cannot write " + path.u8string());
      FileReceiver receiver(run, file.get(), have, wanted.size);
      const HttpReply reply = HttpGet(run.session, url, have, receiver, run.options.stallTimeout);
      if (std::fflush(file.get()) != 0) receiver.writeFailed_ = true;
      run.hashBehind.Drain();  // no write-back of the file left to start once it is closed
      file.reset();
      if (receiver.have_ > have) attempt = 0;  // bytes came: the count starts again
      resumedOnce = resumedOnce || have > 0;
      have = receiver.have_;
      if (receiver.writeFailed_) {
        return run.Fail(FetchStatus::kDiskFull, "cannot write " + path.u8string() + " (disk full?)");
      }
      if (receiver.hashFailed_) return run.Fail(FetchStatus::kLocalError, "SHA-256 failed");
      if (receiver.overSize_) {
        return run.Fail(FetchStatus::kFileDiffers, url + ": more than the listed " +
                                                       std::to_string(wanted.size) + " bytes");
      }
      if (run.Cancelled()) return run.Fail(FetchStatus::kCancelled, "cancelled at " + url);
      if (receiver.restarted_) {
        // The server sent the whole file where a range was asked: take it from the start.
        std::error_code error;
        fs::remove(path, error);
        run.done -= have;
        have = 0;
        run.hashBehind.Use(nullptr);
        hasher = NewSha256Hasher();
        if (hasher == nullptr || !run.hashBehind.Use(hasher.get())) {
          return run.Fail(FetchStatus::kLocalError, "SHA-256 failed");
        }
        continue;
      }
      if (have == wanted.size) break;
      const bool shortAnswer = reply.failure == HttpFailure::kNone && reply.status / 100 == 2;
      if (!shortAnswer && !Retryable(reply)) return FailHttp(run, reply, url);
      if (attempt >= run.options.attempts || !WaitBeforeRetry(run, attempt)) {
        if (shortAnswer) {
          return run.Fail(FetchStatus::kFileDiffers, url + ": shorter than the listed " +
                                                         std::to_string(wanted.size) + " bytes");
        }
        return FailHttp(run, reply, url);
      }
    }
    Sha256Bytes digest;
    if (!run.hashBehind.Drain() || !Sha256Finish(*hasher, digest)) {
      return run.Fail(FetchStatus::kLocalError, "SHA-256 failed");
    }
    if (std::equal(digest.begin(), digest.end(), wanted.sha256.begin())) {
      run.Progress(false);
      return true;
    }
    // Not the listed bytes: a resumed file may have changed under us, so once more whole.
    std::error_code error;
    fs::remove(path, error);
    run.done -= wanted.size;
    if (!resumedOnce) break;
    resumedOnce = false;
  }
  return run.Fail(FetchStatus::kFileDiffers, url + ": its SHA-256 is not the listed one");
}

bool FetchAll(Run& run) {
  const FetchOptions& options = run.options;
  const DeliveryKeySet keys = CompiledDeliveryKeys();
  if (keys.count == 0) {
    return run.Fail(FetchStatus::kNoKeys, "built without delivery keys: nothing can be verified");
  }
  std::string base = options.feedUrl;
  if (base.empty() || base.back() != '/') base += '/';

  std::string index, indexSignature, contentType;
  const std::string indexUrl = base + std::string(kFeedIndexFileName);
  if (!GetText(run, indexUrl, kMaxFeedIndexBytes, index, &contentType)) return false;
  const bool html = contentType.rfind("text/html", 0) == 0;
  if (!GetText(run, base + std::string(kFeedIndexSignatureFileName), kMaxSignatureBytes,
               indexSignature)) {
    if (html && run.result.status == FetchStatus::kHttpStatus) {
      return run.Fail(FetchStatus::kNotAFeed, indexUrl + ": an HTML page, no feed index");
    }
    return false;
  }
  if (!VerifyWithDeliveryKeys(keys, index, indexSignature)) {
    if (html) return run.Fail(FetchStatus::kNotAFeed, indexUrl + ": an HTML page, no feed index");
    return run.Fail(FetchStatus::kBadSignature, indexUrl + ": no compiled key verifies index.sig");
  }
  const FeedIndexRead read = ParseFeedIndex(index);
  if (read.status != FeedIndexStatus::kRead) {
    return run.Fail(FetchStatus::kMalformed,
                    indexUrl + ": signed, but does not read (line " + std::to_string(read.line) + ")");
  }
  run.result.newestRelease = read.index.releases.front().release;
  const FeedPick pick = ChooseFeedDelivery(read.index, options.installedRelease, options.deviceId);
  if (pick.choice == FeedChoice::kUpToDate) {
    run.result.release = run.result.newestRelease;
    run.result.status = FetchStatus::kUpToDate;
    return true;
  }
  if (pick.choice == FeedChoice::kNotInRollout) {
    run.result.release = options.installedRelease;
    run.result.status = FetchStatus::kNotInRollout;
    run.result.detail = "release " + std::to_string(run.result.newestRelease) +
                        " is rolled out to other devices first";
    return true;
  }
  const FeedDelivery* delivery = pick.delivery;
  const std::uint64_t release = pick.release->release;
  run.result.release = release;
  run.result.deliveryFolder = delivery->folder;
  std::error_code error;
  if (fs::exists(options.tempFolder, error) || error) {
    return run.Fail(FetchStatus::kDeliveryWaiting,
                    options.tempFolder.u8string() + " holds a delivery already");
  }

  const std::string folderUrl = base + delivery->folder + "/";
  std::string list, listSignature;
  const std::string listUrl = folderUrl + std::string(kHashListFileName);
  if (!GetText(run, listUrl, kMaxHashListBytes, list) ||
      !GetText(run, folderUrl + std::string(kSignatureFileName), kMaxSignatureBytes,
               listSignature)) {
    return false;
  }
  if (!VerifyWithDeliveryKeys(keys, list, listSignature)) {
    return run.Fail(FetchStatus::kBadSignature, listUrl + ": no compiled key verifies its signature");
  }
  HashList parsed;
  HashListError listError;
  if (!ParseHashList(list, parsed, listError)) {
    return run.Fail(FetchStatus::kMalformed, listUrl + ": " + HashListErrorText(listError));
  }
  // The list must be the delivery the index promised: this release, onto this base.
  if (parsed.format != 3 || parsed.release != release ||
      (delivery->from == 0 ? !parsed.full : parsed.full || parsed.from != delivery->from)) {
    return run.Fail(FetchStatus::kMalformed, listUrl + ": not the delivery the index names");
  }
  std::vector<Wanted> wanted;
  for (const ListedFile& file : parsed.files) {
    Wanted item;
    item.listed = DeliveredPath(file);
    const bool plain = file.kind == ListedKind::kPlain;
    item.size = plain ? file.size : file.frameSize;
    item.sha256 = plain ? file.sha256 : file.frameSha256;
    if (!ListedPathUtf8(item.listed, item.utf8) || item.utf8 == kHashListFileName ||
        item.utf8 == kSignatureFileName) {
      return run.Fail(FetchStatus::kMalformed, listUrl + ": line " + std::to_string(file.line) +
                                                   ": not a path below the delivery");
    }
    if (item.size > kMaxFeedNumber - run.total) {
      return run.Fail(FetchStatus::kMalformed, listUrl + ": sizes beyond any disk");
    }
    run.total += item.size;
    wanted.push_back(std::move(item));
  }
  run.result.deliveryBytes = run.total;

  // The work folder: kept only while it holds this very list.
  const fs::path work = options.tempFolder.parent_path() /
                        (options.tempFolder.filename().native() + fs::path(".fetch").native());
  const fs::path workList = work / std::string(kHashListFileName);
  std::string keptList;
  if (FileHandle file = OpenLocalFile(workList, "rb")) {
    std::vector<char> piece(kReadPiece);
    std::size_t got = 0;
    while ((got = std::fread(piece.data(), 1, piece.size(), file.get())) > 0 &&
           keptList.size() <= list.size()) {
      keptList.append(piece.data(), got);
    }
  }
  if (keptList != list) {
    fs::remove_all(work, error);
    if (error) return run.Fail(FetchStatus::kLocalError, "cannot clear " + work.u8string());
  }
  fs::create_directories(work, error);
  if (error) return run.Fail(FetchStatus::kLocalError, "cannot make " + work.u8string());

  // What is already there counts against the need only once it is checked; the space check
  // is against the whole list, less the bytes of files already at their listed size.
  std::uint64_t present = 0;
  for (const Wanted& item : wanted) {
    const std::uintmax_t size = fs::file_size(work / fs::u8path(item.utf8), error);
    if (!error && size <= item.size) present += size;
  }
  const fs::space_info space = fs::space(work, error);
  if (error) return run.Fail(FetchStatus::kLocalError, "cannot ask the free space of " + work.u8string());
  if (space.available < run.total - present) {
    return run.Fail(FetchStatus::kDiskFull,
                    work.u8string() + ": " + std::to_string(run.total - present) +
                        " bytes needed, " + std::to_string(space.available) + " free");
  }

  for (const auto& [name, bytes] :
       {std::pair<std::string_view, const std::string*>{kHashListFileName, &list},
        {kSignatureFileName, &listSignature}}) {
    FileHandle file = OpenLocalFile(work / std::string(name), "wb");
    if (file == nullptr || std::fwrite(bytes->data(), 1, bytes->size(), file.get()) != bytes->size() ||
        !FlushToDisk(file.get())) {
      return run.Fail(FetchStatus::kLocalError, "cannot write " + (work / std::string(name)).u8string());
    }
  }

  for (const Wanted& item : wanted) {
    run.file = item.listed;
    const fs::path path = work / fs::u8path(item.utf8);
    fs::create_directories(path.parent_path(), error);
    if (error) return run.Fail(FetchStatus::kLocalError, "cannot make " + path.parent_path().u8string());
    if (!FetchFile(run, folderUrl + UrlPath(item.utf8), path, item)) return false;
  }
  for (const Wanted& item : wanted) {
    FileHandle file = OpenLocalFile(work / fs::u8path(item.utf8), "rb+");
    if (file == nullptr || !FlushToDisk(file.get())) {
      return run.Fail(FetchStatus::kLocalError, "cannot flush " + item.utf8);
    }
  }
  run.Progress(true);
  switch (MoveFolderNoReplace(work, options.tempFolder)) {
    case MoveResult::kMoved: break;
    case MoveResult::kTargetExists:
      return run.Fail(FetchStatus::kDeliveryWaiting,
                      options.tempFolder.u8string() + " holds a delivery already; this one waits in " +
                          work.u8string());
    case MoveResult::kFailed:
      return run.Fail(FetchStatus::kLocalError, "cannot rename " + work.u8string() + " to " +
                                                    options.tempFolder.u8string());
  }
  run.result.status = FetchStatus::kPlaced;
  return true;
}

}  // namespace

FetchResult FetchDelivery(const FetchOptions& options) {
  std::string error;
  HttpSessionHandle session = OpenHttpSession(options.caFile.u8string(), error);
  if (session == nullptr) {
    FetchResult result;
    result.status = FetchStatus::kLocalError;
    result.detail = error;
    return result;
  }
  // The hashing thread that cannot start (or its lock failing) is a local error, not an
  // exception out of the call.
  try {
    Run run(options, *session);
    FetchAll(run);
    return run.result;
  } catch (const std::system_error& failure) {
    FetchResult result;
    result.status = FetchStatus::kLocalError;
    result.detail = std::string("the hashing thread: ") + failure.what();
    return result;
  }
}

}  // namespace vintrel
