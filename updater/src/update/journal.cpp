#include "update/journal.h"

#include <windows.h>
#include <sddl.h>

#include "base/checked_items.h"
#include "base/disk_changes.h"
#include "base/file_copy.h"
#include "base/handles.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"

namespace {

const wchar_t kJournalFolder[] = L".vintrel";
const wchar_t kJournalName[] = L"journal";
constexpr DWORD kMaxJournalBytes = 64u << 20;

std::wstring RootWithoutSeparator(const std::wstring& rootFolder) {
  std::wstring root = rootFolder;
  while (root.size() > 1 && (root.back() == L'\\' || root.back() == L'/')) root.pop_back();
  return root;
}

std::wstring JournalFolder(const std::wstring& rootFolder) {
  return PathBelowRoot(rootFolder, kJournalFolder);
}

// A staged copy takes the delivered file's attributes, and a backup the installed file's: a
// read-only one is made writable to be removed (the link itself, if it is one). Only the
// apply's own names come here.
bool RemoveReadOnlyFile(const std::wstring& path) {
  const FileHandle file(CreateFileW(path.c_str(),
                                    DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return file.valid() && RemoveEvenReadOnly(file.get());
}

}  // namespace

std::wstring JournalFolderPath(const std::wstring& rootFolder) { return JournalFolder(rootFolder); }

JournalRead ReadJournal(const std::wstring& rootFolder, Journal& journal) {
  const std::wstring path = JournalFolder(rootFolder) + L"\\" + kJournalName;
  const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? JournalRead::kNone
                                                                          : JournalRead::kUnreadable;
  }
  std::string text;
  if (ReadOpenFile(file.get(), kMaxJournalBytes, text) != ReadResult::kRead) {
    return JournalRead::kUnreadable;
  }
  return ParseJournal(text, journal) ? JournalRead::kRead : JournalRead::kInvalid;
}

std::wstring PathBelowRoot(const std::wstring& rootFolder, const std::string& utf8Relative) {
  return PathBelowRoot(rootFolder, Utf8ToWide(utf8Relative));
}

std::wstring PathBelowRoot(const std::wstring& rootFolder, const std::wstring& relative) {
  if (!IsPlainJournalPath(WideToUtf8(relative))) return std::wstring();
  const std::wstring root = RootWithoutSeparator(rootFolder);
  const std::wstring path = ExtendedPath(root + L"\\" + relative);
  // What the platform made of it must still be relative below the root, as written: no level
  // was dropped or rewritten (trailing dots and blanks, device names).
  std::wstring base = ExtendedPath(root + L"\\");
  while (!base.empty() && base.back() == L'\\') base.pop_back();
  if (path.empty() || base.empty() || path.size() != base.size() + 1 + relative.size() ||
      path.compare(base.size() + 1, std::wstring::npos, relative) != 0 ||
      path.compare(0, base.size(), base) != 0 || path[base.size()] != L'\\') {
    return std::wstring();
  }
  return path;
}

std::wstring StagedCopyName(const std::wstring& fileName, const std::wstring& mark,
                            std::size_t step) {
  return fileName + L".vintrel-new-" + mark + L"-" + DecimalWide(step);
}

std::wstring BackupName(const std::wstring& relative, const std::wstring& mark, std::size_t step) {
  return relative + L".vintrel-old-" + mark + L"-" + DecimalWide(step);
}

RecordSecurity::RecordSecurity() {
  PSECURITY_DESCRIPTOR made = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)",
                                                           SDDL_REVISION_1, &made, nullptr)) {
    descriptor_ = made;
    attributes_ = {sizeof(attributes_), made, FALSE};
  }
}

RecordSecurity::~RecordSecurity() {
  if (descriptor_) LocalFree(descriptor_);
}

bool ReplaceFileDurably(const std::wstring& path, const std::string& bytes) {
  RecordSecurity security;
  if (path.empty() || !security.attributes()) return false;
  const std::wstring writing = path + L".new";
  {
    const FileHandle file(CreateFileW(writing.c_str(), GENERIC_WRITE, 0, security.attributes(),
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file.valid() ||
        !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr) ||
        written != bytes.size() || !FlushFileBuffers(file.get())) {
      DeleteFileW(writing.c_str());
      return false;
    }
  }
  // A kill here leaves the temporary file beside the record: the next recovery removes it.
  NoteDiskChange();
  if (RetryWhileHeld([&] {
        return MoveFileExW(writing.c_str(), path.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
      })) {
    NoteDiskChange();
    return true;
  }
  DeleteFileW(writing.c_str());
  return false;
}

bool RenameWithoutReplacing(const std::wstring& from, const std::wstring& to) {
  if (!RetryWhileHeld([&] { return MoveFileExW(from.c_str(), to.c_str(), 0) != FALSE; })) {
    return false;
  }
  NoteDiskChange();
  return true;
}

bool RemoveIfThere(const std::wstring& path) {
  if (DeleteFileW(path.c_str()) ||
      (GetLastError() == ERROR_ACCESS_DENIED && RemoveReadOnlyFile(path))) {
    NoteDiskChange();
    return true;
  }
  return !ItemStandsAt(path);
}

bool MakeJournalFolder(const std::wstring& rootFolder) {
  const std::wstring folder = JournalFolder(rootFolder);
  if (CreateDirectoryW(folder.c_str(), nullptr)) {
    NoteDiskChange();
    return true;
  }
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool WriteJournal(const std::wstring& rootFolder, const Journal& journal) {
  return MakeJournalFolder(rootFolder) &&
         ReplaceFileDurably(JournalFolder(rootFolder) + L"\\" + kJournalName, FormatJournal(journal));
}

void RemoveJournal(const std::wstring& rootFolder) {
  const std::wstring folder = JournalFolder(rootFolder);
  if (DeleteFileW((folder + L"\\" + kJournalName).c_str())) NoteDiskChange();
  RemoveIfThere(folder + L"\\" + kJournalName + L".new");
  RemoveJournalFolderIfEmpty(rootFolder);
}

void RemoveJournalFolderIfEmpty(const std::wstring& rootFolder) {
  if (RemoveDirectoryW(JournalFolder(rootFolder).c_str())) NoteDiskChange();
}

void RemoveRecordsBeingWritten(const std::wstring& rootFolder) {
  for (const wchar_t* name : {L"journal.new", L"leftovers.new", L"release.new"}) {
    RemoveIfThere(JournalFolder(rootFolder) + L"\\" + name);
  }
}
