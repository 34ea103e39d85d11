// The feed index's reader on arbitrary bytes.
//
// Checked: an index that reads can be written, and the writer's bytes read again to the same
// index and are what the writer writes for it once more; its releases descend, each one's
// partial deliveries are from releases below it, in ascending order; the delivery chosen for
// any installed release and device is one of a release above the installed one, the partial
// one only from that very release, and none only when the device is in no such release.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <vintrel/update_feed.h>

namespace {

void Check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "update_feed_fuzzer: %s\n", what);
    std::abort();
}

bool Same(const vintrel::FeedDelivery& a, const vintrel::FeedDelivery& b) {
    return a.from == b.from && a.bytes == b.bytes && a.folder == b.folder;
}

bool Same(const vintrel::FeedRelease& a, const vintrel::FeedRelease& b) {
    if (a.release != b.release || a.rollout != b.rollout || !Same(a.full, b.full) ||
        a.partial.size() != b.partial.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.partial.size(); ++i) {
        if (!Same(a.partial[i], b.partial[i])) return false;
    }
    return true;
}

bool Included(const vintrel::FeedRelease& release, std::string_view device) {
    return release.rollout >= vintrel::kWholeRollout ||
           (!device.empty() && vintrel::FeedRolloutBucket(device, release.release) < release.rollout);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const vintrel::FeedIndexRead read = vintrel::ParseFeedIndex(input);
    if (read.status != vintrel::FeedIndexStatus::kRead) {
        Check(read.status == vintrel::FeedIndexStatus::kOversized || read.line >= 1,
              "a failure without its line");
        return 0;
    }
    const vintrel::FeedIndex& index = read.index;
    Check(vintrel::IsWritableFeedIndex(index), "an index that reads is not writable");
    const std::string text = vintrel::FormatFeedIndex(index);
    const vintrel::FeedIndexRead again = vintrel::ParseFeedIndex(text);
    Check(again.status == vintrel::FeedIndexStatus::kRead, "the written index does not read");
    Check(again.index.releases.size() == index.releases.size(), "a release lost or added");
    for (std::size_t r = 0; r < index.releases.size(); ++r) {
        const vintrel::FeedRelease& release = index.releases[r];
        Check(Same(again.index.releases[r], release), "a release changed");
        Check(r == 0 || release.release < index.releases[r - 1].release, "releases not descending");
        for (const vintrel::FeedDelivery& delivery : release.partial) {
            Check(delivery.from < release.release, "a partial delivery not from below");
        }
    }
    Check(vintrel::FormatFeedIndex(again.index) == text, "written twice, two texts");

    const std::uint64_t newest = index.releases.front().release;
    const vintrel::FeedRelease& first = index.releases.front();
    for (const std::string_view device : {std::string_view(), std::string_view("0050569a0001"),
                                          input.substr(0, 12)}) {
        for (const std::uint64_t installed :
             {std::uint64_t{0}, std::uint64_t{1}, newest - 1, newest, newest + 1,
              first.partial.empty() ? 1 : first.partial.front().from,
              index.releases.back().release}) {
            const vintrel::FeedPick pick = vintrel::ChooseFeedDelivery(index, installed, device);
            if (pick.choice != vintrel::FeedChoice::kFetch) {
                Check(pick.delivery == nullptr && pick.release == nullptr, "a delivery for nothing");
                Check((pick.choice == vintrel::FeedChoice::kUpToDate) ==
                          (installed != 0 && installed >= newest),
                      "up to date confused with not in the rollout");
                for (const vintrel::FeedRelease& release : index.releases) {
                    Check(!(release.release > installed || installed == 0) ||
                              !Included(release, device),
                          "nothing although a newer release includes the device");
                }
                continue;
            }
            const vintrel::FeedRelease& release = *pick.release;
            Check(installed == 0 || release.release > installed, "a release not above the installed");
            Check(Included(release, device), "a release whose rollout leaves the device out");
            for (const vintrel::FeedRelease& newer : index.releases) {
                if (newer.release <= release.release) break;
                Check(!Included(newer, device), "an older release than the device is in");
            }
            Check(pick.delivery == &release.full ||
                      (pick.delivery->from == installed && installed != 0),
                  "a partial delivery from another release");
        }
    }
    return 0;
}
