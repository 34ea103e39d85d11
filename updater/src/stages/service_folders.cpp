#include "stages/service_folders.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cwctype>

#include "base/app_names.h"
#include "base/checked_items.h"
#include "base/folder_tree.h"
#include "base/text.h"
#include "stages/installation_trust.h"
#include "stages/service.h"
#include "stages/service_rules.h"

namespace {

const wchar_t kLogFolder[] = L"logs";
// A result file the first stage has not read within this long never will be.
constexpr ULONGLONG kResultLifetime100ns = 60ull * 60 * 10000000;

// Why the folder open at item is not one the service may use as its own: an administrator's,
// that no other account may write or change.
std::string NotOwnFolder(HANDLE item) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(item, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                      nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return "its permissions cannot be read";
  }
  const LocalMemory owned(descriptor);
  return DescriptorProblem(descriptor, TrustedLevel::kInstallation, IsAdministratorAccount);
}

// One level of the service's folders, name inside the held parent: the plain folder an
// administrator made, given its permissions again; anything else standing there (a folder a user
// made, a link, a file) is moved aside to a fresh name, never entered, and a new folder made
// with the permissions of sddl. Invalid when neither can be had.
FileHandle OwnLevel(HANDLE parent, const std::wstring& parentFinalPath, const wchar_t* name,
                    const wchar_t* sddl, std::vector<std::string>& notes) {
  const std::wstring path = parentFinalPath + L"\\" + name;
  constexpr DWORD kAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER;
  // Held without delete sharing: it cannot be renamed or replaced while the service works.
  constexpr DWORD kSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
  CheckedItem level = OpenChecked(path, kAccess, kSharing, ItemKind::kFolder);
  std::string why;
  if (level.state == CheckedState::kChecked) {
    why = NotOwnFolder(level.handle.get());
    if (why.empty()) {
      return ApplySddl(level.handle.get(), sddl) ? std::move(level.handle) : FileHandle();
    }
  } else if (level.state == CheckedState::kLink || level.state == CheckedState::kElsewhere) {
    why = "a link";
  } else if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    why = "not a plain folder";
  }
  level.handle.reset();
  if (!why.empty()) {
    const FileHandle standing(CreateFileW(path.c_str(), DELETE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING,
                                          FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                          nullptr));
    const std::wstring aside = std::wstring(name) + L".moved-" + FreshHexName();
    // Only the item at the name itself is moved: a platform that opened a link's target instead
    // (Wine does) would move the target, which may be anything a user chose.
    const std::wstring shown = DrivePath(path);
    if (!standing.valid() || !SameFinalPath(FinalPathOf(standing.get()), path) ||
        !RenameThroughHandle(standing.get(), aside, parent)) {
      notes.push_back("service folder unusable : " + WideToNarrow(shown) + " : " + why +
                      ", and it cannot be moved aside");
      return FileHandle();
    }
    notes.push_back("service folder moved aside : " + WideToNarrow(shown) + " : " + why +
                    " : to " + WideToNarrow(aside));
  }
  const LocalMemory descriptor = DescriptorFromSddl(sddl);
  FileHandle made = descriptor ? CreateInFolder(parent, name, kAccess, kSharing,
                                                ItemKind::kFolder, descriptor.get())
                               : FileHandle();
  // Set again through the handle: a descriptor given at creation may have been merged.
  return made.valid() && ApplySddl(made.get(), sddl) ? std::move(made) : FileHandle();
}

}  // namespace

LocalMemory DescriptorFromSddl(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR made = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &made,
                                                            nullptr)) {
    return LocalMemory();
  }
  return LocalMemory(made);
}


std::wstring DrivePath(const std::wstring& finalPath) {
  if (finalPath.size() < 7 || finalPath.compare(0, 4, L"\\\\?\\") != 0 ||
      finalPath[5] != L':' || finalPath[6] != L'\\') {
    return std::wstring();
  }
  return finalPath.substr(4);
}


std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}



bool ApplySddl(HANDLE item, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR made = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &made,
                                                            nullptr)) {
    return false;
  }
  const std::unique_ptr<void, LocalFreeDeleter> descriptor(made);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE, defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(made, &owner, &defaulted) ||
      !GetSecurityDescriptorDacl(made, &present, &dacl, &defaulted) || !present) {
    return false;
  }
  return SetSecurityInfo(item, SE_FILE_OBJECT,
                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                             PROTECTED_DACL_SECURITY_INFORMATION,
                         owner, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}


