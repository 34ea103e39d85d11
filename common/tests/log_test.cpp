// Log's settings, read back through the friend that the public header grants the tests.
#include <vintrel/vintrel_common.h>

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

using vintrel_test::RunThisProgram;
using vintrel_test::ToHex;

// Reaches Log's private accessors and settings, as the main application's logger does.
struct LogTestAccess {
    static std::string logName() { return Log::logName(); }
    static std::string fileName() { return Log::fileName(); }
    static unsigned int maxFileSize() { return Log::maxFileSize(); }
    static unsigned int maxFileCount() { return Log::maxFileCount(); }
    static void InitializeWithStoredStrings(unsigned int maxFileSize, unsigned int maxFileCount) {
        Log::Initialize(Log::_logName, Log::_fileName, maxFileSize, maxFileCount);
    }
};

namespace {

using namespace std::string_literals;

// Run only by EmptyAndZeroBeforeInitialize, in a process of its own where the library is
// freshly loaded and nothing has called Initialize.
TEST(DISABLED_LogInFreshProcess, EmptyAndZero) {
    EXPECT_EQ(LogTestAccess::logName(), "");
    EXPECT_EQ(LogTestAccess::fileName(), "");
    EXPECT_EQ(LogTestAccess::maxFileSize(), 0u);
    EXPECT_EQ(LogTestAccess::maxFileCount(), 0u);
}

// Other tests of this process store settings, in any order under --gtest_shuffle: the state
// before the first Initialize exists only in a new process.
TEST(Log, EmptyAndZeroBeforeInitialize) {
    EXPECT_EQ(RunThisProgram({"--gtest_filter=DISABLED_LogInFreshProcess.EmptyAndZero",
                              "--gtest_also_run_disabled_tests", "--gtest_repeat=1"}),
              0);
}

TEST(Log, SecondInitializeReplacesAllFour) {
    Log::Initialize("main", "logs/main.log", 10485760, 7);
    EXPECT_EQ(LogTestAccess::logName(), "main");
    EXPECT_EQ(LogTestAccess::fileName(), "logs/main.log");
    EXPECT_EQ(LogTestAccess::maxFileSize(), 10485760u);
    EXPECT_EQ(LogTestAccess::maxFileCount(), 7u);

    Log::Initialize("", "", 0, 0);
    EXPECT_EQ(LogTestAccess::logName(), "");
    EXPECT_EQ(LogTestAccess::fileName(), "");
    EXPECT_EQ(LogTestAccess::maxFileSize(), 0u);
    EXPECT_EQ(LogTestAccess::maxFileCount(), 0u);

    Log::Initialize("x", "y", 4294967295u, 1);
    EXPECT_EQ(LogTestAccess::maxFileSize(), 4294967295u);
    EXPECT_EQ(LogTestAccess::maxFileCount(), 1u);
}

TEST(Log, ZeroAndNonAsciiBytesKept) {
    const std::string name = "\xbf\xaa\xca\xbc\0\xe6\x97\xa5\xe5\xbf\x97"s;  // GBK, zero, UTF-8
    const std::string file = "C:\\logs\\\0\xff\x80.log"s;
    Log::Initialize(name, file, 1, 2);
    EXPECT_EQ(ToHex(LogTestAccess::logName()), ToHex(name));
    EXPECT_EQ(ToHex(LogTestAccess::fileName()), ToHex(file));
}

TEST(Log, StoredStringsPassedBackStayUnchanged) {
    Log::Initialize("self", "self.log", 3, 4);
    LogTestAccess::InitializeWithStoredStrings(5, 6);
    EXPECT_EQ(LogTestAccess::logName(), "self");
    EXPECT_EQ(LogTestAccess::fileName(), "self.log");
    EXPECT_EQ(LogTestAccess::maxFileSize(), 5u);
    EXPECT_EQ(LogTestAccess::maxFileCount(), 6u);
}

TEST(CopyAssignment, ChangesNothingAndYieldsTheLeftOperand) {
    Log::Initialize("kept", "kept.log", 8, 9);
    Log logA, logB;
    EXPECT_EQ(&(logA = logB), &logA);
    EXPECT_EQ(LogTestAccess::logName(), "kept");
    EXPECT_EQ(LogTestAccess::fileName(), "kept.log");
    EXPECT_EQ(LogTestAccess::maxFileSize(), 8u);
    EXPECT_EQ(LogTestAccess::maxFileCount(), 9u);

    SecurityUtil securityA, securityB;
    EXPECT_EQ(&(securityA = securityB), &securityA);
    DeviceUtil deviceA, deviceB;
    EXPECT_EQ(&(deviceA = deviceB), &deviceA);
}

}  // namespace
