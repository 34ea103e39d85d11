#include "delivery.h"

#include <fstream>
#include <set>
#include <system_error>

#include "cp936.h"
#include "hash_list.h"
#include "list_signature.h"
#include "manifest_line.h"
#include "names.h"
#include "out_folder.h"
#include "platform.h"
#include "sha256.h"

namespace fs = std::filesystem;

namespace {

// A folder name beside out that no other run uses.
fs::path SiblingName(const fs::path& out, const char* what) {
  return out.parent_path() /
         fs::u8path("." + out.filename().u8string() + "." + what + "-" +
                    std::to_string(ProcessId()));
}

// Copies source to relative in folder, listing it with the hash computed on the way.
bool CopyListed(const fs::path& source, const fs::path& folder, const std::string& relative,
                std::vector<ListedFile>& listed, std::string& error) {
  const fs::path destination = JoinRelative(folder, relative);
  std::error_code ec;
  fs::create_directories(destination.parent_path(), ec);
  ListedFile file{Utf8ToCp936(relative).value_or(std::string()), {}, 0, 0};
  if (ec || !CopyFileHashing(source, destination, file.sha256, file.size, error)) {
    error = source.u8string() + ": cannot be copied into the delivery: " +
            (ec ? ec.message() : error);
    return false;
  }
  listed.push_back(std::move(file));
  return true;
}

bool WriteText(const fs::path& path, const std::string& text, std::string& error) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  out.close();
  if (!out) error = path.u8string() + ": cannot be written";
  return static_cast<bool>(out);
}

// Why relative's frame and patch cannot lie beside the delivered files, or nullptr when they
// can: their names must fit the delivery folder's path limit and name no delivered file (keys:
// the delivered names' CaseKey).
const char* FramesDoNotFit(const std::string& relative, std::size_t deliveryLength,
                           const std::set<std::string>& keys) {
  if (deliveryLength + 1 + Utf16Length(relative) + kPatchSuffix.size() > kMaxPathLength) {
    return "plain: the name of its frame or patch would pass the path limit";
  }
  if (keys.count(CaseKey(relative + std::string(kZstdSuffix))) != 0 ||
      keys.count(CaseKey(relative + std::string(kPatchSuffix))) != 0) {
    return "plain: the name of its frame or patch is another delivered file's";
  }
  return nullptr;
}

// Delivers relative as delta says (plain for the reason plainWhy when it is given), adding its
// line to listed and counting it.
bool DeliverDelta(const fs::path& newRoot, const std::string& relative, const char* plainWhy,
                  const fs::path& folder, DeltaOptions& delta, std::vector<ListedFile>& listed,
                  std::string& error) {
  ListedFile file{};
  std::string why = plainWhy ? plainWhy : "";
  if (!DeliverSmallest(JoinRelative(newRoot, relative), delta.baseOf(relative), folder, relative,
                       plainWhy != nullptr, file, error, &why)) {
    return false;
  }
  DeltaStats& stats = delta.stats;
  ++(file.kind == ListedKind::kPatch  ? stats.patches
     : file.kind == ListedKind::kZstd ? stats.frames
                                      : stats.plain);
  stats.deliveredBytes += file.kind == ListedKind::kPlain ? file.size : file.frameSize;
  delta.files.push_back({relative, file.kind,
                         file.kind == ListedKind::kPlain ? file.size : file.frameSize, why});
  listed.push_back(std::move(file));
  return true;
}

