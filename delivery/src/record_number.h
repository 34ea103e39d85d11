#pragma once
// The numbers of the updater's own records (the journal, the release record, the service's
// result): decimal digits only, no sign, no leading zero ("0" itself allowed), at most 2^63-1.
// The outcome record's public header keeps a reader of its own, as it stands alone.

#include <cstdint>
#include <string_view>

// The number digits write; false for anything else, the empty text included.
inline bool ParseRecordNumber(std::string_view digits, std::uint64_t& value) {
  if (digits.empty() || digits.size() > 19 || (digits.size() > 1 && digits.front() == '0')) {
    return false;
  }
  value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');  // 19 digits fit in 64 bits
  }
  return value <= static_cast<std::uint64_t>(INT64_MAX);
}
