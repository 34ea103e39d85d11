// The outcome record's reader on hand-written records, one row per rule, each read from its
// bytes and from a real file; every record that reads is written again and reads the same.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <vintrel/update_outcome.h>

namespace fs = std::filesystem;
using vintrel::UpdateOutcome;
using vintrel::UpdateOutcomeReason;
using vintrel::UpdateOutcomeResult;
using vintrel::UpdateOutcomeStatus;

namespace {

class Scratch {
 public:
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "vintrel-outcome.XXXXXX").string();
    path_ = mkdtemp(&pattern[0]);
  }
  ~Scratch() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// A record's lines with CR LF ends, the six fields as given.
std::string Record(const std::string& result, const std::string& reason,
                   const std::string& release, const std::string& file,
                   const std::string& time) {
  return "vintrel-outcome 1\r\nresult " + result + "\r\nreason " + reason + "\r\nrelease " +
         release + "\r\nfile " + file + "\r\ntime " + time + "\r\n";
}

const std::string kGood = Record("applied", "none", "42", "bin/App.exe", "1796534400");
const std::string kLongPath(vintrel::kMaxUpdateOutcomePathBytes, 'p');

std::string Without(std::string text, const std::string& line) {
  return text.erase(text.find(line), line.size());
}

struct Case {
  const char* name;
  std::string text;
  UpdateOutcomeStatus status;
  std::size_t line;       // the line at fault; for a record that reads, unused
  UpdateOutcome outcome;  // for a record that reads: what it holds
  bool canonical;         // for a record that reads: the writer writes exactly these bytes
};

constexpr auto kRead = UpdateOutcomeStatus::kRead;
constexpr auto kCut = UpdateOutcomeStatus::kCut;
constexpr auto kMalformed = UpdateOutcomeStatus::kMalformed;
constexpr auto kOtherFormat = UpdateOutcomeStatus::kOtherFormat;
constexpr auto kOversized = UpdateOutcomeStatus::kOversized;

const UpdateOutcome kGoodOutcome{UpdateOutcomeResult::kApplied, UpdateOutcomeReason::kNone, "",
                                 42, "bin/App.exe", 1796534400};

