// Trust: what a listed delivery may be taken for before anything of it is staged. The list is
// read (and, with keys, its signature verified over its exact bytes before anything in it is
// read), its release compared with the last one applied, the manifest held against the list,
// and every entry planned and checked against the installation and the list.

#include <windows.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "base/delivery_keys.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/signature_check.h"
#include "base/text.h"
#include "list_signature.h"
#include "update/delivered_files.h"
#include "update/listed_apply.h"
#include "update/manifest.h"
#include "update/release_record.h"

namespace {

const char kManifestName[] = "UpdateInfo.ini";

ApplyReason ReasonOfRead(ReadDeliveredResult read) {
  return read == ReadDeliveredResult::kNoMemory ? ApplyReason::kMemory : ApplyReason::kFileDiffers;
}

// A signature proves the bytes, the release number that they are not an older signed delivery
// copied back into the folder. A record that cannot be read proves nothing: the delivery waits.
bool NewerThanApplied(ListedApply& apply, ReleaseRecordRead& record, std::uint64_t& last) {
  const std::string listName(kHashListFileName);
  record = ReadReleaseRecord(apply.rootFolder, last);
  if (record == ReleaseRecordRead::kUnreadable) {
    Refuse(apply, ApplyReason::kHeld, listName,
           "the last release applied cannot be read, the delivery kept for the next run");
    apply.outcome.keepDelivery = true;
    return false;
  }
  if (apply.list.release == last) {
    // The update a repair just finished, or one whose run ended before its delivery was
    // removed: it is in place, and the run says so.
    WriteLog("remove delivery : release " + Decimal(last) + " is the one applied");
    apply.outcome.result = ApplyResult::kApplied;
    apply.outcome.reason = ApplyReason::kNone;
    return false;
  }
  if (apply.list.release < last) {
    Refuse(apply, ApplyReason::kNotNewer, listName,
           "release " + Decimal(apply.list.release) + " is not above the last one applied, " +
               Decimal(last));
    return false;
  }
  return true;
}

// The manifest's entries as steps, each checked against the installation folder and the list.
bool PlanSteps(ListedApply& apply, const std::string& manifest, const ListedFileIndex& index) {
  std::vector<ManifestEntry> entries;
  ReadManifestBytes(manifest, [&](const ManifestEntry& entry) { entries.push_back(entry); });
  for (const ManifestEntry& entry : entries) {
    const std::wstring destination = CombinePath(apply.rootFolder, entry.relativePath);
    const std::wstring relative = PathBelowFolder(destination, apply.rootFolder);
    if (entry.cut || relative.empty()) {
      Refuse(apply, ApplyReason::kListInvalid, entry.written + (entry.cut ? " ...(cut)" : ""),
             "names no file below the root folder");
      return false;
    }
    const bool update = entry.section == ManifestSection::kUpdatedFiles;
    PlannedStep step{JournalStep::Kind::kDelete, entry.written, std::wstring(), destination,
                     relative, nullptr, update && entry.createParentFolder};
    if (update) {
      step.kind = JournalStep::Kind::kUpdate;
      step.source = CombinePath(apply.manifestFolder, entry.relativePath);
      step.listed = FindListedFile(apply.list, index, entry.written);
      if (!step.listed) {
        Refuse(apply, ApplyReason::kUnlistedEntry, entry.written, "not in the hash list");
        return false;
      }
    }
    apply.steps.push_back(step);
  }
  return true;
}

// Hashes a checked delivered file that is listed but not installed (a delivered updater).
bool VerifyListedFile(const std::wstring& deliveryFinalPath, const ListedFile& listed,
                      std::string& reason) {
  const CheckedItem file = OpenDelivered(DeliveredFile(deliveryFinalPath, listed), reason);
  return file.state == CheckedState::kChecked &&
         DeliveredAsListed(file.handle.get(), listed, reason);
}

}  // namespace