bool WriteFiles(const fs::path& newRoot, const Plan& plan, const fs::path* updater,
                std::uint64_t release, const DeliveryKey* signingKey, const fs::path& folder,
                const std::function<void(std::uint64_t)>& onCopied, std::string& error,
                DeltaOptions* delta, const HashList* whole) {
  // The manifest comes first in the list, then the files in the order they are copied.
  const std::string manifest = ManifestText(plan);
  std::vector<ListedFile> listed = {{kManifestName, Sha256Of(manifest), manifest.size(), 0}};
  std::set<std::string> keys = {CaseKey(kManifestName), CaseKey(kUpdaterName)};
  for (const std::string& relative : plan.updated) keys.insert(CaseKey(relative));
  bool updaterDelivered = false;
  for (const std::string& relative : plan.updated) {
    if (Interrupted()) {
      error = "interrupted";
      return false;
    }
    const bool isUpdater = CaseKey(relative) == CaseKey(kUpdaterName);
    // The first stage copies a delivered Updater.exe as it is.
    const char* plainWhy = isUpdater ? "plain: the first stage copies the updater as it is"
                           : delta   ? FramesDoNotFit(relative, delta->deliveryLength, keys)
                                     : nullptr;
    if (delta ? !DeliverDelta(newRoot, relative, plainWhy, folder, *delta, listed, error)
              : !CopyListed(JoinRelative(newRoot, relative), folder, relative, listed, error)) {
      return false;
    }
    updaterDelivered |= isUpdater;
    if (onCopied) onCopied(listed.back().size);
  }
  // Only measured: nothing more to decide.
  if (folder.empty()) return true;
  // A top-level Updater.exe of the new tree has been checked to be this same file.
  if (updater && !updaterDelivered && !CopyListed(*updater, folder, kUpdaterName, listed, error)) {
    return false;
  }
  HashList written = whole ? *whole : HashList{};
  written.format = whole ? 3 : delta ? 2 : 1;
  written.release = release;
  written.files = std::move(listed);
  const std::string list = HashListText(written);
  if (!WriteText(folder / kManifestName, manifest, error) ||
      !WriteText(folder / fs::u8path(kHashListFileName), list, error)) {
    return false;
  }
  // The signature covers the list's exact bytes, as written.
  std::string signature;
  return !signingKey || (SignList(*signingKey, list, signature, error) &&
                         WriteText(folder / fs::u8path(kSignatureFileName), signature, error));
}

}  // namespace

std::string ManifestText(const Plan& plan) {
  std::string text;
  const auto line = [&text](const std::string& utf8) {
    text += Utf8ToCp936(utf8).value_or(std::string());
    text += "\r\n";
  };
  if (!plan.deleted.empty()) {
    line(std::string(kDeletedFilesMarker));
    for (const std::string& relative : plan.deleted) line(relative);
  }
  line(std::string(kUpdatedFilesMarker));
  for (const std::string& relative : plan.updated) line(relative);
  return text;
}

bool MeasureDelta(const fs::path& newRoot, const Plan& plan, DeltaOptions& delta,
                  const std::function<void(std::uint64_t)>& onMeasured, std::string& error) {
  return WriteFiles(newRoot, plan, nullptr, 0, nullptr, fs::path(), onMeasured, error, &delta,
                    nullptr);
}

bool WriteDelivery(const fs::path& newRoot, const Plan& plan, const fs::path* updater,
                   std::uint64_t release, const DeliveryKey* signingKey, const fs::path& out,
                   bool replace, const std::function<void(std::uint64_t)>& onCopied,
                   std::string& error, DeltaOptions* delta, const HashList* whole) {
  std::error_code ec;
  // The highest of out's missing parents: made here, and removed again if the run fails.
  fs::path madeParent;
  for (fs::path parent = out.parent_path(); !parent.empty() && !fs::exists(parent, ec) && !ec;
       parent = parent.parent_path()) {
    madeParent = parent;
    if (parent == parent.parent_path()) break;
  }
  const auto failed = [&]() {
    std::error_code ignored;
    if (!madeParent.empty()) fs::remove_all(madeParent, ignored);
    return false;
  };
  const fs::path partial = SiblingName(out, "partial");
  fs::remove_all(partial, ec);
  if (!fs::create_directories(partial, ec) || ec) {
    error = partial.u8string() + ": cannot be made: " + ec.message();
    fs::remove_all(partial, ec);
    return failed();
  }
  // The marker tells a later run that this folder is a partial delivery of ours.
  if (!WriteText(partial / kPartialMarker, PartialMarkerText(), error) ||
      !WriteFiles(newRoot, plan, updater, release, signingKey, partial, onCopied, error,
                  delta, whole) ||
      !fs::remove(partial / kPartialMarker, ec)) {
    fs::remove_all(partial, ec);
    return failed();
  }
  // The old delivery moves aside first, so out is never half one and half the other.
  const fs::path previous = SiblingName(out, "previous");
  const bool hadPrevious = replace && fs::exists(out, ec);
  if (hadPrevious) {
    fs::remove_all(previous, ec);
    fs::rename(out, previous, ec);
    if (ec) {
      error = out.u8string() + ": cannot be replaced: " + ec.message();
      fs::remove_all(partial, ec);
      return failed();
    }
  }
  fs::rename(partial, out, ec);
  if (ec) {
    error = out.u8string() + ": the delivery cannot be moved into place: " + ec.message();
    std::error_code ignored;
    if (hadPrevious) fs::rename(previous, out, ignored);
    fs::remove_all(partial, ignored);
    return failed();
  }
  if (hadPrevious) fs::remove_all(previous, ec);
  return true;
}
