// The update's copying under Wine: a delivery of 2,000 files of 4 KiB and one of 64 MiB, applied
// by the updater's own code and by bare loops over the same files in the same prefix.
//
// Timed, in alternating rounds, median reported. Into an emptied root folder:
//   apply          ApplyManifest: reads UpdateInfo.ini, opens each delivered file without
//                  following a link, checks it through its handle and copies from that handle,
//                  logging each copy, as the update run does after its wait
//   apply, no log  the same with the log folder missing, so WriteLog gives up at its open
//   bare loop      CopyFileW(source, destination, FALSE) per file, after one CreateDirectoryW
//   bare, logged   the same with the apply's WriteLog line before each copy
//   log alone      as many WriteLog calls as the apply writes, with lines of the same length
// Into a root that already holds the old release's files (copied in before the timing):
//   listed apply   ApplyManifest of the same delivery carrying its hash list: each file staged
//                  from its checked handle beside its destination, hashed (CNG) and flushed, then
//                  the installed file renamed to a backup and the copy into place under the
//                  journal, all or nothing, the backups removed at the commit
//   staged loop    the least any all-or-nothing apply does: CopyFileW of every file to a staged
//                  name beside its destination, then per file MoveFileExW of the installed file
//                  to a backup and of the staged copy into place
//   backups        DeleteFileW of the staged loop's backups, timed after it on its own
// Then three times, after the rounds:
//   RunUpdate - 2s the whole second-stage run with the delivery in the data folder's "Temp":
//                  processes ended by name, the fixed wait (subtracted), the manifest, the
//                  delivery's removal
// Goals: apply at most 1.3 times the bare loop, the listed apply at most 1.5 times the bare loop
// and at most 1.25 times the staged loop; exit code 1 when one is missed.
//
// Then the downtime: a listed delivery of 30 files of 10 MiB and 200 of 4 KiB (300 MiB) in the
// data folder's "Temp", onto a root holding the old release's files, applied by
// ApplyDeliveredUpdate as the run calls it. The main application is down from the moment the
// run's callback ends it (the processes ended by name there, the 2 s wait left out and added
// back) to the return, after which the run restarts it. Alternating with it, the order the run
// had before: the application ended first, then the whole ApplyDeliveredUpdate. Goal: the wait
// plus at most 1 s, whatever the delivery's size.
//
//   apply_bench.exe [work folder]     default: the temporary folder
//
// With --deliveries OLD PLAIN COMPRESSED DELTA (Windows paths, as scripts/bench delta passes
// delta_bench's kept folders) it times only ApplyManifest of each of the three deliveries of
// one release pair onto a fresh copy of OLD, median of 3, checks that each listed file then has
// its new size and SHA-256, and prints the delivered bytes beside the apply time. No goal; exit
// code 2 when an apply did not leave the new files.
//
//   apply_bench.exe --deliveries OLD PLAIN COMPRESSED DELTA
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/app_names.h"
#include "base/checked_items.h"
#include "base/folder_tree.h"
#include "base/folders.h"
#include "base/handles.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/process_args.h"
#include "base/sha256.h"
#include "base/text.h"
#include "hash_list.h"
#include "update/listed_apply.h"
#include "update/process_kill.h"
#include "update/update_run.h"

