// The updater's manifest reader (ReadManifest) on a generated 10-line and 200,000-line
// UpdateInfo.ini, and on one whose entry is a single line of 400 MB: the time of a read, and the
// memory a read needs. Runs under Wine.
//
// Memory is measured three ways: the process's peak working set and peak private bytes
// (GetProcessMemoryInfo) after the short and after the long read, and the peak of the C++ heap
// in use during each read, counted by this program's operator new. The goal is that the long
// read, and the read of the 400 MB line, each need less than 1 MiB more than the short one.
// Exit code 1 when one does not.
//
//   manifest_read_bench.exe [work folder]     default: the temporary folder
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/folders.h"
#include "update/manifest.h"

// --- C++ heap in use, counted across every operator new and delete of the program. Each block
// carries its size in front of it.

namespace {

std::atomic<std::size_t> heapInUse{0};
std::atomic<std::size_t> heapPeak{0};
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* CountedAllocate(std::size_t size) {
    void* block = std::malloc(size + kHeader);
    if (!block) return nullptr;
    *static_cast<std::size_t*>(block) = size;
    const std::size_t now = heapInUse += size;
    std::size_t peak = heapPeak.load();
    while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {
    }
    return static_cast<char*>(block) + kHeader;
}

void CountedRelease(void* pointer) {
    if (!pointer) return;
    void* block = static_cast<char*>(pointer) - kHeader;
    heapInUse -= *static_cast<std::size_t*>(block);
    std::free(block);
}

void* AllocateOrThrow(std::size_t size) {
    void* pointer = CountedAllocate(size);
    if (!pointer) throw std::bad_alloc();
    return pointer;
}

}  // namespace

