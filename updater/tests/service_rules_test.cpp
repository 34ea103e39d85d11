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

#include "stages/installation_trust.h"
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

// Every result with every reason has one code, each code one pair, and the codes docs/service.md
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
       SYNCHRONIZE | READ_CONTROL | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
       OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
      {L"logs and copies", kServicePrivateSddl, true, kAdministrators, FILE_ALL_ACCESS, 0,
       OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE},
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
  // Users may open their result by name, never list the folder for another caller's.
  bool isProtected = false;
  std::wstring owner;
  EXPECT_EQ(RightsOf(kServiceFolderSddl, isProtected, owner)[kUsers].allowed &
                FILE_LIST_DIRECTORY,
            0u);
}

TEST(ServiceRules, TheServiceCarriesAMediumIntegrityLabel) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(kServiceSddl, SDDL_REVISION_1,
                                                                   &descriptor, nullptr));
  PACL sacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorSacl(descriptor, &present, &sacl, &defaulted) && present &&
              sacl && sacl->AceCount == 1);
  ACE_HEADER* header = nullptr;
  GetAce(sacl, 0, reinterpret_cast<void**>(&header));
  EXPECT_EQ(header->AceType, SYSTEM_MANDATORY_LABEL_ACE_TYPE);
  const auto* label = reinterpret_cast<SYSTEM_MANDATORY_LABEL_ACE*>(header);
  // Below medium no one may start (execute) it, nor read or change it.
  EXPECT_EQ(label->Mask, static_cast<ACCESS_MASK>(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP |
                                                  SYSTEM_MANDATORY_LABEL_NO_READ_UP |
                                                  SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP));
  wchar_t* text = nullptr;
  ConvertSidToStringSidW(const_cast<DWORD*>(&label->SidStart), &text);
  EXPECT_EQ(std::wstring(text ? text : L""), L"S-1-16-8192");
  LocalFree(text);
  LocalFree(descriptor);
}

// The installation's judgement, one row per descriptor: its owner and who else may do what.
TEST(InstallationTrust, DescriptorsJudged) {
  // An administrator's own account, as the owner an installer's policy may give.
  const AdministratorTest isAdministrator = [](PSID sid) {
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return false;
    const bool admin = std::wstring(text) == L"S-1-5-21-1-2-3-1001";
    LocalFree(text);
    return admin;
  };
  const wchar_t kProgramFiles[] =
      L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
      L"D:P(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
      L"(A;CIIO;GA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
      L"(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)"
      L"(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)";
  // Every drive's root: users may make folders in it, and own what they make.
  const wchar_t kDriveRoot[] =
      L"O:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;;0x4;;;AU)"
      L"(A;OICIIO;SDGXGWGR;;;AU)";
  const struct {
    const char* what;
    const wchar_t* sddl;
    TrustedLevel level;
    const char* problem;  // "" when trusted
  } rows[] = {
      {"Program Files as installed", kProgramFiles, TrustedLevel::kInstallation, ""},
      {"the drive's root, above", kDriveRoot, TrustedLevel::kAbove, ""},
      {"the drive's root as the installation", kDriveRoot, TrustedLevel::kInstallation,
       "S-1-5-11 may write or add files"},
      {"owned by Administrators", L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
       TrustedLevel::kInstallation, ""},
      {"owned by an administrator", L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;S-1-5-21-1-2-3-1001)",
       TrustedLevel::kInstallation, ""},
      {"owned by SYSTEM, CREATOR OWNER full", L"O:SYD:(A;;FA;;;SY)(A;;FA;;;CO)(A;;FA;;;OW)",
       TrustedLevel::kInstallation, ""},
      {"owned by a user", L"O:S-1-5-21-1-2-3-1002D:(A;;FA;;;SY)", TrustedLevel::kAbove,
       "owned by S-1-5-21-1-2-3-1002"},
      {"owned by Users", L"O:BUD:(A;;FA;;;SY)", TrustedLevel::kInstallation,
       "owned by S-1-5-32-545"},
      {"no DACL", L"O:BA", TrustedLevel::kAbove, "has no permissions: everyone may do anything"},
      {"an empty DACL", L"O:BAD:P", TrustedLevel::kInstallation, ""},
      {"Authenticated Users modify", L"O:BAD:(A;OICI;0x1301bf;;;AU)",
       TrustedLevel::kInstallation, "S-1-5-11 may delete or rename what is in it"},
      {"Everyone write (Wine's mode bits)", L"O:BAD:(A;OICI;0x1301ff;;;WD)",
       TrustedLevel::kInstallation, "S-1-1-0 may delete or rename what is in it"},
      {"Everyone read and execute", L"O:BAD:(A;OICI;0x1200a9;;;WD)", TrustedLevel::kInstallation,
       ""},
      {"Users append only", L"O:BAD:(A;;0x4;;;BU)", TrustedLevel::kInstallation,
       "S-1-5-32-545 may write or add files"},
      {"Users add files, above the root", L"O:BAD:(A;;0x6;;;BU)", TrustedLevel::kAbove, ""},
      {"Users delete children, above", L"O:BAD:(A;;0x40;;;BU)", TrustedLevel::kAbove,
       "S-1-5-32-545 may delete or rename what is in it"},
      {"Users delete the folder, above", L"O:BAD:(A;;SD;;;BU)", TrustedLevel::kAbove,
       "S-1-5-32-545 may delete or rename what is in it"},
      {"Users change permissions", L"O:BAD:(A;;WD;;;BU)", TrustedLevel::kAbove,
       "S-1-5-32-545 may change its permissions or owner"},
      {"Users take ownership", L"O:BAD:(A;;WO;;;BU)", TrustedLevel::kAbove,
       "S-1-5-32-545 may change its permissions or owner"},
      {"Users generic all", L"O:BAD:(A;;GA;;;BU)", TrustedLevel::kAbove,
       "S-1-5-32-545 may change its permissions or owner"},
      {"Users generic write", L"O:BAD:(A;;GW;;;BU)", TrustedLevel::kInstallation,
       "S-1-5-32-545 may write or add files"},
      {"inherit-only entries are for children", L"O:BAD:(A;OICIIO;FA;;;BU)",
       TrustedLevel::kInstallation, ""},
      {"a denial judged as absent", L"O:BAD:(D;;FA;;;BU)(A;;FA;;;BU)",
       TrustedLevel::kInstallation, "S-1-5-32-545 may change its permissions or owner"},
  };
  for (const auto& row : rows) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(row.sddl, SDDL_REVISION_1,
                                                                     &descriptor, nullptr))
        << row.what;
    EXPECT_EQ(DescriptorProblem(descriptor, row.level, isAdministrator), row.problem) << row.what;
    LocalFree(descriptor);
  }
  // Made by hand, as SDDL under Wine gives neither: a NULL DACL, and an entry of another kind.
  SECURITY_DESCRIPTOR made = {};
  ASSERT_TRUE(InitializeSecurityDescriptor(&made, SECURITY_DESCRIPTOR_REVISION));
  BYTE administrators[SECURITY_MAX_SID_SIZE] = {};
  DWORD size = sizeof(administrators);
  ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
  ASSERT_TRUE(SetSecurityDescriptorOwner(&made, administrators, FALSE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&made, TRUE, nullptr, FALSE));
  EXPECT_EQ(DescriptorProblem(&made, TrustedLevel::kAbove, isAdministrator),
            "has no permissions: everyone may do anything");
  alignas(DWORD) BYTE room[256] = {};
  auto* acl = reinterpret_cast<PACL>(room);
  ASSERT_TRUE(InitializeAcl(acl, sizeof(room), ACL_REVISION));
  ASSERT_TRUE(AddAuditAccessAce(acl, ACL_REVISION, FILE_ALL_ACCESS, administrators, TRUE, TRUE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&made, TRUE, acl, FALSE));
  EXPECT_EQ(DescriptorProblem(&made, TrustedLevel::kAbove, isAdministrator),
            "has a permission entry of a kind not judged here");
}

