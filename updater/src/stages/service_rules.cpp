#include "stages/service_rules.h"

#include <algorithm>
#include <cwctype>
#include <iterator>

#include "record_number.h"

namespace {

// The rows of the exit-code table: never reorder, only append.
constexpr ApplyResult kResultRows[] = {
    ApplyResult::kApplied, ApplyResult::kRefused, ApplyResult::kRolledBack,
    ApplyResult::kRecovered, ApplyResult::kNotStarted,
};
constexpr ApplyReason kReasonRows[] = {
    ApplyReason::kNone,          ApplyReason::kNoList,       ApplyReason::kListInvalid,
    ApplyReason::kFileDiffers,   ApplyReason::kUnlistedEntry, ApplyReason::kBaseDiffers,
    ApplyReason::kNoSignature,   ApplyReason::kBadSignature, ApplyReason::kNotNewer,
    ApplyReason::kHeld,          ApplyReason::kDisk,         ApplyReason::kMemory,
    ApplyReason::kUnsafeFolder,  ApplyReason::kInterrupted,  ApplyReason::kDeclined,
    ApplyReason::kStartFailed,
};
constexpr std::uint32_t kFirstCode = 1000;
constexpr std::uint32_t kResultStep = 100;

template <typename T, std::size_t N>
int RowOf(const T (&rows)[N], T value) {
  for (std::size_t i = 0; i < N; ++i) {
    if (rows[i] == value) return static_cast<int>(i);
  }
  return -1;
}

bool IsDeviceName(std::wstring_view level) {
  // The part before the first dot decides: "nul.txt" is the device too.
  std::wstring base(level.substr(0, level.find(L'.')));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  for (wchar_t& c : base) c = static_cast<wchar_t>(std::towupper(c));
  if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL" ||
      base == L"CONIN$" || base == L"CONOUT$") {
    return true;
  }
  return base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0) &&
         base[3] >= L'0' && base[3] <= L'9';
}

// The value of line "<key> <value>\r\n" at the start of text, which then moves past it.
bool TakeLine(std::string_view& text, std::string_view key, std::string_view& value) {
  const std::size_t end = text.find("\r\n");
  if (end == std::string_view::npos || text.compare(0, key.size(), key) != 0 ||
      end < key.size() + 1 || text[key.size()] != ' ') {
    return false;
  }
  value = text.substr(key.size() + 1, end - key.size() - 1);
  text.remove_prefix(end + 2);
  return true;
}

}  // namespace

const char* CallerFolderProblem(std::wstring_view path) {
  if (path.empty()) return "empty";
  if (path.size() > 32000) return "too long";
  if (path.size() >= 2 && (path[0] == L'\\' || path[0] == L'/') &&
      (path[1] == L'\\' || path[1] == L'/')) {
    return "a network or device path";
  }
  const bool letter = (path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z');
  if (path.size() < 3 || !letter || path[1] != L':' || path[2] != L'\\') {
    return "not an absolute path on a drive letter";
  }
  for (std::size_t i = 0; i < path.size(); ++i) {
    const wchar_t c = path[i];
    if (c < 0x20) return "a control character";
    if (c == L'/') return "a \"/\"";
    if ((c == L':' && i != 1) || c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' ||
        c == L'|') {
      return "a stream or wildcard character";
    }
  }
  std::size_t start = 3;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find(L'\\', start), path.size());
    const std::wstring_view level = path.substr(start, end - start);
    if (level.empty()) {
      // "C:\" itself is a drive, not a delivery folder; "a\\b" and a trailing "\" are empty levels.
      return "an empty level";
    }
    if (level == L"." || level == L"..") return "a \".\" or \"..\" level";
    if (level.back() == L'.' || level.back() == L' ') return "a level ending in a dot or blank";
    if (IsDeviceName(level)) return "a device name";
    start = end + 1;
  }
  return nullptr;
}

std::uint32_t ServiceExitCode(ApplyResult result, ApplyReason reason) {
  const int resultRow = RowOf(kResultRows, result);
  const int reasonRow = RowOf(kReasonRows, reason);
  if (resultRow < 0 || reasonRow < 0) return 0;
  return kFirstCode + kResultStep * static_cast<std::uint32_t>(resultRow) +
         static_cast<std::uint32_t>(reasonRow);
}

bool OutcomeOfServiceExitCode(std::uint32_t code, ApplyResult& result, ApplyReason& reason) {
  if (code < kFirstCode) return false;
  const std::uint32_t resultRow = (code - kFirstCode) / kResultStep;
  const std::uint32_t reasonRow = (code - kFirstCode) % kResultStep;
  if (resultRow >= std::size(kResultRows) || reasonRow >= std::size(kReasonRows)) return false;
  result = kResultRows[resultRow];
  reason = kReasonRows[reasonRow];
  return true;
}

bool IsServiceToken(std::wstring_view token) {
  if (token.size() < 16 || token.size() > 64) return false;
  for (const wchar_t c : token) {
    if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
  }
  return true;
}

std::wstring ServiceResultName(std::wstring_view token) {
  return L"result-" + std::wstring(token) + L".txt";
}

std::string FormatServiceResult(const ServiceResult& result) {
  return "code " + std::to_string(result.code) + "\r\ntoken " + result.token +
         "\r\nrelease " + std::to_string(result.release) +
         "\r\nkeep " + (result.keepDelivery ? "1" : "0") + "\r\nfile " + result.file + "\r\n";
}

bool ParseServiceResult(std::string_view text, ServiceResult& result) {
  std::string_view code, release, keep, file;
  std::uint64_t number = 0;
  if (!TakeLine(text, "code", code) || !ParseRecordNumber(code, number) ||
      number > 0xFFFFFFFFu) {
    return false;
  }
  result.code = static_cast<std::uint32_t>(number);
  std::string_view token;
  if (!TakeLine(text, "token", token) ||
      !IsServiceToken(std::wstring(token.begin(), token.end()))) {
    return false;
  }
  result.token = std::string(token);
  if (!TakeLine(text, "release", release) || !ParseRecordNumber(release, result.release) ||
      !TakeLine(text, "keep", keep) || (keep != "0" && keep != "1") ||
      !TakeLine(text, "file", file) || !text.empty()) {
    return false;
  }
  for (const char c : file) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  result.keepDelivery = keep == "1";
  result.file = std::string(file);
  return true;
}

std::string EscapeForLog(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      escaped += "\\x";
      escaped += "0123456789abcdef"[byte >> 4];
      escaped += "0123456789abcdef"[byte & 15];
    } else {
      escaped += c;
    }
  }
  return escaped;
}
