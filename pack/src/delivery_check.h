#pragma once
// The check of an existing delivery, hand-written or not: its UpdateInfo.ini read line by line
// as the updater reads it, every entry acted on in thought, and the delivery's files matched
// against the entries. No platform call: the listings and the manifest's stream come in.

#include <istream>
#include <string>
#include <vector>

#include "findings.h"
#include "tree.h"

struct CheckOptions {
  size_t rootLength;
  size_t deliveryLength;
  // The installation as it is before the update, when known: then new folders are followed
  // level by level exactly as the updater makes them.
  const std::vector<TreeItem>* installed;
};

// An "UpdatedFiles:" entry the updater acts on, as the manifest writes it.
struct CopiedEntry {
  std::string written;  // code page 936 bytes
  int line;
};

// Every problem the updater would meet with this delivery. manifest is null when the delivery
// has no UpdateInfo.ini; delivery lists the delivery folder's items. The "UpdatedFiles:" entries
// go to copied when given.
void CheckDelivery(std::istream* manifest, const std::vector<TreeItem>& delivery,
                   const CheckOptions& options, Report& report,
                   std::vector<CopiedEntry>* copied = nullptr);
