#include "base/checked_items.h"

#include <winternl.h>

#include <memory>
#include <utility>

namespace {

// An open folder that others may read and write in, but not rename or remove.
constexpr DWORD kHeldFolderSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Looked up, not imported: ntdll is in every process, and the import table stays the one the
// import check knows.
template <typename Function>
Function NtdllEntry(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                              PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG,
                                              ULONG, ULONG, PVOID, ULONG);
// NtQueryInformationFile and NtSetInformationFile.
using NtFileInformationFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);
// FILE_INFORMATION_CLASS's FileInternalInformation (the item's number on its volume) and
// FileRenameInformation.
constexpr int kFileInternalInformation = 6;
constexpr int kFileRenameInformation = 10;

}  // namespace

bool ReadItemInformation(HANDLE item, BY_HANDLE_FILE_INFORMATION& info) {
  FILE_BASIC_INFO basic = {};
  FILE_STANDARD_INFO standard = {};
  LARGE_INTEGER number = {};
  IO_STATUS_BLOCK status = {};
  static const auto query = NtdllEntry<NtFileInformationFunction>("NtQueryInformationFile");
  if (!query ||
      !GetFileInformationByHandleEx(item, FileBasicInfo, &basic, sizeof(basic)) ||
      !GetFileInformationByHandleEx(item, FileStandardInfo, &standard, sizeof(standard)) ||
      query(item, &status, &number, sizeof(number), kFileInternalInformation) < 0) {
    return false;
  }
  const auto fileTime = [](const LARGE_INTEGER& time) {
    FILETIME converted;
    converted.dwLowDateTime = time.LowPart;
    converted.dwHighDateTime = static_cast<DWORD>(time.HighPart);
    return converted;
  };
  info = BY_HANDLE_FILE_INFORMATION();
  info.dwFileAttributes = basic.FileAttributes;
  info.ftCreationTime = fileTime(basic.CreationTime);
  info.ftLastAccessTime = fileTime(basic.LastAccessTime);
  info.ftLastWriteTime = fileTime(basic.LastWriteTime);
  info.nFileSizeHigh = static_cast<DWORD>(standard.EndOfFile.HighPart);
  info.nFileSizeLow = standard.EndOfFile.LowPart;
  info.nNumberOfLinks = standard.NumberOfLinks;
  info.nFileIndexHigh = static_cast<DWORD>(number.HighPart);
  info.nFileIndexLow = number.LowPart;
  return true;
}

bool IsLinkReparse(DWORD attributes, DWORD reparseTag) {
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  return reparseTag == 0 || IsReparseTagNameSurrogate(reparseTag);
}

bool SameFinalPath(const std::wstring& a, const std::wstring& b) {
  return a.size() == b.size() &&
         CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring FinalPathOf(HANDLE item) {
  const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  // Most paths fit the first buffer; a longer one is asked again with the size the first answer
  // gave, so no path is too long for it. One call per item where it fits: each costs a query.
  std::wstring path(MAX_PATH, L'\0');
  for (int tries = 0; tries < 2; ++tries) {
    const DWORD length =
        GetFinalPathNameByHandleW(item, &path[0], static_cast<DWORD>(path.size()), flags);
    if (length == 0) break;
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.assign(length, L'\0');  // the size needed, its terminating zero included
  }
  return std::wstring();
}

CheckedItem OpenChecked(const std::wstring& path, DWORD access, DWORD sharing, ItemKind kind,
                        const ItemIdentity* expected) {
  CheckedItem item;
  if (kind == ItemKind::kFolder) access |= FILE_LIST_DIRECTORY;
  FileHandle handle(CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, sharing, nullptr,
                                OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                nullptr));
  if (!handle.valid()) return item;
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  // The volume is asked for only where the identity is checked.
  const bool described = expected ? GetFileInformationByHandle(handle.get(), &item.info) != FALSE
                                  : ReadItemInformation(handle.get(), item.info);
  if (!described ||
      !GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &tag, sizeof(tag))) {
    return item;
  }
  if (IsLinkReparse(tag.FileAttributes, tag.ReparseTag)) {
    item.state = CheckedState::kLink;
    item.handle = std::move(handle);
    return item;
  }
  // Any link on the way, or one the platform opened through without showing it (Wine's Unix
  // links), puts the item somewhere else.
  std::wstring finalPath = FinalPathOf(handle.get());
  const bool inPlace =
      expected ? expected->volume == item.info.dwVolumeSerialNumber &&
                     expected->number == (static_cast<ULONGLONG>(item.info.nFileIndexHigh) << 32 |
                                           item.info.nFileIndexLow)
               : !finalPath.empty() && SameFinalPath(finalPath, path);
  if (!inPlace) {
    item.state = CheckedState::kElsewhere;
    return item;
  }
  const bool isFolder = (item.info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if ((kind == ItemKind::kFile && isFolder) || (kind == ItemKind::kFolder && !isFolder)) {
    return item;
  }
  // A second name may be a file of someone else's, linked into a folder the user can write.
  if (!isFolder && item.info.nNumberOfLinks > 1) {
    item.state = CheckedState::kHardLinked;
    item.handle = std::move(handle);
    return item;
  }
  item.state = CheckedState::kChecked;
  item.handle = std::move(handle);
  // Proven by identity, the path opened names the item, whatever the platform made of its name.
  item.finalPath = expected ? path : std::move(finalPath);
  return item;
}

