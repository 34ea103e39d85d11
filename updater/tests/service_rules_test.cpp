// The update service's rules as tables: the delivery folder a caller may name, the exit codes,
// and the security descriptors as the SDDL strings they are made from. The result file is read
// back where it is used, by the first stage in the service scenarios.

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "stages/service_rules.h"

namespace {

TEST(ServiceRules, CallerFolderPaths) {
  const struct {
    const wchar_t* path;
    bool taken;
  } rows[] = {
      {L"C:\\Users\\u\\AppData\\Roaming\\OrbeskVintrel\\Temp", true},
      {L"d:\\data\\\u76F4\u64AD\\Temp", true},
      {L"C:\\a b\\c.d\\Temp", true},
      {L"", false},
      {L"Temp", false},                                  // relative
      {L"OrbeskVintrel\\Temp", false},                   // relative
      {L"C:Temp", false},                                // relative to the drive's folder
      {L"\\Users\\u\\Temp", false},                      // relative to the current drive
      {L"C:\\", false},                                  // a drive, no folder
      {L"C:\\Temp\\", false},                            // trailing separator
      {L"C:\\a\\\\Temp", false},                         // empty level
      {L"\\\\server\\share\\Temp", false},               // UNC
      {L"//server/share/Temp", false},                   // UNC with "/"
      {L"\\\\?\\C:\\Users\\u\\Temp", false},             // literal-path prefix
      {L"\\\\.\\C:\\Users\\u\\Temp", false},             // device namespace
      {L"\\\\?\\UNC\\server\\share", false},             // literal UNC
      {L"\\??\\C:\\Users\\u\\Temp", false},              // NT object path
      {L"C:/Users/u/Temp", false},                       // "/" as separator
      {L"C:\\a\\..\\Windows", false},                    // ".."
      {L"C:\\a\\.\\Temp", false},                        // "."
      {L"C:\\a\\Temp.", false},                          // rewritten by Win32
      {L"C:\\a\\Temp ", false},                          // rewritten by Win32
      {L"C:\\a\\Temp:stream", false},                    // alternate stream
      {L"C:\\a\\T*mp", false},                           // wildcard
      {L"C:\\a\\Te\tmp", false},                         // control character
      {L"C:\\a\\NUL", false},                            // device name
      {L"C:\\a\\com1.txt", false},                       // device name with an extension
      {L"C:\\a\\CONOUT$", false},                        // console device
      {L"C:\\a\\COM10", true},                           // not a device
      {L"1:\\a", false},                                 // no drive letter
  };
  for (const auto& row : rows) {
    const char* problem = CallerFolderProblem(row.path);
    EXPECT_EQ(problem == nullptr, row.taken)
        << "path #" << (&row - rows) << (problem ? problem : " taken");
  }
  EXPECT_NE(CallerFolderProblem(std::wstring(32001, L'a').insert(0, L"C:\\")), nullptr);
}

// Every result with every reason has one code, each code one pair, and the codes the README
// documents are the ones the table gives.
TEST(ServiceRules, ExitCodesMapOneToOneOntoResultAndReason) {
  std::set<std::uint32_t> seen;
  for (int result = 0; result <= static_cast<int>(ApplyResult::kNotStarted); ++result) {
    for (int reason = 0; reason <= static_cast<int>(ApplyReason::kUnknown); ++reason) {
      const auto r = static_cast<ApplyResult>(result);
      const auto why = static_cast<ApplyReason>(reason);
      const std::uint32_t code = ServiceExitCode(r, why);
      const bool reported = why != ApplyReason::kEmpty && why != ApplyReason::kUnknown;
      EXPECT_EQ(code != 0, reported) << result << " " << reason;
      if (!reported) continue;
      EXPECT_TRUE(seen.insert(code).second) << "code " << code << " twice";
      ApplyResult backResult = ApplyResult::kApplied;
      ApplyReason backReason = ApplyReason::kEmpty;
      ASSERT_TRUE(OutcomeOfServiceExitCode(code, backResult, backReason)) << code;
      EXPECT_EQ(backResult, r);
      EXPECT_EQ(backReason, why);
    }
  }
  EXPECT_EQ(seen.size(), 5u * 16u);
  const std::map<std::uint32_t, std::pair<ApplyResult, ApplyReason>> documented = {
      {1000, {ApplyResult::kApplied, ApplyReason::kNone}},
      {1106, {ApplyResult::kRefused, ApplyReason::kNoSignature}},
      {1107, {ApplyResult::kRefused, ApplyReason::kBadSignature}},
      {1108, {ApplyResult::kRefused, ApplyReason::kNotNewer}},
      {1112, {ApplyResult::kRefused, ApplyReason::kUnsafeFolder}},
      {1209, {ApplyResult::kRolledBack, ApplyReason::kHeld}},
      {1313, {ApplyResult::kRecovered, ApplyReason::kInterrupted}},
      {1409, {ApplyResult::kNotStarted, ApplyReason::kHeld}},
      {1415, {ApplyResult::kNotStarted, ApplyReason::kStartFailed}},
  };
  for (const auto& [code, pair] : documented) {
    EXPECT_EQ(ServiceExitCode(pair.first, pair.second), code);
  }
  for (const std::uint32_t code : {0u, 1u, 999u, 1016u, 1099u, 1500u, 0xFFFFFFFFu}) {
    ApplyResult result;
    ApplyReason reason;
    EXPECT_FALSE(OutcomeOfServiceExitCode(code, result, reason)) << code;
  }
}

// The rights each principal ends up with under a descriptor: allowed minus denied, and
// whether any of its entries is inherited by what is made below.
struct Rights {
  ACCESS_MASK allowed = 0;
  ACCESS_MASK denied = 0;
  BYTE inheritance = 0;
};

std::map<std::wstring, Rights> RightsOf(const wchar_t* sddl, bool& isProtected,
                                        std::wstring& owner) {
  std::map<std::wstring, Rights> rights;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                   &descriptor, nullptr));
  if (!descriptor) return rights;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  isProtected = (control & SE_DACL_PROTECTED) != 0;
  PSID ownerSid = nullptr;
  BOOL defaulted = FALSE, present = FALSE;
  owner.clear();
  wchar_t* text = nullptr;
  if (GetSecurityDescriptorOwner(descriptor, &ownerSid, &defaulted) && ownerSid &&
      ConvertSidToStringSidW(ownerSid, &text)) {
    owner = text;
    LocalFree(text);
  }
  PACL dacl = nullptr;
  EXPECT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present);
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    GetAce(dacl, i, reinterpret_cast<void**>(&header));
    // Allowed and denied entries share their layout up to the SID.
    const auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    ConvertSidToStringSidW(const_cast<DWORD*>(&ace->SidStart), &text);
    Rights& entry = rights[text];
    LocalFree(text);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
      entry.denied |= ace->Mask;
    } else {
      EXPECT_EQ(header->AceType, ACCESS_ALLOWED_ACE_TYPE);
      entry.allowed |= ace->Mask;
    }
    entry.inheritance |= header->AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
  }
  LocalFree(descriptor);
  return rights;
}

