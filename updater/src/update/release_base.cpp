// The base of a whole-release delivery (hash list format 3), checked while the main application
// still runs: the installation must be the release a partial delivery was made from, a full
// delivery must not take it backwards, and every file the delivery keeps must be installed as
// the list gives it. Only then is the result of the apply exactly the listed release.

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "base/handles.h"
#include "base/log.h"
#include "base/sha256.h"
#include "base/text.h"
#include "update/delivered_files.h"
#include "update/journal.h"
#include "update/listed_apply.h"
#include "update/release_record.h"

namespace {

const char kRecordName[] = ".vintrel/release";
const char kMainAppPath[] = "bin/32bit/" "Kivo直播助手.exe";

// The file version in the VERSIONINFO of the program at path; false when it has none or cannot
// be read. Read as a resource of an image mapped as data: no code of it runs, and no library
// (version.dll) is loaded for it.
bool ReadFileVersion(const std::wstring& path, FileVersion& version) {
  const HMODULE image = LoadLibraryExW(
      path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!image) return false;
  bool found = false;
  const HRSRC resource = FindResourceW(image, MAKEINTRESOURCEW(1), RT_VERSION);
  const HGLOBAL loaded = resource ? LoadResource(image, resource) : nullptr;
  const auto* bytes = static_cast<const std::uint8_t*>(loaded ? LockResource(loaded) : nullptr);
  const DWORD size = resource ? SizeofResource(image, resource) : 0;
  // VS_FIXEDFILEINFO follows the key "VS_VERSION_INFO", DWORD-aligned: its signature, its
  // structure version, then the file version's high and low halves.
  for (DWORD at = 0; bytes && at + 16 <= size && !found; at += 4) {
    DWORD fields[4];
    std::copy(bytes + at, bytes + at + 16, reinterpret_cast<std::uint8_t*>(fields));
    if (fields[0] != 0xFEEF04BDu) continue;
    version = {static_cast<std::uint16_t>(fields[2] >> 16),
               static_cast<std::uint16_t>(fields[2] & 0xFFFF),
               static_cast<std::uint16_t>(fields[3] >> 16),
               static_cast<std::uint16_t>(fields[3] & 0xFFFF)};
    found = true;
  }
  FreeLibrary(image);
  return found;
}

// Whether a kept file is installed as listed; why not otherwise, and whether a program holding
// it was all that stood in the way.
// A list path below the root as the platform writes it.
std::wstring ListPathWide(const std::string& cp936Path) {
  std::wstring relative = NarrowToWide(cp936Path);
  std::replace(relative.begin(), relative.end(), L'/', L'\\');
  return relative;
}

bool InstalledAsListed(const std::wstring& path, const ListedFile& kept, bool& held,
                       std::string& reason) {
  // Read only, beside whoever has it open: a running image's own handle, say.
  const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
  held = !file.valid() && GetLastError() == ERROR_SHARING_VIOLATION;
  BY_HANDLE_FILE_INFORMATION info = {};
  reason = "missing, held or not a plain file";
  Sha256Value digest = {};
  std::uint64_t size = 0;
  // The file as installed, whatever form its delivered bytes take.
  return file.valid() && GetFileInformationByHandle(file.get(), &info) &&
         !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
         HashOpenFile(file.get(), digest, size) &&
         Matches(digest, size, kept.sha256, kept.size, reason);
}

}  // namespace

void SkipInstalledFiles(ListedApply& apply) {
  std::vector<PlannedStep> kept;
  for (PlannedStep& step : apply.steps) {
    bool held = false;
    std::string reason;
    if (step.kind == JournalStep::Kind::kUpdate &&
        InstalledAsListed(PathBelowRoot(apply.rootFolder, step.relative), *step.listed, held,
                          reason)) {
      WriteLog("already installed : " + step.written);
      continue;
    }
    kept.push_back(std::move(step));
  }
  apply.steps = std::move(kept);
}

bool CheckReleaseBase(ListedApply& apply, bool keys, ReleaseRecordRead record,
                      std::uint64_t recorded) {
  const HashList& list = apply.list;
  if (list.format < 3) {
    if (!keys) return true;
    Refuse(apply, ApplyReason::kListInvalid, std::string(kHashListFileName),
           "no \"from\" or \"full\" line (format 1 or 2): not a whole release");
    return false;
  }
  // The record is kept by builds with keys only: without keys the release is not known.
  if (keys && !list.full && (record != ReleaseRecordRead::kRead || recorded != list.from)) {
    Refuse(apply, ApplyReason::kBaseDiffers, kRecordName,
           "not the release the delivery is from, " + Decimal(list.from));
    return false;
  }
  // An installation no release was recorded for (as its installer left it) is held against
  // the main application's file version instead.
  FileVersion installed = {};
  if (keys && list.full && record == ReleaseRecordRead::kNone &&
      ReadFileVersion(PathBelowRoot(apply.rootFolder, ListPathWide(kMainAppPath)), installed) &&
      installed > list.mainVersion) {
    Refuse(apply, ApplyReason::kNotNewer, kMainAppPath,
           "the installed main application's file version is above the full delivery's");
    return false;
  }
  for (const ListedFile& kept : list.kept) {
    bool held = false;
    std::string reason;
    const std::wstring path = PathBelowRoot(apply.rootFolder, ListPathWide(kept.path));
    if (path.empty() || !InstalledAsListed(path, kept, held, reason)) {
      // A program holding it may let go: the delivery waits for the next run.
      Refuse(apply, held ? ApplyReason::kHeld : ApplyReason::kBaseDiffers, kept.path,
             "a kept file: " + reason);
      apply.outcome.keepDelivery = held;
      return false;
    }
  }
  return true;
}
