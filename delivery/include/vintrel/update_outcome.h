// The update's outcome record, update-outcome.txt: its one writer (FormatUpdateOutcome, which
// the updater uses) and its one reader (ParseUpdateOutcome, ReadUpdateOutcome, which the main
// application uses at its next start). Header only, C++17, no exceptions of its own (only
// std::bad_alloc from the strings it returns), no platform call but opening and reading the file.
//
//   vintrel-outcome 1
//   result <applied|refused|rolled-back|recovered|not-started>
//   reason <code, or nothing>
//   release <0 .. 2^63-1>
//   file <path relative to the root or the delivery, "/" between levels, or nothing>
//   time <seconds since 1970 UTC, 0 .. 2^63-1>
//
// Code page 936 bytes, taken as they are; lines ended by CR LF (as written) or LF, the last one
// too; no byte-order mark. The six lines come in this order, each once, and nothing follows
// them. A CTRL+Z ends the text, as in a text-mode read of the file: nothing after it is read.
// A reason code this reader does not know (from a newer updater) reads as kUnknown, its code
// kept, so that the record still reads.
#ifndef VINTREL_UPDATE_OUTCOME_H
#define VINTREL_UPDATE_OUTCOME_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

namespace vintrel {

// The record's file name, in %APPDATA%\OrbeskVintrel.
inline constexpr std::string_view kUpdateOutcomeFileName = "update-outcome.txt";
// Line 1, exactly.
inline constexpr std::string_view kUpdateOutcomeHeader = "vintrel-outcome 1";
// The most of a file that is read, up to a CTRL+Z; a longer text is not a record.
inline constexpr std::size_t kMaxUpdateOutcomeBytes = 64u << 10;
// The longest path on the file line: what the file's bound leaves for it, with room for the
// other five lines, so that every record that reads is written again within the bound.
inline constexpr std::size_t kMaxUpdateOutcomePathBytes = kMaxUpdateOutcomeBytes - 1024;
// The longest reason code, known or not.
inline constexpr std::size_t kMaxUpdateOutcomeReasonBytes = 64;
// The largest release and time, 2^63-1.
inline constexpr std::uint64_t kMaxUpdateOutcomeNumber = (std::uint64_t{1} << 63) - 1;

// What the updater's run came to.
enum class UpdateOutcomeResult {
  kApplied,     // "applied": the delivery is in place
  kRefused,     // "refused": nothing was changed
  kRolledBack,  // "rolled-back": a failure midway, the installation put back as it was
  kRecovered,   // "recovered": a run ended by a kill was repaired from its journal
  kNotStarted,  // "not-started": the update did not begin
};

// Why, as a code; docs/outcome.md's table says what the main application does with each.
enum class UpdateOutcomeReason {
  kNone,           // "none"
  kNoList,         // "no-list"
  kListInvalid,    // "list-invalid"
  kFileDiffers,    // "file-differs"
  kUnlistedEntry,  // "unlisted-entry"
  kBaseDiffers,    // "base-differs"
  kNoSignature,    // "no-signature"
  kBadSignature,   // "bad-signature"
  kNotNewer,       // "not-newer"
  kHeld,           // "held"
  kDisk,           // "disk"
  kMemory,         // "memory"
  kUnsafeFolder,   // "unsafe-folder"
  kInterrupted,    // "interrupted"
  kDeclined,       // "declined"
  kStartFailed,    // "start-failed"
  kEmpty,          // nothing after "reason "
  kUnknown,        // a code of a newer updater: see UpdateOutcome::unknownReason
};

struct UpdateOutcome {
  UpdateOutcomeResult result = UpdateOutcomeResult::kNotStarted;
  UpdateOutcomeReason reason = UpdateOutcomeReason::kNone;
  std::string unknownReason;  // kUnknown: the code as read (written as it is); empty otherwise
  std::uint64_t release = 0;  // the delivery's release, 0 when it had no list
  std::string file;           // code page 936 bytes, "/" between levels; may be empty
  std::uint64_t time = 0;     // seconds since 1970 UTC
};

// Why a record could not be read (kRead when it was).
enum class UpdateOutcomeStatus {
  kRead,
  kMissing,      // the file could not be opened (usually: there is none)
  kUnreadable,   // reading the opened file failed
  kOtherFormat,  // line 1 is not "vintrel-outcome 1"
  kCut,          // a line or a field is missing, or the last line has no line end
  kMalformed,    // a field's key or value is wrong, or something follows the last line
  kOversized,    // the text is over kMaxUpdateOutcomeBytes, or a line over its field's bound
};

struct UpdateOutcomeRead {
  UpdateOutcomeStatus status = UpdateOutcomeStatus::kMissing;
  std::size_t line = 0;   // the line at fault (1-based), or 0 for the file as a whole
  UpdateOutcome outcome;  // the record when status is kRead; not to be used otherwise
};

// A result's code, e.g. "rolled-back".
inline std::string_view UpdateOutcomeResultText(UpdateOutcomeResult result) noexcept {
  switch (result) {
    case UpdateOutcomeResult::kApplied: return "applied";
    case UpdateOutcomeResult::kRefused: return "refused";
    case UpdateOutcomeResult::kRolledBack: return "rolled-back";
    case UpdateOutcomeResult::kRecovered: return "recovered";
    case UpdateOutcomeResult::kNotStarted: return "not-started";
  }
  return "";
}

// The result whose code is text; false when there is none.
inline bool UpdateOutcomeResultFromText(std::string_view text,
                                        UpdateOutcomeResult& result) noexcept {
  for (int i = 0; i <= static_cast<int>(UpdateOutcomeResult::kNotStarted); ++i) {
    const auto candidate = static_cast<UpdateOutcomeResult>(i);
    if (UpdateOutcomeResultText(candidate) == text) {
      result = candidate;
      return true;
    }
  }
  return false;
}

// A known reason's code, e.g. "base-differs"; "" for kEmpty and kUnknown (whose code the
// record keeps).
inline std::string_view UpdateOutcomeReasonText(UpdateOutcomeReason reason) noexcept {
  switch (reason) {
    case UpdateOutcomeReason::kNone: return "none";
    case UpdateOutcomeReason::kNoList: return "no-list";
    case UpdateOutcomeReason::kListInvalid: return "list-invalid";
    case UpdateOutcomeReason::kFileDiffers: return "file-differs";
    case UpdateOutcomeReason::kUnlistedEntry: return "unlisted-entry";
    case UpdateOutcomeReason::kBaseDiffers: return "base-differs";
    case UpdateOutcomeReason::kNoSignature: return "no-signature";
    case UpdateOutcomeReason::kBadSignature: return "bad-signature";
    case UpdateOutcomeReason::kNotNewer: return "not-newer";
    case UpdateOutcomeReason::kHeld: return "held";
    case UpdateOutcomeReason::kDisk: return "disk";
    case UpdateOutcomeReason::kMemory: return "memory";
    case UpdateOutcomeReason::kUnsafeFolder: return "unsafe-folder";
    case UpdateOutcomeReason::kInterrupted: return "interrupted";
    case UpdateOutcomeReason::kDeclined: return "declined";
    case UpdateOutcomeReason::kStartFailed: return "start-failed";
    case UpdateOutcomeReason::kEmpty:
    case UpdateOutcomeReason::kUnknown: break;
  }
  return "";
}

// The reason whose code is text: kEmpty for "", kUnknown for any other code not in the list
// (the caller checks that it is a code at all, see IsUpdateOutcomeReasonCode).
inline UpdateOutcomeReason UpdateOutcomeReasonFromText(std::string_view text) noexcept {
  if (text.empty()) return UpdateOutcomeReason::kEmpty;
  for (int i = 0; i < static_cast<int>(UpdateOutcomeReason::kEmpty); ++i) {
    const auto candidate = static_cast<UpdateOutcomeReason>(i);
    if (UpdateOutcomeReasonText(candidate) == text) return candidate;
  }
  return UpdateOutcomeReason::kUnknown;
}

// Whether text can be a reason code, known or not: 1 to kMaxUpdateOutcomeReasonBytes lowercase
// ASCII letters, digits and "-". A newer updater's codes keep to that too.
inline bool IsUpdateOutcomeReasonCode(std::string_view text) noexcept {
  if (text.empty() || text.size() > kMaxUpdateOutcomeReasonBytes) return false;
  for (const char c : text) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
  }
  return true;
}

