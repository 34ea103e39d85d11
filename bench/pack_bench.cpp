// vintrel-pack diff beside GNU diff -rq on the same two trees in the same run: 20,000 files of
// 1 GiB in all, 5 % of them differing (half of those at the same size, one byte in the middle).
// Goal: vintrel-pack diff, which also writes the delivery, takes at most 1.2 times diff -rq.
//
//   pack_bench VINTREL_PACK [SCRATCH_FOLDER] [--files N] [--mib M] [--rounds R] [--keep]
//
// --keep leaves the two trees (not the deliveries) and prints where, for profiling by hand.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Settings {
  std::string pack;
  fs::path scratch = fs::temp_directory_path() / "vintrel-pack-bench";
  size_t files = 20000;
  std::uint64_t bytes = 1ull << 30;
  int rounds = 5;
  bool keep = false;
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

void WriteFile(const fs::path& path, const char* data, size_t size, const char* extra,
               size_t extraSize) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file || std::fwrite(data, 1, size, file.get()) != size ||
      std::fwrite(extra, 1, extraSize, file.get()) != extraSize) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(2);
  }
}

// Both trees, written from one pool of random bytes: 100 folders of two levels, sizes spread
// between 1 KiB and twice the mean. Returns the number of files that differ.
size_t MakeTrees(const Settings& s) {
  std::mt19937_64 random(20261207);
  const size_t pool = 8 << 20;
  std::vector<char> bytes(pool + 4096);
  for (char& c : bytes) c = static_cast<char>(random());
  const std::uint64_t mean = s.bytes / s.files;
  std::uniform_int_distribution<std::uint64_t> sizes(1024, 2 * mean - 1024);
  std::vector<std::uint64_t> size(s.files);
  std::uint64_t total = 0;
  for (auto& one : size) total += one = sizes(random);
  // Scaled so that the old tree holds exactly the bytes asked for (to within a file).
  for (auto& one : size) one = std::min<std::uint64_t>(pool, one * s.bytes / total);
  size_t differing = 0;
  const char appended[100] = {};
  for (size_t i = 0; i < s.files; ++i) {
    const fs::path relative = fs::path("dir" + std::to_string(i % 100)) /
                              ("sub" + std::to_string(i % 7)) /
                              ("file" + std::to_string(i) + ".dat");
    for (const char* tree : {"old", "new"}) fs::create_directories((s.scratch / tree / relative).parent_path());
    const char* data = bytes.data() + (i * 7919) % (pool - size[i] + 1);
    WriteFile(s.scratch / "old" / relative, data, size[i], nullptr, 0);
    if (i % 20 != 0) {
      WriteFile(s.scratch / "new" / relative, data, size[i], nullptr, 0);
      continue;
    }
    ++differing;
    if ((i / 20) % 2 == 0 && size[i] > 0) {
      std::vector<char> changed(data, data + size[i]);
      changed[size[i] / 2] ^= 0x5A;
      WriteFile(s.scratch / "new" / relative, changed.data(), changed.size(), nullptr, 0);
    } else {
      WriteFile(s.scratch / "new" / relative, data, size[i], appended, sizeof appended);
    }
  }
  return differing;
}

