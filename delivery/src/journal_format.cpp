#include "journal_format.h"

#include <algorithm>
#include <cstdint>

#include "record_number.h"

namespace {

const char kJournalHeader[] = "vintrel-journal 2";
const char kFirstJournalHeader[] = "vintrel-journal 1";
const char kLeftoversHeader[] = "vintrel-leftovers 1";

const char* StateName(JournalState state) {
  switch (state) {
    case JournalState::kStaging:
      return "staging";
    case JournalState::kSwapping:
      return "swapping";
    case JournalState::kRolledBack:
      return "rolled-back";
    case JournalState::kCommitted:
      return "committed";
  }
  return "";
}

// The next line of text from at on, without its LF; false at the end, or when the last line has
// no LF (a cut file).
bool NextLine(const std::string& text, std::size_t& at, std::string& line) {
  if (at >= text.size()) return false;
  const std::size_t end = text.find('\n', at);
  if (end == std::string::npos) return false;
  line.assign(text, at, end - at);
  at = end + 1;
  return true;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  for (std::size_t start = 0;;) {
    const std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

std::string Decimal(std::uint64_t value) {
  std::string text;
  do {
    text.insert(text.begin(), static_cast<char>('0' + value % 10));
    value /= 10;
  } while (value > 0);
  return text;
}

// Whether bytes are UTF-8 as the platform's strict conversion takes it: shortest forms only, no
// surrogates, nothing past U+10FFFF.
bool IsUtf8(const std::string& bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const unsigned char lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > bytes.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3F);
    }
    if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
        (length == 4 && (code < 0x10000 || code > 0x10FFFF))) {
      return false;
    }
    i += length;
  }
  return true;
}

// The names the first journals gave every apply alike: the step's number alone.
void TakeFirstFormatNames(Journal& journal) {
  for (std::size_t i = 0; i < journal.steps.size(); ++i) {
    journal.steps[i].backup = journal.steps[i].relative + ".vintrel-old-" + Decimal(i);
  }
}

bool ParseState(const std::string& line, bool firstFormat, JournalState& state) {
  if (line.rfind("state ", 0) != 0) return false;
  const std::string name = line.substr(6);
  for (const JournalState known : {JournalState::kStaging, JournalState::kSwapping,
                                   JournalState::kRolledBack, JournalState::kCommitted}) {
    if (name == StateName(known) && !(firstFormat && known == JournalState::kRolledBack)) {
      state = known;
      return true;
    }
  }
  return false;
}

bool ParseFolder(const std::string& rest, bool firstFormat, MadeFolder& folder) {
  const std::vector<std::string> fields =
      firstFormat ? std::vector<std::string>{"0", rest} : Fields(rest);
  std::uint64_t step = 0;
  if (fields.size() != 2 || !ParseRecordNumber(fields[0], step) ||
      !IsPlainJournalPath(fields[1])) {
    return false;
  }
  folder = {static_cast<std::size_t>(step), fields[1]};
  return true;
}

bool ParseStep(const std::string& line, bool firstFormat, JournalStep& step) {
  const bool update = line.rfind("update ", 0) == 0;
  if (!update && line.rfind("delete ", 0) != 0) return false;
  if (line.size() < 9 || (line[7] != '0' && line[7] != '1') ||
      line[8] != (firstFormat ? ' ' : '\t')) {
    return false;
  }
  const std::vector<std::string> fields = Fields(line.substr(9));
  const std::size_t expected = (update ? 2 : 1) + (firstFormat ? 0 : 1);
  if (fields.size() != expected) return false;
  step = {update ? JournalStep::Kind::kUpdate : JournalStep::Kind::kDelete, fields[0],
          line[7] == '1', update ? fields[1] : std::string(),
          firstFormat ? std::string() : fields.back()};
  return IsPlainJournalPath(step.relative) && (!update || IsPlainJournalPath(step.staged)) &&
         (firstFormat || IsPlainJournalPath(step.backup));
}

}  // namespace

bool IsPlainJournalPath(const std::string& utf8) {
  if (utf8.empty() || !IsUtf8(utf8)) return false;
  for (const char c : utf8) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '/' || c == ':') return false;
  }
  for (std::size_t start = 0; start <= utf8.size();) {
    const std::size_t end = std::min(utf8.find('\\', start), utf8.size());
    const std::string level = utf8.substr(start, end - start);
    if (level.empty() || level == "." || level == "..") return false;
    start = end + 1;
  }
  return true;
}

std::string FormatJournal(const Journal& journal) {
  std::string text = std::string(kJournalHeader) + "\n";
  text += std::string("state ") + StateName(journal.state) + "\n";
  text += "release " + Decimal(journal.release) + "\n";
  for (const MadeFolder& folder : journal.madeFolders) {
    text += "folder " + Decimal(folder.step) + "\t" + folder.relative + "\n";
  }
  // No plain path holds a control character, so a tab ends each.
  for (const JournalStep& step : journal.steps) {
    text += step.kind == JournalStep::Kind::kUpdate ? "update " : "delete ";
    text += step.existed ? "1\t" : "0\t";
    text += step.relative;
    if (step.kind == JournalStep::Kind::kUpdate) text += "\t" + step.staged;
    text += "\t" + step.backup + "\n";
  }
  return text;
}

bool ParseJournal(const std::string& text, Journal& journal) {
  journal = Journal();
  std::size_t at = 0;
  std::string line;
  if (!NextLine(text, at, line)) return false;
  const bool firstFormat = line == kFirstJournalHeader;
  if (!firstFormat && line != kJournalHeader) return false;
  if (!NextLine(text, at, line) || !ParseState(line, firstFormat, journal.state)) return false;
  if (!firstFormat && (!NextLine(text, at, line) || line.rfind("release ", 0) != 0 ||
                       !ParseRecordNumber(line.substr(8), journal.release))) {
    return false;
  }
  while (NextLine(text, at, line)) {
    if (line.rfind("folder ", 0) == 0) {
      MadeFolder folder;
      if (!ParseFolder(line.substr(7), firstFormat, folder)) return false;
      journal.madeFolders.push_back(folder);
      continue;
    }
    JournalStep step;
    if (!ParseStep(line, firstFormat, step)) return false;
    journal.steps.push_back(step);
  }
  if (at != text.size()) return false;
  for (const MadeFolder& folder : journal.madeFolders) {
    if (folder.step >= journal.steps.size()) return false;
  }
  if (firstFormat) TakeFirstFormatNames(journal);
  return true;
}

std::string FormatLeftovers(const std::vector<std::string>& leftovers) {
  std::string text = std::string(kLeftoversHeader) + "\n";
  for (const std::string& relative : leftovers) text += relative + "\n";
  return text;
}

bool ParseLeftovers(const std::string& text, std::vector<std::string>& leftovers) {
  leftovers.clear();
  std::size_t at = 0;
  std::string line;
  if (!NextLine(text, at, line) || line != kLeftoversHeader) return false;
  while (NextLine(text, at, line)) {
    if (!IsPlainJournalPath(line)) return false;
    leftovers.push_back(line);
  }
  return at == text.size();
}