OwnFolders OpenOwnFolders() {
  OwnFolders own;
  wchar_t programData[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                              programData))) {
    return own;
  }
  // The system's folder, where it resolves; held so that the levels are made relative to it.
  FileHandle top(CreateFileW(programData, FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  std::wstring reached = top.valid() ? FinalPathOf(top.get()) : std::wstring();
  if (reached.empty()) return own;
  HANDLE parent = top.get();
  const struct {
    const wchar_t* name;
    const wchar_t* sddl;
  } levels[] = {{kDataFolderName, kServiceFolderSddl},
                {L"service", kServiceFolderSddl},
                {kLogFolder, kServicePrivateSddl}};
  std::vector<FileHandle> held;
  for (const auto& level : levels) {
    FileHandle folder = OwnLevel(parent, reached, level.name, level.sddl, own.notes);
    if (!folder.valid()) return own;
    if (level.name != kLogFolder) reached += std::wstring(L"\\") + level.name;
    parent = folder.get();
    held.push_back(std::move(folder));
  }
  own.held = std::move(held);
  own.finalPath = reached;
  return own;
}

bool MakeCopyFolder(HANDLE serviceFolder, CopyFolder& copy) {
  const LocalMemory descriptor = DescriptorFromSddl(kServicePrivateSddl);
  for (int attempt = 0; descriptor && attempt < 8; ++attempt) {
    const std::wstring name = FreshHexName();
    if (name.empty()) return false;
    copy.held = CreateInFolder(serviceFolder, name, FILE_LIST_DIRECTORY | READ_CONTROL,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, ItemKind::kFolder,
                               descriptor.get());
    if (copy.held.valid()) {
      copy.finalPath = FinalPathOf(copy.held.get());
      return !copy.finalPath.empty();
    }
  }
  return false;
}

FileHandle NewFileInCopy(CopyFolder& copy, const std::wstring& relative) {
  HANDLE parent = copy.held.get();
  size_t start = 0;
  for (size_t cut = relative.find(L'\\'); cut != std::wstring::npos;
       cut = relative.find(L'\\', start)) {
    const std::wstring key = Lower(relative.substr(0, cut));
    HANDLE made = nullptr;
    for (const auto& level : copy.levels) {
      if (level.first == key) made = level.second.get();
    }
    if (!made) {
      FileHandle folder = CreateInFolder(parent, relative.substr(start, cut - start),
                                         FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         ItemKind::kFolder);
      if (!folder.valid()) return FileHandle();
      made = folder.get();
      copy.levels.emplace_back(key, std::move(folder));
    }
    parent = made;
    start = cut + 1;
  }
  return CreateInFolder(parent, relative.substr(start), GENERIC_WRITE | DELETE, 0,
                        ItemKind::kFile);
}

bool WriteNewFileInCopy(CopyFolder& copy, const std::wstring& name, const std::string& bytes) {
  const FileHandle file = NewFileInCopy(copy, name);
  DWORD written = 0;
  return file.valid() &&
         WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr) &&
         written == bytes.size();
}

void RemoveStaleItems(const std::wstring& serviceFolder) {
  WIN32_FIND_DATAW found = {};
  const FindHandle listing(FindFirstFileW((serviceFolder + L"\\*").c_str(), &found));
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  const ULONGLONG nowTime = static_cast<ULONGLONG>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
  for (BOOL more = listing.valid(); more; more = FindNextFileW(listing.get(), &found)) {
    const std::wstring name = found.cFileName;
    const std::wstring path = serviceFolder + L"\\" + name;
    const ULONGLONG written = static_cast<ULONGLONG>(found.ftLastWriteTime.dwHighDateTime) << 32 |
                              found.ftLastWriteTime.dwLowDateTime;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name.size() == 16 &&
        IsServiceToken(name)) {
      DeleteFolderTree(path);
    } else if (name.rfind(L"result-", 0) == 0 && written + kResultLifetime100ns < nowTime) {
      DeleteFileW(path.c_str());
    }
  }
}
