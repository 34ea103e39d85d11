// The main application's fetch through an installed fetch library, with its own keys library:
// one FetchDelivery from a feed URL that nothing listens on (argv[1]) into argv[2]. It links
// and resolves everything, knows its keys (no "no-keys") and reaches the network: the server
// cannot be reached, and nothing is placed where the updater looks. Exits 0 when so.
#include <vintrel/fetch.h>
#include <vintrel/vintrel_common.h>

#include <cstdio>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: consumer_fetch <feed URL> <temp folder>\n");
        return 2;
    }
    vintrel::FetchOptions options;
    options.feedUrl = argv[1];
    options.installedRelease = 1;
    options.deviceId = DeviceUtil::GetDeviceId();
    options.tempFolder = std::filesystem::u8path(argv[2]);
    // One retry, soon: the refusal is the answer, not a passing fault.
    options.attempts = 2;
    options.firstRetryDelay = std::chrono::milliseconds(10);
    const vintrel::FetchResult result = vintrel::FetchDelivery(options);
    const std::string status = vintrel::FetchStatusName(result.status);
    std::printf("fetch: %s (%s)\n", status.c_str(), result.detail.c_str());

    int failures = 0;
    if (result.status != vintrel::FetchStatus::kConnectFailed) {
        std::printf("FAILED: the status is not connect-failed\n");
        ++failures;
    }
    if (result.detail.find(options.feedUrl) == std::string::npos) {
        std::printf("FAILED: the detail does not name the feed's URL\n");
        ++failures;
    }
    std::filesystem::path building = options.tempFolder;
    building += ".fetch";
    if (std::filesystem::exists(options.tempFolder) || std::filesystem::exists(building)) {
        std::printf("FAILED: %s or its .fetch folder exists\n", argv[2]);
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
