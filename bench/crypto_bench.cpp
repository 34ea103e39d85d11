// SecurityUtil's cipher and digest beside the bare libcrypto loops they are built on, at 64 B,
// 4 KiB and 1 MiB. After the runs a table gives raw time / our time for each pair and checks
// the 1 MiB figures against their goals; the exit code is 1 when a goal is missed.
//
// The raw loops do the same cryptographic work as our calls and nothing else: one key schedule
// per call and DES_ecb_encrypt block by block (the padding block included) into a buffer
// allocated once, or MD5_Init/MD5_Update/MD5_Final over the same bytes. What the ratio shows is
// therefore our own cost: the accumulator, the result string, the block copies.
#include <vintrel/vintrel_common.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>
#include <openssl/md5.h>

namespace {

constexpr std::size_t kBlock = sizeof(DES_cblock);
const std::vector<std::size_t> kSizes = {64, 4 * 1024, 1024 * 1024};
constexpr std::size_t kGoalSize = 1024 * 1024;
const std::string kKey = "k3y-8byt";

// Reproducible bytes of every value, zero included.
std::string MakeBytes(std::size_t size) {
    std::string bytes(size, '\0');
    unsigned state = 0x9e3779b9u;
    for (char& c : bytes) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

void RawDesEcb(const unsigned char* in, unsigned char* out, std::size_t size, int direction) {
    DES_cblock block = {};
    std::memcpy(block, kKey.data(), kBlock);
    DES_key_schedule schedule;
    DES_set_key_unchecked(&block, &schedule);
    for (std::size_t offset = 0; offset < size; offset += kBlock) {
        // const_DES_cblock has lost its const in OpenSSL's header; the input is only read.
        DES_ecb_encrypt(reinterpret_cast<const_DES_cblock*>(const_cast<unsigned char*>(in + offset)),
                        reinterpret_cast<DES_cblock*>(out + offset), &schedule, direction);
    }
}

void SetBytes(benchmark::State& state, std::size_t size) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// --- DesEncrypt: a text of `size` bytes (size + 8 bytes of cipher text).

void OursDesEncrypt(benchmark::State& state, std::size_t size) {
    const std::string text = MakeBytes(size);
    for (auto _ : state) {
        std::string cipher = SecurityUtil::DesEncrypt(text, kKey);
        benchmark::DoNotOptimize(cipher.data());
    }
    SetBytes(state, size);
}

void RawDesEncrypt(benchmark::State& state, std::size_t size) {
    // The text with the padding block ours adds, so both encrypt the same blocks.
    std::string padded = MakeBytes(size);
    padded.append(kBlock, static_cast<char>(kBlock));
    std::vector<unsigned char> out(padded.size());
    for (auto _ : state) {
        RawDesEcb(reinterpret_cast<const unsigned char*>(padded.data()), out.data(),
                  padded.size(), DES_ENCRYPT);
        benchmark::DoNotOptimize(out.data());
    }
    SetBytes(state, size);
}

// --- DesDecrypt: a real cipher text of exactly `size` bytes (a text of size - 8 bytes).

std::string MakeCipher(std::size_t size) {
    return SecurityUtil::DesEncrypt(MakeBytes(size - kBlock), kKey);
}

void OursDesDecryptString(benchmark::State& state, std::size_t size) {
    const std::string cipher = MakeCipher(size);
    for (auto _ : state) {
        std::string plain = SecurityUtil::DesDecrypt(cipher, kKey);
        benchmark::DoNotOptimize(plain.data());
    }
    SetBytes(state, size);
}

void OursDesDecryptBuffer(benchmark::State& state, std::size_t size) {
    const std::string cipher = MakeCipher(size);
    for (auto _ : state) {
        char* plain = nullptr;
        SecurityUtil::DesDecrypt(cipher, plain, kKey);
        std::unique_ptr<char[]> owned(plain);
        benchmark::DoNotOptimize(owned.get());
    }
    SetBytes(state, size);
}

void RawDesDecrypt(benchmark::State& state, std::size_t size) {
    const std::string cipher = MakeCipher(size);
    std::vector<unsigned char> out(cipher.size());
    for (auto _ : state) {
        RawDesEcb(reinterpret_cast<const unsigned char*>(cipher.data()), out.data(),
                  cipher.size(), DES_DECRYPT);
        benchmark::DoNotOptimize(out.data());
    }
    SetBytes(state, size);
}

// --- MD5Encrypt

void OursMd5(benchmark::State& state, std::size_t size) {
    const std::string text = MakeBytes(size);
    unsigned char digest[MD5_DIGEST_LENGTH];
    for (auto _ : state) {
        SecurityUtil::MD5Encrypt(text, digest);
        benchmark::DoNotOptimize(digest);
    }
    SetBytes(state, size);
}

void RawMd5(benchmark::State& state, std::size_t size) {
    const std::string text = MakeBytes(size);
    unsigned char digest[MD5_DIGEST_LENGTH];
    for (auto _ : state) {
        MD5_CTX context;
        MD5_Init(&context);
        MD5_Update(&context, text.data(), text.size());
        MD5_Final(digest, &context);
        benchmark::DoNotOptimize(digest);
    }
    SetBytes(state, size);
}

using BenchFunction = void (*)(benchmark::State&, std::size_t);

struct Pair {
    const char* operation;
    BenchFunction ours;
    BenchFunction raw;
    double goal;  // least raw / ours at kGoalSize
};

const Pair kPairs[] = {
    {"DesEncrypt", OursDesEncrypt, RawDesEncrypt, 0.95},
    {"DesDecrypt(string)", OursDesDecryptString, RawDesDecrypt, 0.95},
    {"DesDecrypt(buffer)", OursDesDecryptBuffer, RawDesDecrypt, 0.95},
    {"MD5Encrypt", OursMd5, RawMd5, 0.98},
};

std::string RunName(const char* operation, const char* side, std::size_t size) {
    return std::string(operation) + "/" + side + "/" + std::to_string(size);
}

double Fastest(const std::vector<double>& times) {
    return *std::min_element(times.begin(), times.end());
}

// The console output as usual, and the CPU time per iteration of each benchmark kept by name:
// the fastest repetition when there are several, the single run otherwise.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const std::string name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "min") {
                fastest_[name] = run.GetAdjustedCPUTime();
            } else if (run.run_type == Run::RT_Iteration) {
                singles_[name] = run.GetAdjustedCPUTime();
            }
        }
    }

    bool Find(const std::string& name, double& time) const {
        auto fastest = fastest_.find(name);
        if (fastest != fastest_.end()) {
            time = fastest->second;
            return true;
        }
        auto single = singles_.find(name);
        if (single == singles_.end()) return false;
        time = single->second;
        return true;
    }

