// vintrel-fetch: the fetch from the command line, for scripts and tests.
//
//   vintrel-fetch URL --temp DIR [--release N | --installation DIR] [--device-id ID] [--json]
//                 [--ca-file PEM (Linux)]
//
// Exit 0: placed, up to date, or not in the rollout yet; 1: anything else (the status says
// what); 2: usage.
#include <CLI/CLI.hpp>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>

#ifdef _WIN32
#include <windows.h>
#include <io.h>
#define VINTREL_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define VINTREL_ISATTY(fd) isatty(fd)
#endif

#include "device_id.h"
#include "json_string.h"
#include "utf8_arguments.h"
#include "vintrel/fetch.h"

namespace fs = std::filesystem;

namespace {

// Ctrl+C, or the end asked of the process: the fetch stops within a second, keeping what it
// verified, and says "cancelled".
std::atomic<bool> cancelRequested{false};

#ifdef _WIN32
BOOL WINAPI OnConsoleEvent(DWORD) {
  cancelRequested = true;
  return TRUE;
}
void CatchCancel() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }
#else
void OnSignal(int) { cancelRequested = true; }
void CatchCancel() {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
}
#endif

// The progress line, on a terminal only; redrawn in place.
void ShowProgress(const vintrel::FetchProgress& progress, void*) {
  const unsigned percent =
      progress.total == 0 ? 100u : static_cast<unsigned>(progress.done * 100 / progress.total);
  std::fprintf(stderr, "\r%3u%%  %llu / %llu bytes  %.*s\x1b[K", percent,
               static_cast<unsigned long long>(progress.done),
               static_cast<unsigned long long>(progress.total),
               static_cast<int>(std::min<std::size_t>(progress.file.size(), 60)),
               progress.file.data());
  std::fflush(stderr);
}

int Run(int argc, char** argv) {
  CLI::App app("Fetches the delivery an installation needs from the publisher's feed into the "
               "updater's Temp folder, verified", "vintrel-fetch");
  app.set_version_flag("--version", VINTREL_FETCH_VERSION);
  vintrel::FetchOptions options;
  std::string installationText, tempText;
  bool json = false;
  int retryDelayMs = 500, stallSeconds = 30;
  app.add_option("url", options.feedUrl, "the feed folder's URL (http:// or https://)")->required();
  app.add_option("--temp", tempText, "the delivery's place, e.g. %APPDATA%\\OrbeskVintrel\\Temp")
      ->required();
  auto* release = app.add_option("--release", options.installedRelease,
                                 "the installed release (default: none recorded)");
  app.add_option("--installation", installationText,
                 "read the installed release from this installation's records")
      ->excludes(release);
  std::string deviceId;
  auto* device = app.add_option("--device-id", deviceId,
                                "the device, for staged rollouts (default: the first network "
                                "adapter's address, as the main application's DeviceUtil says)");
  app.add_flag("--json", json, "print the result as one JSON object");
  app.add_option("--attempts", options.attempts, "tries per request")->check(CLI::Range(1, 100));
  app.add_option("--retry-delay-ms", retryDelayMs, "the first retry's wait")
      ->check(CLI::Range(0, 60000));
  app.add_option("--stall-seconds", stallSeconds, "a try without a byte for this long fails")
      ->check(CLI::Range(1, 3600));
#ifndef _WIN32
  std::string caText;
  app.add_option("--ca-file", caText, "HTTPS: also trust the roots in this PEM file");
#endif
  CLI11_PARSE(app, argc, argv);
  options.tempFolder = fs::u8path(tempText);
  options.deviceId =
      device->count() > 0 ? deviceId : vintrel::FormatDeviceId(vintrel::QueryNetworkAdapters());
  options.firstRetryDelay = std::chrono::milliseconds(retryDelayMs);
  options.stallTimeout = std::chrono::seconds(stallSeconds);
#ifndef _WIN32
  options.caFile = fs::u8path(caText);
#endif
  if (!installationText.empty()) {
    std::string error;
    if (!vintrel::ReadInstalledRelease(fs::u8path(installationText), options.installedRelease,
                                       error)) {
      std::cerr << "vintrel-fetch: " << error << "\n";
      return 1;
    }
  }
  options.cancel = &cancelRequested;
  CatchCancel();
  const bool terminal = VINTREL_ISATTY(2) != 0;
  if (terminal) options.progress = ShowProgress;
  const vintrel::FetchResult result = vintrel::FetchDelivery(options);
  if (terminal) std::fputs("\n", stderr);
  const bool ok = result.status == vintrel::FetchStatus::kPlaced ||
                  result.status == vintrel::FetchStatus::kUpToDate ||
                  result.status == vintrel::FetchStatus::kNotInRollout;
  if (json) {
    std::cout << "{\"status\":" << JsonString(vintrel::FetchStatusName(result.status))
              << ",\"detail\":" << JsonString(result.detail) << ",\"release\":" << result.release
              << ",\"newestRelease\":" << result.newestRelease
              << ",\"delivery\":" << JsonString(result.deliveryFolder)
              << ",\"deliveryBytes\":" << result.deliveryBytes
              << ",\"downloaded\":" << result.downloaded << "}\n";
  } else {
    std::cout << vintrel::FetchStatusName(result.status);
    if (!result.deliveryFolder.empty()) std::cout << " " << result.deliveryFolder;
    if (!result.detail.empty()) std::cout << ": " << result.detail;
    std::cout << "\n";
  }
  return ok ? 0 : 1;
}

}  // namespace

#ifdef _WIN32
// The arguments as UTF-8, whatever the ANSI code page.
int wmain(int argc, wchar_t** argv) {
  Utf8Arguments arguments(argc, argv);
  return Run(argc, arguments.argv());
}
#else
int main(int argc, char** argv) { return Run(argc, argv); }
#endif
