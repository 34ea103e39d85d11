#include "findings.h"

#include <cstdio>

namespace {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

const char* SeverityName(Severity severity) {
  return severity == Severity::kProblem ? "problem" : "warning";
}

}  // namespace

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
  for (const std::string& note : report.notes) out << note << "\n";
  out << "vintrel-pack " << report.command << ": " << report.ProblemCount() << " problem(s), "
      << report.WarningCount() << " warning(s)";
  for (const auto& [name, value] : report.counts) out << ", " << value << " " << name;
  out << "\n";
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
  out << "]}\n";
}
