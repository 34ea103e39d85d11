// The journal's reader on any bytes: what reads keeps every path rule, and is written again to
// text that reads the same.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "journal_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Journal journal;
  if (!ParseJournal(text, journal)) return 0;
  for (const JournalStep& step : journal.steps) {
    if (!IsPlainJournalPath(step.relative) || !IsPlainJournalPath(step.backup) ||
        (step.kind == JournalStep::Kind::kUpdate && !IsPlainJournalPath(step.staged))) {
      std::abort();
    }
  }
  for (const MadeFolder& folder : journal.madeFolders) {
    if (!IsPlainJournalPath(folder.relative) || folder.step >= journal.steps.size()) std::abort();
  }
  Journal again;
  if (!ParseJournal(FormatJournal(journal), again) ||
      FormatJournal(again) != FormatJournal(journal)) {
    std::abort();
  }
  return 0;
}