namespace {

constexpr int kSmallFiles = 2000;
constexpr std::size_t kSmallSize = 4 * 1024;
constexpr std::size_t kBigSize = 64 * 1024 * 1024;
constexpr int kRounds = 5;
constexpr int kRunUpdateRounds = 3;
constexpr double kWaitSeconds = 2.0;
constexpr double kGoal = 1.3;
constexpr double kStagedGoal = 1.25;
// The downtime's delivery: 300 MiB in large files, and small ones beside them.
constexpr int kDowntimeBigFiles = 30;
constexpr std::size_t kDowntimeBigSize = 10 * 1024 * 1024;
constexpr int kDowntimeSmallFiles = 200;
constexpr int kDowntimeRounds = 5;
constexpr double kDowntimeGoal = 1.0;  // beyond the wait
// What the old release's bytes are written from, far from any delivered file's seed.
constexpr unsigned kOldSeed = 100000;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// A file of a delivery: its path below the delivery (and the root), with "\", and its size.
struct BenchFile {
    std::wstring path;
    std::size_t size;
};

// A file of `size` bytes that differs from its neighbours, written in chunks.
bool WriteBytes(const std::wstring& path, std::size_t size, unsigned seed) {
    std::unique_ptr<FILE, FileCloser> file(_wfopen(path.c_str(), L"wb"));
    if (!file) return false;
    std::vector<char> chunk(std::min<std::size_t>(size, 1024 * 1024));
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(seed + i * 131);
    for (std::size_t written = 0; written < size;) {
        const std::size_t count = std::min(chunk.size(), size - written);
        if (std::fwrite(chunk.data(), 1, count, file.get()) != count) return false;
        written += count;
    }
    return true;
}

std::wstring Numbered(const wchar_t* prefix, int i) {
    const std::wstring number = std::to_wstring(i);
    return prefix + std::wstring(4 - std::min<std::size_t>(4, number.size()), L'0') + number +
           L".bin";
}

// The delivery the copy loops and the applies are timed on: many small files and a big one.
std::vector<BenchFile> DeliveryFiles() {
    std::vector<BenchFile> files;
    for (int i = 0; i < kSmallFiles; ++i) files.push_back({Numbered(L"files\\f", i), kSmallSize});
    files.push_back({L"big.bin", kBigSize});
    return files;
}

// The downtime's delivery: 30 files of 10 MiB first, then 200 small ones.
std::vector<BenchFile> DowntimeFiles() {
    std::vector<BenchFile> files;
    for (int i = 0; i < kDowntimeBigFiles; ++i) files.push_back({Numbered(L"lib\\m", i), kDowntimeBigSize});
    for (int i = 0; i < kDowntimeSmallFiles; ++i) files.push_back({Numbered(L"files\\f", i), kSmallSize});
    return files;
}

// The files alone, below folder, with the folders their paths name (one level); the file at
// index i is written from seed firstSeed + i.
bool MakeTree(const std::wstring& folder, const std::vector<BenchFile>& files, unsigned firstSeed) {
    DeleteFolderTree(folder);
    if (!CreateDirectoryW(folder.c_str(), nullptr)) return false;
    unsigned seed = firstSeed;
    for (const BenchFile& file : files) {
        const std::size_t cut = file.path.find(L'\\');
        if (cut != std::wstring::npos) CreateDirectoryW((folder + L"\\" + file.path.substr(0, cut)).c_str(), nullptr);
        if (!WriteBytes(folder + L"\\" + file.path, file.size, seed++)) return false;
    }
    return true;
}

// The delivered files and an UpdateInfo.ini that lists them, written with "/" so that the run
// makes the folders as it goes.
bool MakeDelivery(const std::wstring& folder, const std::vector<BenchFile>& files) {
    if (!MakeTree(folder, files, 1)) return false;
    std::string manifest = "UpdatedFiles:\r\n";
    for (const BenchFile& file : files) {
        std::string entry(file.path.begin(), file.path.end());  // ASCII names
        std::replace(entry.begin(), entry.end(), '\\', '/');
        manifest += entry + "\r\n";
    }
    std::unique_ptr<FILE, FileCloser> out(_wfopen((folder + L"\\UpdateInfo.ini").c_str(), L"wb"));
    return out && std::fwrite(manifest.data(), 1, manifest.size(), out.get()) == manifest.size();
}

// The old release as installed: the same files with other bytes.
bool MakeOldTree(const std::wstring& folder, const std::vector<BenchFile>& files) {
    return MakeTree(folder, files, kOldSeed);
}
// The SHA-256 (CNG, as the updater hashes) and size of the file at path; false when it cannot
// be read or hashed.
bool HashFile(const std::wstring& path, Sha256Digest& digest, std::uint64_t& size) {
    std::unique_ptr<FILE, FileCloser> in(_wfopen(path.c_str(), L"rb"));
    if (!in) return false;
    Sha256 hash;
    std::vector<char> block(1 << 20);
    size = 0;
    for (std::size_t got; (got = std::fread(block.data(), 1, block.size(), in.get())) > 0;) {
        hash.Add(block.data(), got);
        size += got;
    }
    Sha256Value value;
    if (std::ferror(in.get()) || !hash.Finish(value)) return false;
    std::copy(value.begin(), value.end(), digest.begin());
    return true;
}

// The same delivery in folder, with the hash list the publisher's tool would write beside it.
bool MakeListedDelivery(const std::wstring& folder, const std::vector<BenchFile>& files) {
    if (!MakeDelivery(folder, files)) return false;
    std::vector<std::wstring> listed;
    for (const BenchFile& file : files) listed.push_back(file.path);
    listed.push_back(L"UpdateInfo.ini");
    std::vector<ListedFile> lines;
    for (const std::wstring& file : listed) {
        std::string path(file.begin(), file.end());  // ASCII names
        std::replace(path.begin(), path.end(), '\\', '/');
        ListedFile line{path, {}, 0, 0};
        if (!HashFile(folder + L"\\" + file, line.sha256, line.size)) return false;
        lines.push_back(line);
    }
    const std::string text = HashListText(1, lines);
    std::unique_ptr<FILE, FileCloser> out(
        _wfopen((folder + L"\\UpdateInfo.sha256").c_str(), L"wb"));
    return out && std::fwrite(text.data(), 1, text.size(), out.get()) == text.size();
}

void EmptyFolder(const std::wstring& folder) {
    DeleteFolderTree(folder);
    CreateDirectoryW(folder.c_str(), nullptr);
}

// The first bytes of the file at path, at most count.
std::string Head(const std::wstring& path, std::size_t count) {
    std::unique_ptr<FILE, FileCloser> in(_wfopen(path.c_str(), L"rb"));
    std::string bytes(count, '\0');
    bytes.resize(in ? std::fread(&bytes[0], 1, count, in.get()) : 0);
    return bytes;
}

// Whether every delivered file arrived below root whole: each has its size and begins with the
// delivered bytes. A run that copied nothing would otherwise look fast, and where the old
// release's files lay, a run that replaced nothing.
bool AllCopied(const std::wstring& root, const std::wstring& delivery,
               const std::vector<BenchFile>& files) {
    for (const BenchFile& file : files) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        const std::wstring path = root + L"\\" + file.path;
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
            data.nFileSizeHigh != 0 || data.nFileSizeLow != file.size ||
            Head(path, 4096) != Head(delivery + L"\\" + file.path, 4096)) {
            std::fprintf(stderr, "%ls: not the delivered file\n", path.c_str());
            return false;
        }
    }
    return true;
}

