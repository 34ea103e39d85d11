// The PE reader on real programs the mingw tool chain made for the tests, and on files that are
// no program or a damaged one.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "pe_file.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(PeFile, ReadsMachineSubsystemAndFileVersion) {
  const char* folder = std::getenv("PE_PROGRAMS");
  ASSERT_NE(folder, nullptr) << "PE_PROGRAMS not set";
  struct Row {
    const char* program;
    std::uint16_t subsystem;
    std::optional<std::string> version;
  };
  const Row rows[] = {{"app-1.2.0.0.exe", kSubsystemGui, "1.2.0.0"},
                      {"app-2.0.0.1.exe", kSubsystemGui, "2.0.0.1"},
                      {"app-none.exe", kSubsystemGui, std::nullopt},
                      {"app-console.exe", 3, std::nullopt}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.program);
    PeFile pe;
    std::string error;
    ASSERT_TRUE(ReadPeFile(fs::path(folder) / row.program, pe, error)) << error;
    EXPECT_EQ(pe.machine, kMachineI386);
    EXPECT_TRUE(pe.pe32);
    EXPECT_EQ(pe.subsystem, row.subsystem);
    EXPECT_EQ(pe.fileVersion ? std::optional<std::string>(VersionText(*pe.fileVersion))
                             : std::nullopt,
              row.version);
  }
}

// Bytes that are no program are said to be none; a cut program never yields a wrong version.
TEST(PeFile, NoProgramOrADamagedOneIsSaidSo) {
  const char* folder = std::getenv("PE_PROGRAMS");
  ASSERT_NE(folder, nullptr) << "PE_PROGRAMS not set";
  const std::string program = ReadAll(fs::path(folder) / "app-1.2.0.0.exe");
  ASSERT_GT(program.size(), 1024u);
  const auto read = [](const std::string& bytes) {
    return [&bytes](std::uint64_t offset, std::size_t size, std::string& out) {
      if (offset > bytes.size() || size > bytes.size() - offset) return false;
      out = bytes.substr(offset, size);
      return true;
    };
  };
  for (const std::string& text : {std::string(), std::string("config=1\n"), std::string("MZ")}) {
    PeFile pe;
    std::string error;
    EXPECT_FALSE(ReadPe(read(text), pe, error));
    EXPECT_NE(error.find("not a Windows program"), std::string::npos) << error;
  }
  // A cut program is no program before its headers end, and past them yields its own version
  // or none, never one read from beyond the cut.
  int withVersion = 0;
  for (std::size_t cut = 0; cut < program.size(); cut += 97) {
    SCOPED_TRACE(cut);
    const std::string bytes = program.substr(0, cut);
    PeFile pe;
    std::string error;
    const bool isProgram = ReadPe(read(bytes), pe, error);
    if (cut < 64) {
      EXPECT_FALSE(isProgram);
    }
    if (pe.fileVersion) {
      EXPECT_EQ(VersionText(*pe.fileVersion), "1.2.0.0");
      ++withVersion;
    }
  }
  EXPECT_GT(withVersion, 0);
  EXPECT_LT(withVersion, static_cast<int>(program.size() / 97));
}

}  // namespace
