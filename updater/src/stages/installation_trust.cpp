#include "stages/installation_trust.h"

#include <windows.h>
#include <aclapi.h>
#include <lm.h>
#include <sddl.h>

#include <memory>
#include <vector>

#include "base/checked_items.h"
#include "base/text.h"

namespace {

struct LocalFreeDeleter {
  void operator()(void* memory) const { LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalFreeDeleter>;

const wchar_t kTrustedInstaller[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// Rights that let another account put its own code or data in place of ours.
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE;
constexpr ACCESS_MASK kDeleteRights = DELETE | FILE_DELETE_CHILD;
constexpr ACCESS_MASK kControlRights = WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

struct WellKnown {
  std::vector<std::unique_ptr<BYTE[]>> sids;
  LocalMemory trustedInstaller;
  WellKnown() {
    for (const WELL_KNOWN_SID_TYPE type :
         {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinCreatorOwnerSid,
          WinCreatorOwnerRightsSid}) {
      DWORD size = SECURITY_MAX_SID_SIZE;
      std::unique_ptr<BYTE[]> sid(new BYTE[size]());
      if (CreateWellKnownSid(type, nullptr, sid.get(), &size)) sids.push_back(std::move(sid));
    }
    PSID made = nullptr;
    if (ConvertStringSidToSidW(kTrustedInstaller, &made)) trustedInstaller.reset(made);
  }
  // SYSTEM, Administrators, TrustedInstaller; the owner's stand-ins (CREATOR OWNER, OWNER
  // RIGHTS) are trusted as far as the owner is, which is judged first.
  bool Trusted(PSID sid) const {
    for (const auto& known : sids) {
      if (EqualSid(sid, known.get())) return true;
    }
    return trustedInstaller && EqualSid(sid, trustedInstaller.get());
  }
};

const WellKnown& Known() {
  static const WellKnown known;
  return known;
}

std::string AccountText(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return "an account";
  const LocalMemory owned(text);
  return WideToNarrow(text);
}

const char* WhatItMay(ACCESS_MASK granted, TrustedLevel level) {
  if (granted & kControlRights) return "change its permissions or owner";
  if (granted & kDeleteRights) return "delete or rename what is in it";
  if (level == TrustedLevel::kInstallation && (granted & kWriteRights)) {
    return "write or add files";
  }
  return nullptr;
}

// The account this process runs as.
bool IsTokenUser(PSID account) {
  HANDLE opened = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &opened)) return false;
  const FileHandle token(opened);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return false;
  std::unique_ptr<BYTE[]> user(new BYTE[size]());
  return GetTokenInformation(token.get(), TokenUser, user.get(), size, &size) &&
         EqualSid(reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid, account);
}

using NetLocalGroupGetMembersFunction = NET_API_STATUS(WINAPI*)(LPCWSTR, LPCWSTR, DWORD, LPBYTE*,
                                                                DWORD, LPDWORD, LPDWORD,
                                                                PDWORD_PTR);
using NetApiBufferFreeFunction = NET_API_STATUS(WINAPI*)(LPVOID);

// Whether the local Administrators group lists account; netapi32 is loaded by its full system
// path, never from the folder the program runs in.
bool IsListedAdministrator(PSID account) {
  std::vector<wchar_t> system(MAX_PATH + 1);
  const UINT length = GetSystemDirectoryW(system.data(), static_cast<UINT>(system.size()));
  if (length == 0 || length >= system.size()) return false;
  const HMODULE netapi =
      LoadLibraryW((std::wstring(system.data(), length) + L"\\netapi32.dll").c_str());
  if (!netapi) return false;
  const std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&FreeLibrary)> loaded(
      netapi, FreeLibrary);
  const auto getMembers = reinterpret_cast<NetLocalGroupGetMembersFunction>(
      reinterpret_cast<void*>(GetProcAddress(netapi, "NetLocalGroupGetMembers")));
  const auto freeBuffer = reinterpret_cast<NetApiBufferFreeFunction>(
      reinterpret_cast<void*>(GetProcAddress(netapi, "NetApiBufferFree")));
  // The group's name is the system's language's.
  wchar_t name[256] = {};
  wchar_t domain[256] = {};
  DWORD nameLength = 256, domainLength = 256;
  SID_NAME_USE use;
  DWORD size = SECURITY_MAX_SID_SIZE;
  std::unique_ptr<BYTE[]> administrators(new BYTE[size]());
  if (!getMembers || !freeBuffer ||
      !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators.get(), &size) ||
      !LookupAccountSidW(nullptr, administrators.get(), name, &nameLength, domain, &domainLength,
                         &use)) {
    return false;
  }
  BYTE* members = nullptr;
  DWORD read = 0, total = 0;
  const NET_API_STATUS status =
      getMembers(nullptr, name, 0, &members, MAX_PREFERRED_LENGTH, &read, &total, nullptr);
  bool listed = false;
  for (DWORD i = 0; status == NERR_Success && members && i < read; ++i) {
    listed = listed ||
             EqualSid(reinterpret_cast<LOCALGROUP_MEMBERS_INFO_0*>(members)[i].lgrmi0_sid, account);
  }
  if (members) freeBuffer(members);
  return listed;
}

