#pragma once
// What a run found: problems (the delivery would fail on the user's machine, so nothing is
// written and the exit code is 1) and warnings (applied, but not exactly as the tree reads),
// each naming its file and saying what to do; printed as text or as JSON.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

enum class Severity { kProblem, kWarning };

struct Finding {
  Severity severity;
  std::string code;     // a short stable name of the rule, e.g. "two-new-folder-levels"
  std::string file;     // the file or folder concerned, relative, or "UpdateInfo.ini"
  int line;             // the line of UpdateInfo.ini the finding is about, or 0
  std::string message;  // what is wrong, in one sentence
  std::string fix;      // what to do about it
};

// One file of a delivery's plan: what becomes of it, how it is delivered and why.
struct PlannedFile {
  std::string path;      // relative, UTF-8
  std::string action;    // "copy", "delete" or "unchanged"
  std::string delivery;  // "plain", "zstd frame" or "patch"; empty when nothing is delivered
  std::uint64_t size;    // the file's bytes: NEW's, or OLD's for a deletion
  std::uint64_t deliveredBytes;  // what the delivery holds for it
  std::string why;       // "changed: same size, other content; patch: smaller than ..."
  bool notable;          // a limit decided it: listed in the summary too
};

struct Report {
  std::string command;  // "diff" or "check"
  std::string target;   // the delivery folder
  std::vector<Finding> findings;
  std::vector<std::pair<std::string, std::uint64_t>> counts;  // figures shown in the summary
  std::vector<std::string> notes;                             // plain lines of the summary
  std::optional<std::vector<PlannedFile>> plan;  // diff: every file of the two trees
  bool fullPlan = false;                         // the text lists every file of the plan

  void Problem(std::string code, std::string file, int line, std::string message, std::string fix);
  void Warning(std::string code, std::string file, int line, std::string message, std::string fix);
  size_t ProblemCount() const;
  size_t WarningCount() const;
};

// "1 file", "2 files", "0 files".
std::string Counted(std::uint64_t count, const std::string& singular, const std::string& plural);

// The report as lines of text: one block per finding, then a summary line.
void PrintText(const Report& report, std::ostream& out);

// A usage error as one JSON object: {"usage": message}.
void PrintUsageJson(const std::string& message, std::ostream& out);

// The report as one JSON object.
void PrintJson(const Report& report, std::ostream& out);