// Whether path can stand on the file line: within kMaxUpdateOutcomePathBytes and without a
// control byte (a CR or LF would end the line). The bytes are otherwise taken as they are.
inline bool IsUpdateOutcomePath(std::string_view path) noexcept {
  if (path.size() > kMaxUpdateOutcomePathBytes) return false;
  for (const char c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '\x7F') return false;
  }
  return true;
}

// Whether outcome can be written so that it reads back as it is: an enumerator in range, a code
// kept for kUnknown only (and one that reads as kUnknown), a path that can stand on its line,
// release and time within 2^63-1.
inline bool IsWritableUpdateOutcome(const UpdateOutcome& outcome) noexcept {
  const int result = static_cast<int>(outcome.result);
  const int reason = static_cast<int>(outcome.reason);
  if (result < 0 || result > static_cast<int>(UpdateOutcomeResult::kNotStarted)) return false;
  if (reason < 0 || reason > static_cast<int>(UpdateOutcomeReason::kUnknown)) return false;
  if (outcome.reason == UpdateOutcomeReason::kUnknown) {
    if (!IsUpdateOutcomeReasonCode(outcome.unknownReason) ||
        UpdateOutcomeReasonFromText(outcome.unknownReason) != UpdateOutcomeReason::kUnknown) {
      return false;
    }
  } else if (!outcome.unknownReason.empty()) {
    return false;
  }
  return IsUpdateOutcomePath(outcome.file) && outcome.release <= kMaxUpdateOutcomeNumber &&
         outcome.time <= kMaxUpdateOutcomeNumber;
}

