#include "pe_file.h"

#include <algorithm>
#include <fstream>
#include <vector>

namespace {

std::uint32_t Le(const std::string& bytes, std::size_t at, std::size_t width) {
  std::uint32_t value = 0;
  for (std::size_t i = width; i-- > 0;) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  }
  return value;
}

struct Section {
  std::uint32_t address, size, fileOffset, fileSize;
};

constexpr std::uint32_t kVersionType = 16;  // RT_VERSION
constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;
// Resource tables nest three levels (type, name, language); a loop in a damaged one stops here.
constexpr int kMaxEntries = 4096;

class Image {
 public:
  Image(const ReadAt& read, std::vector<Section> sections)
      : read_(read), sections_(std::move(sections)) {}

  // size bytes at the relative virtual address rva; false outside the file's sections.
  bool At(std::uint32_t rva, std::size_t size, std::string& bytes) const {
    for (const Section& s : sections_) {
      const std::uint64_t inSection = static_cast<std::uint64_t>(rva) - s.address;
      // Only what the file holds: the rest of a section's memory is zeros.
      if (rva >= s.address && inSection + size <= s.fileSize) {
        return read_(s.fileOffset + inSection, size, bytes);
      }
    }
    return false;
  }

 private:
  const ReadAt& read_;
  std::vector<Section> sections_;
};

// The offset (from the resource table's start) the entry of id (or the first, id 0) in the
// table at tableOffset points to; its high bit says whether that is another table.
bool FindEntry(const Image& image, std::uint32_t resources, std::uint32_t tableOffset,
               std::uint32_t id, std::uint32_t& target) {
  std::string header;
  if (!image.At(resources + tableOffset, 16, header)) return false;
  const std::uint32_t named = Le(header, 12, 2), ids = Le(header, 14, 2);
  if (named + ids > kMaxEntries) return false;
  for (std::uint32_t i = 0; i < named + ids; ++i) {
    std::string entry;
    if (!image.At(resources + tableOffset + 16 + 8 * i, 8, entry)) return false;
    const std::uint32_t name = Le(entry, 0, 4);
    if (id == 0 || (i >= named && name == id)) {
      target = Le(entry, 4, 4);
      return true;
    }
  }
  return false;
}

// The file version of the first VERSIONINFO resource; none when there is no readable one.
std::optional<std::array<std::uint16_t, 4>> FileVersion(const Image& image,
                                                         std::uint32_t resources) {
  std::uint32_t offset = 0;
  if (!FindEntry(image, resources, 0, kVersionType, offset) || !(offset & 0x80000000u) ||
      !FindEntry(image, resources, offset & 0x7FFFFFFFu, 0, offset) || !(offset & 0x80000000u) ||
      !FindEntry(image, resources, offset & 0x7FFFFFFFu, 0, offset) || (offset & 0x80000000u)) {
    return std::nullopt;
  }
  std::string data;
  if (!image.At(resources + offset, 16, data)) return std::nullopt;
  // VS_VERSIONINFO: length, value length, type, "VS_VERSION_INFO" in UTF-16 and its terminator,
  // padding to 4 bytes, then VS_FIXEDFILEINFO (52 bytes).
  const std::uint32_t dataRva = Le(data, 0, 4), dataSize = Le(data, 4, 4);
  constexpr std::size_t kFixedAt = 40, kFixedSize = 52;
  std::string info;
  if (dataSize < kFixedAt + kFixedSize || !image.At(dataRva, kFixedAt + kFixedSize, info)) {
    return std::nullopt;
  }
  const std::string key = "VS_VERSION_INFO";
  for (std::size_t i = 0; i < key.size(); ++i) {
    if (Le(info, 6 + 2 * i, 2) != static_cast<unsigned char>(key[i])) return std::nullopt;
  }
  if (Le(info, 2, 2) < kFixedSize || Le(info, kFixedAt, 4) != kFixedInfoSignature) {
    return std::nullopt;
  }
  const std::uint32_t high = Le(info, kFixedAt + 8, 4), low = Le(info, kFixedAt + 12, 4);
  return std::array<std::uint16_t, 4>{
      static_cast<std::uint16_t>(high >> 16), static_cast<std::uint16_t>(high & 0xFFFF),
      static_cast<std::uint16_t>(low >> 16), static_cast<std::uint16_t>(low & 0xFFFF)};
}

}  // namespace

bool ReadPe(const ReadAt& read, PeFile& pe, std::string& error) {
  std::string bytes;
  if (!read(0, 64, bytes) || bytes.compare(0, 2, "MZ") != 0) {
    error = "not a Windows program (no MZ header)";
    return false;
  }
  const std::uint32_t peAt = Le(bytes, 0x3C, 4);
  // The signature, IMAGE_FILE_HEADER (20 bytes) and the optional header's fields used here.
  if (!read(peAt, 24 + 96, bytes) || bytes.compare(0, 4, std::string("PE\0\0", 4)) != 0) {
    error = "not a Windows program (no PE signature)";
    return false;
  }
  pe.machine = static_cast<std::uint16_t>(Le(bytes, 4, 2));
  const std::uint32_t sectionCount = Le(bytes, 6, 2);
  const std::uint32_t optionalSize = Le(bytes, 20, 2);
  const std::uint32_t magic = Le(bytes, 24, 2);
  if (magic != 0x10b && magic != 0x20b) {
    error = "not a Windows program (unknown optional header)";
    return false;
  }
  pe.pe32 = magic == 0x10b;
  pe.subsystem = static_cast<std::uint16_t>(Le(bytes, 24 + 68, 2));
  // The data directories follow the fixed fields; the resource table's is the third.
  const std::uint32_t directories = pe.pe32 ? 96 : 112;
  std::string directory;
  std::uint32_t resources = 0;
  if (optionalSize >= directories + 3 * 8 && read(peAt + 24 + directories + 2 * 8, 8, directory)) {
    resources = Le(directory, 0, 4);
  }
  std::vector<Section> sections;
  std::string table;
  if (sectionCount > 96 || !read(peAt + 24 + optionalSize, 40 * sectionCount, table)) {
    error = "a damaged Windows program (its section table lies outside the file)";
    return false;
  }
  for (std::uint32_t i = 0; i < sectionCount; ++i) {
    sections.push_back({Le(table, 40 * i + 12, 4), Le(table, 40 * i + 8, 4),
                        Le(table, 40 * i + 20, 4), Le(table, 40 * i + 16, 4)});
  }
  if (resources != 0) pe.fileVersion = FileVersion(Image(read, std::move(sections)), resources);
  return true;
}

bool ReadPeFile(const std::filesystem::path& path, PeFile& pe, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot be opened";
    return false;
  }
  const ReadAt read = [&in](std::uint64_t offset, std::size_t size, std::string& bytes) {
    bytes.assign(size, '\0');
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(&bytes[0], static_cast<std::streamsize>(size));
    return static_cast<std::size_t>(in.gcount()) == size;
  };
  return ReadPe(read, pe, error);
}

std::string VersionText(const std::array<std::uint16_t, 4>& version) {
  return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." +
         std::to_string(version[2]) + "." + std::to_string(version[3]);
}
