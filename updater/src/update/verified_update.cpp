#include "update/verified_update.h"

#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/checked_items.h"
#include "base/file_copy.h"
#include "base/handles.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/sha256.h"
#include "base/signature_check.h"
#include "base/text.h"
#include "hash_list.h"
#include "list_signature.h"
#include "update/journal.h"
#include "update/manifest.h"
#include "zstd_decode.h"

namespace {

const char kManifestName[] = "UpdateInfo.ini";

// The key under which the file system finds a path below the root folder: its letters folded as
// the list's paths are (one kind of index for both keeps the program small).
std::string PathKey(const std::wstring& relative) {
  return FoldPathCase(ListPath(WideToNarrow(relative)));
}

// One entry of the manifest as the listed apply carries it out.
struct PlannedStep {
  JournalStep::Kind kind;
  std::string written;        // the entry as the manifest holds it, for the log
  std::wstring source;        // the delivered file as the log names it (updates)
  std::wstring destination;   // the installed file as the log names it
  std::wstring relative;      // the installed file below the root folder
  const ListedFile* listed;   // the list's line for the delivered file (updates)
};

void Refuse(const std::string& file, const std::string& reason) {
  WriteLog("refuse delivery : " + file + " : " + reason);
}

std::string Decimal(std::uint64_t value) { return FormatUInt64(value); }

std::uint64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return static_cast<std::uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
}

// The delivered file a list line names below the delivery folder: the file itself, or its zstd
// frame or patch.
std::wstring DeliveredFile(const std::wstring& deliveryFinalPath, const ListedFile& listed) {
  std::string path = DeliveredPath(listed);
  std::replace(path.begin(), path.end(), '/', '\\');
  return deliveryFinalPath + L"\\" + NarrowToWide(path);
}

// Opens a file of the delivery as the elevated stage opens what a user can write; the reason
// why not, otherwise.
CheckedItem OpenDelivered(const std::wstring& path, std::string& reason) {
  CheckedItem item = OpenChecked(path, GENERIC_READ, FILE_SHARE_READ, ItemKind::kFile);
  switch (item.state) {
    case CheckedState::kChecked:
      break;
    case CheckedState::kUnavailable:
      reason = "missing from the delivery or not to be read";
      break;
    case CheckedState::kLink:
    case CheckedState::kElsewhere:
      reason = "a link, or reached through one";
      break;
    case CheckedState::kHardLinked:
      reason = "a second name of another file";
      break;
  }
  return item;
}

// Reads a checked delivered file whole, when it holds at most limit bytes.
bool ReadDelivered(const std::wstring& path, std::uint64_t limit, std::string& bytes,
                   std::string& reason) {
  const CheckedItem file = OpenDelivered(path, reason);
  if (file.state != CheckedState::kChecked) return false;
  if (SizeOf(file.info) > limit ||
      !ReadOpenFile(file.handle.get(), static_cast<std::size_t>(limit), bytes)) {
    reason = "larger than the updater reads, or cannot be read";
    return false;
  }
  return true;
}

// The last release applied to this installation, recorded after each commit by a build with
// keys; 0 when none was.
const wchar_t kReleaseRecord[] = L".vintrel\\release";

