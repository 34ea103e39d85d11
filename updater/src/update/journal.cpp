#include "update/journal.h"

#include <windows.h>

#include <algorithm>

#include <optional>
#include <string_view>

#include "base/file_copy.h"
#include "base/handles.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"

namespace {

const wchar_t kJournalFolder[] = L".vintrel";
const wchar_t kJournalName[] = L"journal";
const char kJournalHeader[] = "vintrel-journal 1";
constexpr DWORD kMaxJournalBytes = 64u << 20;

std::wstring RootWithoutSeparator(const std::wstring& rootFolder) {
  std::wstring root = rootFolder;
  while (root.size() > 1 && (root.back() == L'\\' || root.back() == L'/')) root.pop_back();
  return root;
}

std::wstring JournalFolder(const std::wstring& rootFolder) {
  return PathBelowRoot(rootFolder, kJournalFolder);
}

std::string ToUtf8(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string text(size > 0 ? size : 0, '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &text[0], size,
                        nullptr, nullptr);
  }
  return text;
}

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                       static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(size > 0 ? size : 0, L'\0');
  if (size > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
  }
  return wide;
}

const char* StateName(JournalState state) {
  switch (state) {
    case JournalState::kStaging:
      return "staging";
    case JournalState::kSwapping:
      return "swapping";
    case JournalState::kCommitted:
      return "committed";
  }
  return "";
}

std::string JournalText(const Journal& journal) {
  std::string text = std::string(kJournalHeader) + "\n";
  text += std::string("state ") + StateName(journal.state) + "\n";
  for (const std::wstring& folder : journal.madeFolders) text += "folder " + ToUtf8(folder) + "\n";
  for (const JournalStep& step : journal.steps) {
    text += step.kind == JournalStep::Kind::kUpdate ? "update " : "delete ";
    text += step.existed ? "1 " : "0 ";
    text += ToUtf8(step.relative);
    // No file name holds a control character.
    if (step.kind == JournalStep::Kind::kUpdate) text += "\t" + ToUtf8(step.staged);
    text += "\n";
  }
  return text;
}

// A relative path as the journal may hold it: below the root, nothing else.
bool IsPlainRelative(const std::wstring& relative) {
  if (relative.empty() || relative[0] == L'\\' || relative.find(L':') != std::wstring::npos) {
    return false;
  }
  for (size_t start = 0; start <= relative.size();) {
    const size_t end = std::min(relative.find(L'\\', start), relative.size());
    const std::wstring_view level(relative.data() + start, end - start);
    if (level.empty() || level == L"." || level == L"..") return false;
    start = end + 1;
  }
  return true;
}

// The next line of text from at on (without its line feed); false at the end.
bool NextLine(const std::string& text, size_t& at, std::string& line) {
  if (at >= text.size()) return false;
  const size_t end = std::min(text.find('\n', at), text.size());
  line.assign(text, at, end - at);
  at = end + 1;
  return true;
}

std::optional<Journal> ParseJournal(const std::string& text) {
  size_t at = 0;
  std::string line;
  if (!NextLine(text, at, line) || line != kJournalHeader) return std::nullopt;
  Journal journal;
  if (!NextLine(text, at, line)) return std::nullopt;
  if (line == "state staging") {
    journal.state = JournalState::kStaging;
  } else if (line == "state swapping") {
    journal.state = JournalState::kSwapping;
  } else if (line == "state committed") {
    journal.state = JournalState::kCommitted;
  } else {
    return std::nullopt;
  }
  while (NextLine(text, at, line)) {
    std::wstring relative;
    if (line.rfind("folder ", 0) == 0) {
      relative = FromUtf8(line.substr(7));
      if (!IsPlainRelative(relative)) return std::nullopt;
      journal.madeFolders.push_back(relative);
      continue;
    }
    const bool update = line.rfind("update ", 0) == 0;
    if ((!update && line.rfind("delete ", 0) != 0) || line.size() < 10 ||
        (line[7] != '0' && line[7] != '1') || line[8] != ' ') {
      return std::nullopt;
    }
    const size_t tab = line.find('\t');
    if (update != (tab != std::string::npos)) return std::nullopt;
    relative = FromUtf8(line.substr(9, update ? tab - 9 : std::string::npos));
    const std::wstring staged = update ? FromUtf8(line.substr(tab + 1)) : std::wstring();
    if (!IsPlainRelative(relative) || (update && !IsPlainRelative(staged))) return std::nullopt;
    journal.steps.push_back({update ? JournalStep::Kind::kUpdate : JournalStep::Kind::kDelete,
                             relative, line[7] == '1', staged});
  }
  return journal;
}

