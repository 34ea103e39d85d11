// vintrel-pack check on hand-written deliveries, one row per problem the updater would meet,
// and on a delivery that vintrel-pack diff made: the real program, on real folders.

#include <gtest/gtest.h>
#include <iconv.h>
#include <openssl/sha.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <vintrel/update_feed.h>

#include "zstd_decode.h"

namespace fs = std::filesystem;

namespace {

struct PackRun {
  int exitCode;
  std::string output;
};

class Scratch {
 public:
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "vintrel-pack-check.XXXXXX").string();
    path_ = mkdtemp(&pattern[0]);
  }
  ~Scratch() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

PackRun RunPack(const std::string& arguments, const fs::path& scratch) {
  const char* program = std::getenv("VINTREL_PACK");
  const fs::path output = scratch / "output.txt";
  const std::string command = std::string(program ? program : "vintrel-pack") + " " + arguments +
                              " > '" + output.string() + "' 2>&1";
  const int status = std::system(command.c_str());
  std::ifstream in(output, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.str()};
}

// The codes of the findings of one severity ("problem" or "warning") a text report lists.
std::set<std::string> Codes(const std::string& output, const std::string& severity) {
  std::set<std::string> codes;
  const std::regex problem("^" + severity + R"( \[([a-z0-9-]+)\])");
  std::istringstream lines(output);
  std::string line;
  std::smatch match;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, match, problem)) codes.insert(match[1]);
  }
  return codes;
}

std::set<std::string> ProblemCodes(const std::string& output) { return Codes(output, "problem"); }

struct Row {
  const char* name;
  std::string manifest;                      // UpdateInfo.ini's bytes; empty: no manifest
  std::map<std::string, std::string> files;  // delivered files (relative -> bytes)
  std::vector<std::string> installed;        // files of the installation, for --installed
  std::string arguments;                     // more arguments
  std::set<std::string> problems;            // codes that must be listed, and no others
  std::set<std::string> warnings = {};       // codes that must be listed among the warnings
  // UpdateInfo.sha256's lines, none when empty; "=name" stands for the line that lists the
  // delivered file name as it is.
  std::vector<std::string> list = {};
  std::map<std::string, std::string> changed = {};  // files rewritten after the list was made
};

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

const std::string kChineseCp936 = "\xB2\xE5\xBC\xFE.dll";  // 插件.dll in code page 936
// 楼 in code page 936, bytes that are also the UTF-8 of ¥.
const std::string kBothWaysCp936 = "\xC2\xA5";
// A new folder's name long enough to pass the folder limit under a root of 34 characters.
const std::string kLongFolder = "bin/" + std::string(210, 'n');

