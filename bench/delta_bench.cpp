// Delivered bytes of a plain, a compressed and a delta delivery of one generated release pair,
// side by side: five large files with small changes inside, new, deleted and unchanged files.
// The plain and delta deliveries are what vintrel-pack diff writes without and with --delta;
// the compressed one is the plain delivery with each changed or new file as one zstd frame, made
// as diff --delta makes its frames, listed in format 2. Goal: the delta delivery is at most 5 %
// of the plain one for this pair (small changes inside large files are what patches are for).
//
//   delta_bench VINTREL_PACK [SCRATCH_FOLDER [--keep]]
//
// --keep leaves the trees and the three delivery folders and prints where ("kept old ...").

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "cp936.h"
#include "delta.h"
#include "hash_list.h"
#include "tree.h"

namespace fs = std::filesystem;

namespace {

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(2);
  }
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Program-like bytes: tokens from a fixed vocabulary with random numbers between them, so that
// they compress about as well as an application's files (3 to 4 times).
std::string Program(std::size_t size, std::mt19937& random) {
  static const char* const kTokens[] = {"mov ", "call ", "push ", "eax", ", ", "[ebp-",
                                        "]\n", "ret\n", "jmp ", "0x"};
  std::string text;
  while (text.size() < size) {
    text += kTokens[random() % 10];
    text += std::to_string(random() % 65536);
  }
  text.resize(size);
  return text;
}

std::string Noise(std::size_t size, std::mt19937& random) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

// The release pair: returns the number of files the delivery carries.
int MakePair(const fs::path& oldTree, const fs::path& newTree) {
  std::mt19937 random(20261207);
  const std::string app = u8"bin/32bit/Kivo直播助手.exe";
  std::string main = Program(6 << 20, random);
  WriteFile(oldTree / fs::u8path(app), main);
  main.replace(3 << 20, 64, Program(64, random));  // a rebuilt main application
  WriteFile(newTree / fs::u8path(app), main);
  for (int i = 0; i < 5; ++i) {  // large files with small changes inside
    std::string file = Program(4 << 20, random) + Noise(512 << 10, random);
    WriteFile(oldTree / ("bin/32bit/lib" + std::to_string(i) + ".dll"), file);
    for (int edit = 0; edit < 5; ++edit) {
      file.replace(random() % (file.size() - 200), 100, Program(100, random));
    }
    file.insert(random() % file.size(), Program(2000, random));
    WriteFile(newTree / ("bin/32bit/lib" + std::to_string(i) + ".dll"), file);
  }
  WriteFile(newTree / "bin/32bit/new.dll", Program(1 << 20, random));  // new files
  WriteFile(newTree / "res/new.dat", Noise(256 << 10, random));
  for (int i = 0; i < 4; ++i) {
    WriteFile(oldTree / ("res/old" + std::to_string(i) + ".dat"), Program(100000, random));
  }
  for (int i = 0; i < 40; ++i) {  // unchanged
    const std::string same = Program(64 << 10, random);
    WriteFile(oldTree / ("res/same" + std::to_string(i) + ".txt"), same);
    WriteFile(newTree / ("res/same" + std::to_string(i) + ".txt"), same);
  }
  return 8;
}

double Run(const std::string& command) {
  const auto start = std::chrono::steady_clock::now();
  const int status = std::system(command.c_str());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(2);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The bytes of the delivery's files, the manifest and hash list aside.
std::uint64_t DeliveredBytes(const fs::path& delivery) {
  std::uint64_t bytes = 0;
  for (const auto& entry : fs::recursive_directory_iterator(delivery)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && name != "UpdateInfo.ini" && name != "UpdateInfo.sha256") {
      bytes += entry.file_size();
    }
  }
  return bytes;
}

// The compressed delivery beside the plain one: each of its files made by vintrel-pack's own
// DeliverSmallest with no base, so a zstd frame exactly as diff --delta makes one for a new
// file (or the file itself when that does not pay); UpdateInfo.ini and a top-level Updater.exe
// stay plain. Its hash list is the plain one's in format 2, with "zstd" lines.
void WriteCompressed(const fs::path& plain, const fs::path& compressed) {
  HashList list;
  HashListError error;
  if (!ParseHashList(ReadFile(plain / kHashListFileName), list, error)) {
    std::fprintf(stderr, "the plain delivery's list: %s\n", HashListErrorText(error).c_str());
    std::exit(2);
  }
  for (ListedFile& file : list.files) {
    const std::string relative = Cp936ToUtf8(file.path).value_or(std::string());
    const std::string key = FoldPathCase(file.path);
    const bool keepPlain = key == "UPDATEINFO.INI" || key == "UPDATER.EXE";
    std::string why;
    if (!DeliverSmallest(JoinRelative(plain, relative), fs::path(), compressed, relative,
                         keepPlain, file, why)) {
      std::fprintf(stderr, "compressed delivery: %s\n", why.c_str());
      std::exit(2);
    }
  }
  WriteFile(compressed / kHashListFileName, HashListText(list.release, list.files, 2));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: delta_bench VINTREL_PACK [SCRATCH_FOLDER [--keep]]\n");
    return 2;
  }
  const std::string pack = argv[1];
  const fs::path scratch = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "delta-bench";
  fs::remove_all(scratch);
  const fs::path oldTree = scratch / "old", newTree = scratch / "new";
  const int files = MakePair(oldTree, newTree);
  const std::string diff = "'" + pack + "' diff '" + oldTree.string() + "' '" +
                           newTree.string() + "' --release 1 --out '";
  const double plainSeconds = Run(diff + (scratch / "plain").string() + "' >/dev/null");
  const double deltaSeconds = Run(diff + (scratch / "delta").string() + "' --delta > '" +
                                  (scratch / "delta.txt").string() + "'");
  const std::uint64_t plain = DeliveredBytes(scratch / "plain");
  const auto compressStart = std::chrono::steady_clock::now();
  WriteCompressed(scratch / "plain", scratch / "compressed");
  const double compressSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - compressStart).count();
  const std::uint64_t compressed = DeliveredBytes(scratch / "compressed");
  const std::uint64_t delta = DeliveredBytes(scratch / "delta");

  std::printf("release pair: %d files delivered (main application and five large files with "
              "small changes, two new), 4 deleted, 40 unchanged\n", files);
  std::printf("%-12s %14s %9s %10s\n", "delivery", "bytes", "of plain", "made in s");
  std::printf("%-12s %14llu %8.2f%% %10.2f\n", "plain", static_cast<unsigned long long>(plain),
              100.0, plainSeconds);
  std::printf("%-12s %14llu %8.2f%% %10.2f\n", "compressed",
              static_cast<unsigned long long>(compressed), 100.0 * compressed / plain,
              compressSeconds);
  std::printf("%-12s %14llu %8.2f%% %10.2f\n", "delta", static_cast<unsigned long long>(delta),
              100.0 * delta / plain, deltaSeconds);
  std::printf("vintrel-pack diff --delta said: %s", ReadFile(scratch / "delta.txt").c_str());
  // The written compressed delivery as the updater would read it.
  Run("'" + pack + "' check '" + (scratch / "compressed").string() + "' >/dev/null");
  if (argc > 3 && std::string(argv[3]) == "--keep") {
    for (const char* name : {"old", "plain", "compressed", "delta"}) {
      std::printf("kept %-10s %s\n", name, (scratch / name).c_str());
    }
  } else {
    fs::remove_all(scratch);
  }
  const bool met = delta * 20 <= plain;
  std::printf("goal: delta at most 5%% of plain: %s\n", met ? "met" : "MISSED");
  return met ? 0 : 1;
}