double Now() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <typename Work>
double Seconds(Work work) {
    const double start = Now();
    work();
    return Now() - start;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The bare loop; with logged set, each copy is preceded by the log line the apply writes.
void BareCopyLoop(const std::wstring& delivery, const std::wstring& root,
                  const std::vector<BenchFile>& files, bool logged) {
    CreateDirectoryW((root + L"\\files").c_str(), nullptr);
    for (const BenchFile& file : files) {
        const std::wstring source = delivery + L"\\" + file.path;
        const std::wstring destination = root + L"\\" + file.path;
        if (logged) {
            const std::wstring line = L"copy file from : " + source + L",to :" + destination;
            WriteLog(std::string(line.begin(), line.end()));  // ASCII paths
        }
        CopyFileW(source.c_str(), destination.c_str(), FALSE);
    }
}

// The least an all-or-nothing apply does over a root that holds the old files: every file
// copied to a staged name beside its destination before anything installed is touched, then
// per file the installed one renamed to its backup and the staged copy renamed into place.
// No hash, flush, journal or log; the backups stay (RemoveBackups).
void StagedSwapLoop(const std::wstring& delivery, const std::wstring& root,
                    const std::vector<BenchFile>& files) {
    for (const BenchFile& file : files) {
        const std::wstring source = delivery + L"\\" + file.path;
        const std::wstring staged = root + L"\\" + file.path + L".staged";
        CopyFileW(source.c_str(), staged.c_str(), FALSE);
    }
    for (const BenchFile& file : files) {
        const std::wstring installed = root + L"\\" + file.path;
        MoveFileExW(installed.c_str(), (installed + L".backup").c_str(), 0);
        MoveFileExW((installed + L".staged").c_str(), installed.c_str(), 0);
    }
}

// The backups the staged loop left, removed as a commit would.
void RemoveBackups(const std::wstring& root, const std::vector<BenchFile>& files) {
    for (const BenchFile& file : files) {
        DeleteFileW((root + L"\\" + file.path + L".backup").c_str());
    }
}

// Whether root holds each file once and no staged copy or backup beside it: the staged loop
// and the listed apply leave no leftover when they are done.
bool NoLeftovers(const std::wstring& root, const std::vector<BenchFile>& files) {
    for (const BenchFile& file : files) {
        for (const wchar_t* suffix : {L".staged", L".backup"}) {
            const std::wstring path = root + L"\\" + file.path + suffix;
            if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
                std::fprintf(stderr, "%ls: left over\n", path.c_str());
                return false;
            }
        }
    }
    return true;
}

// What the apply's log costs by itself: one WriteLog per copy, with a line as long as the
// copy's ("copy file from : <source>,to :<destination>").
void LogAlone(const std::wstring& delivery, const std::wstring& root,
              const std::vector<BenchFile>& files) {
    for (const BenchFile& file : files) {
        const std::wstring line = L"copy file from : " + delivery + L"\\" + file.path +
                                  L",to :" + root + L"\\" + file.path;
        WriteLog(std::string(line.begin(), line.end()));  // ASCII paths
    }
}