TEST(ServiceRules, TokensAndTheResultThatEchoesThem) {
  const struct {
    const wchar_t* token;
    bool taken;
  } tokens[] = {
      {L"0123456789abcdef", true},
      {L"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef", true},
      {L"0123456789abcde", false},     // too short to be unguessable
      {L"0123456789ABCDEF", false},    // upper case: one spelling per token
      {L"0123456789abcdeg", false},
      {L"..\..\result", false},      // it names a file
      {L"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0", false},
      {L"", false},
  };
  for (const auto& row : tokens) {
    EXPECT_EQ(IsServiceToken(row.token), row.taken) << &row - tokens;
  }
  ServiceResult written;
  written.code = 1000;
  written.token = "00112233445566778899aabbccddeeff";
  written.release = 7;
  written.file = "bin/32bit/a b.dll";
  const std::string text = FormatServiceResult(written);
  EXPECT_EQ(text, "code 1000\r\ntoken 00112233445566778899aabbccddeeff\r\nrelease 7\r\nkeep 0\r\n"
                  "file bin/32bit/a b.dll\r\n");
  ServiceResult read;
  ASSERT_TRUE(ParseServiceResult(text, read));
  EXPECT_EQ(read.token, written.token);
  EXPECT_EQ(read.file, written.file);
  // Without its token, or with one no first stage makes, a result answers nobody.
  for (const char* other : {"code 1000\r\nrelease 7\r\nkeep 0\r\nfile \r\n",
                            "code 1000\r\ntoken ABC\r\nrelease 7\r\nkeep 0\r\nfile \r\n",
                            "code 1000\r\ntoken \r\nrelease 7\r\nkeep 0\r\nfile \r\n"}) {
    EXPECT_FALSE(ParseServiceResult(other, read)) << other;
  }
  EXPECT_EQ(ServiceResultName(L"00112233445566778899aabbccddeeff"),
            L"result-00112233445566778899aabbccddeeff.txt");
}

TEST(ServiceRules, TextForTheLogIsEscaped) {
  const struct {
    std::string text;
    const char* logged;
  } rows[] = {
      {"C:\\Users\\u\\Temp", "C:\\Users\\u\\Temp"},
      {"C:\\a\r\n[2026-1-1 0:00:00 ] --- forged", "C:\\a\\x0d\\x0a[2026-1-1 0:00:00 ] --- forged"},
      {std::string("a\0b\tc\x7f", 6), "a\\x00b\\x09c\\x7f"},
      {"\xd6\xb1\xb2\xa5", "\xd6\xb1\xb2\xa5"},  // code page 936 text as it is
  };
  for (const auto& row : rows) EXPECT_EQ(EscapeForLog(row.text), row.logged);
}

}  // namespace
