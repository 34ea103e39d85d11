#include "delivery_check.h"

#include <algorithm>
#include <set>
#include <unordered_map>

#include "cp936.h"
#include "hash_list.h"
#include "list_signature.h"
#include "manifest_line.h"
#include "names.h"
#include "plan.h"

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr char kSaveAsCp936[] =
    "save UpdateInfo.ini as code page 936 (GBK), or make it with vintrel-pack diff";

enum class Section { kNone, kUpdated, kDeleted };

constexpr size_t kReadChunkBytes = 64 * 1024;

// The manifest's lines as the updater reads them, by its own reader, CTRL+Z included. Returns
// whether bytes follow a CTRL+Z (the updater never reads them).
bool ReadLines(std::istream& in, const ManifestLineReader::OnLine& onLine) {
  in.clear();
  in.seekg(0);
  std::string chunk(kReadChunkBytes, '\0');
  ManifestLineReader reader;
  while (in.read(&chunk[0], static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
    const size_t got = static_cast<size_t>(in.gcount());
    const size_t used = reader.Feed(std::string_view(chunk.data(), got), onLine);
    if (reader.Ended()) {
      reader.Finish(onLine);
      return used + 1 < got || in.peek() != std::char_traits<char>::eof();
    }
  }
  reader.Finish(onLine);
  return false;
}

// A line without a UTF-8 byte-order mark at its start.
std::string_view WithoutBom(std::string_view line) {
  if (line.compare(0, kUtf8Bom.size(), kUtf8Bom) == 0) line.remove_prefix(kUtf8Bom.size());
  return line;
}

// Whether the manifest was saved as UTF-8: the whole file decodes as UTF-8 and holds a
// sequence that is not code page 936. A file that reads both ways is code page 936, as the
// updater reads it. Neither encoding has a line feed inside a character, so line by line is
// the whole file.
bool SavedAsUtf8(std::istream& in) {
  bool utf8 = true, cp936 = true, first = true;
  ReadLines(in, [&](const BoundedLine& line) {
    const std::string_view text = first ? WithoutBom(line.kept) : std::string_view(line.kept);
    first = false;
    if (line.cut || !utf8) return;
    bool valid = false;
    DecodeUtf8(text, &valid);
    utf8 = valid;
    if (cp936 && !Cp936ToUtf8(text)) cp936 = false;
  });
  return utf8 && !cp936;
}

std::string Trimmed(std::string_view text) {
  std::string out(text);
  if (out.compare(0, kUtf8Bom.size(), kUtf8Bom) == 0) out.erase(0, kUtf8Bom.size());
  const size_t first = out.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  const size_t last = out.find_last_not_of(" \t\r");
  return out.substr(first, last - first + 1);
}

// A line meant as a marker: equal to one once blanks, a byte-order mark and case are ignored.
std::string_view NearMarker(std::string_view line) {
  const std::string key = CaseKey(Trimmed(line));
  if (key == CaseKey(kUpdatedFilesMarker)) return kUpdatedFilesMarker;
  if (key == CaseKey(kDeletedFilesMarker)) return kDeletedFilesMarker;
  return std::string_view();
}

struct Entry {
  std::string resolved;  // "/" between levels, "." and ".." resolved
  bool outside = false;
  std::string nameProblem;
};

// The entry as the platform's path joining makes it: levels split at either separator.
Entry ResolveEntry(const std::string& written) {
  Entry entry;
  std::string slashes = written;
  for (char& c : slashes) c = c == '\\' ? '/' : c;
  if (slashes.front() == '/' || slashes.find(':') != std::string::npos) {
    entry.outside = true;
    return entry;
  }
  std::vector<std::string> kept;
  for (const std::string& level : SplitLevels(slashes)) {
    if (level == ".") continue;
    if (level == "..") {
      if (kept.empty()) {
        entry.outside = true;
        return entry;
      }
      kept.pop_back();
      continue;
    }
    kept.push_back(level);
  }
  for (size_t i = 0; i < kept.size(); ++i) entry.resolved += (i ? "/" : "") + kept[i];
  if (entry.resolved.empty()) entry.outside = true;
  return entry;
}

class Checker {
 public:
  Checker(const std::vector<TreeItem>& delivery, const CheckOptions& options, Report& report,
          std::vector<CopiedEntry>* copied)
      : options_(options), report_(report), copiedEntries_(copied) {
    for (const TreeItem& item : delivery) listing_.push_back(&item);
    std::sort(listing_.begin(), listing_.end(), [](const TreeItem* a, const TreeItem* b) {
      return ParentsFirstLess(a->relative, b->relative);
    });
    for (const TreeItem* listed : listing_) {
      const TreeItem& item = *listed;
      const auto [it, inserted] = delivery_.emplace(CaseKey(item.relative), &item);
      if (!inserted) {
        report_.Problem("case-collision", item.relative, 0,
                        "the delivery also holds \"" + it->second->relative +
                            "\"; Windows holds only one of two names that differ in case",
                        "keep one of them");
      }
      if (item.kind == ItemKind::kLink) {
        report_.Problem("link-in-delivery", item.relative, 0,
                        "a link in the delivery; the updater copies nothing through a link",
                        "put the file itself in the delivery");
      }
    }
    if (options.installed) {
      folders_.insert(std::string());
      for (const TreeItem& item : *options.installed) {
        if (item.kind == ItemKind::kFolder) folders_.insert(CaseKey(item.relative));
        if (item.kind == ItemKind::kFile) installedFiles_.insert(CaseKey(item.relative));
      }
      files_ = installedFiles_;
    }
  }

  void Line(int number, const std::string& line, bool cut) {
    const std::string where = kManifestName;
    if (cut) {
      report_.Problem("line-too-long", where, number,
                      "the line is longer than the " + std::to_string(kMaxKeptLineBytes) +
                          " bytes the updater keeps of a line, so it skips it as unsafe",
                      "remove the line; no path is that long");
      return;
    }
    if (line.find('\r') != std::string::npos) {
      report_.Problem("stray-carriage-return", where, number,
                      "a carriage return not followed by a line feed becomes part of the name",
                      "end lines with CR LF only");
      return;
    }
    const std::optional<std::string> text = Cp936ToUtf8(line);
    bool utf8 = false;
    DecodeUtf8(line, &utf8);
    // Valid both ways, the two readings of non-ASCII bytes always differ.
    const bool readsBothWays = text && utf8 && *text != line;
    if (!text) {
      report_.Problem(savedAsUtf8_ ? "not-cp936-utf8" : "not-cp936", where, number,
                      savedAsUtf8_ ? "the file is UTF-8, not code page 936, so the updater "
                                     "reads other characters than were written"
                                   : "the line holds bytes that are not valid code page 936",
                      kSaveAsCp936);
      return;
    }
    if (savedAsUtf8_ && readsBothWays) {
      report_.Problem("not-cp936-utf8", where, number,
                      "the file is UTF-8 text, and this line (\"" + line +
                          "\") reads as code page 936, as the updater reads it: \"" + *text +
                          "\"",
                      kSaveAsCp936);
      return;
    }
    switch (ClassifyManifestLine(line)) {
      case ManifestLineKind::kUpdatedFilesMarker:
        section_ = Section::kUpdated;
        return;
      case ManifestLineKind::kDeletedFilesMarker:
        section_ = Section::kDeleted;
        return;
      case ManifestLineKind::kEntry:
        break;
    }
    const std::string_view meant = NearMarker(*text);
    if (!meant.empty()) {
      report_.Problem("marker-not-exact", where, number,
                      "the line looks like the marker \"" + std::string(meant) +
                          "\" but is not exactly it, so the updater reads it as an entry and "
                          "stays in the section before it",
                      "write the marker exactly \"" + std::string(meant) +
                          "\": that case, no blanks, no byte-order mark");
      return;
    }
    if (section_ == Section::kNone) {
      if (!line.empty()) {
        report_.Problem("before-first-marker", where, number,
                        "\"" + *text + "\" comes before the first marker, so it is ignored",
                        "put it below \"UpdatedFiles:\" or \"DeletedFiles:\"");
      }
      return;
    }
    if (line.empty()) {
      report_.Problem("empty-entry", where, number,
                      "an empty entry names the folder itself: the updater would copy the "
                      "delivery onto the root or delete the root",
                      "remove the empty line");
      return;
    }
    if (readsBothWays && DeliveredAsUtf8(*text, line)) {
      report_.Problem("not-cp936-utf8", where, number,
                      "the line is UTF-8 text (\"" + line +
                          "\"), which the updater reads as code page 936: \"" + *text + "\"",
                      kSaveAsCp936);
      return;
    }
    const size_t before = report_.findings.size();
    // A line that also reads as UTF-8 is code page 936 here: only an entry nothing confirms is
    // worth a word.
    if (!CheckEntry(number, *text) && readsBothWays && report_.findings.size() == before) {
      report_.Warning("reads-both-ways", where, number,
                      "the line reads as \"" + *text + "\" in code page 936, as the updater "
                          "reads it, and as \"" + line + "\" in UTF-8",
                      "if the UTF-8 reading was meant, " + std::string(kSaveAsCp936));
    }
  }

  // Whether the manifest as a whole was saved as UTF-8 (SavedAsUtf8).
  void SetSavedAsUtf8(bool savedAsUtf8) { savedAsUtf8_ = savedAsUtf8; }

  void Finish() {
    if (!sawEntry_) {
      report_.Warning("no-entries", kManifestName, 0, "the manifest names no file to copy or delete",
                      "check that this is the intended delivery");
    }
    for (const TreeItem* item : listing_) {
      const std::string key = CaseKey(item->relative);
      if (item->kind != ItemKind::kFile || named_.count(key)) continue;
      if (key == CaseKey(kManifestName) || key == CaseKey(kUpdaterName) ||
          key == CaseKey(std::string(kHashListFileName)) ||
          key == CaseKey(std::string(kSignatureFileName))) {
        continue;
      }
      report_.Problem("unlisted-file", item->relative, 0,
                      "no entry names this file, so the updater never copies it and deletes it "
                      "with the delivery",
                      "add it under \"UpdatedFiles:\" or remove it from the delivery");
    }
    const auto updater = delivery_.find(CaseKey(kUpdaterName));
    if (updater != delivery_.end() && updater->second->kind == ItemKind::kFile) {
      report_.notes.push_back(std::string("the first stage starts the delivered ") +
                              kUpdaterName + " as the updater");
    }
    if (!options_.installed) {
      report_.notes.push_back(
          "new folders were not followed level by level: give --installed OLD to do that");
    }
  }

 private:
  // Whether an entry to copy names no delivered file as code page 936 but does as UTF-8: the
  // delivery shows what the line meant.
  bool DeliveredAsUtf8(const std::string& cp936Reading, const std::string& utf8Reading) const {
    if (section_ != Section::kUpdated) return false;
    const auto delivered = [this](const std::string& written) {
      const Entry entry = ResolveEntry(written);
      const auto found = delivery_.find(CaseKey(entry.resolved));
      return !entry.outside && found != delivery_.end() && found->second->kind == ItemKind::kFile;
    };
    return !delivered(cp936Reading) && delivered(utf8Reading);
  }

  // Acts on one entry in thought. Returns whether the file it names is there: the delivered
  // file to copy, or, with the installation known, the file to delete.
  bool CheckEntry(int number, const std::string& written) {
    sawEntry_ = true;
    const Entry entry = ResolveEntry(written);
    if (entry.outside) {
      report_.Problem("outside-folder", written, number,
                      "the entry leaves its folder (a leading separator, a drive or \"..\"), so "
                      "the updater skips it as unsafe",
                      "write the path relative to the installation root, without \"..\"");
      return false;
    }
    const bool updated = section_ == Section::kUpdated;
    if (updated && copiedEntries_) {
      copiedEntries_->push_back({Utf8ToCp936(written).value_or(std::string()), number});
    }
    const std::string key = CaseKey(entry.resolved);
    // Named, even when it cannot be copied: one finding for the entry is enough.
    if (updated) named_.insert(key);
    const size_t before = report_.findings.size();
    CheckEntryName(entry.resolved, updated, options_.rootLength, options_.deliveryLength, number,
                   report_);
    // A written form longer than its resolved one is what the path limit meets first.
    const size_t writtenLength = Utf16Length(written);
    if (report_.findings.size() == before && written.size() > entry.resolved.size() &&
        options_.rootLength + 1 + writtenLength > kMaxPathLength) {
      report_.Problem("path-too-long", written, number,
                      "as written the entry makes a path of " +
                          std::to_string(options_.rootLength + 1 + writtenLength) +
                          " characters, past the limit of " + std::to_string(kMaxPathLength),
                      "write the path without \".\" and \"..\" levels");
    }
    if (report_.findings.size() != before) return false;
    if (updated) {
      const bool delivered = Source(number, written, entry.resolved, key);
      Folder(number, written, entry.resolved);
      copied_.insert(key);
      files_.insert(key);
      return delivered;
    }
    const bool installed = files_.erase(key) > 0;
    if (copied_.count(key)) {
      report_.Problem("deleted-after-copied", written, number,
                      "an earlier \"UpdatedFiles:\" entry copies this file, and this entry "
                      "deletes it again",
                      "remove one of the two entries, or put the deletion first");
    } else if (options_.installed && installedFiles_.count(key) == 0) {
      report_.Warning("delete-missing", written, number,
                      "the installation has no such file, so nothing is deleted",
                      "check the name");
    }
    return options_.installed && installed;
  }

  // Whether the delivered file is there to be copied; a finding when it is not.
  bool Source(int number, const std::string& written, const std::string& resolved,
              const std::string& key) {
    // A link at any level above the source: the updater copies nothing through it.
    for (std::string parent = ParentOf(resolved); !parent.empty(); parent = ParentOf(parent)) {
      const auto found = delivery_.find(CaseKey(parent));
      if (found != delivery_.end() && found->second->kind == ItemKind::kLink) {
        report_.Problem("source-through-link", written, number,
                        "the delivered file lies below the link \"" + parent +
                            "\", so the updater skips it",
                        "put the folder itself in the delivery");
        return false;
      }
    }
    const auto found = delivery_.find(key);
    if (found == delivery_.end()) {
      report_.Problem("source-missing", written, number,
                      "the delivery has no such file, so there is nothing to copy",
                      "add the file to the delivery at this path, or remove the entry");
      return false;
    }
    if (found->second->kind != ItemKind::kFile) {
      report_.Problem("source-not-file", written, number,
                      "the delivery holds a folder or link here, not a file",
                      "deliver the file itself");
      return false;
    }
    return true;
  }

  // The destination's folder as the updater makes it: when the entry has a "/" and the folder
  // is missing, one level, with CreateDirectoryW.
  void Folder(int number, const std::string& written, const std::string& resolved) {
    const std::string parent = ParentOf(resolved);
    const bool slash = written.find('/') != std::string::npos;
    if (!options_.installed) {
      if (!slash && !parent.empty()) {
        report_.Warning("backslash-entry", written, number,
                        "written with \"\\\" only, so its folder is not made if it is missing",
                        "write the entry with \"/\"");
      }
      return;
    }
    // A file where a folder of the path belongs: the updater finds the path there (or cannot
    // make the level below it), makes no folder, and the copy fails.
    std::string above;
    for (const std::string& level : SplitLevels(parent)) {
      if (parent.empty()) break;
      above += (above.empty() ? "" : "/") + level;
      if (files_.count(CaseKey(above))) {
        report_.Problem("folder-is-a-file", written, number,
                        "\"" + above + "\" is a file at this point of the update, so the updater "
                            "makes no folder there and the copy fails",
                        "delete \"" + above + "\" under \"DeletedFiles:\" before this entry");
        return;
      }
    }
    const std::string parentKey = CaseKey(parent);
    if (folders_.count(parentKey)) return;
    if (!slash) {
      report_.Problem("backslash-in-new-folder", written, number,
                      "the folder \"" + parent +
                          "\" does not exist yet, and an entry written with \"\\\" only gets no "
                          "folder made",
                      "write the entry with \"/\"");
    } else if (!folders_.count(CaseKey(ParentOf(parent)))) {
      std::string topMissing = ParentOf(parent);
      while (!folders_.count(CaseKey(ParentOf(topMissing)))) topMissing = ParentOf(topMissing);
      report_.Problem("two-new-folder-levels", written, number,
                      "neither \"" + parent + "\" nor the folder above it exists at this point; "
                          "the updater makes only one missing level",
                      "list a file directly in \"" + topMissing +
                          "\" before this entry (a placeholder will do), and so on for each "
                          "new level below it");
    } else if (options_.rootLength + 1 + Utf16Length(parent) > kMaxFolderPathLength) {
      report_.Problem("folder-path-too-long", written, number,
                      "with an installation root of " + std::to_string(options_.rootLength) +
                          " characters the new folder \"" + parent + "\" passes the " +
                          std::to_string(kMaxFolderPathLength) +
                          " characters Windows allows for making a folder",
                      "shorten the folder names");
    } else {
      folders_.insert(parentKey);
    }
  }

  const CheckOptions& options_;
  Report& report_;
  std::vector<const TreeItem*> listing_;  // the delivery's items, parents first
  std::unordered_map<std::string, const TreeItem*> delivery_;
  std::set<std::string> folders_;         // folders existing at this point of the run
  std::set<std::string> installedFiles_;
  std::set<std::string> files_;           // files existing at this point of the run
  std::set<std::string> named_;           // delivered files some entry names
  std::set<std::string> copied_;
  Section section_ = Section::kNone;
  bool sawEntry_ = false;
  bool savedAsUtf8_ = false;
  std::vector<CopiedEntry>* copiedEntries_;
};

// What a folder without a manifest at its top holds instead, said to the publisher who gave
// it as a delivery: a delivery further down (found by its manifest), or a release tree (found
// by the main application). target is the folder as given.
void WhatItHoldsInstead(const std::vector<TreeItem>& items, const std::string& target,
                        std::string& message, std::string& fix) {
  std::vector<std::string> deliveries;
  bool releaseTree = false;
  for (const TreeItem& item : items) {
    if (item.kind != ItemKind::kFile) continue;
    const std::string parent = ParentOf(item.relative);
    const std::string name = item.relative.substr(parent.empty() ? 0 : parent.size() + 1);
    if (!parent.empty() && CaseKey(name) == CaseKey(kManifestName)) {
      deliveries.push_back(target + "/" + parent);
    }
    releaseTree |= CaseKey(item.relative) == CaseKey(kMainApplication);
  }
  if (!deliveries.empty()) {
    message += "; a delivery lies in " + deliveries.front();
    if (deliveries.size() > 1) {
      message += " (and " + Counted(deliveries.size() - 1, "other folder", "other folders") +
                 " below)";
    }
    fix = "check that folder: vintrel-pack check " + deliveries.front();
  } else if (releaseTree) {
    message += "; this looks like a release tree (it holds " + std::string(kMainApplication) +
               "), not a delivery";
    fix = "give check the folder vintrel-pack diff wrote (its --out), or the release tree as "
          "--installed";
  }
}

}  // namespace