// Where the apply's time goes beyond the bare copies: each step it takes per entry, timed over
// the same entries on its own.
void PrintBreakdown(const std::wstring& delivery, const std::wstring& root,
                    const std::vector<std::wstring>& files, const std::wstring& logFolder) {
    struct Step {
        const char* name;
        void (*run)(const std::wstring& delivery, const std::wstring& root,
                    const std::wstring& file);
    };
    const Step steps[] = {
        {"WriteLog, copy line", [](const std::wstring& d, const std::wstring& r,
                                   const std::wstring& f) {
             const std::wstring line = L"copy file from : " + d + L"\\" + f + L",to :" + r +
                                       L"\\" + f;
             WriteLog(std::string(line.begin(), line.end()));
         }},
        {"GetLogPath", [](const std::wstring&, const std::wstring&, const std::wstring&) {
             GetLogPath();
         }},
        {"CombinePath x2", [](const std::wstring& d, const std::wstring& r,
                              const std::wstring& f) {
             CombinePath(d, f);
             CombinePath(r, f);
         }},
        {"ResolvesWithinFolder x2", [](const std::wstring& d, const std::wstring& r,
                                 const std::wstring& f) {
             ResolvesWithinFolder(d + L"\\" + f, d);
             ResolvesWithinFolder(r + L"\\" + f, r);
         }},
        {"PathExists(parent)", [](const std::wstring&, const std::wstring& r,
                                  const std::wstring&) { PathExists(r + L"\\files"); }},
        // What asking for each free name the apply gives cost, before the folders were listed
        // once instead.
        {"ItemStandsAt, a name not there", [](const std::wstring&, const std::wstring& r,
                                             const std::wstring& f) {
             ItemStandsAt(r + L"\\" + f + L".vintrel-new-0-0");
         }},
        {"WideToNarrow x2", [](const std::wstring& d, const std::wstring& r,
                               const std::wstring& f) {
             WideToNarrow(d + L"\\" + f);
             WideToNarrow(r + L"\\" + f);
         }},
    };
    std::printf("\n%-40s %9s %9s\n", "per-entry steps, each timed alone", "seconds", "us/entry");
    const auto print = [&](const char* name, double seconds) {
        std::printf("%-40s %9.3f %9.1f\n", name, seconds, seconds * 1e6 / files.size());
    };
    for (const Step& step : steps) {
        print(step.name, Seconds([&] {
                  for (const std::wstring& file : files) step.run(delivery, root, file);
              }));
    }
    // The delivered file opened without following a link and checked through its handle, as
    // the apply does before it copies from that handle.
    {
        const std::wstring finalDelivery = ExtendedPath(delivery);
        print("OpenChecked (delivered file)", Seconds([&] {
                  for (const std::wstring& file : files) {
                      OpenChecked(finalDelivery + L"\\" + file, GENERIC_READ, FILE_SHARE_READ,
                                  ItemKind::kFile);
                  }
              }));
    }
    // Once per run, not per entry.
    std::printf("%-40s %9.3f %9s\n", "KillProcessByName x3, once, none running", Seconds([] {
                    KillProcessByName(kEarlierMainAppProcess);
                    KillProcessByName(kMainAppProcess);
                    KillProcessByName(kDeliveredUpdaterProcess);
                }), "-");
    DeleteFolderTree(logFolder);
    print("WriteLog, log folder missing", Seconds([&] {
              for (const std::wstring& file : files) steps[0].run(delivery, root, file);
          }));
    CreateDirectoryW(logFolder.c_str(), nullptr);
}

// ---- --deliveries: the plain, compressed and delta deliveries of one release pair ----

// Copies the files and folders below from into the existing folder to; false at the first
// item that cannot be listed or copied.
bool CopyTree(const std::wstring& from, const std::wstring& to) {
    WIN32_FIND_DATAW found;
    FindHandle find(FindFirstFileW((from + L"\\*").c_str(), &found));
    if (!find.valid()) return false;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring source = from + L"\\" + name, target = to + L"\\" + name;
        const bool copied = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                                ? CreateDirectoryW(target.c_str(), nullptr) &&
                                      CopyTree(source, target)
                                : CopyFileW(source.c_str(), target.c_str(), TRUE) != FALSE;
        if (!copied) return false;
    } while (FindNextFileW(find.get(), &found));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

// The delivery's hash list, or false with a line on stderr.
bool ReadDeliveryList(const std::wstring& delivery, HashList& list) {
    const std::wstring path = delivery + L"\\UpdateInfo.sha256";
    std::unique_ptr<FILE, FileCloser> in(_wfopen(path.c_str(), L"rb"));
    std::string bytes;
    std::vector<char> block(1 << 16);
    for (std::size_t got;
         in && (got = std::fread(block.data(), 1, block.size(), in.get())) > 0;) {
        bytes.append(block.data(), got);
    }
    HashListError error;
    if (in && ParseHashList(bytes, list, error)) return true;
    std::fprintf(stderr, "%ls: no readable hash list (%s)\n", delivery.c_str(),
                 in ? HashListErrorText(error).c_str() : "cannot be opened");
    return false;
}

