// Staging: each file to install copied (or decoded) from the checked handle on its delivered
// bytes to a staged copy beside its destination, verified by size and SHA-256 while written,
// and flushed to the disk; all under a journal that names every copy and backup the apply will
// make, names that stood nowhere before it.

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <vector>

#include "base/checked_items.h"
#include "base/disk_changes.h"
#include "base/file_copy.h"
#include "base/handles.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"
#include "update/delivered_files.h"
#include "update/listed_apply.h"
#include "zstd_decode.h"

namespace {

// The key under which the file system finds a path below the root folder: its letters folded as
// the list's paths are (one kind of index for both keeps the program small).
std::string PathKey(const std::wstring& relative) {
  return FoldPathCase(ListPath(WideToNarrow(relative)));
}

std::wstring ParentOf(const std::wstring& relative) {
  const size_t cut = relative.find_last_of(L'\\');
  return cut == std::wstring::npos ? std::wstring() : relative.substr(0, cut);
}

// The apply's own mark in every name it gives: the time of the run, in hexadecimal, moved on
// until no name it gives stands in the installation (a leftover of another apply, say).
std::wstring HexMark(std::uint32_t value) {
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring mark(8, L'0');
  for (int i = 7; i >= 0; --i, value >>= 4) mark[i] = kDigits[value & 0xf];
  return mark;
}

// What each step finds before it, as the steps before it leave the installation; the folders
// the updates make (one missing level each, as for any delivery, made when the update is swapped
// in, after the deletions before it); where each staged copy goes: beside its file, or in the
// nearest folder above it that stands now. False, with the entry refused, when an update's
// folder could not be made.
bool PlanJournal(ListedApply& apply, const std::wstring& mark) {
  Journal& journal = apply.journal;
  journal = Journal();
  journal.release = apply.list.release;
  // Files as the steps so far leave them (1 standing, 0 gone), and "/" and a folder for each
  // folder made.
  ListedFileIndex standing;
  const auto folderStands = [&](const std::wstring& relative) {
    return relative.empty() || standing.count("/" + PathKey(relative)) ||
           FolderStandsAt(PathBelowRoot(apply.rootFolder, relative));
  };
  for (size_t i = 0; i < apply.steps.size(); ++i) {
    const PlannedStep& step = apply.steps[i];
    const std::string key = PathKey(step.relative);
    const auto known = standing.find(key);
    const bool existed = known != standing.end()
                             ? known->second != 0
                             : FileStandsAt(PathBelowRoot(apply.rootFolder, step.relative));
    standing[key] = step.kind == JournalStep::Kind::kUpdate ? 1 : 0;
    std::wstring staged;
    if (step.kind == JournalStep::Kind::kUpdate) {
      const std::wstring parent = ParentOf(step.relative);
      if (!folderStands(parent)) {
        if (!step.createsFolder || !folderStands(ParentOf(parent))) {
          Refuse(apply, ApplyReason::kListInvalid, step.written,
                 "its folder is missing and is not made by the update");
          return false;
        }
        standing["/" + PathKey(parent)] = 1;
        journal.madeFolders.push_back({i, WideToUtf8(parent)});
      }
      std::wstring above = parent;
      while (!above.empty() && !FolderStandsAt(PathBelowRoot(apply.rootFolder, above))) {
        above = ParentOf(above);
      }
      const size_t cut = step.relative.find_last_of(L'\\');
      staged = (above.empty() ? std::wstring() : above + L"\\") +
               StagedCopyName(step.relative.substr(cut == std::wstring::npos ? 0 : cut + 1),
                              mark, i);
    }
    journal.steps.push_back({step.kind, WideToUtf8(step.relative), existed, WideToUtf8(staged),
                             WideToUtf8(BackupName(step.relative, mark, i))});
  }
  return true;
}

// A name as the file system matches it, without regard to letter case (and to the user's
// language, as the file system's own table), as a key of an index.
std::string NameKey(const std::wstring& name) {
  std::wstring upper(name.size(), L'\0');
  if (!name.empty()) {
    LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, name.c_str(), static_cast<int>(name.size()),
                 &upper[0], static_cast<int>(upper.size()));
  }
  return WideToUtf8(upper);
}

// The names standing in the folders the journal's names go in, each folder listed once: asking
// for a name that is not there costs the platform a reading of its folder (Wine matches names
// without regard to case on a file system that does not), which for the thousands of files of
// a release was most of the apply's time.
class FolderNames {
 public:
  // Whether anything stands at path; where its folder cannot be listed, asked of the path.
  bool Stands(const std::wstring& path) {
    const std::wstring folder = path.substr(0, path.find_last_of(L'\\'));
    const std::string folderKey = NameKey(folder);
    auto listed = folders_.find(folderKey);
    if (listed == folders_.end()) listed = folders_.emplace(folderKey, List(folder)).first;
    return listed->second ? names_.count(NameKey(path)) != 0 : ItemStandsAt(path);
  }

