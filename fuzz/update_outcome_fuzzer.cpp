// The outcome record's reader on arbitrary bytes.
//
// Checked: a failure keeps nothing of the record; a record that reads can be written, and the
// writer's bytes read again to the same record (result, reason and its kept code, release, path,
// time) and are what the writer writes for it once more; every path read is within its bound and
// free of control bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <vintrel/update_outcome.h>

namespace {

void Check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "update_outcome_fuzzer: %s\n", what);
    std::abort();
}

bool Same(const vintrel::UpdateOutcome& a, const vintrel::UpdateOutcome& b) {
    return a.result == b.result && a.reason == b.reason && a.unknownReason == b.unknownReason &&
           a.release == b.release && a.file == b.file && a.time == b.time;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const vintrel::UpdateOutcomeRead read = vintrel::ParseUpdateOutcome(input);
    if (read.status != vintrel::UpdateOutcomeStatus::kRead) {
        Check(!vintrel::UpdateOutcomeStatusText(read.status).empty(), "a failure without a name");
        Check(Same(read.outcome, vintrel::UpdateOutcome{}), "a failure kept part of the record");
        return 0;
    }
    Check(read.line == 0, "a record that reads names a line at fault");
    Check(vintrel::IsUpdateOutcomePath(read.outcome.file),
          "a path over its bound or with a control byte");
    Check(vintrel::IsWritableUpdateOutcome(read.outcome), "a record that reads cannot be written");

    const std::string text = vintrel::FormatUpdateOutcome(read.outcome);
    Check(text.size() <= vintrel::kMaxUpdateOutcomeBytes, "the written record is over the bound");
    const vintrel::UpdateOutcomeRead again = vintrel::ParseUpdateOutcome(text);
    Check(again.status == vintrel::UpdateOutcomeStatus::kRead, "the written record does not read");
    Check(Same(again.outcome, read.outcome), "the record changed on the way");
    Check(vintrel::FormatUpdateOutcome(again.outcome) == text, "the writer's bytes changed");
    return 0;
}