// The record's bytes, CR LF line ends. For an outcome that IsWritableUpdateOutcome accepts,
// ParseUpdateOutcome of the result gives it back; for another, the result may not read.
inline std::string FormatUpdateOutcome(const UpdateOutcome& outcome) {
  const std::string_view reason = outcome.reason == UpdateOutcomeReason::kUnknown
                                      ? std::string_view(outcome.unknownReason)
                                      : UpdateOutcomeReasonText(outcome.reason);
  std::string text;
  text.reserve(96 + reason.size() + outcome.file.size());
  text.append(kUpdateOutcomeHeader).append("\r\n");
  text.append("result ").append(UpdateOutcomeResultText(outcome.result)).append("\r\n");
  text.append("reason ").append(reason).append("\r\n");
  text.append("release ").append(std::to_string(outcome.release)).append("\r\n");
  text.append("file ").append(outcome.file).append("\r\n");
  text.append("time ").append(std::to_string(outcome.time)).append("\r\n");
  return text;
}

// Why a record could not be read, in a few English words for a log, e.g. "cut".
inline std::string_view UpdateOutcomeStatusText(UpdateOutcomeStatus status) noexcept {
  switch (status) {
    case UpdateOutcomeStatus::kRead: return "read";
    case UpdateOutcomeStatus::kMissing: return "missing";
    case UpdateOutcomeStatus::kUnreadable: return "unreadable";
    case UpdateOutcomeStatus::kOtherFormat: return "other format";
    case UpdateOutcomeStatus::kCut: return "cut";
    case UpdateOutcomeStatus::kMalformed: return "malformed field";
    case UpdateOutcomeStatus::kOversized: return "oversized";
  }
  return "";
}

namespace update_outcome_detail {

// Reads a decimal number without sign and without leading zeros ("0" itself allowed), at most
// 2^63-1.
inline bool ParseNumber(std::string_view digits, std::uint64_t& value) noexcept {
  if (digits.empty() || digits.size() > 19 || (digits.size() > 1 && digits.front() == '0')) {
    return false;
  }
  value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');  // 19 digits fit in 64 bits
  }
  return value <= kMaxUpdateOutcomeNumber;
}

// The record's lines after the header, in their order.
enum class Field { kResult, kReason, kRelease, kFile, kTime, kDone };

inline std::string_view FieldKey(Field field) noexcept {
  switch (field) {
    case Field::kResult: return "result ";
    case Field::kReason: return "reason ";
    case Field::kRelease: return "release ";
    case Field::kFile: return "file ";
    case Field::kTime: return "time ";
    case Field::kDone: break;
  }
  return "";
}