// Reads the journal: nullopt with present false when there is none.
std::optional<Journal> ReadJournal(const std::wstring& rootFolder, bool& present) {
  const std::wstring path = JournalFolder(rootFolder) + L"\\" + kJournalName;
  present = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  if (!present) return std::nullopt;
  const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  std::string text;
  if (!file.valid() || !ReadOpenFile(file.get(), kMaxJournalBytes, text)) return std::nullopt;
  return ParseJournal(text);
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Removes a file that may be missing; false when it is there and stays.
bool RemoveIfThere(const std::wstring& path) {
  return DeleteFileW(path.c_str()) || !Exists(path);
}

bool PutBack(const std::wstring& backup, const std::wstring& file) {
  if (!Exists(backup)) return true;
  // Whatever stands in the file's place now was put there by the apply.
  return RemoveIfThere(file) && MoveFileExW(backup.c_str(), file.c_str(), 0);
}

}  // namespace

std::wstring PathBelowRoot(const std::wstring& rootFolder, const std::wstring& relative) {
  return ExtendedPath(RootWithoutSeparator(rootFolder) + L"\\" + relative);
}

std::wstring StagedCopyName(const std::wstring& fileName, std::size_t step) {
  return fileName + L".vintrel-new-" + std::to_wstring(step);
}

std::wstring BackupPath(const std::wstring& file, std::size_t step) {
  return file + L".vintrel-old-" + std::to_wstring(step);
}

bool ReplaceFileDurably(const std::wstring& path, const std::string& bytes) {
  const std::wstring writing = path + L".new";
  {
    const FileHandle file(CreateFileW(writing.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file.valid() ||
        !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr) ||
        written != bytes.size() || !FlushFileBuffers(file.get())) {
      DeleteFileW(writing.c_str());
      return false;
    }
  }
  if (RetryWhileHeld([&] {
        return MoveFileExW(writing.c_str(), path.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
      })) {
    return true;
  }
  DeleteFileW(writing.c_str());
  return false;
}

bool WriteJournal(const std::wstring& rootFolder, const Journal& journal) {
  const std::wstring folder = JournalFolder(rootFolder);
  CreateDirectoryW(folder.c_str(), nullptr);
  return ReplaceFileDurably(folder + L"\\" + kJournalName, JournalText(journal));
}

bool RollBack(const std::wstring& rootFolder, const Journal& journal) {
  bool whole = true;
  for (size_t i = journal.steps.size(); i-- > 0;) {
    const JournalStep& step = journal.steps[i];
    const std::wstring file = PathBelowRoot(rootFolder, step.relative);
    const bool update = step.kind == JournalStep::Kind::kUpdate;
    const std::wstring staged = update ? PathBelowRoot(rootFolder, step.staged) : std::wstring();
    // Before the swaps nothing but staged copies was written.
    if (journal.state == JournalState::kSwapping) {
      if (step.existed) {
        whole = PutBack(BackupPath(file, i), file) && whole;
      } else if (update && !Exists(staged) && Exists(file)) {
        // A new file whose staged copy was already renamed into place.
        whole = RemoveIfThere(file) && whole;
      }
    }
    if (update) whole = RemoveIfThere(staged) && whole;
  }
  for (size_t i = journal.madeFolders.size(); i-- > 0;) {
    RemoveDirectoryW(PathBelowRoot(rootFolder, journal.madeFolders[i]).c_str());
  }
  return whole;
}

bool CleanUpCommitted(const std::wstring& rootFolder, const Journal& journal) {
  bool whole = true;
  for (size_t i = 0; i < journal.steps.size(); ++i) {
    const JournalStep& step = journal.steps[i];
    if (step.existed) {
      whole = RemoveIfThere(BackupPath(PathBelowRoot(rootFolder, step.relative), i)) && whole;
    }
  }
  return whole;
}

void RemoveJournal(const std::wstring& rootFolder) {
  const std::wstring folder = JournalFolder(rootFolder);
  DeleteFileW((folder + L"\\" + kJournalName).c_str());
  DeleteFileW((folder + L"\\" + kJournalName + L".new").c_str());
  RemoveDirectoryW(folder.c_str());
}

void RecoverInterruptedUpdate(const std::wstring& rootFolder) {
  bool present = false;
  const std::optional<Journal> journal = ReadJournal(rootFolder, present);
  if (!present) return;
  if (!journal) {
    // Only this program writes it, whole or not at all: nothing to act on in it.
    WriteLog("recover update : journal unreadable, removed");
    RemoveJournal(rootFolder);
    return;
  }
  if (journal->state == JournalState::kCommitted) {
    if (!CleanUpCommitted(rootFolder, *journal)) return;
    RemoveJournal(rootFolder);
    return;
  }
  if (!RollBack(rootFolder, *journal)) {
    WriteLog("recover update : roll back incomplete, tried again at the next run");
    return;
  }
  RemoveJournal(rootFolder);
  WriteLog("recover update : interrupted update rolled back");
}