void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAllocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAllocate(size);
}
void operator delete(void* pointer) noexcept { CountedRelease(pointer); }
void operator delete[](void* pointer) noexcept { CountedRelease(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { CountedRelease(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { CountedRelease(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { CountedRelease(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { CountedRelease(pointer); }

namespace {

constexpr int kLongLines = 200000;
constexpr int kShortLines = 10;
constexpr int kTimedReads = 5;
constexpr int kLongLineMegabytes = 400;
constexpr double kGoalBytes = 1024.0 * 1024.0;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// A manifest of `lines` lines: both markers and entries of the usual shapes ("/" and "\"
// separators, code page 936 names), written line by line so that making it costs no memory.
bool WriteManifest(const std::wstring& path, int lines) {
    std::unique_ptr<FILE, FileCloser> file(_wfopen(path.c_str(), L"wb"));
    if (!file) return false;
    for (int i = 0; i < lines; ++i) {
        std::string line;
        if (i == 0) {
            line = "UpdatedFiles:";
        } else if (i == lines - lines / 10) {
            line = "DeletedFiles:";
        } else if (i % 3 == 0) {
            line = "bin\\32bit\\plugins\\module_" + std::to_string(i) + ".dll";
        } else if (i % 3 == 1) {
            // "直播" in code page 936.
            line = "bin/32bit/res/\xd6\xb1\xb2\xa5_" + std::to_string(i) + ".png";
        } else {
            line = "bin/32bit/new/x" + std::to_string(i) + ".dat";
        }
        line += "\r\n";
        if (std::fwrite(line.data(), 1, line.size(), file.get()) != line.size()) return false;
    }
    return true;
}

// A manifest whose one entry is a line of kLongLineMegabytes MB, followed by an ordinary entry;
// written a megabyte at a time.
bool WriteLongLineManifest(const std::wstring& path) {
    std::unique_ptr<FILE, FileCloser> file(_wfopen(path.c_str(), L"wb"));
    if (!file) return false;
    const std::string head = "UpdatedFiles:\r\n";
    const std::string tail = "\r\nbin/32bit/after.dll\r\n";
    const std::string chunk(1024 * 1024, 'x');
    bool written = std::fwrite(head.data(), 1, head.size(), file.get()) == head.size();
    for (int i = 0; written && i < kLongLineMegabytes; ++i) {
        written = std::fwrite(chunk.data(), 1, chunk.size(), file.get()) == chunk.size();
    }
    return written && std::fwrite(tail.data(), 1, tail.size(), file.get()) == tail.size();
}

struct Memory {
    double peakWorkingSet = 0;
    double peakPrivate = 0;
};

Memory ProcessPeaks() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    Memory memory;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
        memory.peakWorkingSet = static_cast<double>(counters.PeakWorkingSetSize);
        memory.peakPrivate = static_cast<double>(counters.PeakPagefileUsage);
    }
    return memory;
}

double Now() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Read {
    bool opened = false;
    long entries = 0;
    long cut = 0;
    double seconds = 0;
    double heapPeakBytes = 0;  // above what was in use before the read
};

// One read with the real reader; the entries are only counted, as the update run keeps none.
Read ReadOnce(const std::wstring& path) {
    Read read;
    const std::size_t before = heapInUse.load();
    heapPeak = before;
    std::size_t pathChars = 0;
    const double start = Now();
    read.opened = ReadManifest(path, [&](const ManifestEntry& entry) {
        ++read.entries;
        if (entry.cut) ++read.cut;
        pathChars += entry.relativePath.size();
    });
    read.seconds = Now() - start;
    read.heapPeakBytes = static_cast<double>(heapPeak.load() - before);
    // Keeps the callback's work from being dropped.
    if (pathChars == 0 && read.entries != 0) std::printf("(no path characters?)\n");
    return read;
}

double KiB(double bytes) { return bytes / 1024.0; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring work = argc > 1 ? argv[1] : GetTempFolder() + L"vintrel-manifest-bench";
    CreateDirectoryW(work.c_str(), nullptr);
    const std::wstring shortPath = work + L"\\short-UpdateInfo.ini";
    const std::wstring longPath = work + L"\\long-UpdateInfo.ini";
    const std::wstring longLinePath = work + L"\\long-line-UpdateInfo.ini";
    if (!WriteManifest(shortPath, kShortLines) || !WriteManifest(longPath, kLongLines) ||
        !WriteLongLineManifest(longLinePath)) {
        std::fprintf(stderr, "could not write the manifests in %ls\n", work.c_str());
        return 2;
    }

    // One read before anything is measured: the first file read of a process commits memory of
    // the runtime and of Wine (about 2 MB of private bytes) that no later read adds to.
    ReadOnce(shortPath);
    // The short read first, so that anything the long one needs beyond it shows in the peaks.
    const Memory start = ProcessPeaks();
    const Read shortRead = ReadOnce(shortPath);
    const Memory afterShort = ProcessPeaks();
    std::vector<double> longTimes;
    Read longRead;
    double longHeapPeak = 0;
    for (int i = 0; i < kTimedReads; ++i) {
        longRead = ReadOnce(longPath);
        longTimes.push_back(longRead.seconds);
        longHeapPeak = std::max(longHeapPeak, longRead.heapPeakBytes);
    }
    const Memory afterLong = ProcessPeaks();
    const Read longLineRead = ReadOnce(longLinePath);
    const Memory afterLongLine = ProcessPeaks();
    DeleteFileW(shortPath.c_str());
    DeleteFileW(longPath.c_str());
    DeleteFileW(longLinePath.c_str());
    RemoveDirectoryW(work.c_str());

    if (!shortRead.opened || !longRead.opened || !longLineRead.opened) {
        std::fprintf(stderr, "the reader could not open a manifest\n");
        return 2;
    }
    std::sort(longTimes.begin(), longTimes.end());
    const double workingSetGrowth = afterLong.peakWorkingSet - afterShort.peakWorkingSet;
    const double privateGrowth = afterLong.peakPrivate - afterShort.peakPrivate;
    const double heapGrowth = longHeapPeak - shortRead.heapPeakBytes;
    // Peaks only grow: the long line's read is measured against the highest before it.
    const double lineWorkingSetGrowth = afterLongLine.peakWorkingSet - afterLong.peakWorkingSet;
    const double linePrivateGrowth = afterLongLine.peakPrivate - afterLong.peakPrivate;
    const double lineHeapGrowth = longLineRead.heapPeakBytes - shortRead.heapPeakBytes;

    std::printf("ReadManifest, %d lines: %ld entries, %.3f ms\n", kShortLines, shortRead.entries,
                shortRead.seconds * 1e3);
    std::printf("ReadManifest, %d lines: %ld entries, %.1f ms (fastest of %d; median %.1f ms)\n",
                kLongLines, longRead.entries, longTimes.front() * 1e3, kTimedReads,
                longTimes[longTimes.size() / 2] * 1e3);
    std::printf("ReadManifest, one line of %d MB: %ld entries (%ld cut), %.1f ms\n",
                kLongLineMegabytes, longLineRead.entries, longLineRead.cut,
                longLineRead.seconds * 1e3);
    std::printf("%-30s %10s %10s %12s %8s %12s %8s\n", "memory (KiB)", "at start", "10 lines",
                "200000 lines", "growth", "400 MB line", "growth");
    std::printf("%-30s %10.0f %10.0f %12.0f %+8.0f %12.0f %+8.0f\n", "peak working set",
                KiB(start.peakWorkingSet), KiB(afterShort.peakWorkingSet),
                KiB(afterLong.peakWorkingSet), KiB(workingSetGrowth),
                KiB(afterLongLine.peakWorkingSet), KiB(lineWorkingSetGrowth));
    std::printf("%-30s %10.0f %10.0f %12.0f %+8.0f %12.0f %+8.0f\n", "peak private bytes",
                KiB(start.peakPrivate), KiB(afterShort.peakPrivate), KiB(afterLong.peakPrivate),
                KiB(privateGrowth), KiB(afterLongLine.peakPrivate), KiB(linePrivateGrowth));
    std::printf("%-30s %10s %10.1f %12.1f %+8.1f %12.1f %+8.1f\n", "peak C++ heap during the read",
                "-", KiB(shortRead.heapPeakBytes), KiB(longHeapPeak), KiB(heapGrowth),
                KiB(longLineRead.heapPeakBytes), KiB(lineHeapGrowth));

    const double worst = std::max({workingSetGrowth, privateGrowth, heapGrowth,
                                   lineWorkingSetGrowth, linePrivateGrowth, lineHeapGrowth});
    const bool met = worst < kGoalBytes;
    std::printf("goal: less than 1024 KiB more for %d lines, and for one %d MB line, than for %d "
                "lines: %s (%+.0f KiB at most)\n",
                kLongLines, kLongLineMegabytes, kShortLines, met ? "met" : "MISSED", KiB(worst));
    return met ? 0 : 1;
}
