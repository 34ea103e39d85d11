#pragma once
// The update service's fixed rules, free of platform calls so that each is checked by a table:
// which delivery folder a caller may name, the security descriptors it is registered and keeps
// its folders with, the exit codes that carry its outcome, and the result file beside them.

#include <cstdint>
#include <string>
#include <string_view>

#include "update/apply_outcome.h"

// The service's name, as the installer registers it and the first stage starts it.
inline constexpr wchar_t kServiceName[] = L"OrbeskVintrelUpdate";

// SYSTEM and Administrators may do anything with the service; local Users may start it and
// query its status, nothing else; no one may start it over the network; and below medium
// integrity (a sandboxed or low-integrity program) no one may start it at all.
inline constexpr wchar_t kServiceSddl[] =
    L"D:(D;;RP;;;NU)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
    L"(A;;LCRP;;;BU)S:(ML;;NWNRNX;;;ME)";
// %ProgramData%\OrbeskVintrel and its "service" folder: owned by Administrators, written only by
// SYSTEM and Administrators (and so everything made below them); Users may pass through these
// two folders to open their own result file by its name, but not list them.
inline constexpr wchar_t kServiceFolderSddl[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200a0;;;BU)";
// Its "logs" folder and each run's copy of a delivery: SYSTEM and Administrators alone.
inline constexpr wchar_t kServicePrivateSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// A result file: Users read it, nothing more.
inline constexpr wchar_t kServiceResultSddl[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)";

// Why the service refuses path as the delivery folder a caller names, or null when it takes
// it: an absolute path on a local drive letter ("C:\..."), no network or device form ("\\server",
// "\\?\", "\\.\", "\??\"), nothing relative to a current folder or drive, no "/", stream or
// wildcard character, control character, empty, "." or ".." level, no level that Win32 would
// rewrite (a trailing dot or blank) or that names a device (NUL, COM1, ...).
const char* CallerFolderProblem(std::wstring_view path);

// The service-specific exit code of an outcome: 1000 + 100 x the result's row + the reason's row
// (docs/service.md, "Its outcome"). 0 for a pair the service never reports.
std::uint32_t ServiceExitCode(ApplyResult result, ApplyReason reason);

// The outcome an exit code stands for; false for a code that is not in the table.
bool OutcomeOfServiceExitCode(std::uint32_t code, ApplyResult& result, ApplyReason& reason);

// Whether token is one the first stage makes: 16 to 64 lowercase hexadecimal digits. It names
// the request's result file, so nothing else may pass.
bool IsServiceToken(std::wstring_view token);

// The result file of the request that carried token, in the service's folder.
std::wstring ServiceResultName(std::wstring_view token);

// What the first stage reads beside the exit code: the code it belongs to, the token of the
// request it answers, the release, whether the delivery stays, and the file to blame.
struct ServiceResult {
  std::uint32_t code = 0;
  std::string token;
  std::uint64_t release = 0;
  bool keepDelivery = false;
  std::string file;  // relative, "/" between levels, no control character
};

// "code <n>\r\ntoken <t>\r\nrelease <n>\r\nkeep <0|1>\r\nfile <path>\r\n", and back (false
// when it does not read exactly so).
std::string FormatServiceResult(const ServiceResult& result);
bool ParseServiceResult(std::string_view text, ServiceResult& result);

// Text a caller chose, made safe for one log line: each control byte (a CR LF would forge a
// line) written as "\xNN".
std::string EscapeForLog(std::string_view text);