// "\xD6\xB1\xB2\xA5" is a two-character folder name; "\x95\x5C" has "\" as its trail byte.
const std::vector<Case> kCases = {
    {"good record", kGood, kRead, 0, kGoodOutcome, true},
    {"LF only", "vintrel-outcome 1\nresult applied\nreason none\nrelease 42\nfile bin/App.exe\n"
                "time 1796534400\n",
     kRead, 0, kGoodOutcome, false},
    {"empty reason and file", Record("refused", "", "0", "", "0"), kRead, 0,
     {UpdateOutcomeResult::kRefused, UpdateOutcomeReason::kEmpty, "", 0, "", 0}, true},
    {"unknown reason kept", Record("rolled-back", "quota-2", "7", "a", "1"), kRead, 0,
     {UpdateOutcomeResult::kRolledBack, UpdateOutcomeReason::kUnknown, "quota-2", 7, "a", 1},
     true},
    {"code page 936 path with blanks",
     Record("recovered", "interrupted", "3", "\xD6\xB1\xB2\xA5/d\x95\x5C x.dll", "5"), kRead, 0,
     {UpdateOutcomeResult::kRecovered, UpdateOutcomeReason::kInterrupted, "", 3,
      "\xD6\xB1\xB2\xA5/d\x95\x5C x.dll", 5},
     true},
    {"largest numbers",
     Record("not-started", "start-failed", "9223372036854775807", "x", "9223372036854775807"),
     kRead, 0,
     {UpdateOutcomeResult::kNotStarted, UpdateOutcomeReason::kStartFailed, "",
      vintrel::kMaxUpdateOutcomeNumber, "x", vintrel::kMaxUpdateOutcomeNumber},
     true},
    {"longest path", Record("applied", "held", "1", kLongPath, "2"), kRead, 0,
     {UpdateOutcomeResult::kApplied, UpdateOutcomeReason::kHeld, "", 1, kLongPath, 2}, true},
    {"CTRL+Z after the record", kGood + "\x1A" + "junk\r\n", kRead, 0, kGoodOutcome, false},
    {"CTRL+Z before the last line end", kGood.substr(0, kGood.size() - 2) + "\x1A\r\n", kCut, 6,
     {}, false},
    {"CTRL+Z midway", kGood.substr(0, 40) + "\x1A" + kGood.substr(40), kCut, 3, {}, false},
    {"empty file", "", kCut, 1, {}, false},
    {"header only", "vintrel-outcome 1\r\n", kCut, 2, {}, false},
    {"half a header", "vintrel-out", kCut, 1, {}, false},
    {"no last line end", kGood.substr(0, kGood.size() - 2), kCut, 6, {}, false},
    {"lone CR at the end", kGood.substr(0, kGood.size() - 1), kCut, 6, {}, false},
    {"result missing", Without(kGood, "result applied\r\n"), kCut, 2, {}, false},
    {"reason missing", Without(kGood, "reason none\r\n"), kCut, 3, {}, false},
    {"release missing", Without(kGood, "release 42\r\n"), kCut, 4, {}, false},
    {"file missing", Without(kGood, "file bin/App.exe\r\n"), kCut, 5, {}, false},
    {"time missing", Without(kGood, "time 1796534400\r\n"), kCut, 6, {}, false},
    {"other version", "vintrel-outcome 2\r\n" + kGood.substr(19), kOtherFormat, 1, {}, false},
    {"byte-order mark", "\xEF\xBB\xBF" + kGood, kOtherFormat, 1, {}, false},
    {"another file", "[Settings]\r\n", kOtherFormat, 1, {}, false},
    {"long first line", std::string(5000, 'v'), kOtherFormat, 1, {}, false},
    {"unknown result", Record("done", "none", "1", "a", "1"), kMalformed, 2, {}, false},
    {"upper-case reason", Record("applied", "Held", "1", "a", "1"), kMalformed, 3, {}, false},
    {"reason with a blank", Record("applied", "no list", "1", "a", "1"), kMalformed, 3, {},
     false},
    {"reason without its blank", Without(kGood, " none"), kMalformed, 3, {}, false},
    {"release with sign", Record("applied", "none", "+1", "a", "1"), kMalformed, 4, {}, false},
    {"release leading zero", Record("applied", "none", "01", "a", "1"), kMalformed, 4, {},
     false},
    {"release 2^63", Record("applied", "none", "9223372036854775808", "a", "1"), kMalformed, 4,
     {}, false},
    {"empty release", Record("applied", "none", "", "a", "1"), kMalformed, 4, {}, false},
    {"time not a number", Record("applied", "none", "1", "a", "12x"), kMalformed, 6, {}, false},
    {"result twice", std::string(kGood).insert(kGood.find("reason"), "result applied\r\n"),
     kMalformed, 3, {}, false},
    {"tab in path", Record("applied", "none", "1", "a\tb", "1"), kMalformed, 5, {}, false},
    {"CR inside path", Record("applied", "none", "1", "a\rb", "1"), kMalformed, 5, {}, false},
    {"line after the record", kGood + "extra 1\r\n", kMalformed, 7, {}, false},
    {"blank line after the record", kGood + "\r\n", kMalformed, 7, {}, false},
    {"bytes after the record", kGood + "x", kMalformed, 7, {}, false},
    {"path over its bound", Record("applied", "none", "1", kLongPath + "q", "1"), kOversized, 5,
     {}, false},
    {"reason over its bound", Record("applied", std::string(65, 'r'), "1", "a", "1"),
     kOversized, 3, {}, false},
    {"release line over its bound", Record("applied", "none", std::string(200, '1'), "a", "1"),
     kOversized, 4, {}, false},
};