std::uint64_t LastAppliedRelease(const std::wstring& rootFolder) {
  const FileHandle record(CreateFileW(PathBelowRoot(rootFolder, kReleaseRecord).c_str(),
                                      GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
  std::string text;
  if (!record.valid() || !ReadOpenFile(record.get(), 20, text)) return 0;
  std::uint64_t release = 0;
  for (const char digit : text) {
    if (digit < '0' || digit > '9') break;
    release = release * 10 + static_cast<std::uint64_t>(digit - '0');
  }
  return release;
}

// Recorded so that a power cut leaves the old number or the new one.
void RecordAppliedRelease(const std::wstring& rootFolder, std::uint64_t release) {
  ReplaceFileDurably(PathBelowRoot(rootFolder, kReleaseRecord), Decimal(release) + "\r\n");
}

// With keys compiled in, only what the publisher signed: a compiled key verifies UpdateInfo.sig
// over the list's exact bytes, before anything in them is read.
bool SignedByPublisher(const std::wstring& deliveryFinalPath, const std::string& listBytes,
                       const DeliveryKeySet& keys) {
  const std::string signatureName(kSignatureFileName);
  std::string signature, reason;
  if (!ReadDelivered(deliveryFinalPath + L"\\" + NarrowToWide(signatureName),
                     kMaxSignatureBytes, signature, reason)) {
    Refuse(signatureName, "no signature: " + reason);
    return false;
  }
  const SignatureCheck check = CheckListSignature(listBytes, signature, keys);
  if (check != SignatureCheck::kVerified) {
    Refuse(signatureName, SignatureCheckText(check));
    return false;
  }
  return true;
}

// A signature proves the bytes, the release number that they are not an older signed delivery
// copied back into the folder.
bool NewerThanApplied(const std::wstring& rootFolder, const HashList& list) {
  const std::uint64_t last = LastAppliedRelease(rootFolder);
  if (list.release <= last) {
    Refuse(std::string(kHashListFileName), "release " + Decimal(list.release) +
                                               " is not above the last one applied, " +
                                               Decimal(last));
    return false;
  }
  return true;
}

// Whether bytes are of the size and SHA-256 the list gives; the reason otherwise.
bool Matches(const Sha256Value& digest, std::uint64_t size, const Sha256Digest& listedSha256,
             std::uint64_t listedSize, std::string& reason) {
  if (size != listedSize) {
    reason = (size < listedSize ? "cut short: " : "longer than listed: ") + Decimal(size) +
             " bytes, listed " + Decimal(listedSize);
    return false;
  }
  if (!std::equal(digest.begin(), digest.end(), listedSha256.begin())) {
    reason = "SHA-256 differs from the hash list";
    return false;
  }
  return true;
}

bool MatchesList(const Sha256Value& digest, std::uint64_t size, const ListedFile& listed,
                 std::string& reason) {
  return Matches(digest, size, listed.sha256, listed.size, reason);
}

// Whether an open delivered file, read from its start, is what the list gives for the bytes
// delivered: the file, or its frame.
bool DeliveredAsListed(HANDLE file, const ListedFile& listed, std::string& reason) {
  std::uint64_t size = 0;
  Sha256Value digest = {};
  if (!HashOpenFile(file, digest, size)) {
    reason = "cannot be read or hashed";
    return false;
  }
  return listed.kind == ListedKind::kPlain
             ? MatchesList(digest, size, listed, reason)
             : Matches(digest, size, listed.frameSha256, listed.frameSize, reason);
}

// Hashes a checked delivered file that is listed but not installed (a delivered updater).
bool VerifyListedFile(const std::wstring& deliveryFinalPath, const ListedFile& listed,
                      std::string& reason) {
  const CheckedItem file = OpenDelivered(DeliveredFile(deliveryFinalPath, listed), reason);
  return file.state == CheckedState::kChecked &&
         DeliveredAsListed(file.handle.get(), listed, reason);
}

// Decodes a delivered zstd frame or patch, verified as delivered, into a staged copy at staged,
// kept open in copy; a patch applies to installed, which must be the file it was made for. The
// result is verified after decoding. Memory stays below the decoder's window (128 MiB) and a
// base of at most as much.
bool StageDecoded(HANDLE frame, const ListedFile& listed, const std::wstring& installed,
                  const std::wstring& staged, FileHandle& copy, std::string& reason) {
  if (!DeliveredAsListed(frame, listed, reason)) {
    reason = "the delivered frame: " + reason;
    return false;
  }
  std::string base;
  if (listed.kind == ListedKind::kPatch) {
    const FileHandle file(CreateFileW(installed.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    Sha256Value digest = {};
    if (!file.valid() || !ReadOpenFile(file.get(), kDecodeWindowMax, base) ||
        !ComputeSha256(base.data(), base.size(), digest) ||
        !std::equal(digest.begin(), digest.end(), listed.baseSha256.begin())) {
      reason = "the installed file is not the one the patch was made for (changed since that "
               "release, missing, or over 128 MiB)";
      return false;
    }
  }
  LARGE_INTEGER start = {};
  BY_HANDLE_FILE_INFORMATION info = {};
  copy = FileHandle(CreateFileW(staged.c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!copy.valid() || !SetFilePointerEx(frame, start, nullptr, FILE_BEGIN) ||
      !GetFileInformationByHandle(frame, &info)) {
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
  if (decoded != DecodeResult::kOk) {
    reason = std::string("cannot be decoded: ") + DecodeResultText(decoded);
  } else if (hash.Finish(digest) && MatchesList(digest, size, listed, reason)) {
    SetFileTime(copy.get(), nullptr, nullptr, &info.ftLastWriteTime);
    return true;
  }
  RemoveThroughHandle(copy.get());
  copy.reset();
  return false;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring ParentOf(const std::wstring& relative) {
  const size_t cut = relative.find_last_of(L'\\');
  return cut == std::wstring::npos ? std::wstring() : relative.substr(0, cut);
}

// A rename that a file held by another program may block for a moment.
bool RenameWithRetry(const std::wstring& from, const std::wstring& to) {
  return RetryWhileHeld([&] { return MoveFileExW(from.c_str(), to.c_str(), 0) != FALSE; });
}

// The manifest's entries as steps, each checked against the installation folder and the list.
bool PlanSteps(const std::string& manifest, const HashList& list, const ListedFileIndex& index,
               const std::wstring& manifestFolder, const std::wstring& rootFolder,
               std::vector<PlannedStep>& steps, std::vector<bool>& createsFolder) {
  std::vector<ManifestEntry> entries;
  ReadManifestBytes(manifest, [&](const ManifestEntry& entry) { entries.push_back(entry); });
  for (const ManifestEntry& entry : entries) {
    const std::wstring destination = CombinePath(rootFolder, entry.relativePath);
    const std::wstring relative = PathBelowFolder(destination, rootFolder);
    if (entry.cut || relative.empty()) {
      Refuse(entry.written + (entry.cut ? " ...(cut)" : ""), "names no file below the root folder");
      return false;
    }
    PlannedStep step{JournalStep::Kind::kDelete, entry.written, std::wstring(), destination,
                     relative, nullptr};
    if (entry.section == ManifestSection::kUpdatedFiles) {
      step.kind = JournalStep::Kind::kUpdate;
      step.source = CombinePath(manifestFolder, entry.relativePath);
      step.listed = FindListedFile(list, index, entry.written);
      if (!step.listed) {
        Refuse(entry.written, "not in the hash list");
        return false;
      }
    }
    steps.push_back(step);
    createsFolder.push_back(entry.section == ManifestSection::kUpdatedFiles &&
                            entry.createParentFolder);
  }
  return true;
}

// What each step finds before it, as the steps before it leave the installation; the folders
// the updates make (one missing level each, as for any delivery, made when the update is swapped
// in, after the deletions before it); where each staged copy goes: beside its file, or in the
// nearest folder above it that stands now. False, with the entry refused, when an update's
// folder could not be made.
bool JournalFor(const std::wstring& rootFolder, const std::vector<PlannedStep>& steps,
                const std::vector<bool>& createsFolder, Journal& journal) {
  // Files as the steps so far leave them (1 standing, 0 gone), and "/" and a folder for each
  // folder made.
  ListedFileIndex standing;
  const auto folderStands = [&](const std::wstring& relative) {
    return relative.empty() || standing.count("/" + PathKey(relative)) ||
           IsFolder(PathBelowRoot(rootFolder, relative));
  };
  for (size_t i = 0; i < steps.size(); ++i) {
    const PlannedStep& step = steps[i];
    const std::string key = PathKey(step.relative);
    const auto known = standing.find(key);
    const bool existed = known != standing.end()
                             ? known->second != 0
                             : IsFile(PathBelowRoot(rootFolder, step.relative));
    standing[key] = step.kind == JournalStep::Kind::kUpdate ? 1 : 0;
    std::wstring staged;
    if (step.kind == JournalStep::Kind::kUpdate) {
      const std::wstring parent = ParentOf(step.relative);
      if (!folderStands(parent)) {
        if (!createsFolder[i] || !folderStands(ParentOf(parent))) {
          Refuse(step.written, "its folder is missing and is not made by the update");
          return false;
        }
        standing["/" + PathKey(parent)] = 1;
        journal.madeFolders.push_back(parent);
      }
      std::wstring above = parent;
      while (!above.empty() && !IsFolder(PathBelowRoot(rootFolder, above))) above = ParentOf(above);
      const size_t cut = step.relative.find_last_of(L'\\');
      staged = (above.empty() ? std::wstring() : above + L"\\") +
               StagedCopyName(step.relative.substr(cut == std::wstring::npos ? 0 : cut + 1), i);
    }
    journal.steps.push_back({step.kind, step.relative, existed, staged});
  }
  return true;
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

// The staged copies on the disk before any is swapped in: each volume they lie on
// flushed once (which an administrator may do), or where the platform does not allow that, each
// copy through its handle. Flushed after all are written, when the file system has most of them
// on the disk already.
bool FlushStagedCopies(const std::wstring& rootFolder, const Journal& journal,
                       std::vector<FileHandle>& stagedCopies) {
  std::vector<std::wstring> flushedVolumes;
  bool volumesFlushed = true;
  for (const JournalStep& step : journal.steps) {
    if (step.kind != JournalStep::Kind::kUpdate) continue;
    const std::wstring staged = PathBelowRoot(rootFolder, step.staged);
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
  for (FileHandle& staged : stagedCopies) {
    if (!volumesFlushed && staged.valid()) flushed = FlushFileBuffers(staged.get()) && flushed;
  }
  return flushed;
}

// Puts the installation back after a failure past the start of staging; one log line says why.
void Abandon(const std::wstring& rootFolder, const Journal& journal, const std::string& file,
             const std::string& reason) {
  const bool whole = RollBack(rootFolder, journal);
  if (whole) RemoveJournal(rootFolder);
  WriteLog((journal.state == JournalState::kStaging ? "refuse delivery : " : "roll back update : ") +
           file + " : " + reason + (whole ? "" : " (roll back incomplete, repaired at the next run)"));
}

}  // namespace

bool HasHashList(const std::wstring& deliveryFinalPath) {
  // A build with keys takes nothing unsigned: without a list the delivery is refused whole.
  return CompiledDeliveryKeys().count > 0 ||
         GetFileAttributesW(
             (deliveryFinalPath + L"\\" + NarrowToWide(std::string(kHashListFileName))).c_str()) !=
             INVALID_FILE_ATTRIBUTES;
}

bool ApplyListedDelivery(const std::wstring& manifestFolder, const std::wstring& deliveryFinalPath,
                         const std::wstring& rootFolder) {
  // 1. The list, and the manifest as the list gives it.
  const std::string listName(kHashListFileName);
  std::string bytes, reason;
  HashList list;
  HashListError listError;
  if (!ReadDelivered(deliveryFinalPath + L"\\" + NarrowToWide(listName), kMaxHashListBytes, bytes,
                     reason)) {
    Refuse(listName, reason);
    return false;
  }
  const DeliveryKeySet keys = CompiledDeliveryKeys();
  if (keys.count > 0 && !SignedByPublisher(deliveryFinalPath, bytes, keys)) return false;
  if (!ParseHashList(bytes, list, listError)) {
    Refuse(listName, HashListErrorText(listError));
    return false;
  }
  if (keys.count > 0 && !NewerThanApplied(rootFolder, list)) return false;
  const ListedFileIndex index = IndexListedFiles(list);
  const ListedFile* listedManifest = FindListedFile(list, index, kManifestName);
  std::string manifest;
  Sha256Value digest = {};
  if (!listedManifest) {
    Refuse(kManifestName, "not in the hash list");
    return false;
  }
  if (!ReadDelivered(deliveryFinalPath + L"\\" + NarrowToWide(kManifestName),
                     listedManifest->size, manifest, reason) ||
      !ComputeSha256(manifest.data(), manifest.size(), digest) ||
      !MatchesList(digest, manifest.size(), *listedManifest, reason)) {
    Refuse(kManifestName, reason.empty() ? "cannot be hashed" : reason);
    return false;
  }

  // 2. Every entry checked, every listed file that is not installed verified.
  std::vector<PlannedStep> steps;
  std::vector<bool> createsFolder;
  if (!PlanSteps(manifest, list, index, manifestFolder, rootFolder, steps, createsFolder)) {
    return false;
  }
  std::vector<bool> staged(list.files.size());
  staged[listedManifest - list.files.data()] = true;
  for (const PlannedStep& step : steps) {
    if (step.listed) staged[step.listed - list.files.data()] = true;
  }
  for (const ListedFile& listed : list.files) {
    if (!staged[&listed - list.files.data()] &&
        !VerifyListedFile(deliveryFinalPath, listed, reason)) {
      Refuse(listed.path, reason);
      return false;
    }
  }

  // 3. Staged beside each destination, verified while copied, flushed; under the journal from
  // the first file written.
  Journal journal;
  if (!JournalFor(rootFolder, steps, createsFolder, journal)) return false;
  if (!WriteJournal(rootFolder, journal)) {
    Refuse(kManifestName, "the journal cannot be written in the installation");
    return false;
  }
  // Step i's staged copy, held open (no sharing) until it is renamed into place through its
  // handle; let go of before anything is rolled back.
  std::vector<FileHandle> stagedCopies(steps.size());
  for (size_t i = 0; i < steps.size(); ++i) {
    const PlannedStep& step = steps[i];
    if (step.kind != JournalStep::Kind::kUpdate) continue;
    const CheckedItem delivered =
        OpenDelivered(DeliveredFile(deliveryFinalPath, *step.listed), reason);
    if (delivered.state != CheckedState::kChecked) {
      stagedCopies.clear();
      Abandon(rootFolder, journal, step.written, reason);
      return false;
    }
    if (step.listed->kind != ListedKind::kPlain) {
      if (!StageDecoded(delivered.handle.get(), *step.listed,
                        PathBelowRoot(rootFolder, step.relative),
                        PathBelowRoot(rootFolder, journal.steps[i].staged), stagedCopies[i],
                        reason)) {
        stagedCopies.clear();
        Abandon(rootFolder, journal, step.written, reason);
        return false;
      }
      continue;
    }
    Sha256 hash;
    std::uint64_t copied = 0;
    const bool copiedWhole = CopyOpenFile(
        delivered.handle.get(), PathBelowRoot(rootFolder, journal.steps[i].staged),
        [&](const char* block, size_t size) {
          hash.Add(block, size);
          copied += size;
        },
        &stagedCopies[i]);
    if (!copiedWhole) {
      stagedCopies.clear();
      Abandon(rootFolder, journal, step.written,
              "cannot be staged in the installation (error " + Decimal(GetLastError()) + ")");
      return false;
    }
    if (!hash.Finish(digest) || !MatchesList(digest, copied, *step.listed, reason)) {
      stagedCopies.clear();
      Abandon(rootFolder, journal, step.written, reason.empty() ? "cannot be hashed" : reason);
      return false;
    }
  }

  if (!FlushStagedCopies(rootFolder, journal, stagedCopies)) {
    stagedCopies.clear();
    Abandon(rootFolder, journal, kManifestName, "the staged copies cannot be flushed to the disk");
    return false;
  }

  // 4. Swapped in the manifest's order: a running or loaded program can be renamed, where it
  // could not be overwritten.
  journal.state = JournalState::kSwapping;
  if (!WriteJournal(rootFolder, journal)) {
    stagedCopies.clear();
    Abandon(rootFolder, journal, kManifestName, "the journal cannot be written");
    return false;
  }
  std::wstring folderStanding;  // the last folder an update was seen to stand in
  for (size_t i = 0; i < steps.size(); ++i) {
    const PlannedStep& step = steps[i];
    const std::wstring file = PathBelowRoot(rootFolder, step.relative);
    bool swapped = true;
    if (step.kind == JournalStep::Kind::kUpdate) {
      WriteLog("copy file from : " + WideToNarrow(step.source) + ",to :" +
               WideToNarrow(step.destination));
      const std::wstring parent = PathBelowRoot(rootFolder, ParentOf(step.relative));
      if (createsFolder[i] && parent != folderStanding && !IsFolder(parent)) {
        CreateDirectoryW(parent.c_str(), nullptr);
      }
      folderStanding = parent;
      swapped = (!journal.steps[i].existed || RenameWithRetry(file, BackupPath(file, i))) &&
                RenameThroughHandle(stagedCopies[i].get(), file);
      stagedCopies[i].reset();
    } else {
      WriteLog("delete file : " + WideToNarrow(step.destination));
      swapped = !journal.steps[i].existed || RenameWithRetry(file, BackupPath(file, i));
    }
    if (!swapped) {
      const std::string reason = "cannot be renamed (error " + Decimal(GetLastError()) +
                                 "), every file put back";
      stagedCopies.clear();
      Abandon(rootFolder, journal, step.written, reason);
      return false;
    }
  }

  // 5. Committed: what is left of the old files goes now, or at a later run.
  journal.state = JournalState::kCommitted;
  if (!WriteJournal(rootFolder, journal)) {
    journal.state = JournalState::kSwapping;
    Abandon(rootFolder, journal, kManifestName, "the journal cannot be committed");
    return false;
  }
  if (keys.count > 0) RecordAppliedRelease(rootFolder, list.release);
  if (CleanUpCommitted(rootFolder, journal)) RemoveJournal(rootFolder);
  return true;
}
