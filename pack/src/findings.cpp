#include "findings.h"

#include <cstdio>

#include "json_string.h"

namespace {

const char* SeverityName(Severity severity) {
  return severity == Severity::kProblem ? "problem" : "warning";
}

// A figure of the summary with its name in the number's form: "1 file to copy", "2 files to
// copy", "1 file as a patch".
std::string CountedName(std::uint64_t count, const std::string& plural) {
  if (count != 1) return std::to_string(count) + " " + plural;
  static const std::pair<const char*, const char*> kSingular[] = {
      {"files as patches", "file as a patch"},
      {"files as zstd frames", "file as a zstd frame"},
      {"files ", "file "},
      {"bytes ", "byte "},
      {"releases ", "release "},
      {"partial deliveries", "partial delivery"}};
  for (const auto& [many, one] : kSingular) {
    if (plural.compare(0, std::string(many).size(), many) == 0) {
      return "1 " + std::string(one) + plural.substr(std::string(many).size());
    }
  }
  return "1 " + plural;
}

void PrintPlannedFile(const PlannedFile& file, std::ostream& out) {
  out << "  " << file.action << " \"" << file.path << "\": ";
  if (!file.delivery.empty()) {
    out << file.delivery << ", " << file.deliveredBytes << " of ";
  }
  out << Counted(file.size, "byte", "bytes") << " (" << file.why << ")\n";
}

// The plan in text: a line of figures and the files a limit decided on, or every file.
void PrintPlan(const std::vector<PlannedFile>& plan, bool full, std::ostream& out) {
  std::uint64_t copies = 0, deletions = 0, unchanged = 0, patches = 0, frames = 0, plain = 0;
  for (const PlannedFile& file : plan) {
    copies += file.action == "copy";
    deletions += file.action == "delete";
    unchanged += file.action == "unchanged";
    patches += file.delivery == "patch";
    frames += file.delivery == "zstd frame";
    plain += file.delivery == "plain";
  }
  out << "plan: " << Counted(copies, "file", "files") << " to copy";
  // How they go, each way that is taken.
  std::string ways;
  const auto way = [&ways](std::uint64_t count, const std::string& text) {
    if (count > 0) ways += (ways.empty() ? "" : ", ") + std::to_string(count) + " " + text;
  };
  way(patches, patches == 1 ? "as a patch" : "as patches");
  way(frames, frames == 1 ? "as a zstd frame" : "as zstd frames");
  way(plain, "plain");
  if (!ways.empty()) out << " (" << ways << ")";
  out << ", " << Counted(deletions, "file", "files") << " to delete, " << unchanged
      << " unchanged";
  if (full) {
    out << ":\n";
  } else {
    out << "; --plan lists each file\n";
  }
  for (const PlannedFile& file : plan) {
    if (full || file.notable) PrintPlannedFile(file, out);
  }
}

}  // namespace

std::string Counted(std::uint64_t count, const std::string& singular,
                    const std::string& plural) {
  return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

void Report::Problem(std::string code, std::string file, int line, std::string message,
                     std::string fix) {
  findings.push_back({Severity::kProblem, std::move(code), std::move(file), line,
                      std::move(message), std::move(fix)});
}

void Report::Warning(std::string code, std::string file, int line, std::string message,
                     std::string fix) {
  findings.push_back({Severity::kWarning, std::move(code), std::move(file), line,
                      std::move(message), std::move(fix)});
}

size_t Report::ProblemCount() const {
  size_t count = 0;
  for (const Finding& finding : findings) count += finding.severity == Severity::kProblem;
  return count;
}

size_t Report::WarningCount() const { return findings.size() - ProblemCount(); }

void PrintText(const Report& report, std::ostream& out) {
  for (const Finding& f : report.findings) {
    out << SeverityName(f.severity) << " [" << f.code << "] ";
    if (f.line > 0) {
      out << "UpdateInfo.ini:" << f.line << ": ";
      if (f.file != "UpdateInfo.ini") out << "\"" << f.file << "\": ";
    } else {
      out << f.file << ": ";
    }
    out << f.message << "\n    fix: " << f.fix << "\n";
  }
  if (report.plan) PrintPlan(*report.plan, report.fullPlan, out);
  for (const std::string& note : report.notes) out << note << "\n";
  out << "vintrel-pack " << report.command << ": "
      << Counted(report.ProblemCount(), "problem", "problems") << ", "
      << Counted(report.WarningCount(), "warning", "warnings");
  for (const auto& [name, value] : report.counts) out << ", " << CountedName(value, name);
  out << "\n";
}

void PrintUsageJson(const std::string& message, std::ostream& out) {
  out << "{\"ok\":false,\"usage\":" << JsonString(message) << "}\n";
}

void PrintJson(const Report& report, std::ostream& out) {
  out << "{\"command\":" << JsonString(report.command)
      << ",\"target\":" << JsonString(report.target)
      << ",\"ok\":" << (report.ProblemCount() == 0 ? "true" : "false")
      << ",\"problems\":" << report.ProblemCount() << ",\"warnings\":" << report.WarningCount();
  for (const auto& [name, value] : report.counts) {
    std::string key = name;
    for (char& c : key) c = c == ' ' ? '_' : c;
    out << "," << JsonString(key) << ":" << value;
  }
  out << ",\"notes\":[";
  for (size_t i = 0; i < report.notes.size(); ++i) {
    out << (i ? "," : "") << JsonString(report.notes[i]);
  }
  out << "],\"findings\":[";
  for (size_t i = 0; i < report.findings.size(); ++i) {
    const Finding& f = report.findings[i];
    out << (i ? "," : "") << "{\"severity\":\"" << SeverityName(f.severity)
        << "\",\"code\":" << JsonString(f.code) << ",\"file\":" << JsonString(f.file)
        << ",\"line\":" << f.line << ",\"message\":" << JsonString(f.message)
        << ",\"fix\":" << JsonString(f.fix) << "}";
  }
  out << "]";
  if (report.plan) {
    out << ",\"plan\":[";
    for (size_t i = 0; i < report.plan->size(); ++i) {
      const PlannedFile& f = (*report.plan)[i];
      out << (i ? "," : "") << "{\"path\":" << JsonString(f.path)
          << ",\"action\":" << JsonString(f.action) << ",\"delivery\":"
          << (f.delivery.empty() ? "null" : JsonString(f.delivery)) << ",\"size\":" << f.size
          << ",\"delivered_bytes\":" << f.deliveredBytes << ",\"why\":" << JsonString(f.why)
          << "}";
    }
    out << "]";
  }
  out << "}\n";
}
