#pragma once
// The last release applied to an installation, <root>\.vintrel\release: written after each
// commit by a build with keys, read by the elevated stage and the service. Only SYSTEM and
// Administrators may open it, so that no user's program can hold it and keep every user's
// updates waiting. The first stage, which runs as the user, learns the release from the name of
// an empty marker beside it, "release-<N>": a listing shows names, and no user can hold one.

#include <cstdint>
#include <string>

enum class ReleaseRecordRead {
  kNone,        // no release was recorded
  kRead,        // the number
  kUnreadable,  // there, but held, denied, cut or malformed: nothing may be concluded from it
};

// Reads the record of rootFolder into release (0 with kNone). Only "does not exist" is kNone.
ReleaseRecordRead ReadReleaseRecord(const std::wstring& rootFolder, std::uint64_t& release);

// The release as the first stage learns it: the highest "release-<N>" marker's, or where no marker
// was ever left (an installation last updated before them) the record's. kUnreadable when the
// folder cannot be listed or a marker's name is not a number.
ReleaseRecordRead ReadPublishedRelease(const std::wstring& rootFolder, std::uint64_t& release);

// Records release durably (old number or new one after a power cut), and its marker. False when
// the record could not be written; a marker that cannot be left takes the others away with it,
// so that the first stage falls back to the record rather than to an older number.
bool WriteReleaseRecord(const std::wstring& rootFolder, std::uint64_t release);

// The record's text for a number, and the number of a record's text (false when malformed).
std::string ReleaseRecordText(std::uint64_t release);
bool ParseReleaseRecord(const std::string& text, std::uint64_t& release);