bool IsManifest(const ListedFile& file) { return FoldPathCase(file.path) == "UPDATEINFO.INI"; }

// What the delivery carries over the wire: each listed file's delivered bytes (the frame's for a
// "zstd" or "patch" line), UpdateInfo.ini aside.
std::uint64_t DeliveredBytes(const HashList& list) {
    std::uint64_t bytes = 0;
    for (const ListedFile& file : list.files) {
        if (IsManifest(file)) continue;
        bytes += file.kind == ListedKind::kPlain ? file.size : file.frameSize;
    }
    return bytes;
}

// Whether every file the list names lies below root with the size and SHA-256 of the new tree.
bool HoldsNewFiles(const std::wstring& root, const HashList& list) {
    for (const ListedFile& file : list.files) {
        if (IsManifest(file)) continue;
        Sha256Digest digest;
        std::uint64_t size = 0;
        const std::wstring path = root + L"\\" + ReplaceAll(NarrowToWide(file.path), L"/", L"\\");
        if (!HashFile(path, digest, size) || size != file.size || digest != file.sha256) {
            std::fprintf(stderr, "%ls: not the new file\n", path.c_str());
            return false;
        }
    }
    return true;
}

struct Delivery {
    const char* name;     // as printed
    std::wstring folder;  // the delivery folder
};

// Each delivery applied by ApplyManifest to a copy of the old tree in an emptied root, three
// times; prints the delivered bytes beside the median apply time, as a share of the first
// delivery's bytes. False when an apply did not leave the new files.
bool BenchDeliveries(const std::wstring& oldTree, const std::vector<Delivery>& deliveries,
                     const std::wstring& root) {
    constexpr int kDeliveryRounds = 3;
    bool complete = true;
    std::uint64_t plainBytes = 0;
    std::printf("%-12s %12s %9s %9s  (apply: ApplyManifest, median of %d, each onto a fresh "
                "copy of the old tree)\n", "delivery", "bytes", "of plain", "apply s",
                kDeliveryRounds);
    for (const Delivery& delivery : deliveries) {
        HashList list;
        if (!ReadDeliveryList(delivery.folder, list)) return false;
        std::vector<double> seconds;
        for (int round = 0; round < kDeliveryRounds; ++round) {
            EmptyFolder(root);
            if (!CopyTree(oldTree, root)) {
                std::fprintf(stderr, "cannot copy %ls into %ls\n", oldTree.c_str(), root.c_str());
                return false;
            }
            bool applied = false;
            seconds.push_back(Seconds([&] { applied = ApplyManifest(delivery.folder, root); }));
            complete = complete && applied && HoldsNewFiles(root, list);
        }
        const std::uint64_t bytes = DeliveredBytes(list);
        if (plainBytes == 0) plainBytes = bytes;  // the first delivery is the plain one
        std::printf("%-12s %12llu %8.2f%% %9.3f\n", delivery.name,
                    static_cast<unsigned long long>(bytes), 100.0 * bytes / plainBytes,
                    Median(seconds));
    }
    DeleteFolderTree(root);
    return complete;
}

// ---- the downtime: from the main application's end to the return of the run's apply ----

// The old release installed in an emptied root.
bool InstallOld(const std::wstring& oldTree, const std::wstring& root) {
    EmptyFolder(root);
    return CopyTree(oldTree, root);
}

// What the run's callback does to end the main application, without its wait.
void EndProcesses() {
    KillProcessByName(kEarlierMainAppProcess);
    KillProcessByName(kMainAppProcess);
    KillProcessByName(kDeliveredUpdaterProcess);
}

struct DowntimeRound {
    double down;     // from the processes' end to the return, the wait left out
    double running;  // before that, while the main application still ran
};

// The delivery copied to the data folder's "Temp" and the old release into root, then
// ApplyDeliveredUpdate timed as the run calls it: with the callback that ends the main
// application (endFirst unset), or, as the run did before, the application ended first and
// the whole call after it. False, with a line, when the update did not leave the new files.
bool DowntimeOnce(const std::wstring& listed, const std::wstring& oldTree,
                  const std::wstring& root, const std::vector<BenchFile>& files, bool endFirst,
                  DowntimeRound& round) {
    const std::wstring temp = GetDataTempFolder();
    EmptyFolder(temp);
    if (!CopyTree(listed, temp) || !InstallOld(oldTree, root)) {
        std::fprintf(stderr, "cannot prepare %ls and %ls\n", temp.c_str(), root.c_str());
        return false;
    }
    std::wstring rootFolder = root;
    ApplyOutcome outcome;
    double start = Now(), ended = 0;
    if (endFirst) {
        ended = start;
        EndProcesses();
        ApplyDeliveredUpdate(temp, rootFolder, &outcome);
    } else {
        ApplyDeliveredUpdate(temp, rootFolder, &outcome, [&] {
            ended = Now();
            EndProcesses();
        });
    }
    const double done = Now();
    round.down = done - ended;
    round.running = ended - start;
    if (ended == 0 || outcome.result != ApplyResult::kApplied) {
        std::fprintf(stderr, "the update was not applied (result %d)\n",
                     static_cast<int>(outcome.result));
        return false;
    }
    return AllCopied(root, listed, files) && NoLeftovers(root, files) &&
           GetFileAttributesW(temp.c_str()) == INVALID_FILE_ATTRIBUTES;
}