 private:
  // Adds the paths of what stands in folder; 1 when it was listed whole.
  std::size_t List(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    const FindHandle find(FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
    if (!find.valid()) return 0;
    do {
      names_[NameKey(folder + L"\\" + found.cFileName)] = 0;
    } while (FindNextFileW(find.get(), &found));
    return GetLastError() == ERROR_NO_MORE_FILES ? 1 : 0;
  }

  ListedFileIndex folders_;  // folder: 1 listed whole, 0 not to be listed
  ListedFileIndex names_;    // keys only
};

// Whether every name the journal gives is free, and below the root as written. A name taken
// after this look is not lost to the apply: a staged copy is only ever created new, and a backup
// only renamed to where nothing stands.
bool NamesAreFresh(const ListedApply& apply) {
  FolderNames standing;
  for (const JournalStep& step : apply.journal.steps) {
    for (const std::string* name : {&step.staged, &step.backup}) {
      if (name->empty()) continue;
      const std::wstring path = PathBelowRoot(apply.rootFolder, *name);
      if (path.empty() || standing.Stands(path)) return false;
    }
  }
  return true;
}

// The installed file a patch applies to, read whole when it is the one the patch was made for;
// the reason why not, otherwise.
bool ReadPatchBase(const std::wstring& installed, const ListedFile& listed, std::string& base,
                   ApplyReason& why, std::string& reason) {
  const FileHandle file(CreateFileW(installed.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  const ReadResult read =
      file.valid() ? ReadOpenFile(file.get(), kDecodeWindowMax, base) : ReadResult::kFailed;
  Sha256Value digest = {};
  if (read == ReadResult::kNoMemory) {
    why = ApplyReason::kMemory;
    reason = "not enough memory for the installed file the patch applies to";
    return false;
  }
  if (read != ReadResult::kRead || !ComputeSha256(base.data(), base.size(), digest) ||
      !std::equal(digest.begin(), digest.end(), listed.baseSha256.begin())) {
    why = ApplyReason::kBaseDiffers;
    reason = "the installed file is not the one the patch was made for (changed since that "
             "release, missing, or over 128 MiB)";
    return false;
  }
  return true;
}

// Decodes a delivered zstd frame or patch, verified as delivered, into a staged copy at staged,
// kept open in copy; a patch applies to installed, which must be the file it was made for. The
// result is verified after decoding. Memory stays below the decoder's window (128 MiB) and a
// base of at most as much.
bool StageDecoded(HANDLE frame, const ListedFile& listed, const std::wstring& installed,
                  const std::wstring& staged, FileHandle& copy, ApplyReason& why,
                  std::string& reason) {
  why = ApplyReason::kFileDiffers;
  if (!DeliveredAsListed(frame, listed, reason)) {
    reason = "the delivered frame: " + reason;
    return false;
  }
  std::string base;
  if (listed.kind == ListedKind::kPatch &&
      !ReadPatchBase(installed, listed, base, why, reason)) {
    return false;
  }
  LARGE_INTEGER start = {};
  BY_HANDLE_FILE_INFORMATION info = {};
  copy = FileHandle(CreateFileW(staged.c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (copy.valid()) NoteDiskChange();
  if (!copy.valid() || !SetFilePointerEx(frame, start, nullptr, FILE_BEGIN) ||
      !ReadItemInformation(frame, info)) {
    why = ApplyReason::kDisk;
    reason = "cannot be staged in the installation";
    return false;
  }
  Sha256 hash;
  std::uint64_t size = 0;
  const DecodeResult decoded = DecodeZstd(
      [&](std::uint8_t* buffer, std::size_t capacity, std::size_t& got) {
        DWORD read = 0;
        if (!ReadFile(frame, buffer, static_cast<DWORD>(capacity), &read, nullptr)) return false;
        got = read;
        return true;
      },
      [&](const std::uint8_t* data, std::size_t length) {
        DWORD written = 0;
        if (!WriteFile(copy.get(), data, static_cast<DWORD>(length), &written, nullptr) ||
            written != length) {
          return false;
        }
        hash.Add(data, length);
        size += length;
        return true;
      },
      reinterpret_cast<const std::uint8_t*>(base.data()), base.size(), listed.size);
  Sha256Value digest = {};
  if (decoded == DecodeResult::kNoMemory) {
    why = ApplyReason::kMemory;
    reason = "not enough memory to decode it";
  } else if (decoded == DecodeResult::kWriteFailed) {
    why = ApplyReason::kDisk;
    reason = "cannot be staged in the installation";
  } else if (decoded != DecodeResult::kOk) {
    reason = std::string("cannot be decoded: ") + DecodeResultText(decoded);
  } else if (hash.Finish(digest) && MatchesList(digest, size, listed, reason)) {
    SetFileTime(copy.get(), nullptr, nullptr, &info.ftLastWriteTime);
    return true;
  }
  RemoveThroughHandle(copy.get());
  copy.reset();
  return false;
}

// Flushes the volume a path lies on (which an administrator may do); false when the platform
// does not allow it.
bool FlushVolumeOf(const std::wstring& path) {
  std::vector<wchar_t> mountPoint(path.size() + 2), volume(MAX_PATH + 1);
  if (!GetVolumePathNameW(path.c_str(), mountPoint.data(), static_cast<DWORD>(mountPoint.size())) ||
      !GetVolumeNameForVolumeMountPointW(mountPoint.data(), volume.data(),
                                         static_cast<DWORD>(volume.size()))) {
    return false;
  }
  std::wstring device = volume.data();
  if (!device.empty() && device.back() == L'\\') device.pop_back();
  const FileHandle handle(CreateFileW(device.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      0, nullptr));
  return handle.valid() && FlushFileBuffers(handle.get());
}

// The staged copies on the disk before any is swapped in: each volume they lie on flushed once
// (which an administrator may do), or where the platform does not allow that, each copy through
// its handle. Flushed after all are written, when the file system has most of them on the disk
// already.
bool FlushStagedCopies(ListedApply& apply) {
  std::vector<std::wstring> flushedVolumes;
  bool volumesFlushed = true;
  for (const JournalStep& step : apply.journal.steps) {
    if (step.kind != JournalStep::Kind::kUpdate) continue;
    const std::wstring staged = PathBelowRoot(apply.rootFolder, step.staged);
    std::vector<wchar_t> mountPoint(staged.size() + 2);
    volumesFlushed = GetVolumePathNameW(staged.c_str(), mountPoint.data(),
                                        static_cast<DWORD>(mountPoint.size())) != FALSE;
    if (!volumesFlushed) break;
    const std::wstring volume = mountPoint.data();
    if (std::find(flushedVolumes.begin(), flushedVolumes.end(), volume) != flushedVolumes.end()) {
      continue;
    }
    volumesFlushed = FlushVolumeOf(staged);
    if (!volumesFlushed) break;
    flushedVolumes.push_back(volume);
  }
  bool flushed = true;
  for (FileHandle& staged : apply.stagedCopies) {
    if (!volumesFlushed && staged.valid()) flushed = FlushFileBuffers(staged.get()) && flushed;
  }
  return flushed;
}

// Stages step i from the checked handle on its delivered bytes.
bool StageStep(ListedApply& apply, size_t i) {
  const PlannedStep& step = apply.steps[i];
  const std::wstring staged = PathBelowRoot(apply.rootFolder, apply.journal.steps[i].staged);
  std::string reason;
  const CheckedItem delivered =
      OpenDelivered(DeliveredFile(apply.deliveryFinalPath, *step.listed), reason);
  if (delivered.state != CheckedState::kChecked) {
    Abandon(apply, ApplyReason::kFileDiffers, step.written, reason);
    return false;
  }
  if (step.listed->kind != ListedKind::kPlain) {
    ApplyReason why = ApplyReason::kFileDiffers;
    if (!StageDecoded(delivered.handle.get(), *step.listed,
                      PathBelowRoot(apply.rootFolder, step.relative), staged,
                      apply.stagedCopies[i], why, reason)) {
      Abandon(apply, why, step.written, reason);
      return false;
    }
    return true;
  }
  Sha256 hash;
  std::uint64_t copied = 0;
  const bool copiedWhole = CopyOpenFile(
      delivered.handle.get(), staged,
      [&](const char* block, size_t size) {
        hash.Add(block, size);
        copied += size;
      },
      &apply.stagedCopies[i], CopyTarget::kCreateNew);
  if (!copiedWhole) {
    Abandon(apply, ApplyReason::kDisk, step.written,
            "cannot be staged in the installation (error " + Decimal(GetLastError()) + ")");
    return false;
  }
  NoteDiskChange();
  Sha256Value digest = {};
  if (!hash.Finish(digest) || !MatchesList(digest, copied, *step.listed, reason)) {
    Abandon(apply, ApplyReason::kFileDiffers, step.written,
            reason.empty() ? "cannot be hashed" : reason);
    return false;
  }
  return true;
}

}  // namespace

bool StageDelivery(ListedApply& apply) {
  const char kManifestName[] = "UpdateInfo.ini";
  std::uint32_t mark = static_cast<std::uint32_t>(std::time(nullptr));
  for (int tries = 0;; ++tries, ++mark) {
    if (!PlanJournal(apply, HexMark(mark))) return false;
    if (NamesAreFresh(apply)) break;
    if (tries == 64) {
      Refuse(apply, ApplyReason::kListInvalid, kManifestName,
             "no free names for the staged copies and backups");
      return false;
    }
  }
  // Under the journal from the first file written.
  if (!WriteJournal(apply.rootFolder, apply.journal)) {
    Refuse(apply, ApplyReason::kDisk, kManifestName,
           "the journal cannot be written in the installation");
    return false;
  }
  apply.stagedCopies.resize(apply.steps.size());
  for (size_t i = 0; i < apply.steps.size(); ++i) {
    if (apply.steps[i].kind == JournalStep::Kind::kUpdate && !StageStep(apply, i)) return false;
  }
  if (!FlushStagedCopies(apply)) {
    Abandon(apply, ApplyReason::kDisk, kManifestName,
            "the staged copies cannot be flushed to the disk");
    return false;
  }
  return true;
}