void ExpectSame(const UpdateOutcome& a, const UpdateOutcome& b, const std::string& what) {
  EXPECT_EQ(a.result, b.result) << what;
  EXPECT_EQ(a.reason, b.reason) << what;
  EXPECT_EQ(a.unknownReason, b.unknownReason) << what;
  EXPECT_EQ(a.release, b.release) << what;
  EXPECT_EQ(a.file, b.file) << what;
  EXPECT_EQ(a.time, b.time) << what;
}

TEST(UpdateOutcome, ReadsEachRecordFromBytesAndFromAFile) {
  Scratch scratch;
  const fs::path file = scratch.path() / "update-outcome.txt";
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const vintrel::UpdateOutcomeRead parsed = vintrel::ParseUpdateOutcome(c.text);
    EXPECT_EQ(vintrel::UpdateOutcomeStatusText(parsed.status),
              vintrel::UpdateOutcomeStatusText(c.status));
    std::ofstream(file, std::ios::binary | std::ios::trunc) << c.text;
    const vintrel::UpdateOutcomeRead read = vintrel::ReadUpdateOutcome(file.c_str());
    EXPECT_EQ(read.status, parsed.status);
    EXPECT_EQ(read.line, parsed.line);
    ExpectSame(read.outcome, parsed.outcome, "the file and the bytes");
    if (c.status != kRead) {
      EXPECT_EQ(parsed.line, c.line);
      ExpectSame(parsed.outcome, UpdateOutcome{}, "nothing kept of a record that fails");
      continue;
    }
    ExpectSame(parsed.outcome, c.outcome, "as read");
    EXPECT_TRUE(vintrel::IsWritableUpdateOutcome(parsed.outcome));
    const std::string written = vintrel::FormatUpdateOutcome(parsed.outcome);
    if (c.canonical) {
      EXPECT_EQ(written, c.text);
    }
    ExpectSame(vintrel::ParseUpdateOutcome(written).outcome, c.outcome, "written and read again");
  }
}

TEST(UpdateOutcome, MissingFileAndFolderInItsPlace) {
  Scratch scratch;
  const fs::path missing = scratch.path() / "update-outcome.txt";
  EXPECT_EQ(vintrel::ReadUpdateOutcome(missing.c_str()).status, UpdateOutcomeStatus::kMissing);
  EXPECT_EQ(vintrel::ReadUpdateOutcome(static_cast<const char*>(nullptr)).status,
            UpdateOutcomeStatus::kMissing);
  fs::create_directory(missing);
  EXPECT_EQ(vintrel::ReadUpdateOutcome(missing.c_str()).status,
            UpdateOutcomeStatus::kUnreadable);
}

// Every result and every known reason goes to its code and back; an unknown code stays one.
TEST(UpdateOutcome, CodesBothWays) {
  for (int i = 0; i <= static_cast<int>(UpdateOutcomeResult::kNotStarted); ++i) {
    const auto result = static_cast<UpdateOutcomeResult>(i);
    UpdateOutcomeResult back = UpdateOutcomeResult::kApplied;
    EXPECT_TRUE(vintrel::UpdateOutcomeResultFromText(vintrel::UpdateOutcomeResultText(result),
                                                     back));
    EXPECT_EQ(back, result);
  }
  for (int i = 0; i < static_cast<int>(UpdateOutcomeReason::kEmpty); ++i) {
    const auto reason = static_cast<UpdateOutcomeReason>(i);
    const std::string_view code = vintrel::UpdateOutcomeReasonText(reason);
    EXPECT_TRUE(vintrel::IsUpdateOutcomeReasonCode(code)) << code;
    EXPECT_EQ(vintrel::UpdateOutcomeReasonFromText(code), reason) << code;
  }
  EXPECT_EQ(vintrel::UpdateOutcomeReasonFromText("held-2"), UpdateOutcomeReason::kUnknown);
  UpdateOutcome unknown{UpdateOutcomeResult::kApplied, UpdateOutcomeReason::kUnknown, "held", 1,
                        "", 1};
  EXPECT_FALSE(vintrel::IsWritableUpdateOutcome(unknown));  // a known code is no unknown one
}

}  // namespace