// Five rounds of each order, alternating which goes first; prints each round and the medians.
// False when a round did not apply the delivery; met tells whether the downtime's goal was.
bool BenchDowntime(const std::wstring& work, bool& met) {
    const std::vector<BenchFile> files = DowntimeFiles();
    const std::wstring listed = work + L"\\downtime listed";
    const std::wstring oldTree = work + L"\\downtime old";
    const std::wstring root = work + L"\\downtime root";
    std::printf("\nmaking the downtime's delivery: %d files of %zu MiB and %d of %zu KiB, "
                "and the old release's\n", kDowntimeBigFiles, kDowntimeBigSize / (1024 * 1024),
                kDowntimeSmallFiles, kSmallSize / 1024);
    if (!MakeListedDelivery(listed, files) || !MakeOldTree(oldTree, files)) {
        std::fprintf(stderr, "could not make the downtime's trees in %ls\n", work.c_str());
        return false;
    }
    std::vector<double> now, nowRunning, before;
    for (int i = 0; i < kDowntimeRounds; ++i) {
        for (int order = 0; order < 2; ++order) {
            const bool endFirst = (order == 0) == (i % 2 == 1);
            DowntimeRound round;
            if (!DowntimeOnce(listed, oldTree, root, files, endFirst, round)) return false;
            if (endFirst) {
                before.push_back(round.down);
            } else {
                now.push_back(round.down);
                nowRunning.push_back(round.running);
            }
        }
        std::printf("downtime round %d: ended before the swaps %.3f s (%.3f s verified and "
                    "staged before it), ended first %.3f s; wait left out\n",
                    i + 1, now.back(), nowRunning.back(), before.back());
    }
    DeleteFolderTree(root);
    DeleteFolderTree(listed);
    DeleteFolderTree(oldTree);
    std::printf("\n%-52s %9s %9s\n", "downtime, 300 MiB listed delivery, median of 5", "no wait",
                "with wait");
    std::printf("%-52s %9.3f %9.3f\n", "main application ended before the swaps",
                Median(now), Median(now) + kWaitSeconds);
    std::printf("%-52s %9.3f %9s\n", "  verified and staged before, while it ran",
                Median(nowRunning), "-");
    std::printf("%-52s %9.3f %9.3f\n", "ended first, then the whole update (before)",
                Median(before), Median(before) + kWaitSeconds);
    met = Median(now) <= kDowntimeGoal;
    std::printf("goal: downtime at most the %.0f s wait plus %.1f s: %s (%.3f s)\n", kWaitSeconds,
                kDowntimeGoal, met ? "met" : "MISSED", Median(now) + kWaitSeconds);
    return true;
}

}  // namespace

