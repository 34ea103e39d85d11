#pragma once
// The last release applied to an installation, <root>\.vintrel\release: written after each
// commit by a build with keys, read by both stages. Administrators write it, users read it.

#include <cstdint>
#include <string>

enum class ReleaseRecordRead {
  kNone,        // no release was recorded
  kRead,        // the number
  kUnreadable,  // there, but held, denied, cut or malformed: nothing may be concluded from it
};

// Reads the record of rootFolder into release (0 with kNone). Only "does not exist" is kNone.
ReleaseRecordRead ReadReleaseRecord(const std::wstring& rootFolder, std::uint64_t& release);

// Records release durably (old number or new one after a power cut). False when it could not.
bool WriteReleaseRecord(const std::wstring& rootFolder, std::uint64_t release);

// The record's text for a number, and the number of a record's text (false when malformed).
std::string ReleaseRecordText(std::uint64_t release);
bool ParseReleaseRecord(const std::string& text, std::uint64_t& release);
