#pragma once
// What vintrel-pack needs to know of a Windows program, read from its PE file on any platform:
// its machine and subsystem, and the file version of its VERSIONINFO resource.

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

struct PeFile {
  std::uint16_t machine = 0;    // IMAGE_FILE_HEADER.Machine: 0x14c for i386
  bool pe32 = false;            // the optional header is PE32 (32-bit), not PE32+
  std::uint16_t subsystem = 0;  // 2 for a GUI program, 3 for a console one
  // VS_FIXEDFILEINFO's file version, most significant part first; none without the resource.
  std::optional<std::array<std::uint16_t, 4>> fileVersion;
};

inline constexpr std::uint16_t kMachineI386 = 0x14c;
inline constexpr std::uint16_t kSubsystemGui = 2;

// Reads size bytes at offset into bytes; false when the file holds fewer.
using ReadAt = std::function<bool(std::uint64_t offset, std::size_t size, std::string& bytes)>;

// The PE file read through read. False, with error saying why, when it is not one (no "MZ"
// header, no "PE" signature, a header or resource table that points outside the file); a
// damaged or missing version resource only leaves fileVersion empty.
bool ReadPe(const ReadAt& read, PeFile& pe, std::string& error);

// The same for a file on disk.
bool ReadPeFile(const std::filesystem::path& path, PeFile& pe, std::string& error);

// "1.2.3.4".
std::string VersionText(const std::array<std::uint16_t, 4>& version);