private:
    std::map<std::string, double> fastest_;
    std::map<std::string, double> singles_;
};

// Prints raw / ours for every pair that ran; false when a 1 MiB goal is missed.
bool ReportRatios(const RecordingReporter& reporter) {
    bool allMet = true;
    std::printf("\n%-20s %8s %12s %12s %7s %5s  %s\n", "operation", "bytes", "ours (us)",
                "raw (us)", "ratio", "goal", "verdict");
    for (const Pair& pair : kPairs) {
        for (std::size_t size : kSizes) {
            double ours = 0, raw = 0;
            if (!reporter.Find(RunName(pair.operation, "ours", size), ours) ||
                !reporter.Find(RunName(pair.operation, "raw", size), raw) || ours <= 0) {
                continue;
            }
            const double ratio = raw / ours;
            const bool judged = size == kGoalSize;
            const bool met = !judged || ratio >= pair.goal;
            allMet = allMet && met;
            if (judged) {
                std::printf("%-20s %8zu %12.3f %12.3f %7.3f %5.2f  %s\n", pair.operation, size,
                            ours, raw, ratio, pair.goal, met ? "met" : "MISSED");
            } else {
                std::printf("%-20s %8zu %12.3f %12.3f %7.3f %5s  %s\n", pair.operation, size,
                            ours, raw, ratio, "-", "as measured");
            }
        }
    }
    return allMet;
}

}  // namespace

int main(int argc, char** argv) {
    // Defaults that make a ratio near 1 worth reading; flags given on the command line come
    // later and win. Nine short runs of each, interleaved, and the ratio taken from the
    // fastest: other load on the machine only ever adds time.
    std::vector<char*> args = {argv[0]};
    char repetitions[] = "--benchmark_repetitions=9";
    char minTime[] = "--benchmark_min_time=0.2";
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    char aggregatesOnly[] = "--benchmark_report_aggregates_only=true";
    args.insert(args.end(), {repetitions, minTime, interleave, aggregatesOnly});
    args.insert(args.end(), argv + 1, argv + argc);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);

    for (const Pair& pair : kPairs) {
        for (std::size_t size : kSizes) {
            // Each pair has its own raw run (the two decryption forms share the loop), so with
            // random interleaving both sides of a ratio see the same machine state.
            const std::pair<const char*, BenchFunction> sides[] = {{"ours", pair.ours},
                                                                   {"raw", pair.raw}};
            for (const auto& [side, function] : sides) {
                benchmark::RegisterBenchmark(RunName(pair.operation, side, size).c_str(),
                                             function, size)
                    ->Unit(benchmark::kMicrosecond)
                    ->ComputeStatistics("min", Fastest);
            }
        }
    }

    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return ReportRatios(reporter) ? 0 : 1;
}