std::string Sha256Hex(const std::string& bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  std::string hex;
  for (const unsigned char byte : digest) {
    static const char kDigits[] = "0123456789abcdef";
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

// UTF-8 text as code page 936 bytes, as the lists write paths.
std::string Cp936(const std::string& utf8) {
  const iconv_t converter = iconv_open("CP936", "UTF-8");
  std::string in = utf8, out(utf8.size() * 2, '\0');
  char* inBytes = &in[0];
  char* outBytes = &out[0];
  size_t inLeft = in.size(), outLeft = out.size();
  const size_t converted = iconv(converter, &inBytes, &inLeft, &outBytes, &outLeft);
  iconv_close(converter);
  EXPECT_NE(converted, static_cast<size_t>(-1)) << utf8;
  out.resize(out.size() - outLeft);
  return out;
}

// Code page 936 bytes as UTF-8 text, as the file system names them.
std::string Utf8(const std::string& cp936) {
  const iconv_t converter = iconv_open("UTF-8", "CP936");
  std::string in = cp936, out(cp936.size() * 2, '\0');
  char* inBytes = &in[0];
  char* outBytes = &out[0];
  size_t inLeft = in.size(), outLeft = out.size();
  const size_t converted = iconv(converter, &inBytes, &inLeft, &outBytes, &outLeft);
  iconv_close(converter);
  EXPECT_NE(converted, static_cast<size_t>(-1)) << cp936;
  out.resize(out.size() - outLeft);
  return out;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// A program the mingw tool chain made (PE_PROGRAMS), by its name: "app-1.2.0.0.exe" is a 32-bit
// GUI program as an updater must be, "app-console.exe" a console one.
std::string TestProgram(const std::string& name) {
  const char* programs = std::getenv("PE_PROGRAMS");
  EXPECT_NE(programs, nullptr) << "PE_PROGRAMS not set";
  return programs ? ReadFile(fs::path(programs) / name) : std::string();
}

// The list's text for a row, the "=name" lines made from the delivered files.
std::string ListText(const std::vector<std::string>& lines, const fs::path& delivery) {
  std::string text;
  for (const std::string& line : lines) {
    if (line.empty() || line[0] != '=') {
      text += line + "\r\n";
      continue;
    }
    const std::string bytes = ReadFile(delivery / line.substr(1));
    text += Sha256Hex(bytes) + " " + std::to_string(bytes.size()) + " " + line.substr(1) + "\r\n";
  }
  return text;
}

const std::string kManifestA = Lines({"UpdatedFiles:", "a.txt"});
// a.txt ("a") delivered as the 5 bytes "frame".
const std::string kZstdLineA =
    "zstd " + Sha256Hex("a") + " 1 " + Sha256Hex("frame") + " 5 a.txt";
const std::vector<std::string> kListHead = {"vintrel-delivery 1", "release 7"};
std::vector<std::string> ListOf(std::vector<std::string> files) {
  files.insert(files.begin(), kListHead.begin(), kListHead.end());
  return files;
}

const Row kRows[] = {
    {"byte-order mark", "\xEF\xBB\xBF" + Lines({"UpdatedFiles:", "a.txt"}), {{"a.txt", "a"}}, {},
     "", {"byte-order-mark", "before-first-marker", "unlisted-file"}},
    {"UTF-16", std::string("\xFF\xFEU\0p\0", 6), {}, {}, "", {"utf16"}},
    {"UTF-8 text", Lines({"UpdatedFiles:", u8"播.dll"}), {{u8"播.dll", "b"}}, {}, "",
     {"not-cp936-utf8", "unlisted-file"}},
    {"marker with a blank", Lines({"UpdatedFiles: ", "a.txt"}), {{"a.txt", "a"}}, {}, "",
     {"marker-not-exact", "before-first-marker", "unlisted-file"}},
    {"marker in lower case", Lines({"UpdatedFiles:", "a.txt", "deletedfiles:"}),
     {{"a.txt", "a"}}, {}, "", {"marker-not-exact"}},
    {"entry before the first marker", Lines({"a.txt", "UpdatedFiles:"}), {{"a.txt", "a"}}, {},
     "", {"before-first-marker", "unlisted-file"}},
    {"empty entry", Lines({"UpdatedFiles:", "a.txt", "", "DeletedFiles:"}), {{"a.txt", "a"}}, {},
     "", {"empty-entry"}},
    {"entries outside their folder", Lines({"UpdatedFiles:", "../x.dll", "DeletedFiles:",
                                            "\\Windows\\x.dll", "C:x.dll"}),
     {}, {}, "", {"outside-folder"}},
    {"source missing", Lines({"UpdatedFiles:", kChineseCp936}), {}, {}, "", {"source-missing"}},
    {"source is a folder", Lines({"UpdatedFiles:", "plugins"}), {{"plugins/p.dll", "p"}}, {}, "",
     {"source-not-file", "unlisted-file"}},
    {"two new folder levels", Lines({"UpdatedFiles:", "bin/new/deeper/x.dll"}),
     {{"bin/new/deeper/x.dll", "x"}}, {"bin/app.exe"}, "", {"two-new-folder-levels"}},
    {"new folder written with backslashes", Lines({"UpdatedFiles:", "bin\\new\\x.dll"}),
     {{"bin/new/x.dll", "x"}}, {"bin/app.exe"}, "", {"backslash-in-new-folder"}},
    {"path too long for the root", Lines({"UpdatedFiles:", std::string(20, 'n') + ".dll"}),
     {{std::string(20, 'n') + ".dll", "n"}}, {}, "--root-length 240", {"path-too-long"}},
    {"path too long for the delivery folder", Lines({"UpdatedFiles:", std::string(20, 'n') + ".dll"}),
     {{std::string(20, 'n') + ".dll", "n"}}, {}, "--delivery-length 240", {"path-too-long"}},
    {"name Windows cannot hold", Lines({"UpdatedFiles:", "con.txt", "a?.txt"}),
     {{"con.txt", "c"}, {"a?.txt", "q"}}, {}, "", {"name-not-windows"}},
    {"file no entry names", Lines({"UpdatedFiles:", "a.txt"}), {{"a.txt", "a"}, {"b.txt", "b"}},
     {}, "", {"unlisted-file"}},
    {"deleted after it was copied", Lines({"UpdatedFiles:", "a.txt", "DeletedFiles:", "A.TXT"}),
     {{"a.txt", "a"}}, {}, "", {"deleted-after-copied"}},
    {"byte 0x1A ends the reading", Lines({"UpdatedFiles:", "a.txt\x1A", "b.txt"}),
     {{"a.txt", "a"}, {"b.txt", "b"}}, {}, "", {"unlisted-file"}, {"ctrl-z"}},
    // A DOS end-of-file byte after the last line: the line counts, as for the updater.
    {"byte 0x1A right after the last entry", "UpdatedFiles:\r\nbin/a.dll\x1A",
     {{"bin/a.dll", "a"}}, {}, "", {}},
    {"UTF-8 text whose other lines read both ways",
     Lines({"UpdatedFiles:", u8"播.dll", u8"¥.dll"}), {{u8"播.dll", "b"}, {u8"¥.dll", "y"}}, {}, "",
     {"not-cp936-utf8", "unlisted-file"}},
    {"UTF-8 text that also reads as code page 936, delivered under its UTF-8 name",
     Lines({"UpdatedFiles:", u8"bin/32bit/Kivo直播助手.exe"}),
     {{u8"bin/32bit/Kivo直播助手.exe", "k"}}, {}, "", {"not-cp936-utf8", "unlisted-file"}},
    {"code page 936 that also reads as UTF-8",
     Lines({"UpdatedFiles:", "bin/" + kBothWaysCp936 + ".dll", "DeletedFiles:",
            "old/" + kBothWaysCp936 + ".dll"}),
     {{u8"bin/楼.dll", "l"}}, {}, "", {}, {"reads-both-ways"}},
    {"a file where a new folder goes",
     Lines({"UpdatedFiles:", "bin/32bit/x/a.dll", "DeletedFiles:", "bin/32bit/x"}),
     {{"bin/32bit/x/a.dll", "a"}}, {"bin/32bit/x"}, "", {"folder-is-a-file"}},
    {"that file deleted first", Lines({"DeletedFiles:", "bin/32bit/x", "UpdatedFiles:",
                                       "bin/32bit/x/a.dll"}),
     {{"bin/32bit/x/a.dll", "a"}}, {"bin/32bit/x"}, "", {}},
    {"a new folder past the folder limit", Lines({"UpdatedFiles:", kLongFolder + "/x.dll"}),
     {{kLongFolder + "/x.dll", "x"}}, {"bin/app.exe"}, "--delivery-length 30",
     {"folder-path-too-long"}},
    {"stray carriage return", "UpdatedFiles:\r\na.txt\r\r\n", {{"a.txt", "a"}}, {}, "",
     {"stray-carriage-return", "unlisted-file"}},
    {"names that differ only in case", Lines({"UpdatedFiles:", "A.txt"}),
     {{"A.txt", "1"}, {"a.txt", "2"}}, {}, "", {"case-collision"}},
    {"no manifest", "", {{"a.txt", "a"}}, {}, "", {"no-manifest"}},
    {"hash list with another first line", kManifestA, {{"a.txt", "a"}}, {}, "",
     {"hash-list-invalid"}, {}, {"vintrel-delivery 3", "release 7", "=UpdateInfo.ini", "=a.txt"}},
    {"hash list naming a file twice", kManifestA, {{"a.txt", "a"}}, {}, "", {"hash-list-invalid"}, {},
     ListOf({"=UpdateInfo.ini", "=a.txt", Sha256Hex("a") + " 1 A.TXT"})},
    {"hash list with a path leaving the folder", kManifestA, {{"a.txt", "a"}}, {}, "",
     {"hash-list-invalid"}, {}, ListOf({"=UpdateInfo.ini", "=a.txt", std::string(64, '0') + " 1 ../a"})},
    {"listed file missing", kManifestA, {{"a.txt", "a"}}, {}, "", {"listed-file-missing"}, {},
     ListOf({"=UpdateInfo.ini", "=a.txt", std::string(64, '0') + " 1 gone.txt"})},
    {"listed file cut short", kManifestA, {{"a.txt", "abc"}}, {}, "", {"listed-size-differs"}, {},
     ListOf({"=UpdateInfo.ini", "=a.txt"}), {{"a.txt", "ab"}}},
    {"listed file changed", kManifestA, {{"a.txt", "abc"}}, {}, "", {"listed-hash-differs"}, {},
     ListOf({"=UpdateInfo.ini", "=a.txt"}), {{"a.txt", "abd"}}},
    {"copied file not listed", kManifestA, {{"a.txt", "a"}}, {}, "", {"entry-not-listed"}, {},
     ListOf({"=UpdateInfo.ini"})},
    {"manifest not listed", kManifestA, {{"a.txt", "a"}}, {}, "", {"manifest-not-listed"}, {},
     ListOf({"=a.txt"})},
    {"manifest changed after listing", kManifestA, {{"a.txt", "a"}}, {}, "",
     {"manifest-hash-differs"}, {}, ListOf({"=UpdateInfo.ini", "=a.txt"}),
     {{"UpdateInfo.ini", Lines({"UpdatedFiles:", "A.txt"})}}},
    {"delivered updater not listed", kManifestA, {{"a.txt", "a"}, {"Updater.exe", "u"}}, {}, "",
     {"updater-not-listed"}, {}, ListOf({"=UpdateInfo.ini", "=a.txt"})},
    // Delta deliveries: the manifest names the file, the delivery holds its frame.
    {"frame listed, none delivered", kManifestA, {}, {}, "",
     {"listed-file-missing", "source-missing"}, {},
     {"vintrel-delivery 2", "release 7", "=UpdateInfo.ini", kZstdLineA}},
    {"file delivered beside its frame", kManifestA, {{"a.txt", "a"}, {"a.txt.zst", "frame"}}, {},
     "", {"file-beside-frame"}, {},
     {"vintrel-delivery 2", "release 7", "=UpdateInfo.ini", kZstdLineA}},
};

TEST(Check, FindsEveryProblemOfAHandWrittenDelivery) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    Scratch scratch;
    const fs::path delivery = scratch.path() / "delivery";
    fs::create_directories(delivery);
    if (!row.manifest.empty()) WriteFile(delivery / "UpdateInfo.ini", row.manifest);
    for (const auto& [relative, bytes] : row.files) WriteFile(delivery / fs::u8path(relative), bytes);
    if (!row.list.empty()) WriteFile(delivery / "UpdateInfo.sha256", ListText(row.list, delivery));
    for (const auto& [relative, bytes] : row.changed) WriteFile(delivery / relative, bytes);
    std::string arguments = "check '" + delivery.string() + "' " + row.arguments;
    if (!row.installed.empty()) {
      for (const std::string& file : row.installed) {
        WriteFile(scratch.path() / "installed" / fs::u8path(file), "installed");
      }
      arguments += " --installed '" + (scratch.path() / "installed").string() + "'";
    }
    const PackRun run = RunPack(arguments, scratch.path());
    EXPECT_EQ(run.exitCode, row.problems.empty() ? 0 : 1) << run.output;
    EXPECT_EQ(ProblemCodes(run.output), row.problems) << run.output;
    const std::set<std::string> warnings = Codes(run.output, "warning");
    for (const std::string& code : row.warnings) {
      EXPECT_EQ(warnings.count(code), 1u) << code << " missing\n" << run.output;
    }
    // Every finding names its file and says what to do.
    EXPECT_NE(run.output.find("    fix: "), std::string::npos) << run.output;
    // Without a list the delivery is applied best effort, which is worth a warning.
    EXPECT_EQ(warnings.count("no-hash-list") == 1, row.list.empty()) << run.output;
  }
}

TEST(Check, FindsALinkInTheDelivery) {
  Scratch scratch;
  const fs::path delivery = scratch.path() / "delivery";
  WriteFile(scratch.path() / "elsewhere" / "x.dll", "x");
  WriteFile(delivery / "UpdateInfo.ini", Lines({"UpdatedFiles:", "linked/x.dll"}));
  fs::create_directory_symlink(scratch.path() / "elsewhere", delivery / "linked");
  const PackRun run = RunPack("check '" + delivery.string() + "'", scratch.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(ProblemCodes(run.output),
            (std::set<std::string>{"link-in-delivery", "source-through-link"}))
      << run.output;
}

TEST(Check, ADeliveryFromDiffChecksClean) {
  Scratch scratch;
  const fs::path oldTree = scratch.path() / "old";
  const fs::path newTree = scratch.path() / "new";
  WriteFile(oldTree / fs::u8path(u8"bin/32bit/Kivo直播助手.exe"), "version 1");
  WriteFile(newTree / fs::u8path(u8"bin/32bit/Kivo直播助手.exe"), "version 2");
  WriteFile(oldTree / "bin/32bit/Codec.dll", "codec");
  WriteFile(newTree / "bin/32bit/codec.dll", "codec 2");
  WriteFile(oldTree / fs::u8path(u8"旧 文件.txt"), "old");
  WriteFile(newTree / fs::u8path(u8"skins/默认 皮肤/skin.ini"), "skin");
  WriteFile(newTree / fs::u8path(u8"skins/read me.txt"), "skins");
  // Hanzi whose code page 936 bytes are also valid UTF-8.
  WriteFile(newTree / fs::u8path(u8"bin/楼.dll"), "lou");
  WriteFile(newTree / fs::u8path(u8"bin/隆 陇.dat"), "long");
  WriteFile(oldTree / fs::u8path(u8"bin/陇.dll"), "gone");
  WriteFile(scratch.path() / "Updater.exe", TestProgram("app-1.2.0.0.exe"));
  // The updater's journal folder in either tree is no part of the delivery.
  WriteFile(oldTree / ".vintrel/journal", "old journal");
  WriteFile(newTree / ".Vintrel/journal", "new journal");
  const fs::path delivery = scratch.path() / "delivery";
  const PackRun diff = RunPack("diff '" + oldTree.string() + "' '" + newTree.string() + "' --out '" +
                               delivery.string() + "' --updater '" +
                               (scratch.path() / "Updater.exe").string() + "' --release 1796534400",
                           scratch.path());
  ASSERT_EQ(diff.exitCode, 0) << diff.output;
  EXPECT_EQ(ReadFile(delivery / "UpdateInfo.ini").find("journal"), std::string::npos);

  // The hash list names every delivered file with its size and SHA-256, and nothing else.
  std::set<std::string> expected = {"vintrel-delivery 1", "release 1796534400"};
  for (const auto& entry : fs::recursive_directory_iterator(delivery)) {
    const std::string relative = fs::relative(entry.path(), delivery).generic_string();
    if (!entry.is_regular_file() || relative == "UpdateInfo.sha256") continue;
    const std::string bytes = ReadFile(entry.path());
    expected.insert(Sha256Hex(bytes) + " " + std::to_string(bytes.size()) + " " + Cp936(relative));
  }
  std::set<std::string> listed;
  std::istringstream list(ReadFile(delivery / "UpdateInfo.sha256"));
  for (std::string line; std::getline(list, line);) {
    EXPECT_EQ(line.back(), '\r');
    listed.insert(line.substr(0, line.size() - 1));
  }
  EXPECT_EQ(listed, expected);
  // The two first lines, the manifest, the updater and the six files of the new tree.
  EXPECT_EQ(listed.size(), 10u);
  const PackRun check = RunPack("check '" + delivery.string() + "' --installed '" +
                                oldTree.string() + "'", scratch.path());
  EXPECT_EQ(check.exitCode, 0) << check.output;
  EXPECT_NE(check.output.find("vintrel-pack check: 0 problems, 0 warnings"), std::string::npos)
      << check.output;
  // JSON says the same for a build pipeline.
  const PackRun json = RunPack("check '" + delivery.string() + "' --json", scratch.path());
  EXPECT_EQ(json.exitCode, 0);
  EXPECT_NE(json.output.find("\"ok\":true,\"problems\":0"), std::string::npos) << json.output;
}

// Text-like bytes: words drawn by a fixed generator, as an application's files compress.
std::string Words(std::size_t size, std::uint32_t seed) {
  static const char* const kWords[] = {"static ", "int ", "return ", "widget", "(", ");\n",
                                       "0x7f, ", "\"live\" ", "stream ", "{ }\n"};
  std::string text;
  while (text.size() < size) {
    seed = seed * 1664525u + 1013904223u;
    text += kWords[(seed >> 16) % 10];
  }
  text.resize(size);
  return text;
}

// Bytes that do not compress.
std::string Noise(std::size_t size) {
  std::mt19937 generator(42);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

// What the delivered frame decodes to with the updater's decoder, against base for a patch.
std::string Decoded(const std::string& frame, const std::string& base, std::uint64_t listed,
                    DecodeResult& result) {
  std::size_t offset = 0;
  std::string decoded;
  result = DecodeZstd(
      [&](std::uint8_t* buffer, std::size_t capacity, std::size_t& got) {
        got = std::min(capacity, frame.size() - offset);
        std::copy_n(frame.data() + offset, got, buffer);
        offset += got;
        return true;
      },
      [&](const std::uint8_t* data, std::size_t size) {
        decoded.append(reinterpret_cast<const char*>(data), size);
        return true;
      },
      reinterpret_cast<const std::uint8_t*>(base.data()), base.size(), listed);
  return decoded;
}

// A number from a JSON report: "key":value.
std::uint64_t JsonCount(const std::string& json, const std::string& key) {
  std::smatch match;
  const std::regex pattern("\"" + key + "\":([0-9]+)");
  return std::regex_search(json, match, pattern) ? std::stoull(match[1]) : UINT64_MAX;
}

TEST(Check, ADeltaDeliveryFromDiffDecodesToTheNewTree) {
  Scratch scratch;
  const fs::path oldTree = scratch.path() / "old";
  const fs::path newTree = scratch.path() / "new";
  const std::string app = u8"bin/32bit/Kivo直播助手.exe";
  const std::string big = Words(1500000, 1);
  std::string bigChanged = big;
  bigChanged.replace(700000, 30, Words(40, 2));  // small changes inside a large file
  bigChanged.insert(1200000, "added line\n");
  WriteFile(oldTree / fs::u8path(app), "version 1");
  WriteFile(newTree / fs::u8path(app), "version 2");
  WriteFile(oldTree / fs::u8path(u8"bin/库 文件.dll"), big);
  WriteFile(newTree / fs::u8path(u8"bin/库 文件.dll"), bigChanged);
  WriteFile(newTree / "res/new.txt", Words(200000, 3));
  WriteFile(newTree / "res/noise.bin", Noise(50000));
  WriteFile(oldTree / "res/same.txt", Words(10000, 4));
  WriteFile(newTree / "res/same.txt", Words(10000, 4));
  WriteFile(oldTree / "res/gone.txt", "deleted");
  WriteFile(scratch.path() / "Updater.exe", TestProgram("app-1.2.0.0.exe"));
  const fs::path delivery = scratch.path() / "delivery";
  const PackRun diff =
      RunPack("diff '" + oldTree.string() + "' '" + newTree.string() + "' --out '" +
                  delivery.string() + "' --updater '" + (scratch.path() / "Updater.exe").string() +
                  "' --release 1796534412 --delta --json",
              scratch.path());
  ASSERT_EQ(diff.exitCode, 0) << diff.output;
  // The patch, the compressed new file; the noise, the small main application and the updater
  // plain.
  const std::uint64_t updaterSize = fs::file_size(scratch.path() / "Updater.exe");
  EXPECT_EQ(JsonCount(diff.output, "files_as_patches"), 1u) << diff.output;
  EXPECT_EQ(JsonCount(diff.output, "files_as_zstd_frames"), 1u) << diff.output;
  EXPECT_EQ(JsonCount(diff.output, "files_plain"), 3u) << diff.output;
  EXPECT_EQ(JsonCount(diff.output, "bytes_of_a_plain_delivery"),
            bigChanged.size() + 200000 + 50000 + 9 + updaterSize);
  EXPECT_LT(JsonCount(diff.output, "bytes_delivered"), 50000 + 9 + updaterSize + 200000 / 2)
      << diff.output;

  // Each line's delivered bytes are where it says and decode to the new tree's file.
  std::istringstream list(ReadFile(delivery / "UpdateInfo.sha256"));
  std::string line;
  std::getline(list, line);
  EXPECT_EQ(line, "vintrel-delivery 2\r");
  std::getline(list, line);
  std::set<std::string> kinds;
  std::size_t files = 0;
  for (; std::getline(list, line); ++files) {
    std::istringstream fields(line.substr(0, line.size() - 1));
    std::string kind, sha256, size, frameSha256, frameSize, baseSha256;
    if (line.compare(0, 5, "zstd ") == 0 || line.compare(0, 6, "patch ") == 0) {
      fields >> kind >> sha256 >> size >> frameSha256 >> frameSize;
    } else {
      fields >> sha256 >> size;
    }
    if (kind == "patch") fields >> baseSha256;
    std::string path;
    std::getline(fields >> std::ws, path);
    SCOPED_TRACE(line);
    kinds.insert(kind.empty() ? "plain" : kind);
    if (path == "UpdateInfo.ini" || path == "Updater.exe") EXPECT_EQ(kind, "");
    if (path == "UpdateInfo.ini") continue;
    const std::string utf8 = path == "Updater.exe" ? path : Utf8(path);
    const std::string expected = ReadFile(path == "Updater.exe" ? scratch.path() / path
                                                                 : newTree / fs::u8path(utf8));
    EXPECT_EQ(sha256, Sha256Hex(expected));
    EXPECT_EQ(size, std::to_string(expected.size()));
    if (kind.empty()) {
      EXPECT_TRUE(ReadFile(delivery / fs::u8path(utf8)) == expected);
      continue;
    }
    EXPECT_FALSE(fs::exists(delivery / fs::u8path(utf8)));
    const std::string frame =
        ReadFile(delivery / fs::u8path(utf8 + (kind == "zstd" ? ".zst" : ".zstpatch")));
    EXPECT_EQ(frameSha256, Sha256Hex(frame));
    EXPECT_EQ(frameSize, std::to_string(frame.size()));
    const std::string base = kind == "patch" ? ReadFile(oldTree / fs::u8path(utf8)) : "";
    if (kind == "patch") EXPECT_EQ(baseSha256, Sha256Hex(base));
    DecodeResult result{};
    EXPECT_TRUE(Decoded(frame, base, expected.size(), result) == expected);
    EXPECT_EQ(result, DecodeResult::kOk) << DecodeResultText(result);
  }
  EXPECT_EQ(kinds, (std::set<std::string>{"plain", "zstd", "patch"}));
  // The manifest, the updater and the four changed or new files.
  EXPECT_EQ(files, 6u);

  const std::string check = "check '" + delivery.string() + "'";
  const std::string installed = " --installed '" + oldTree.string() + "'";
  for (const std::string& arguments : {check, check + installed}) {
    const PackRun run = RunPack(arguments, scratch.path());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    // Without the installation the patch's base is said to be unchecked.
    EXPECT_EQ(run.output.find("the base of 1 patch was not checked") != std::string::npos,
              arguments == check)
        << run.output;
    EXPECT_EQ(ProblemCodes(run.output), std::set<std::string>{}) << run.output;
    EXPECT_EQ(Codes(run.output, "warning"), std::set<std::string>{}) << run.output;
  }
  // The installed base changed after the release: the patch no longer applies.
  WriteFile(oldTree / fs::u8path(u8"bin/库 文件.dll"), bigChanged);
  PackRun run = RunPack(check + installed, scratch.path());
  EXPECT_EQ(ProblemCodes(run.output), std::set<std::string>{"patch-base-differs"}) << run.output;
  fs::remove(oldTree / fs::u8path(u8"bin/库 文件.dll"));
  run = RunPack(check + installed, scratch.path());
  EXPECT_EQ(ProblemCodes(run.output), std::set<std::string>{"patch-base-missing"}) << run.output;
  // One byte of the patch flipped, the compressed file cut short.
  const fs::path patch = delivery / fs::u8path(u8"bin/库 文件.dll.zstpatch");
  std::string patchBytes = ReadFile(patch);
  patchBytes[patchBytes.size() / 2] ^= 0x01;
  WriteFile(patch, patchBytes);
  const std::string frame = ReadFile(delivery / "res/new.txt.zst");
  WriteFile(delivery / "res/new.txt.zst", frame.substr(0, frame.size() - 1));
  run = RunPack(check, scratch.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(ProblemCodes(run.output),
            (std::set<std::string>{"frame-hash-differs", "frame-size-differs"}))
      << run.output;
}

// Every file below root with its bytes, relative names with "/".
std::map<std::string, std::string> Contents(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    files[fs::relative(entry.path(), root).generic_string()] = bytes.str();
  }
  return files;
}

// The names in folder, sorted.
std::set<std::string> Names(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

TEST(Diff, OutNeverDestroysItsInputsAndLeavesNothingBehind) {
  Scratch scratch;
  const fs::path work = scratch.path() / "w";
  WriteFile(work / "old/bin/32bit/a.dll", "1");
  WriteFile(work / "new/bin/32bit/a.dll", "2");
  WriteFile(work / "Updater.exe", TestProgram("app-1.2.0.0.exe"));
  WriteFile(work / "notes/keep.txt", "not a delivery");
  const auto trees = Contents(work);
  const std::string inputs =
      "diff '" + (work / "old").string() + "' '" + (work / "new").string() + "' ";
  const std::string updater = " --updater '" + (work / "Updater.exe").string() + "'";
  // Is, holds or lies inside OLD, NEW or the updater; a folder that is no delivery.
  for (const std::string out : {work.string(), work.string() + "/", (work / "old").string(),
                                (work / "new/bin/./32bit").string(),
                                (work / "new/../old/").string(),
                                (work / "Updater.exe").string(), (work / "notes").string()}) {
    SCOPED_TRACE(out);
    const PackRun run = RunPack(inputs + "--out '" + out + "' --force" + updater, scratch.path());
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_EQ(Contents(work), trees) << run.output;
  }
  EXPECT_EQ(Names(work), (std::set<std::string>{"Updater.exe", "new", "notes", "old"}));

  // A trailing separator names the same folder, made and then replaced by --force.
  for (const std::string force : {"", " --force"}) {
    const PackRun run =
        RunPack(inputs + "--out '" + (work / "delivery").string() + "/'" + force, scratch.path());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    std::map<std::string, std::string> written = Contents(work / "delivery");
    EXPECT_EQ(written.erase("UpdateInfo.sha256"), 1u);
    EXPECT_EQ(written, (std::map<std::string, std::string>{
                           {"UpdateInfo.ini", "UpdatedFiles:\r\nbin/32bit/a.dll\r\n"},
                           {"bin/32bit/a.dll", "2"}}));
    EXPECT_EQ(Names(work), (std::set<std::string>{"Updater.exe", "delivery", "new", "notes", "old"}));
  }

  // A copy that fails (the file's path in the delivery passes the system's 4,096 bytes) leaves
  // none of the folders it made: here twenty levels.
  WriteFile(work / "new/bin/32bit" / (std::string(200, 'f') + ".dll"), "far");
  fs::path far = work / "missing";
  for (int i = 0; i < 19; ++i) far /= std::string(200, 'm');
  const PackRun failed = RunPack(inputs + "--out '" + (far / "delivery").string() +
                                     "' --root-length 1 --delivery-length 1",
                                 scratch.path());
  EXPECT_EQ(failed.exitCode, 1) << failed.output;
  EXPECT_EQ(ProblemCodes(failed.output), std::set<std::string>{"write-failed"}) << failed.output;
  EXPECT_EQ(Names(work), (std::set<std::string>{"Updater.exe", "delivery", "new", "notes", "old"}));
}

// The exit code of the stock openssl tool run with arguments.
int RunOpenssl(const std::string& arguments) {
  const char* tool = std::getenv("OPENSSL_TOOL");
  const std::string command =
      std::string(tool ? tool : "openssl") + " " + arguments + " > /dev/null 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Check, ADeliveryDiffSignedVerifiesWithOpensslAndCheck) {
  const char* keysEnvironment = std::getenv("TEST_KEYS");
  ASSERT_NE(keysEnvironment, nullptr) << "TEST_KEYS not set";
  const fs::path keys = keysEnvironment;
  Scratch scratch;
  WriteFile(scratch.path() / "old/bin/32bit/a.dll", "1");
  WriteFile(scratch.path() / "new/bin/32bit/a.dll", "2");
  const fs::path delivery = scratch.path() / "delivery";
  const PackRun diff = RunPack("diff '" + (scratch.path() / "old").string() + "' '" +
                                   (scratch.path() / "new").string() + "' --out '" +
                                   delivery.string() + "' --release 7 --previous-release 6 --key '" +
                                   (keys / "current.pem").string() + "'",
                               scratch.path());
  ASSERT_EQ(diff.exitCode, 0) << diff.output;
  const std::string list = (delivery / "UpdateInfo.sha256").string();
  const std::string signature = (delivery / "UpdateInfo.sig").string();
  const std::string opensslVerify = "dgst -sha256 -verify '" + (keys / "current.pub.pem").string() +
                                    "' -signature '" + signature + "' '" + list + "'";
  const std::string check = "check '" + delivery.string() + "' --public-key '" +
                            (keys / "other.pub.pem").string() + "' --public-key '" +
                            (keys / "current.pub.pem").string() + "'";

  EXPECT_EQ(RunOpenssl(opensslVerify), 0);
  PackRun run = RunPack(check, scratch.path());
  EXPECT_EQ(run.exitCode, 0) << run.output;
  // Of the two keys given, check names the one that verified.
  EXPECT_NE(run.output.find("UpdateInfo.sig: verified by " + (keys / "current.pub.pem").string()),
            std::string::npos)
      << run.output;

  // A list changed after signing fails both, as does a delivery without its signature.
  std::string bytes = ReadFile(list);
  ASSERT_NE(bytes.find("release 7\r\n"), std::string::npos);
  bytes.replace(bytes.find("release 7\r\n"), 9, "release 8");
  WriteFile(list, bytes);
  EXPECT_EQ(RunOpenssl(opensslVerify), 1);
  run = RunPack(check, scratch.path());
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_EQ(ProblemCodes(run.output), std::set<std::string>{"signature-not-verified"})
      << run.output;
  fs::remove(signature);
  run = RunPack(check, scratch.path());
  EXPECT_EQ(ProblemCodes(run.output), std::set<std::string>{"signature-missing"}) << run.output;
}

std::set<std::string> WarningCodes(const std::string& output) { return Codes(output, "warning"); }

// The main application's file version says which tree is the newer: swapped trees are refused,
// unless the downgrade is allowed, and trees without versions are said to be unchecked.
TEST(Diff, ADowngradeIsRefusedByTheMainApplicationsVersion) {
  const char* programs = std::getenv("PE_PROGRAMS");
  ASSERT_NE(programs, nullptr) << "PE_PROGRAMS not set";
  struct Row {
    const char *oldProgram, *newProgram, *arguments;
    int exitCode;
    std::set<std::string> problems, warnings;
  };
  const Row rows[] = {
      {"app-1.2.0.0.exe", "app-2.0.0.1.exe", "", 0, {}, {}},
      {"app-2.0.0.1.exe", "app-1.2.0.0.exe", "", 1, {"downgrade"}, {}},
      {"app-2.0.0.1.exe", "app-1.2.0.0.exe", " --allow-downgrade", 0, {}, {"downgrade"}},
      {"app-none.exe", "app-1.2.0.0.exe", "", 0, {}, {"direction-unchecked"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.oldProgram) + " -> " + row.newProgram + row.arguments);
    Scratch scratch;
    const fs::path main = "bin/32bit/Kivo\xe7\x9b\xb4\xe6\x92\xad\xe5\x8a\xa9\xe6\x89\x8b.exe";
    WriteFile(scratch.path() / "old" / main, ReadFile(fs::path(programs) / row.oldProgram));
    WriteFile(scratch.path() / "new" / main, ReadFile(fs::path(programs) / row.newProgram));
    const fs::path out = scratch.path() / "delivery";
    const PackRun run = RunPack("diff '" + (scratch.path() / "old").string() + "' '" +
                                    (scratch.path() / "new").string() + "' --out '" +
                                    out.string() + "'" + row.arguments,
                                scratch.path());
    EXPECT_EQ(run.exitCode, row.exitCode) << run.output;
    EXPECT_EQ(ProblemCodes(run.output), row.problems) << run.output;
    EXPECT_EQ(WarningCodes(run.output), row.warnings) << run.output;
    EXPECT_EQ(fs::exists(out), row.exitCode == 0);
  }
}

// A signed delivery describes the whole release: from the release given as its base, with the
// files that stay listed as kept, or full, every file delivered and the main application's file
// version named; unsigned ones without a base stay format 1.
TEST(Diff, TheListDescribesTheWholeRelease) {
  const char* keys = std::getenv("TEST_KEYS");
  ASSERT_NE(keys, nullptr) << "TEST_KEYS not set";
  const std::string key = " --key '" + (fs::path(keys) / "current.pem").string() + "'";
  const std::string kMainApp = "bin/32bit/Kivo\xe7\x9b\xb4\xe6\x92\xad\xe5\x8a\xa9\xe6\x89\x8b.exe";
  struct Row {
    const char* newProgram;
    std::string arguments;
    int exitCode;
    std::string firstLines;                 // the list's first lines, when written
    std::vector<std::string> delivered, kept;  // the paths listed, in order
    std::string says;                       // in the output
  };
  const Row rows[] = {
      {"app-2.0.0.1.exe", " --previous-release 5" + key, 0,
       "vintrel-delivery 3\r\nrelease 9\r\nfrom 5\r\n",
       {"UpdateInfo.ini", "a.dll", kMainApp, "new.txt"}, {"same.dll"}, "signed with"},
      {"app-2.0.0.1.exe", " --full" + key, 0,
       "vintrel-delivery 3\r\nrelease 9\r\nfull 2.0.0.1\r\n",
       {"UpdateInfo.ini", "a.dll", kMainApp, "new.txt", "same.dll"}, {}, "signed with"},
      {"app-2.0.0.1.exe", "", 0, "vintrel-delivery 1\r\nrelease 9\r\n",
       {"UpdateInfo.ini", "a.dll", kMainApp, "new.txt"}, {}, "delivery written"},
      {"app-2.0.0.1.exe", key, 2, "", {}, {}, "give --previous-release N or --previous"},
      {"app-none.exe", " --full", 0, "vintrel-delivery 3\r\nrelease 9\r\nfull 0.0.0.0\r\n",
       {"UpdateInfo.ini", "a.dll", kMainApp, "new.txt", "same.dll"}, {}, "full-without-version"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments);
    Scratch scratch;
    for (const char* tree : {"old", "new"}) {
      const bool isNew = tree == std::string("new");
      WriteFile(scratch.path() / tree / kMainApp,
                TestProgram(isNew ? row.newProgram : "app-1.2.0.0.exe"));
      WriteFile(scratch.path() / tree / "a.dll", isNew ? "2" : "1");
      WriteFile(scratch.path() / tree / "same.dll", "same");
      WriteFile(scratch.path() / tree / (isNew ? "new.txt" : "gone.txt"), tree);
    }
    const fs::path out = scratch.path() / "delivery";
    const PackRun run = RunPack("diff '" + (scratch.path() / "old").string() + "' '" +
                                    (scratch.path() / "new").string() + "' --out '" +
                                    out.string() + "' --release 9" + row.arguments,
                                scratch.path());
    EXPECT_EQ(run.exitCode, row.exitCode) << run.output;
    EXPECT_NE(run.output.find(row.says), std::string::npos) << run.output;
    if (row.exitCode != 0) {
      EXPECT_FALSE(fs::exists(out));
      continue;
    }
    const std::string list = ReadFile(out / "UpdateInfo.sha256");
    EXPECT_EQ(list.substr(0, row.firstLines.size()), row.firstLines);
    std::vector<std::string> delivered, kept;
    std::istringstream lines(list);
    for (std::string line; std::getline(lines, line);) {
      const size_t blank = line.rfind(' ');
      if (line.size() < 64 || blank == std::string::npos) continue;
      // The path's bytes are code page 936 as written; the main application's name in UTF-8.
      const std::string path = Utf8(line.substr(blank + 1, line.size() - blank - 2));
      (line.rfind("kept ", 0) == 0 ? kept : delivered).push_back(path);
    }
    std::sort(delivered.begin() + 1, delivered.end());
    EXPECT_EQ(delivered, row.delivered);
    EXPECT_EQ(kept, row.kept);
    if (row.arguments.find("--previous-release") != std::string::npos) {
      EXPECT_NE(list.find("kept " + Sha256Hex("same") + " 4 same.dll\r\n"), std::string::npos)
          << list;
    }
    // Only files that some tree had are deleted: the one OLD had and NEW lacks.
    EXPECT_NE(ReadFile(out / "UpdateInfo.ini").find("DeletedFiles:\r\ngone.txt\r\n"),
              std::string::npos);
    if (row.kept.empty()) continue;
    // check --installed holds the kept files against the installation.
    const std::string check =
        "check '" + out.string() + "' --installed '" + (scratch.path() / "old").string() + "'";
    PackRun checked = RunPack(check, scratch.path());
    EXPECT_EQ(checked.exitCode, 0) << checked.output;
    WriteFile(scratch.path() / "old/same.dll", "put back otherwise");
    checked = RunPack(check, scratch.path());
    EXPECT_EQ(ProblemCodes(checked.output), std::set<std::string>{"kept-file-differs"})
        << checked.output;
  }
}

// publish adds releases to a feed: a full delivery and partial ones from the latest --keep
// releases, a signed index that check verifies; what diff refuses (a release not above the
// newest, a downgrade) leaves the feed as it was; a folder an ended run left is made again.
TEST(Publish, AFeedOfReleasesChecksAndRefusesWhatDiffRefuses) {
  const char* keys = std::getenv("TEST_KEYS");
  ASSERT_NE(keys, nullptr) << "TEST_KEYS not set";
  const std::string main = "bin/32bit/Kivo\xe7\x9b\xb4\xe6\x92\xad\xe5\x8a\xa9\xe6\x89\x8b.exe";
  Scratch scratch;
  const fs::path feed = scratch.path() / "feed";
  const auto publish = [&](const char* program, const std::string& release,
                           const std::string& more = "") {
    const fs::path tree = scratch.path() / ("tree-" + release);
    WriteFile(tree / main, TestProgram(program));
    WriteFile(tree / "lib/same.dll", std::string(5000, 's'));
    WriteFile(tree / "readme.txt", "release " + release);
    if (release == "1") WriteFile(tree / "gone.txt", "only in release 1");
    return RunPack("publish '" + tree.string() + "' --feed '" + feed.string() + "' --release " +
                       release + " --key '" + (fs::path(keys) / "current.pem").string() + "'" +
                       more,
                   scratch.path());
  };
  const std::string check = "check '" + feed.string() + "' --public-key '" +
                            (fs::path(keys) / "current.pub.pem").string() + "'";
  for (const char* release : {"1", "2", "3"}) {
    const PackRun run = publish(release[0] == '1' ? "app-1.2.0.0.exe" : "app-2.0.0.1.exe", release);
    ASSERT_EQ(run.exitCode, 0) << run.output;
  }
  vintrel::FeedIndexRead read = vintrel::ParseFeedIndex(ReadFile(feed / "index"));
  ASSERT_EQ(read.status, vintrel::FeedIndexStatus::kRead);
  ASSERT_EQ(read.index.releases.size(), 1u) << "release 3 goes to every device";
  const vintrel::FeedRelease& three = read.index.releases.front();
  EXPECT_EQ(three.release, 3u);
  EXPECT_EQ(three.full.folder, "3/full");
  ASSERT_EQ(three.partial.size(), 2u);
  EXPECT_EQ(three.partial[0].folder, "3/from-1");
  EXPECT_EQ(three.partial[1].folder, "3/from-2");
  // Release 3's full delivery deletes what release 1 had, though release 2 did not.
  EXPECT_NE(ReadFile(feed / "3/full/UpdateInfo.ini").find("DeletedFiles:\r\ngone.txt"),
            std::string::npos);
  PackRun run = RunPack(check, scratch.path());
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("index.sig: verified by"), std::string::npos) << run.output;

  const std::string index = ReadFile(feed / "index");
  run = publish("app-2.0.0.1.exe", "3");
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_EQ(ProblemCodes(run.output), std::set<std::string>{"release-not-above-previous"});
  run = publish("app-1.2.0.0.exe", "4");
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_EQ(ProblemCodes(run.output).count("downgrade"), 1u) << run.output;
  EXPECT_EQ(ReadFile(feed / "index"), index);
  EXPECT_FALSE(fs::exists(feed / "4"));

  WriteFile(feed / "5/full/half-written", "an ended run's");
  WriteFile(feed / ".5.publish-1/full/half-written", "an ended run's");
  WriteFile(feed / ".work-1/3/readme.txt", "an ended run's");
  run = publish("app-2.0.0.1.exe", "5", " --keep 1 --rollout 12.5%");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("left by a run that was ended"), std::string::npos) << run.output;
  EXPECT_FALSE(fs::exists(feed / "5/full/half-written"));
  EXPECT_FALSE(fs::exists(feed / ".5.publish-1"));
  EXPECT_FALSE(fs::exists(feed / ".work-1"));
  // Release 5 to an eighth of the devices; release 3 stays listed for the others.
  read = vintrel::ParseFeedIndex(ReadFile(feed / "index"));
  ASSERT_EQ(read.index.releases.size(), 2u);
  EXPECT_EQ(read.index.releases[0].rollout, 1250u);
  ASSERT_EQ(read.index.releases[0].partial.size(), 1u);
  EXPECT_EQ(read.index.releases[0].partial[0].from, 3u);
  EXPECT_EQ(read.index.releases[1].release, 3u);
  EXPECT_EQ(read.index.releases[1].partial.size(), 2u);
  run = RunPack(check, scratch.path());
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(fs::exists(feed / "3/from-1/UpdateInfo.sha256")) << "an earlier release destroyed";

  // Release 5 to every device, by a hand that has no key: the signature no longer verifies.
  std::string widened = ReadFile(feed / "index");
  widened.replace(widened.find("rollout 12.5%"), 13, "rollout 100%");
  WriteFile(feed / "index", widened);
  run = RunPack(check, scratch.path());
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_EQ(ProblemCodes(run.output).count("feed-signature-not-verified"), 1u) << run.output;
}

// --release takes a decimal number above the previous delivery's; one below the default
// numbering's range is warned about by diff and check.
TEST(Diff, TheReleaseIsANumberAboveThePrevious) {
  Scratch scratch;
  WriteFile(scratch.path() / "old/bin/32bit/a.dll", "1");
  WriteFile(scratch.path() / "new/bin/32bit/a.dll", "2");
  const std::string trees = "diff '" + (scratch.path() / "old").string() + "' '" +
                            (scratch.path() / "new").string() + "' --out '";
  const fs::path first = scratch.path() / "first";
  ASSERT_EQ(RunPack(trees + first.string() + "' --release 1900000000", scratch.path()).exitCode,
            0);
  struct Row {
    std::string arguments;
    int exitCode;
    std::set<std::string> problems;
  };
  const Row rows[] = {
      {"--release 1800000000 --previous '" + first.string() + "'", 1,
       {"release-not-above-previous"}},
      {"--release 1900000000 --previous-release 1900000000", 1, {"release-not-above-previous"}},
      {"--release 1900000001 --previous '" + first.string() + "'", 0, {}},
      {"--release 2.1.0", 2, {}},
      {"--release 0", 2, {}},
      {"--previous '" + (scratch.path() / "old").string() + "'", 2, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments);
    const fs::path out = scratch.path() / "next";
    const PackRun run = RunPack(trees + out.string() + "' " + row.arguments, scratch.path());
    EXPECT_EQ(run.exitCode, row.exitCode) << run.output;
    EXPECT_EQ(ProblemCodes(run.output), row.problems) << run.output;
    if (row.exitCode == 2) {
      EXPECT_EQ(run.output.rfind("vintrel-pack: ", 0), 0u) << run.output;
    }
    fs::remove_all(out);
  }

  // A date written as a number lies below every release numbered by default.
  const fs::path dated = scratch.path() / "dated";
  PackRun run = RunPack(trees + dated.string() + "' --release 20261207", scratch.path());
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(WarningCodes(run.output).count("release-below-time-range"), 1u) << run.output;
  run = RunPack("check '" + dated.string() + "'", scratch.path());
  EXPECT_EQ(WarningCodes(run.output), std::set<std::string>{"release-below-time-range"});
  EXPECT_NE(run.output.find("release 20261207"), std::string::npos) << run.output;
}

// SIGTERM while the delivery is written leaves nothing beside --out; a partial delivery of a run
// killed outright is removed by the next run when it holds the marker, never by name alone.
TEST(Diff, AnInterruptedRunLeavesNothingBehind) {
  Scratch scratch;
  const fs::path work = scratch.path();
  WriteFile(work / "old/a.txt", "1");
  for (int i = 0; i < 24; ++i) {
    const fs::path file = work / "new/big" / ("part" + std::to_string(i) + ".bin");
    WriteFile(file, "x");
    fs::resize_file(file, 8u << 20);
  }
  const char* program = std::getenv("VINTREL_PACK");
  ASSERT_NE(program, nullptr);
  const std::string old = (work / "old").string(), fresh = (work / "new").string(),
                    out = (work / "delivery").string();
  const pid_t child = fork();
  if (child == 0) {
    freopen("/dev/null", "w", stdout);
    execl(program, program, "diff", old.c_str(), fresh.c_str(), "--out", out.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(child, 0);
  const fs::path partial = work / (".delivery.partial-" + std::to_string(child));
  // Killed once the first file is being copied into the partial delivery.
  bool copying = false;
  for (int wait = 0; wait < 20000 && !copying; ++wait) {
    std::error_code ec;
    copying = fs::exists(partial / "big", ec);
    if (!copying) usleep(500);
  }
  kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(copying) << "the run ended before it was seen copying";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_EQ(Names(work), (std::set<std::string>{"new", "old"}));

  // A run killed outright (here a process that has ended) left its partial delivery, marked;
  // a folder of the same form without the marker is someone else's.
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  waitpid(ended, nullptr, 0);
  const std::string stale = ".delivery.partial-" + std::to_string(ended);
  WriteFile(work / stale / ".vintrel-pack-partial", "vintrel-pack partial " + std::to_string(ended));
  WriteFile(work / stale / "big/part0.bin", "copied");
  WriteFile(work / ".delivery.partial-1/keep.txt", "not ours");
  const PackRun run = RunPack("diff '" + old + "' '" + fresh + "' --out '" + out + "'", work);
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("removed " + (work / stale).string()), std::string::npos)
      << run.output;
  EXPECT_EQ(Names(work), (std::set<std::string>{".delivery.partial-1", "delivery", "new", "old",
                                                "output.txt"}));
  EXPECT_FALSE(fs::exists(work / "delivery" / ".vintrel-pack-partial"));
}

// An empty folder is taken as --out; --force replaces an earlier delivery only when its hash
// list names every file in it, and otherwise names the file that stops it.
TEST(Diff, ForceReplacesOnlyWhatAnEarlierDeliveryListed) {
  Scratch scratch;
  const fs::path work = scratch.path();
  WriteFile(work / "old/bin/a.dll", "1");
  WriteFile(work / "new/bin/a.dll", "2");
  fs::create_directories(work / "empty");
  const std::string diff = "diff '" + (work / "old").string() + "' '" +
                           (work / "new").string() + "' --out '" + (work / "empty").string() + "'";
  ASSERT_EQ(RunPack(diff, work).exitCode, 0);
  EXPECT_TRUE(fs::exists(work / "empty/bin/a.dll"));
  PackRun run = RunPack(diff, work);
  EXPECT_EQ(run.exitCode, 2) << run.output;
  EXPECT_NE(run.output.find("--force"), std::string::npos) << run.output;
  EXPECT_EQ(RunPack(diff + " --force", work).exitCode, 0);

  WriteFile(work / "empty/bin/important.doc", "the publisher's");
  run = RunPack(diff + " --force", work);
  EXPECT_EQ(run.exitCode, 2) << run.output;
  EXPECT_NE(run.output.find("\"bin/important.doc\""), std::string::npos) << run.output;
  EXPECT_EQ(ReadFile(work / "empty/bin/important.doc"), "the publisher's");
}

// A passphrase-protected key signs with its passphrase from a variable or a file, and without
// one is said to be encrypted, never prompted for.
TEST(Diff, AnEncryptedKeyTakesItsPassphraseFromAVariableOrAFile) {
  const char* keysEnvironment = std::getenv("TEST_KEYS");
  ASSERT_NE(keysEnvironment, nullptr) << "TEST_KEYS not set";
  Scratch scratch;
  const fs::path encrypted = scratch.path() / "encrypted.pem";
  ASSERT_EQ(RunOpenssl("ec -in '" + (fs::path(keysEnvironment) / "current.pem").string() +
                       "' -aes256 -passout pass:correct-horse -out '" + encrypted.string() + "'"),
            0);
  WriteFile(scratch.path() / "pass.txt", "correct-horse\n");
  WriteFile(scratch.path() / "old/a.dll", "1");
  WriteFile(scratch.path() / "new/a.dll", "2");
  setenv("VINTREL_TEST_KEY_PASS", "correct-horse", 1);
  setenv("VINTREL_TEST_WRONG_PASS", "wrong", 1);
  struct Row {
    std::string keyPass;
    int exitCode;
    std::string says;
  };
  const Row rows[] = {
      {"", 2, "is encrypted: give --key-pass"},
      {" --key-pass env:VINTREL_TEST_KEY_PASS", 0, "signed with"},
      {" --key-pass file:'" + (scratch.path() / "pass.txt").string() + "'", 0, "signed with"},
      {" --key-pass env:VINTREL_TEST_WRONG_PASS", 2, "the passphrase given does not open it"},
      {" --key-pass env:VINTREL_TEST_UNSET", 2, "is not set"},
      {" --key-pass pass:correct-horse", 2, "env:NAME or file:PATH"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.keyPass);
    const fs::path out = scratch.path() / "delivery";
    // No terminal: standard input is empty, so a prompt would read nothing.
    const PackRun run = RunPack("diff '" + (scratch.path() / "old").string() + "' '" +
                                    (scratch.path() / "new").string() + "' --out '" +
                                    out.string() + "' --previous-release 1 --key '" + encrypted.string() + "'" +
                                    row.keyPass + " < /dev/null",
                                scratch.path());
    EXPECT_EQ(run.exitCode, row.exitCode) << run.output;
    EXPECT_NE(run.output.find(row.says), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("Enter PEM pass phrase"), std::string::npos) << run.output;
    EXPECT_EQ(fs::exists(out / "UpdateInfo.sig"), row.exitCode == 0);
    fs::remove_all(out);
  }
}

// The "plan" array of a JSON report, as printed.
std::string JsonPlan(const std::string& json) {
  const std::size_t start = json.find(",\"plan\":[");
  return start == std::string::npos ? std::string() : json.substr(start, json.rfind(']') - start);
}

// A dry run decides every file as the real run does, each with its reason, and writes nothing.
TEST(Diff, ADryRunPlansAsTheRealRunAndWritesNothing) {
  Scratch scratch;
  const fs::path work = scratch.path();
  const std::string text = Words(400000, 1);
  WriteFile(work / "old/bin/text.dll", text);
  WriteFile(work / "new/bin/text.dll", text + "one more line\n");
  WriteFile(work / "new/bin/noise.bin", Noise(20000));
  WriteFile(work / "new/res/media.mp4", Noise(2 << 20));
  WriteFile(work / "new/res/new.txt", Words(100000, 2));
  WriteFile(work / "old/res/same.txt", "same");
  WriteFile(work / "new/res/same.txt", "same");
  WriteFile(work / "old/res/gone.txt", "gone");
  // Over the 128 MiB a patch's base and result may have: sparse, so quickly read.
  for (const char* tree : {"old", "new"}) {
    WriteFile(work / tree / "big.pak", "");
    fs::resize_file(work / tree / "big.pak", (129u << 20));
  }
  std::fstream(work / "new/big.pak", std::ios::in | std::ios::out | std::ios::binary)
      .seekp(1000) << 'x';
  WriteFile(work / "Updater.exe", TestProgram("app-1.2.0.0.exe"));
  const std::string diff = "diff '" + (work / "old").string() + "' '" + (work / "new").string() +
                           "' --out '" + (work / "delivery").string() + "' --updater '" +
                           (work / "Updater.exe").string() + "' --delta --release 1796534400";
  // Every item below work with its size and time of change.
  const auto listing = [&work]() {
    std::set<std::string> items;
    for (const auto& entry : fs::recursive_directory_iterator(work)) {
      if (entry.path().filename() == "output.txt") continue;
      items.insert(entry.path().string() + " " +
                   std::to_string(entry.is_regular_file() ? entry.file_size() : 0) + " " +
                   std::to_string(entry.last_write_time().time_since_epoch().count()));
    }
    return items;
  };
  const std::set<std::string> before = listing();
  const PackRun dry = RunPack(diff + " --dry-run --json", work);
  EXPECT_EQ(dry.exitCode, 0) << dry.output;
  EXPECT_EQ(listing(), before);
  EXPECT_EQ(Names(work), (std::set<std::string>{"Updater.exe", "new", "old", "output.txt"}));

  const PackRun real = RunPack(diff + " --json", work);
  ASSERT_EQ(real.exitCode, 0) << real.output;
  EXPECT_NE(JsonPlan(real.output), "");
  EXPECT_EQ(JsonPlan(dry.output), JsonPlan(real.output));
  for (const char* count : {"files_to_copy", "bytes_delivered", "files_as_patches",
                            "files_as_zstd_frames", "files_plain"}) {
    EXPECT_EQ(JsonCount(dry.output, count), JsonCount(real.output, count)) << count;
  }
  // Each file's entry, and what the delivery holds for it.
  struct Row {
    std::string path, action, delivery, why, delivered;  // delivered: the file in the delivery
  };
  const Row rows[] = {
      {"res/gone.txt", "delete", "null", "gone from NEW", ""},
      {"bin/text.dll", "copy", "\"patch\"", "patch: under 1/32 of the file, no frame tried",
       "bin/text.dll.zstpatch"},
      {"bin/noise.bin", "copy", "\"plain\"", "plain: compression does not pay", "bin/noise.bin"},
      {"res/media.mp4", "copy", "\"plain\"", "plain: incompressible", "res/media.mp4"},
      {"res/new.txt", "copy", "\"zstd frame\"", "frame: a new file", "res/new.txt.zst"},
      {"big.pak", "copy", "\"zstd frame\"", "frame: the file is over the 128 MiB patch limit",
       "big.pak.zst"},
      {"Updater.exe", "copy", "\"plain\"", "plain: the first stage copies the updater as it is",
       "Updater.exe"},
      {"res/same.txt", "unchanged", "null", "same size and content", ""},
  };
  const std::string plan = JsonPlan(real.output);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    std::smatch entry;
    const std::regex pattern("\\{\"path\":\"" + row.path + "\",\"action\":\"" + row.action +
                             "\",\"delivery\":" + row.delivery +
                             ",\"size\":[0-9]+,\"delivered_bytes\":([0-9]+),\"why\":\"[^\"]*" +
                             row.why);
    ASSERT_TRUE(std::regex_search(plan, entry, pattern)) << plan;
    const std::uint64_t delivered = std::stoull(entry[1]);
    EXPECT_EQ(delivered, row.delivered.empty() ? 0 : fs::file_size(work / "delivery" / row.delivered));
  }
  // The text sums the plan up, naming the file a limit decided on; --plan lists each file.
  fs::remove_all(work / "delivery");
  const PackRun summary = RunPack(diff + " --dry-run", work);
  EXPECT_NE(summary.output.find("  copy \"big.pak\": zstd frame"), std::string::npos)
      << summary.output;
  EXPECT_EQ(summary.output.find("  copy \"bin/text.dll\""), std::string::npos) << summary.output;
  const PackRun full = RunPack(diff + " --dry-run --plan", work);
  EXPECT_NE(full.output.find("  copy \"bin/text.dll\": patch"), std::string::npos) << full.output;
  EXPECT_NE(full.output.find("  unchanged \"res/same.txt\""), std::string::npos) << full.output;
}

// --updater takes only what the first stage can start: a 32-bit Windows GUI program, which then
// counts among the delivered files and bytes.
TEST(Diff, TheUpdaterMustBeA32BitWindowsGuiProgram) {
  Scratch scratch;
  WriteFile(scratch.path() / "old/bin/a.dll", "1");
  WriteFile(scratch.path() / "new/bin/a.dll", "2");
  struct Row {
    const char* name;
    std::string bytes;
    std::set<std::string> problems;
  };
  const Row rows[] = {
      {"config.dat", "key=value\r\nx=1\r\n", {"updater-not-a-program"}},
      {"console.exe", TestProgram("app-console.exe"), {"updater-not-win32-gui"}},
      {"Updater.exe", TestProgram("app-1.2.0.0.exe"), {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const fs::path updater = scratch.path() / row.name;
    const fs::path out = scratch.path() / "delivery";
    WriteFile(updater, row.bytes);
    const PackRun run = RunPack("diff '" + (scratch.path() / "old").string() + "' '" +
                                    (scratch.path() / "new").string() + "' --out '" +
                                    out.string() + "' --updater '" + updater.string() + "'",
                                scratch.path());
    EXPECT_EQ(run.exitCode, row.problems.empty() ? 0 : 1) << run.output;
    EXPECT_EQ(ProblemCodes(run.output), row.problems) << run.output;
    EXPECT_EQ(fs::exists(out), row.problems.empty());
    if (!row.problems.empty()) {
      // Refused: nothing delivered.
      EXPECT_NE(run.output.find("vintrel-pack diff: 1 problem, "), std::string::npos) << run.output;
      EXPECT_NE(run.output.find(", 0 bytes delivered"), std::string::npos) << run.output;
    } else {
      EXPECT_TRUE(ReadFile(out / "Updater.exe") == row.bytes);
      const std::string counts = ", 2 files to copy, 0 files to delete";
      EXPECT_NE(run.output.find(counts), std::string::npos) << run.output;
      EXPECT_NE(run.output.find(std::to_string(row.bytes.size() + 1) + " bytes delivered"),
                std::string::npos)
          << run.output;
    }
  }
}

// Given a folder that is no delivery, check says what it holds instead.
TEST(Check, AFolderThatIsNoDeliverySaysWhatItHolds) {
  Scratch scratch;
  const fs::path outer = scratch.path() / "outer";
  WriteFile(outer / "d1/UpdateInfo.ini", kManifestA);
  WriteFile(outer / "d1/a.txt", "a");
  const fs::path release = scratch.path() / "release";
  WriteFile(release / fs::u8path(u8"bin/32bit/Kivo直播助手.exe"), "main");
  for (const auto& [folder, says] :
       {std::pair<fs::path, std::string>{outer, "a delivery lies in " + (outer / "d1").string()},
        {release, "this looks like a release tree"}}) {
    const PackRun run = RunPack("check '" + folder.string() + "'", scratch.path());
    EXPECT_EQ(ProblemCodes(run.output), std::set<std::string>{"no-manifest"}) << run.output;
    EXPECT_NE(run.output.find(says), std::string::npos) << run.output;
  }
}

// Wrong usage exits with 2, every message prefixed, or as JSON with --json; --version and help.
TEST(Check, WrongUsageExitsWithTwo) {
  Scratch scratch;
  struct Row {
    std::string arguments;
    int exitCode;
    std::string begins;  // the output's beginning
  };
  const Row rows[] = {
      {"check", 2, "vintrel-pack: DELIVERY is required"},
      {"check '" + (scratch.path() / "missing").string() + "'", 2, "vintrel-pack: "},
      {"check x --bogus", 2, "vintrel-pack: "},
      {"pack x", 2, "vintrel-pack: \"pack\" is no command"},
      {"", 2, "vintrel-pack: give a command"},
      {"diff --json", 2, "{\"ok\":false,\"usage\":\"OLD is required"},
      {"check '" + (scratch.path() / "missing").string() + "' --json", 2,
       "{\"ok\":false,\"usage\":\""},
      {"help nothing", 2, "vintrel-pack: help: there is no command \"nothing\""},
      {"help diff", 0, "Compare the installed tree OLD"},
      {"help", 0, "vintrel-pack: makes a delivery"},
      {"--version", 0, "vintrel-pack "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments);
    const PackRun run = RunPack(row.arguments, scratch.path());
    EXPECT_EQ(run.exitCode, row.exitCode) << run.output;
    EXPECT_EQ(run.output.rfind(row.begins, 0), 0u) << run.output;
    // JSON alone, on one line.
    if (row.begins[0] == '{') EXPECT_EQ(run.output.find('\n'), run.output.size() - 1);
  }
  EXPECT_TRUE(std::regex_search(RunPack("--version", scratch.path()).output,
                                std::regex("^vintrel-pack [0-9]+\\.[0-9]+\\.[0-9]+\n$")));
  EXPECT_NE(RunPack("help diff", scratch.path()).output.find("Usage: vintrel-pack diff"),
            std::string::npos);
}

}  // namespace