double ChildrenCpuSeconds() {
  rusage usage = {};
  getrusage(RUSAGE_CHILDREN, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Wall-clock seconds of command; cpu gets the processor seconds it used (user and system).
double TimeCommand(const std::string& command, int& status, double& cpu) {
  const double cpuBefore = ChildrenCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  status = std::system(command.c_str());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cpu = ChildrenCpuSeconds() - cpuBefore;
  return seconds;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

size_t ManifestEntries(const fs::path& manifest) {
  std::ifstream in(manifest, std::ios::binary);
  std::string line;
  size_t entries = 0;
  while (std::getline(in, line)) entries += line != "UpdatedFiles:\r" && line != "DeletedFiles:\r";
  return entries;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--files" && i + 1 < argc) {
      s.files = std::stoul(argv[++i]);
    } else if (arg == "--mib" && i + 1 < argc) {
      s.bytes = std::stoull(argv[++i]) << 20;
    } else if (arg == "--rounds" && i + 1 < argc) {
      s.rounds = std::stoi(argv[++i]);
    } else if (arg == "--keep") {
      s.keep = true;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty()) {
    std::fprintf(stderr, "usage: pack_bench VINTREL_PACK [SCRATCH_FOLDER] [--files N] [--mib M] "
                         "[--rounds R] [--keep]\n");
    return 2;
  }
  s.pack = positional[0];
  if (positional.size() > 1) s.scratch = positional[1];
  fs::remove_all(s.scratch);

  const auto made = std::chrono::steady_clock::now();
  const size_t differing = MakeTrees(s);
  // The 2 GiB just written go to the disk now, not while the rounds are timed.
  sync();
  std::printf("trees: %zu files, %.0f MiB each, %zu differing; made in %.1f s\n", s.files,
              static_cast<double>(s.bytes) / (1 << 20), differing,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - made).count());

  const std::string oldTree = "'" + (s.scratch / "old").string() + "'";
  const std::string newTree = "'" + (s.scratch / "new").string() + "'";
  const std::string diffCommand = "diff -rq " + oldTree + " " + newTree + " > /dev/null";
  std::vector<double> diffTimes, packTimes, diffCpu, packCpu;
  int status = 0;
  double cpuDiff = 0, cpuPack = 0;
  // Round 0 warms the page cache for both and is not counted. Each round writes a delivery
  // folder of its own, all removed after the last round: where the file system holds back the
  // inodes of files deleted in the last minute or so (ext4 without a journal looks past each
  // of them for every file it makes), removing the previous round's 1,000 files just before
  // made every round's file creation slower than the one before, which a publisher's single
  // run never meets.
  for (int round = 0; round <= s.rounds; ++round) {
    const fs::path delivery = s.scratch / ("delivery-" + std::to_string(round));
    const std::string packCommand = "'" + s.pack + "' diff " + oldTree + " " + newTree +
                                    " --out '" + delivery.string() + "' > /dev/null";
    const double diffSeconds = TimeCommand(diffCommand, status, cpuDiff);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 1) {
      std::fprintf(stderr, "diff -rq did not report differences (status %d)\n", status);
      return 2;
    }
    const double packSeconds = TimeCommand(packCommand, status, cpuPack);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "vintrel-pack diff failed (status %d)\n", status);
      return 2;
    }
    const size_t entries = ManifestEntries(delivery / "UpdateInfo.ini");
    if (entries != differing) {
      std::fprintf(stderr, "the delivery lists %zu files, not %zu\n", entries, differing);
      return 2;
    }
    std::printf("round %d%s: diff -rq %.3f s (cpu %.3f s), vintrel-pack diff %.3f s (cpu %.3f s)\n",
                round, round == 0 ? " (warm-up)" : "", diffSeconds, cpuDiff, packSeconds, cpuPack);
    if (round == 0) continue;
    diffTimes.push_back(diffSeconds);
    packTimes.push_back(packSeconds);
    diffCpu.push_back(cpuDiff);
    packCpu.push_back(cpuPack);
  }
  for (int round = 0; round <= s.rounds; ++round) {
    fs::remove_all(s.scratch / ("delivery-" + std::to_string(round)));
  }
  // publish, once, reported beside diff (no goal): the old tree as the feed's first release
  // (its full delivery), then the new one (its full delivery, every file compressed at zstd's
  // level 19, and the partial one from the first, patches where smaller).
  const fs::path feed = s.scratch / "feed";
  const std::string key = (s.scratch / "publish-key.pem").string();
  if (std::system(("openssl ecparam -name prime256v1 -genkey -noout -out '" + key + "'").c_str()) !=
      0) {
    std::fprintf(stderr, "openssl could not make a key\n");
    return 2;
  }
  double publishSeconds[2] = {0, 0}, publishCpu[2] = {0, 0};
  for (int release = 1; release <= 2; ++release) {
    const std::string command = "'" + s.pack + "' publish " + (release == 1 ? oldTree : newTree) +
                                " --feed '" + feed.string() + "' --release " +
                                std::to_string(release) + " --key '" + key + "' > /dev/null";
    publishSeconds[release - 1] = TimeCommand(command, status, publishCpu[release - 1]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "vintrel-pack publish of release %d failed (status %d)\n", release,
                   status);
      return 2;
    }
  }
  std::printf("publish: the first release %.1f s (cpu %.1f s), the second %.1f s (cpu %.1f s, "
              "%.1f x the median diff)\n",
              publishSeconds[0], publishCpu[0], publishSeconds[1], publishCpu[1],
              publishSeconds[1] / Median(packTimes));
  fs::remove_all(feed);
  if (s.keep) {
    std::printf("kept old %s\nkept new %s\n", (s.scratch / "old").c_str(),
                (s.scratch / "new").c_str());
  } else {
    fs::remove_all(s.scratch);
  }

  const double ratio = Median(packTimes) / Median(diffTimes);
  const double best = *std::min_element(packTimes.begin(), packTimes.end()) /
                      *std::min_element(diffTimes.begin(), diffTimes.end());
  std::printf("median: diff -rq %.3f s, vintrel-pack diff %.3f s, ratio %.2f (fastest of each: %.2f)\n",
              Median(diffTimes), Median(packTimes), ratio, best);
  std::printf("median processor time: diff -rq %.3f s, vintrel-pack diff %.3f s, ratio %.2f\n",
              Median(diffCpu), Median(packCpu), Median(packCpu) / Median(diffCpu));
  const bool met = ratio <= 1.2;
  std::printf("goal: vintrel-pack diff at most 1.2 x diff -rq: %s\n", met ? "met" : "MISSED");
  return met ? 0 : 1;
}
