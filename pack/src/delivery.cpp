#include "delivery.h"

#include <fstream>
#include <system_error>

#include "cp936.h"
#include "manifest_line.h"
#include "names.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

// A folder name beside out that no other run uses.
fs::path SiblingName(const fs::path& out, const char* what) {
  return out.parent_path() /
         fs::u8path("." + out.filename().u8string() + "." + what + "-" +
                    std::to_string(ProcessId()));
}

bool WriteFiles(const fs::path& newRoot, const Plan& plan, const fs::path* updater,
                const fs::path& folder, const std::function<void(std::uint64_t)>& onCopied,
                std::string& error) {
  std::error_code ec;
  bool updaterDelivered = false;
  for (const std::string& relative : plan.updated) {
    const fs::path source = JoinRelative(newRoot, relative);
    const fs::path destination = JoinRelative(folder, relative);
    fs::create_directories(destination.parent_path(), ec);
    if (!ec) fs::copy_file(source, destination, ec);
    if (ec) {
      error = source.u8string() + ": cannot be copied into the delivery: " + ec.message();
      return false;
    }
    updaterDelivered |= CaseKey(relative) == CaseKey(kUpdaterName);
    if (onCopied) onCopied(fs::file_size(destination, ec));
  }
  // A top-level Updater.exe of the new tree has been checked to be this same file.
  if (updater && !updaterDelivered) {
    fs::copy_file(*updater, folder / kUpdaterName, ec);
    if (ec) {
      error = updater->u8string() + ": cannot be copied into the delivery: " + ec.message();
      return false;
    }
  }
  std::ofstream manifest(folder / kManifestName, std::ios::binary);
  manifest << ManifestText(plan);
  manifest.close();
  if (!manifest) {
    error = (folder / kManifestName).u8string() + ": cannot be written";
    return false;
  }
  return true;
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

bool WriteDelivery(const fs::path& newRoot, const Plan& plan, const fs::path* updater,
                   const fs::path& out, bool replace,
                   const std::function<void(std::uint64_t)>& onCopied, std::string& error) {
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
  if (!WriteFiles(newRoot, plan, updater, partial, onCopied, error)) {
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