// The descriptor of an open item, owner and DACL; null when it cannot be read.
LocalMemory DescriptorOf(HANDLE item) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(item, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return LocalMemory();
  }
  return LocalMemory(descriptor);
}

// Opens the item without following a link and judges it; "" when it passes, or missing and
// optional.
std::string ItemProblem(const std::wstring& path, ItemKind kind, TrustedLevel level,
                        bool optional = false) {
  const CheckedItem item =
      OpenChecked(L"\\\\?\\" + path, READ_CONTROL,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kind);
  if (item.state == CheckedState::kUnavailable && optional &&
      GetFileAttributesW((L"\\\\?\\" + path).c_str()) == INVALID_FILE_ATTRIBUTES) {
    return std::string();
  }
  std::string problem;
  if (item.state == CheckedState::kLink || item.state == CheckedState::kElsewhere) {
    problem = "a link";
  } else if (item.state != CheckedState::kChecked) {
    problem = "cannot be opened and judged";
  } else if (const LocalMemory descriptor = DescriptorOf(item.handle.get())) {
    problem = DescriptorProblem(descriptor.get(), level, IsAdministratorAccount);
  } else {
    problem = "its permissions cannot be read";
  }
  return problem.empty() ? problem : WideToNarrow(path) + " : " + problem;
}

}  // namespace

std::string DescriptorProblem(PSECURITY_DESCRIPTOR descriptor, TrustedLevel level,
                              AdministratorTest isAdministrator) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  if (!descriptor || !GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !owner ||
      !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
    return "has no owner or permissions to judge";
  }
  const auto trusted = [&](PSID sid) {
    return Known().Trusted(sid) || (isAdministrator && isAdministrator(sid));
  };
  if (!trusted(owner)) return "owned by " + AccountText(owner);
  // No DACL at all lets everyone do anything.
  if (!present || !dacl) return "has no permissions: everyone may do anything";
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    void* entry = nullptr;
    if (!GetAce(dacl, index, &entry)) return "has permissions that cannot be read";
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceType == ACCESS_DENIED_ACE_TYPE ||
        header->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE) {
      continue;  // a denial takes rights away; judging without it can only be stricter
    }
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
        header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
      return "has a permission entry of a kind not judged here";
    }
    if (header->AceFlags & INHERIT_ONLY_ACE) continue;  // for children only
    // Allowed and allowed-callback entries share this layout.
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    const PSID sid = &allowed->SidStart;
    if (trusted(sid)) continue;
    if (const char* what = WhatItMay(allowed->Mask, level)) {
      return AccountText(sid) + " may " + what;
    }
  }
  return std::string();
}

bool IsAdministratorAccount(PSID account) {
  // An installer run elevated, and under Wine the prefix's one user, run as an administrator.
  BOOL member = FALSE;
  DWORD size = SECURITY_MAX_SID_SIZE;
  std::unique_ptr<BYTE[]> administrators(new BYTE[size]());
  if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators.get(), &size) &&
      IsTokenUser(account) && CheckTokenMembership(nullptr, administrators.get(), &member) &&
      member) {
    return true;
  }
  return IsListedAdministrator(account);
}

std::string InstallationTrustProblem(const std::wstring& executable) {
  std::string problem = ItemProblem(executable, ItemKind::kFile, TrustedLevel::kInstallation);
  if (!problem.empty()) return problem;
  // bin\32bit, bin and the root are the installation's; every folder above only holds it.
  std::wstring folder = executable;
  for (int level = 0;; ++level) {
    const size_t cut = folder.find_last_of(L'\\');
    if (cut == std::wstring::npos || cut < 2) break;
    // "C:\" keeps its backslash.
    folder.resize(cut == 2 ? 3 : cut);
    const TrustedLevel trust = level < 3 ? TrustedLevel::kInstallation : TrustedLevel::kAbove;
    problem = ItemProblem(folder, ItemKind::kFolder, trust);
    if (!problem.empty()) return problem;
    if (level == 2) {
      // The updater's records decide what the service does next.
      for (const wchar_t* record : {L"", L"\\journal", L"\\release", L"\\leftovers"}) {
        problem = ItemProblem(folder + L"\\.vintrel" + record,
                              *record ? ItemKind::kFile : ItemKind::kFolder,
                              TrustedLevel::kInstallation, true);
        if (!problem.empty()) return problem;
      }
    }
    if (folder.size() == 3) break;
  }
  const FileHandle root(CreateFileW((L"\\\\?\\" + executable).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
  DWORD flags = 0;
  if (!root.valid() ||
      !GetVolumeInformationByHandleW(root.get(), nullptr, 0, nullptr, nullptr, &flags, nullptr,
                                     0) ||
      !(flags & FILE_PERSISTENT_ACLS)) {
    return WideToNarrow(executable.substr(0, 3)) + " : a volume that keeps no permissions";
  }
  return std::string();
}