const wchar_t kSystem[] = L"S-1-5-18";
const wchar_t kAdministrators[] = L"S-1-5-32-544";
const wchar_t kUsers[] = L"S-1-5-32-545";
const wchar_t kNetwork[] = L"S-1-5-2";

TEST(ServiceRules, SecurityDescriptorsGrantWhatTheyShould) {
  constexpr ACCESS_MASK kFileWrites = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                      FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE |
                                      WRITE_DAC | WRITE_OWNER;
  const struct {
    const wchar_t* what;
    const wchar_t* sddl;
    bool isProtected;
    const wchar_t* owner;  // empty: none set
    ACCESS_MASK everything;
    ACCESS_MASK users;
    BYTE adminInheritance;
  } rows[] = {
      {L"service", kServiceSddl, false, L"", SERVICE_ALL_ACCESS,
       SERVICE_START | SERVICE_QUERY_STATUS, 0},
      {L"folders", kServiceFolderSddl, true, kAdministrators, FILE_ALL_ACCESS,
       FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
      {L"result file", kServiceResultSddl, true, kAdministrators, FILE_ALL_ACCESS,
       FILE_GENERIC_READ, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.what, row.what + wcslen(row.what)));
    bool isProtected = false;
    std::wstring owner;
    std::map<std::wstring, Rights> rights = RightsOf(row.sddl, isProtected, owner);
    EXPECT_EQ(isProtected, row.isProtected);
    EXPECT_EQ(owner, row.owner);
    for (const wchar_t* sid : {kSystem, kAdministrators}) {
      EXPECT_EQ(rights[sid].allowed & ~rights[sid].denied, row.everything);
      EXPECT_EQ(rights[sid].inheritance, row.adminInheritance);
    }
    // Users: exactly these rights, none inherited below, and no write of any kind.
    EXPECT_EQ(rights[kUsers].allowed, row.users);
    EXPECT_EQ(rights[kUsers].inheritance, 0);
    if (row.everything == FILE_ALL_ACCESS) {
      EXPECT_EQ(rights[kUsers].allowed & kFileWrites, 0u);
    } else {
      EXPECT_EQ(rights[kUsers].allowed & (SERVICE_STOP | SERVICE_CHANGE_CONFIG | DELETE |
                                          WRITE_DAC | WRITE_OWNER | SERVICE_PAUSE_CONTINUE),
                0u);
      // Not from the network, whoever asks.
      EXPECT_EQ(rights[kNetwork].denied & SERVICE_START, static_cast<ACCESS_MASK>(SERVICE_START));
    }
    // Nobody else is named.
    rights.erase(kSystem);
    rights.erase(kAdministrators);
    rights.erase(kUsers);
    rights.erase(kNetwork);
    EXPECT_TRUE(rights.empty());
  }
}

}  // namespace