// The kept-file check of a whole release (every file of the downtime's 300 MiB release listed
// as kept) beside a bare loop that opens, reads and hashes (CNG) the same files; both run while
// nothing is ended, so they add nothing to the downtime. The goal: at most 1.5 times the loop.
int BenchKeptCheck(const std::wstring& work) {
    constexpr double kKeptGoal = 1.5;
    const std::wstring root = work + L"\\kept root";
    const std::vector<BenchFile> files = DowntimeFiles();
    CreateDirectoryW(work.c_str(), nullptr);
    if (!MakeTree(root, files, 7)) {
        std::fprintf(stderr, "could not make the release in %ls\n", root.c_str());
        return 2;
    }
    ListedApply apply;
    apply.rootFolder = root;
    apply.list.format = 3;
    apply.list.release = 2;
    apply.list.from = 1;
    std::uint64_t bytes = 0;
    for (const BenchFile& file : files) {
        std::string path(file.path.begin(), file.path.end());  // ASCII names
        std::replace(path.begin(), path.end(), '\\', '/');
        ListedFile kept{path, {}, 0, 0};
        if (!HashFile(root + L"\\" + file.path, kept.sha256, kept.size)) return 2;
        bytes += kept.size;
        apply.list.kept.push_back(kept);
    }
    std::vector<double> check, bare;
    bool passed = true;
    for (int round = 0; round < kRounds; ++round) {
        bare.push_back(Seconds([&] {
            std::vector<char> block(256 * 1024);
            for (const BenchFile& file : files) {
                const FileHandle in(CreateFileW((root + L"\\" + file.path).c_str(), GENERIC_READ,
                                                FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
                Sha256 hash;
                DWORD got = 0;
                while (ReadFile(in.get(), block.data(), static_cast<DWORD>(block.size()), &got,
                                nullptr) && got > 0) {
                    hash.Add(block.data(), got);
                }
                Sha256Value digest;
                hash.Finish(digest);
            }
        }));
        check.push_back(Seconds([&] {
            passed = CheckReleaseBase(apply, false, ReleaseRecordRead::kRead, 1) && passed;
        }));
        std::printf("round %d: bare read-and-hash loop %.3f s, kept-file check %.3f s\n",
                    round + 1, bare.back(), check.back());
    }
    DeleteFolderTree(root);
    const double ratio = Median(check) / Median(bare);
    std::printf("%zu files, %.0f MiB: median bare loop %.3f s, kept-file check %.3f s (%.2f x)\n",
                files.size(), static_cast<double>(bytes) / (1 << 20), Median(bare),
                Median(check), ratio);
    std::printf("goal: the kept-file check at most %.1f x the bare loop: %s\n", kKeptGoal,
                passed && ratio <= kKeptGoal ? "met" : "MISSED");
    if (!passed) std::fprintf(stderr, "the kept-file check refused the release it was made of\n");
    return passed && ratio <= kKeptGoal ? 0 : 1;
}

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && std::wstring(argv[1]) == L"--kept") {
        CreateDirectoryW(GetDataFolder().c_str(), nullptr);
        CreateDirectoryW((GetDataFolder() + L"\\logs").c_str(), nullptr);
        return BenchKeptCheck(argc > 2 ? argv[2] : GetTempFolder() + L"vintrel-kept-bench");
    }
    if (argc == 6 && std::wstring(argv[1]) == L"--deliveries") {
        CreateDirectoryW(GetDataFolder().c_str(), nullptr);
        CreateDirectoryW((GetDataFolder() + L"\\logs").c_str(), nullptr);
        const bool complete = BenchDeliveries(
            argv[2], {{"plain", argv[3]}, {"compressed", argv[4]}, {"delta", argv[5]}},
            GetTempFolder() + L"vintrel-delivery-apply-root");
        if (!complete) std::fprintf(stderr, "an apply did not leave the new tree's files\n");
        return complete ? 0 : 2;
    }
    const std::wstring work = argc > 1 ? argv[1] : GetTempFolder() + L"vintrel-apply-bench";
    const std::wstring delivery = work + L"\\delivery";
    const std::wstring oldTree = work + L"\\old";
    const std::wstring root = work + L"\\root";
    const std::wstring logFolder = GetDataFolder() + L"\\logs";
    const std::vector<BenchFile> files = DeliveryFiles();

    CreateDirectoryW(work.c_str(), nullptr);
    CreateDirectoryW(GetDataFolder().c_str(), nullptr);
    CreateDirectoryW(logFolder.c_str(), nullptr);
    std::printf("making the delivery: %d files of %zu KiB and one of %zu MiB, and the old "
                "release's\n", kSmallFiles, kSmallSize / 1024, kBigSize / (1024 * 1024));
    const std::wstring listedDelivery = work + L"\\listed";
    if (!MakeDelivery(delivery, files) || !MakeListedDelivery(listedDelivery, files) ||
        !MakeOldTree(oldTree, files)) {
        std::fprintf(stderr, "could not make the deliveries in %ls\n", work.c_str());
        return 2;
    }

    std::vector<double> apply, applyNoLog, listedApply, bare, bareLogged, staged, backups,
        logAlone, removal;
    bool complete = true;
    const auto installOld = [&] {
        if (InstallOld(oldTree, root)) return true;
        std::fprintf(stderr, "cannot copy %ls into %ls\n", oldTree.c_str(), root.c_str());
        return false;
    };
    for (int round = 0; round < kRounds; ++round) {
        // The last round's copy: what the run's removal of the delivery has to do.
        if (round > 0) removal.push_back(Seconds([&] { DeleteFolderTree(root); }));
        EmptyFolder(root);
        bare.push_back(Seconds([&] { BareCopyLoop(delivery, root, files, false); }));
        complete = complete && AllCopied(root, delivery, files);

        EmptyFolder(root);
        bareLogged.push_back(Seconds([&] { BareCopyLoop(delivery, root, files, true); }));

        if (!installOld()) return 2;
        staged.push_back(Seconds([&] { StagedSwapLoop(delivery, root, files); }));
        complete = complete && AllCopied(root, delivery, files);
        backups.push_back(Seconds([&] { RemoveBackups(root, files); }));
        complete = complete && NoLeftovers(root, files);

        EmptyFolder(root);
        apply.push_back(Seconds([&] { ApplyManifest(delivery, root); }));
        complete = complete && AllCopied(root, delivery, files);

        if (!installOld()) return 2;
        listedApply.push_back(Seconds([&] { ApplyManifest(listedDelivery, root); }));
        complete = complete && AllCopied(root, listedDelivery, files) && NoLeftovers(root, files);

        DeleteFolderTree(logFolder);
        EmptyFolder(root);
        applyNoLog.push_back(Seconds([&] { ApplyManifest(delivery, root); }));
        complete = complete && AllCopied(root, delivery, files);
        CreateDirectoryW(logFolder.c_str(), nullptr);

        logAlone.push_back(Seconds([&] { LogAlone(delivery, root, files); }));
        std::printf("round %d: bare %.3f s, bare with log %.3f s, staged loop %.3f s "
                    "(backups removed %.3f s), apply %.3f s, apply without log %.3f s, "
                    "listed apply %.3f s, log %.3f s\n",
                    round + 1, bare.back(), bareLogged.back(), staged.back(), backups.back(),
                    apply.back(), applyNoLog.back(), listedApply.back(), logAlone.back());
    }

    // The whole run, with the delivery where the run looks for it.
    const std::wstring runRoot = work + L"\\run root";
    std::vector<double> runUpdate;
    for (int round = 0; round < kRunUpdateRounds; ++round) {
        if (!MakeDelivery(GetDataTempFolder(), files)) {
            std::fprintf(stderr, "could not make the delivery in %ls\n", GetDataTempFolder().c_str());
            return 2;
        }
        EmptyFolder(runRoot);
        rootPathArg = runRoot.c_str();
        std::wstring rootFolder;
        runUpdate.push_back(Seconds([&] { RunUpdate(rootFolder); }) - kWaitSeconds);
        complete = complete && AllCopied(runRoot, delivery, files);
        std::printf("RunUpdate round %d: %.3f s after the wait\n", round + 1, runUpdate.back());
    }
    std::vector<std::wstring> paths;
    for (const BenchFile& file : files) paths.push_back(file.path);
    PrintBreakdown(delivery, root, paths, logFolder);

    bool downtimeMet = false;
    complete = complete && BenchDowntime(work, downtimeMet);
    DeleteFolderTree(work);

    if (!complete) {
        std::fprintf(stderr, "a run did not copy every file\n");
        return 2;
    }
    const double bareTime = Median(bare);
    const double stagedTime = Median(staged);
    const double applyTime = Median(apply);
    const double ratio = applyTime / bareTime;
    std::printf("\n%-40s %9s %9s %9s\n", "median of the rounds", "seconds", "x bare",
                "x staged");
    const auto row = [&](const char* name, double seconds) {
        std::printf("%-40s %9.3f %9.2f %9.2f\n", name, seconds, seconds / bareTime,
                    seconds / stagedTime);
    };
    row("bare CopyFileW loop", bareTime);
    row("bare loop, WriteLog before each copy", Median(bareLogged));
    row("staged loop (copy, 2 renames) over old", stagedTime);
    row("  its backups removed after it", Median(backups));
    row("ApplyManifest", applyTime);
    row("ApplyManifest, log folder missing", Median(applyNoLog));
    const double listedTime = Median(listedApply);
    row("ApplyManifest, listed delivery, over old", listedTime);
    row("WriteLog alone, one line per file", Median(logAlone));
    const double applyLessLog = applyTime - Median(logAlone);
    row("ApplyManifest less WriteLog alone", applyLessLog);
    row("RunUpdate less its 2 s wait", Median(runUpdate));
    row("DeleteFolderTree of such a tree", Median(removal));
    const bool met = ratio <= kGoal;
    std::printf("goal: ApplyManifest at most %.2f x the bare loop: %s (%.2f x)\n", kGoal,
                met ? "met" : "MISSED", ratio);
    // Beside the bare copy for the record only: over an installed release, the renames alone
    // take the staged loop to several times the bare copy under Wine.
    std::printf("the listed apply: %.2f x the bare loop, the staged loop %.2f x\n",
                listedTime / bareTime, stagedTime / bareTime);
    const double stagedRatio = listedTime / stagedTime;
    const bool stagedMet = stagedRatio <= kStagedGoal;
    std::printf("goal: the listed apply at most %.2f x the staged loop: %s (%.2f x)\n",
                kStagedGoal, stagedMet ? "met" : "MISSED", stagedRatio);
    std::printf("goal: downtime at most the wait plus %.1f s: %s (see above)\n", kDowntimeGoal,
                downtimeMet ? "met" : "MISSED");
    return met && stagedMet && downtimeMet ? 0 : 1;
}