void CheckDelivery(std::istream* manifest, const std::vector<TreeItem>& delivery,
                   const CheckOptions& options, Report& report,
                   std::vector<CopiedEntry>* copied) {
  Checker checker(delivery, options, report, copied);
  if (!manifest) {
    std::string message = "the delivery has no UpdateInfo.ini, so the updater applies nothing";
    std::string fix = "make the delivery with vintrel-pack diff";
    WhatItHoldsInstead(delivery, report.target, message, fix);
    report.Problem("no-manifest", kManifestName, 0, message, fix);
    return;
  }
  checker.SetSavedAsUtf8(SavedAsUtf8(*manifest));
  int number = 0;
  bool lastEnded = true;  // the last line read ended with its line feed
  bool utf16 = false;
  const bool afterCtrlZ = ReadLines(*manifest, [&](const BoundedLine& read) {
    if (utf16) return;
    ++number;
    lastEnded = read.ended;
    std::string_view line = read.kept;
    if (number == 1) {
      if (line.compare(0, 2, "\xFF\xFE") == 0 || line.compare(0, 2, "\xFE\xFF") == 0) {
        report.Problem("utf16", kManifestName, 1,
                       "the file is UTF-16 text; the updater reads code page 936 bytes",
                       "save it as code page 936 (GBK) without a byte-order mark");
        utf16 = true;
        return;
      }
      if (line.compare(0, kUtf8Bom.size(), kUtf8Bom) == 0) {
        report.Problem("byte-order-mark", kManifestName, 1,
                       "the file begins with a UTF-8 byte-order mark, so its first line is not "
                       "read as a marker and the entries up to the next marker are ignored",
                       "save it as code page 936 (GBK) without a byte-order mark");
        // Past the mark the line is what was meant; to the updater it is an entry before any
        // marker, which the finding above says.
        line = WithoutBom(line);
        if (ClassifyManifestLine(line) != ManifestLineKind::kEntry) return;
      }
    }
    checker.Line(number, std::string(line), read.cut);
  });
  if (utf16) return;
  // A CTRL+Z at the very end is harmless; what follows one is never read.
  if (afterCtrlZ) {
    report.Warning("ctrl-z", kManifestName, lastEnded ? number + 1 : number,
                   "the byte 0x1A (CTRL+Z) ends the file for the updater, so it reads nothing "
                   "after it",
                   "remove the byte, or everything after it");
  }
  checker.Finish();
}
