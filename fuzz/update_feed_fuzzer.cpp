// The feed index's reader on arbitrary bytes.
//
// Checked: an index that reads can be written, and the writer's bytes read again to the same
// index and are what the writer writes for it once more; its partial deliveries are from
// releases below its own, in ascending order; the delivery chosen for any installed release is
// one of the index's, the partial one only from that very release, and none only for a release
// the index does not pass.
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
    Check(again.index.release == index.release && Same(again.index.full, index.full) &&
              again.index.partial.size() == index.partial.size(),
          "the index changed");
    for (std::size_t i = 0; i < index.partial.size(); ++i) {
        Check(Same(again.index.partial[i], index.partial[i]), "a partial delivery changed");
        Check(index.partial[i].from < index.release, "a partial delivery not from below");
    }
    Check(vintrel::FormatFeedIndex(again.index) == text, "written twice, two texts");

    for (const std::uint64_t installed :
         {std::uint64_t{0}, std::uint64_t{1}, index.release - 1, index.release,
          index.release + 1, index.partial.empty() ? 1 : index.partial.front().from}) {
        const vintrel::FeedDelivery* chosen = vintrel::ChooseFeedDelivery(index, installed);
        if (!chosen) {
            Check(installed != 0 && installed >= index.release, "nothing for an older release");
            continue;
        }
        Check(chosen == &index.full || (chosen->from == installed && installed != 0),
              "a partial delivery from another release");
    }
    return 0;
}