// The bytes of the record fed in chunks of any size, lines taken as they end. Every line but the
// file line is kept in a small buffer of its own; the path goes straight into the outcome, so
// nothing but the returned strings is allocated.
class Reader {
 public:
  // Takes chunk; false once the text has ended (a CTRL+Z) or the record is known to be bad.
  bool Feed(std::string_view chunk) {
    for (std::size_t i = 0; i < chunk.size() && !Stopped(); ++i) {
      const char c = chunk[i];
      if (c == '\x1A') {
        ended_ = true;
        break;
      }
      if (++bytes_ > kMaxUpdateOutcomeBytes) {
        Fail(UpdateOutcomeStatus::kOversized, 0);
        break;
      }
      if (c == '\n') {
        pendingCr_ = false;  // a CR right before the line feed belongs to the line end
        EndLine();
        continue;
      }
      if (pendingCr_) Add('\r');
      pendingCr_ = c == '\r';
      if (!pendingCr_) Add(c);
    }
    return !Stopped();
  }

  // At the end of the text: the record, or why it is none.
  UpdateOutcomeRead Finish() {
    if (read_.status == UpdateOutcomeStatus::kRead) {
      if (field_ == Field::kDone) {
        // A lone CR after the last line.
        if (pendingCr_) Fail(UpdateOutcomeStatus::kMalformed, line_);
      } else if (line_ == 1 && kUpdateOutcomeHeader.substr(0, size_) != Held()) {
        // An unended first line that cannot become the header: not a record of ours at all.
        Fail(UpdateOutcomeStatus::kOtherFormat, 1);
      } else {
        // No line end after the last bytes, or lines missing at the end.
        Fail(UpdateOutcomeStatus::kCut, line_);
      }
    }
    if (read_.status != UpdateOutcomeStatus::kRead) read_.outcome = UpdateOutcome{};
    return std::move(read_);
  }

 private:
  // The longest line other than the file line: "release " and 19 digits, or "reason " and the
  // longest code, with room to spare.
  static constexpr std::size_t kHeldBytes = 96;

  bool Stopped() const { return ended_ || read_.status != UpdateOutcomeStatus::kRead; }

  std::string_view Held() const { return std::string_view(held_, size_); }

  void Fail(UpdateOutcomeStatus status, std::size_t line) {
    read_.status = status;
    read_.line = line;
  }

  // Adds one byte of the current line.
  void Add(char c) {
    if (Stopped()) return;  // a held CR may have failed the line already: the first fault stands
    if (field_ == Field::kDone) return Fail(UpdateOutcomeStatus::kMalformed, line_);
    if (inPath_) {
      if (read_.outcome.file.size() >= kMaxUpdateOutcomePathBytes) {
        Fail(UpdateOutcomeStatus::kOversized, line_);
      } else {
        read_.outcome.file += c;
      }
      return;
    }
    if (size_ == kHeldBytes) {
      // No line this long is a header or a field other than the file line.
      return Fail(line_ == 1 ? UpdateOutcomeStatus::kOtherFormat : UpdateOutcomeStatus::kOversized,
                  line_);
    }
    held_[size_++] = c;
    // Once the file line's key is whole, the path goes to the outcome as it comes.
    if (field_ == Field::kFile && !inPath_ && line_ > 1 && Held() == FieldKey(Field::kFile)) {
      inPath_ = true;
    }
  }

  // At a line feed: the line just ended.
  void EndLine() {
    if (line_ == 1) {
      if (Held() != kUpdateOutcomeHeader) return Fail(UpdateOutcomeStatus::kOtherFormat, 1);
    } else if (field_ == Field::kDone) {
      return Fail(UpdateOutcomeStatus::kMalformed, line_);  // an empty line after the record
    } else if (!TakeField()) {
      return;
    }
    if (line_ > 1) field_ = static_cast<Field>(static_cast<int>(field_) + 1);
    ++line_;
    size_ = 0;
    inPath_ = false;
  }