AnchoredFolder OpenAnchoredFolder(const std::wstring& anchor,
                                  const std::vector<std::wstring>& names) {
  AnchoredFolder folder;
  if (anchor.empty()) return folder;
  FileHandle top(CreateFileW(anchor.c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!top.valid()) return folder;
  std::wstring reached = FinalPathOf(top.get());
  if (reached.empty()) return folder;
  for (const std::wstring& name : names) {
    CheckedItem below = OpenChecked(reached + L"\\" + name, FILE_READ_ATTRIBUTES,
                                    kHeldFolderSharing, ItemKind::kFolder);
    if (below.state != CheckedState::kChecked) {
      folder.throughLink =
          below.state == CheckedState::kLink || below.state == CheckedState::kElsewhere;
      folder.held.clear();
      return folder;
    }
    reached = std::move(below.finalPath);
    folder.held.push_back(std::move(below.handle));
  }
  folder.finalPath = std::move(reached);
  return folder;
}

namespace {

FileHandle CreateRelative(HANDLE folder, const std::wstring& name, DWORD access, DWORD sharing,
                          ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR descriptor) {
  static const auto ntCreateFile = NtdllEntry<NtCreateFileFunction>("NtCreateFile");
  if (!ntCreateFile || name.empty() || name.size() > 32767) return FileHandle();
  UNICODE_STRING relativeName;
  relativeName.Buffer = const_cast<wchar_t*>(name.c_str());
  relativeName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  relativeName.MaximumLength = relativeName.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &relativeName, OBJ_CASE_INSENSITIVE, folder,
                             descriptor);
  IO_STATUS_BLOCK status = {};
  HANDLE opened = INVALID_HANDLE_VALUE;
  const NTSTATUS result = ntCreateFile(
      &opened, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &status, nullptr,
      FILE_ATTRIBUTE_NORMAL, sharing, disposition,
      options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, nullptr, 0);
  return result >= 0 ? FileHandle(opened) : FileHandle();
}

}  // namespace

FileHandle OpenOrCreateInFolder(HANDLE folder, const std::wstring& name, DWORD access,
                                DWORD sharing) {
  return CreateRelative(folder, name, access, sharing, FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE,
                        nullptr);
}

FileHandle CreateInFolder(HANDLE folder, const std::wstring& name, DWORD access, DWORD sharing,
                          ItemKind kind, PSECURITY_DESCRIPTOR descriptor) {
  return CreateRelative(folder, name, access, sharing, FILE_CREATE,
                        kind == ItemKind::kFolder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE,
                        descriptor);
}

bool RemoveThroughHandle(HANDLE item) {
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(item, FileDispositionInfo, &disposition,
                                    sizeof(disposition)) != FALSE;
}

bool RemoveEvenReadOnly(HANDLE item) {
  if (RemoveThroughHandle(item)) return true;
  FILE_BASIC_INFO basic = {};
  if (!GetFileInformationByHandleEx(item, FileBasicInfo, &basic, sizeof(basic)) ||
      (basic.FileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) !=
          FILE_ATTRIBUTE_READONLY) {
    return false;
  }
  basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  if (!basic.FileAttributes) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(item, FileBasicInfo, &basic, sizeof(basic)) &&
         RemoveThroughHandle(item);
}

bool RenameThroughHandle(HANDLE item, const std::wstring& to, HANDLE folder, bool replace) {
  // The name follows the structure in the same allocation.
  const size_t size = sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t);
  const std::unique_ptr<char[]> room(new char[size]());
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(room.get());
  rename->ReplaceIfExists = replace ? TRUE : FALSE;
  rename->RootDirectory = folder;
  rename->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
  to.copy(rename->FileName, to.size());
  if (folder) {
    // Straight to the file system: the Win32 call would make the relative name a path first
    // (Wine's does).
    static const auto setInformation =
        NtdllEntry<NtFileInformationFunction>("NtSetInformationFile");
    IO_STATUS_BLOCK status = {};
    return setInformation && setInformation(item, &status, rename, static_cast<ULONG>(size),
                                            kFileRenameInformation) >= 0;
  }
  return SetFileInformationByHandle(item, FileRenameInfo, rename, static_cast<DWORD>(size)) !=
         FALSE;
}
