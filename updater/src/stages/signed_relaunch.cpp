#include "stages/signed_relaunch.h"

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "base/app_names.h"
#include "base/file_copy.h"
#include "base/folders.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/sha256.h"
#include "base/signature_check.h"
#include "base/text.h"
#include "update/release_record.h"
#include "hash_list.h"
#include "list_signature.h"

namespace {


// Opened for reading with no write or delete sharing: while held, nobody changes, replaces or
// removes it. A link is opened as itself, so its bytes are never the file it names.
FileHandle OpenHeld(const std::wstring& path) {
  return FileHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN,
                                nullptr));
}


// The whole of the small file name in folder, read from a held handle.
bool ReadHeldFile(const std::wstring& folder, std::string_view name, std::size_t maxBytes,
                  std::string& bytes) {
  const std::wstring path = CombinePath(folder, NarrowToWide(std::string(name)));
  const FileHandle file = OpenHeld(path);
  return file.valid() && ReadOpenFile(file.get(), maxBytes, bytes) == ReadResult::kRead;
}

// Why the delivered updater in folder is not the signed one, or nothing when it is: then it is
// open in held and digest is its SHA-256.
std::optional<std::string> OpenSignedUpdater(const std::wstring& folder,
                                             const std::wstring& delivered,
                                             const std::wstring& rootFolder,
                                             const DeliveryKeySet& keys, FileHandle& held,
                                             Sha256Value& digest) {
  std::string listBytes, signature;
  if (!ReadHeldFile(folder, kHashListFileName, kMaxHashListBytes, listBytes)) {
    return "no readable " + std::string(kHashListFileName);
  }
  if (!ReadHeldFile(folder, kSignatureFileName, kMaxSignatureBytes, signature)) {
    return "no readable " + std::string(kSignatureFileName);
  }
  // The list is read from the very bytes the signature was checked on.
  const SignatureCheck check = CheckListSignature(listBytes, signature, keys);
  if (check != SignatureCheck::kVerified) {
    return std::string(kSignatureFileName) + ": " + SignatureCheckText(check);
  }
  HashList list;
  HashListError error;
  if (!ParseHashList(listBytes, list, error)) {
    return std::string(kHashListFileName) + ": " + HashListErrorText(error);
  }
  // A signature proves the bytes, not that they are newer: an earlier release's updater, with
  // the faults its successors mended, is not started elevated. A record that cannot be read
  // proves nothing either.
  std::uint64_t applied = 0;
  if (ReadPublishedRelease(rootFolder, applied) == ReleaseRecordRead::kUnreadable) {
    return "the last release applied cannot be read";
  }
  if (list.release <= applied) {
    return "release " + FormatUInt64(list.release) + " is not above the last one applied, " +
           FormatUInt64(applied);
  }
  const std::string name = WideToNarrow(kDeliveredUpdaterName);
  const ListedFile* listed = FindListedFile(list, IndexListedFiles(list), name);
  if (!listed) return "not in " + std::string(kHashListFileName);

  held = OpenHeld(delivered);
  std::uint64_t size = 0;
  if (!held.valid() || !HashOpenFile(held.get(), digest, size)) return "cannot be read";
  if (size != listed->size || digest != listed->sha256) {
    return "differs from " + std::string(kHashListFileName);
  }
  return std::nullopt;
}

// Copies the held source (named sourceName in the log) over destination and holds the copy,
// when its bytes are those of digest.
FileHandle CopyAndHold(const std::wstring& sourceName, HANDLE source, const Sha256Value& digest,
                       const std::wstring& destination) {
  if (!CopyHeldFileWithRetry(sourceName, source, destination)) return FileHandle();
  // Between the copy's end and this open another program may have replaced the file: what is
  // held is hashed again.
  FileHandle copy = OpenHeld(destination);
  Sha256Value copied{};
  std::uint64_t size = 0;
  if (!copy.valid() || !HashOpenFile(copy.get(), copied, size) || copied != digest) {
    return FileHandle();
  }
  return copy;
}

}  // namespace

FileHandle CopySignedUpdater(const std::wstring& source, const std::wstring& dataTempFolder,
                             const std::wstring& rootFolder, const std::wstring& destination,
                             const DeliveryKeySet& keys) {
  const std::wstring own = GetModulePath();
  const std::wstring& delivered = source;
  Sha256Value digest{};
  if (delivered != own) {
    FileHandle held;
    const std::optional<std::string> refused =
        OpenSignedUpdater(dataTempFolder, delivered, rootFolder, keys, held, digest);
    if (!refused) {
      FileHandle copy = CopyAndHold(delivered, held.get(), digest, destination);
      if (copy.valid()) return copy;
    } else {
      WriteLog("delivered updater not started : " + *refused);
    }
  }
  const FileHandle held = OpenHeld(own);
  std::uint64_t size = 0;
  if (held.valid() && !HashOpenFile(held.get(), digest, size)) return FileHandle();
  // An executable that cannot be opened still gets its line in the log.
  return CopyAndHold(own, held.get(), digest, destination);
}