  // The line as the field that comes next; false when it is not.
  bool TakeField() {
    UpdateOutcome& outcome = read_.outcome;
    if (field_ == Field::kFile && inPath_) {
      if (IsUpdateOutcomePath(outcome.file)) return true;
      Fail(UpdateOutcomeStatus::kMalformed, line_);
      return false;
    }
    const std::string_view key = FieldKey(field_);
    const std::string_view text = Held();
    if (text.substr(0, key.size()) != key) {
      // A later field's key in its place: the one due is missing.
      for (int later = static_cast<int>(field_) + 1; later < static_cast<int>(Field::kDone);
           ++later) {
        const std::string_view laterKey = FieldKey(static_cast<Field>(later));
        if (text.substr(0, laterKey.size()) == laterKey ||
            text == laterKey.substr(0, laterKey.size() - 1)) {
          Fail(UpdateOutcomeStatus::kCut, line_);
          return false;
        }
      }
      Fail(UpdateOutcomeStatus::kMalformed, line_);
      return false;
    }
    const std::string_view value = text.substr(key.size());
    bool good = false;
    switch (field_) {
      case Field::kResult:
        good = UpdateOutcomeResultFromText(value, outcome.result);
        break;
      case Field::kReason:
        if (value.size() > kMaxUpdateOutcomeReasonBytes) {
          Fail(UpdateOutcomeStatus::kOversized, line_);
          return false;
        }
        good = value.empty() || IsUpdateOutcomeReasonCode(value);
        if (good) {
          outcome.reason = UpdateOutcomeReasonFromText(value);
          if (outcome.reason == UpdateOutcomeReason::kUnknown) outcome.unknownReason = value;
        }
        break;
      case Field::kRelease:
        good = ParseNumber(value, outcome.release);
        break;
      case Field::kFile:
        good = true;  // "file " and nothing: an empty path
        break;
      case Field::kTime:
        good = ParseNumber(value, outcome.time);
        break;
      case Field::kDone:
        break;
    }
    if (!good) Fail(UpdateOutcomeStatus::kMalformed, line_);
    return good;
  }

  UpdateOutcomeRead read_{UpdateOutcomeStatus::kRead, 0, {}};
  char held_[kHeldBytes] = {};
  std::size_t size_ = 0;       // bytes in held_
  bool inPath_ = false;        // the file line's path is being read into the outcome
  bool pendingCr_ = false;     // a CR was read last: dropped if a line feed follows
  bool ended_ = false;         // a CTRL+Z ended the text
  std::size_t line_ = 1;       // the line being read
  std::size_t bytes_ = 0;      // the bytes of text so far
  Field field_ = Field::kResult;  // the field due after the header
};

// Reads the open file in chunks through a buffer on the stack, then closes it.
inline UpdateOutcomeRead ReadOpenFile(std::FILE* file) {
  if (file == nullptr) return UpdateOutcomeRead{UpdateOutcomeStatus::kMissing, 0, {}};
  Reader reader;
  char chunk[4096];
  bool failed = false;
  while (true) {
    const std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
    if (got > 0 && !reader.Feed(std::string_view(chunk, got))) break;
    if (got < sizeof chunk) {
      failed = std::ferror(file) != 0;
      break;
    }
  }
  std::fclose(file);
  if (failed) return UpdateOutcomeRead{UpdateOutcomeStatus::kUnreadable, 0, {}};
  return reader.Finish();
}

}  // namespace update_outcome_detail

// Reads a record from its bytes: kRead and the outcome, or why not and the line at fault.
inline UpdateOutcomeRead ParseUpdateOutcome(std::string_view bytes) {
  update_outcome_detail::Reader reader;
  reader.Feed(bytes);
  return reader.Finish();
}

// Reads the record in the file at path (narrow, as fopen takes it); kMissing when it cannot
// be opened.
inline UpdateOutcomeRead ReadUpdateOutcome(const char* path) {
  return update_outcome_detail::ReadOpenFile(path == nullptr ? nullptr
                                                             : std::fopen(path, "rb"));
}

#ifdef _WIN32
// Reads the record in the file at path, a wide path as the platform takes it.
inline UpdateOutcomeRead ReadUpdateOutcome(const wchar_t* path) {
  return update_outcome_detail::ReadOpenFile(path == nullptr ? nullptr
                                                             : _wfopen(path, L"rb"));
}
#endif

}  // namespace vintrel

#endif  // VINTREL_UPDATE_OUTCOME_H
