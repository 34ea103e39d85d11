// Delivered bytes of a plain, a compressed and a delta delivery of one generated release pair,
// side by side: five large files with small changes inside, new, deleted and unchanged files.
// The plain and delta deliveries are what vintrel-pack diff writes without and with --delta;
// the compressed one is the plain delivery's changed files each as one zstd frame of the same
// level and window as diff --delta's frames. Goal: the delta delivery is at most 5 % of the
// plain one for this pair (small changes inside large files are what patches are for).
//
//   delta_bench VINTREL_PACK [SCRATCH_FOLDER [--keep]]   (--keep: leave the trees and deliveries)

#include <sys/wait.h>
#include <zstd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

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

// The plain delivery's changed files each as one zstd frame, as diff --delta makes its frames.
std::uint64_t CompressedBytes(const fs::path& delivery) {
  std::uint64_t bytes = 0;
  for (const auto& entry : fs::recursive_directory_iterator(delivery)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || name == "UpdateInfo.ini" || name == "UpdateInfo.sha256") {
      continue;
    }
    const std::string file = ReadFile(entry.path());
    int windowLog = 10;
    while (windowLog < 27 && (std::size_t{1} << windowLog) < file.size()) ++windowLog;
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 19);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, windowLog);
    ZSTD_CCtx_setParameter(context, ZSTD_c_enableLongDistanceMatching, 1);
    std::string frame(ZSTD_compressBound(file.size()), '\0');
    const std::size_t size =
        ZSTD_compress2(context, &frame[0], frame.size(), file.data(), file.size());
    ZSTD_freeCCtx(context);
    // As diff --delta does, a file that does not compress is delivered as it is.
    bytes += ZSTD_isError(size) ? file.size() : std::min<std::uint64_t>(size, file.size());
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: delta_bench VINTREL_PACK [SCRATCH_FOLDER]\n");
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
  const std::uint64_t compressed = CompressedBytes(scratch / "plain");
  const double compressSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - compressStart).count();
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
  if (!(argc > 3 && std::string(argv[3]) == "--keep")) fs::remove_all(scratch);
  const bool met = delta * 20 <= plain;
  std::printf("goal: delta at most 5%% of plain: %s\n", met ? "met" : "MISSED");
  return met ? 0 : 1;
}
