// The main application's fetch of a delivery from the publisher's feed (vintrel-pack publish):
// it reads the signed index, picks the delivery for the installed release, fetches that
// delivery's signed list and then every listed file, each checked against the list's size and
// SHA-256 while it is written, and hands the whole delivery to the updater as
// %APPDATA%\OrbeskVintrel\Temp in one rename. The server is trusted with nothing: the index and
// the lists are verified with the publisher's keys compiled into the program (the updater's
// keys, linked from a delivery keys library), every file with its listed hash.
//
// C++17, no exceptions of its own (only std::bad_alloc), one blocking call; during it a thread of
// its own hashes what was written (about 4.5 MiB held in all). A run that was cut
// continues where it stopped: the delivery is built in "<Temp>.fetch" beside Temp, verified
// files are kept there and a partial file continues with a range request.
#ifndef VINTREL_FETCH_H
#define VINTREL_FETCH_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace vintrel {

enum class FetchStatus {
  kPlaced,           // the delivery waits in Temp: start Updater.exe
  kUpToDate,         // the installation has the feed's newest release
  kNotInRollout,     // a newer release exists, but this device is not in its rollout yet (nor
                     // in that of any release between): ask again later, nothing to do now
  kDeliveryWaiting,  // Temp holds a delivery already: nothing is fetched or placed over it
                     // (one that appeared during the fetch: the fetched delivery stays in
                     // <Temp>.fetch, verified, and is placed by a later run)
  kCancelled,        // the caller's cancel; what was verified is kept
  kNoKeys,           // built without delivery keys: nothing could be verified, nothing fetched
  kNameNotFound,     // the server's name does not resolve
  kConnectFailed,    // refused or unreachable
  kTimedOut,         // no byte for the stall time, after the retries
  kCut,              // the connection kept dropping, after the retries
  kTlsFailed,        // no secure channel: the server's certificate is not trusted (or the
                     // TLS handshake failed); not retried
  kHttpStatus,       // an answer other than 200/206 (404, or 5xx after the retries)
  kNotAFeed,         // the index is no index (an HTML page where the index should be)
  kBadSignature,     // the index or the list: no compiled key verifies its signature
  kMalformed,        // a signed index or list that does not read, or does not fit the pick
  kFileDiffers,      // a file's bytes are not the listed ones (hash, or more than its size)
  kDiskFull,         // less free space than the delivery needs, checked before the first byte
  kLocalError,       // the local folder could not be written
};

// The status as a short stable word ("placed", "not-a-feed", ...), for logs and --json.
const char* FetchStatusName(FetchStatus status) noexcept;

struct FetchProgress {
  std::uint64_t done = 0;   // bytes of the delivery in place (verified or being written)
  std::uint64_t total = 0;  // the delivery's bytes, from its list
  std::string_view file;    // the listed path at hand (code page 936 bytes)
};

// Called at most every 100 ms, and once at the end; never from another thread.
using FetchProgressCallback = void (*)(const FetchProgress& progress, void* context);

struct FetchOptions {
  std::string feedUrl;                   // the feed folder, http:// or https://
  std::uint64_t installedRelease = 0;    // from the release record; 0: none recorded
  std::string deviceId;  // DeviceUtil::GetDeviceId(): which staged rollouts include this device
                         // (empty: only the releases rolled out to every device)
  std::filesystem::path tempFolder;      // where the updater looks: ...\OrbeskVintrel\Temp
  FetchProgressCallback progress = nullptr;
  void* progressContext = nullptr;
  const std::atomic<bool>* cancel = nullptr;  // set by the caller to stop within a second
  int attempts = 6;  // per request, counted afresh after a try that brought bytes
  std::chrono::milliseconds firstRetryDelay{500};  // doubled each retry, at most 30 s
  std::chrono::seconds stallTimeout{30};           // no byte for this long: a failed try
  // HTTPS: a PEM file of roots trusted besides the system's (an organisation's own CA), or
  // empty. Linux (libcurl) only: on Windows WinHTTP trusts the system's store, where such a
  // root is deployed, and a caFile given there is refused (kLocalError).
  std::filesystem::path caFile;
};

struct FetchResult {
  FetchStatus status = FetchStatus::kLocalError;
  std::string detail;              // what failed and where (a URL or file), English
  std::uint64_t release = 0;       // the release fetched (placed); up to date: the newest;
                                   // not in the rollout: the installed one
  std::uint64_t newestRelease = 0; // the feed's newest release, once the index was read
  std::string deliveryFolder;      // the delivery picked, below the feed ("3/from-2")
  std::uint64_t deliveryBytes = 0; // the delivered files' bytes
  std::uint64_t downloaded = 0;    // body bytes received in this run (all tries)
};

// The release installed at installation (the folder of Updater.exe and bin\), as a program of
// the user's learns it: the highest "release-<N>" marker in <installation>\.vintrel, which the
// updater leaves beside its release record (a record only administrators may read), else the
// record; 0 when the installation records none. False, with error, when the folder cannot be
// listed, a marker's name is no number or a record that is there cannot be read: a fetch for a
// release guessed would fetch the wrong delivery.
bool ReadInstalledRelease(const std::filesystem::path& installation, std::uint64_t& release,
                          std::string& error);

// Fetches the delivery the installation needs into options.tempFolder. Blocking.
FetchResult FetchDelivery(const FetchOptions& options);

}  // namespace vintrel

#endif  // VINTREL_FETCH_H
