#pragma once
// Writing a delivery folder: the delivered files, the optional updater at the top,
// UpdateInfo.ini, the hash list UpdateInfo.sha256 and, with a key, its signature UpdateInfo.sig,
// made in a temporary folder beside the destination and moved into place only when complete.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "delta.h"
#include "hash_list.h"
#include "plan.h"
#include "signing.h"

// UpdateInfo.ini's bytes for a plan: code page 936, CR LF, no byte-order mark; deletions first
// (so a file that became a folder is gone before its folder is made), then the files to copy,
// each written with "/". Every name must have passed CheckEntryName.
std::string ManifestText(const Plan& plan);

// Makes the choices of a delta delivery of plan as WriteDelivery does, measuring what each file
// would be delivered as, and writes nothing: delta's stats and files are filled as by a real
// run (without the updater given to WriteDelivery). False, with error, when a file cannot be read.
bool MeasureDelta(const std::filesystem::path& newRoot, const Plan& plan, DeltaOptions& delta,
                  const std::function<void(std::uint64_t)>& onMeasured, std::string& error);

// Writes the delivery for plan to out, an absolute path without a trailing separator
// (replacing an existing out when replace is true), making its missing parents, with its hash
// list under the publisher's release number, signed with signingKey when given. With delta (a
// delta delivery) each file goes as DeliverSmallest makes it, except Updater.exe and files whose
// frame's name would not fit or would collide, and delta's stats count them. Nothing is left at
// out, beside it or of those parents when it fails; error then says why. With whole (a list of
// format 3 with its "from" or "full" line and kept files) the list describes the whole release:
// whole's lines, with the release and the delivered files.
bool WriteDelivery(const std::filesystem::path& newRoot, const Plan& plan,
                   const std::filesystem::path* updater, std::uint64_t release,
                   const DeliveryKey* signingKey, const std::filesystem::path& out, bool replace,
                   const std::function<void(std::uint64_t)>& onCopied, std::string& error,
                   DeltaOptions* delta = nullptr, const HashList* whole = nullptr);