bool ReadDeliveryList(const std::wstring& deliveryFinalPath, const DeliveryKeySet& keys,
                      DeliveryList& read, ApplyReason& why, std::string& file,
                      std::string& reason) {
  const std::string listName(kHashListFileName), signatureName(kSignatureFileName);
  file = listName;
  const ReadDeliveredResult listRead =
      ReadDelivered(deliveryFinalPath + L"\\" + NarrowToWide(listName), kMaxHashListBytes,
                    read.bytes, reason);
  if (listRead != ReadDeliveredResult::kRead) {
    why = listRead != ReadDeliveredResult::kUnavailable ? ReasonOfRead(listRead)
          : keys.count > 0                              ? ApplyReason::kNoSignature
                                                        : ApplyReason::kListInvalid;
    return false;
  }
  // With keys compiled in, only what the publisher signed.
  if (keys.count > 0) {
    file = signatureName;
    if (ReadDelivered(deliveryFinalPath + L"\\" + NarrowToWide(signatureName),
                      kMaxSignatureBytes, read.signature, reason) != ReadDeliveredResult::kRead) {
      why = ApplyReason::kNoSignature;
      reason = "no signature: " + reason;
      return false;
    }
    const SignatureCheck check = CheckListSignature(read.bytes, read.signature, keys);
    if (check != SignatureCheck::kVerified) {
      why = ApplyReason::kBadSignature;
      reason = SignatureCheckText(check);
      return false;
    }
  }
  file = listName;
  HashListError listError;
  if (!ParseHashList(read.bytes, read.list, listError)) {
    why = ApplyReason::kListInvalid;
    reason = HashListErrorText(listError);
    return false;
  }
  return true;
}

bool TrustDelivery(ListedApply& apply) {
  // The list, signed and newer when this build has keys.
  const DeliveryKeySet keys = CompiledDeliveryKeys();
  DeliveryList read;
  ApplyReason why = ApplyReason::kListInvalid;
  std::string file, reason;
  if (!ReadDeliveryList(apply.deliveryFinalPath, keys, read, why, file, reason)) {
    Refuse(apply, why, file, reason);
    return false;
  }
  apply.list = std::move(read.list);
  apply.outcome.release = apply.list.release;
  ReleaseRecordRead record = ReleaseRecordRead::kNone;
  std::uint64_t recorded = 0;
  if (keys.count > 0 && !NewerThanApplied(apply, record, recorded)) return false;
  if (!CheckReleaseBase(apply, keys.count > 0, record, recorded)) return false;

  // The manifest as the list gives it.
  const ListedFileIndex index = IndexListedFiles(apply.list);
  const ListedFile* listedManifest = FindListedFile(apply.list, index, kManifestName);
  if (!listedManifest) {
    Refuse(apply, ApplyReason::kUnlistedEntry, kManifestName, "not in the hash list");
    return false;
  }
  std::string manifest;
  Sha256Value digest = {};
  const ReadDeliveredResult manifestRead =
      ReadDelivered(apply.deliveryFinalPath + L"\\" + NarrowToWide(kManifestName),
                    listedManifest->size, manifest, reason);
  if (manifestRead != ReadDeliveredResult::kRead ||
      !ComputeSha256(manifest.data(), manifest.size(), digest) ||
      !MatchesList(digest, manifest.size(), *listedManifest, reason)) {
    Refuse(apply, ReasonOfRead(manifestRead), kManifestName,
           reason.empty() ? "cannot be hashed" : reason);
    return false;
  }

  // Every entry checked, every listed file that is not installed verified.
  if (!PlanSteps(apply, manifest, index)) return false;
  std::vector<bool> installed(apply.list.files.size());
  installed[listedManifest - apply.list.files.data()] = true;
  for (const PlannedStep& step : apply.steps) {
    if (step.listed) installed[step.listed - apply.list.files.data()] = true;
  }
  for (const ListedFile& listed : apply.list.files) {
    if (!installed[&listed - apply.list.files.data()] &&
        !VerifyListedFile(apply.deliveryFinalPath, listed, reason)) {
      Refuse(apply, ApplyReason::kFileDiffers, listed.path, reason);
      return false;
    }
  }
  if (apply.list.full) SkipInstalledFiles(apply);
  return true;
}
