// Calls every public operation of an installed Vintrel_Common, and reads an outcome record
// through the installed <vintrel/update_outcome.h>; exits 0 when all behave.
#include <vintrel/update_outcome.h>
#include <vintrel/vintrel_common.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok)
        ++failures;
}

}  // namespace

int main() {
    Log::Initialize("consumer", "consumer.log", 1048576, 3);

    const std::string text = "text from the consumer";
    const std::string cipher = SecurityUtil::DesEncrypt(text, "consumer key");
    Check(cipher.size() == 24, "DesEncrypt pads to whole blocks");
    Check(SecurityUtil::DesDecrypt(cipher, "consumer key") == text, "DesDecrypt gives the text");

    char* plain = nullptr;
    SecurityUtil::DesDecrypt(cipher, plain, "consumer key");
    Check(plain != nullptr && std::strcmp(plain, text.c_str()) == 0, "DesDecrypt into a buffer");
    delete[] plain;

    // RFC 1321's digest of "abc".
    const unsigned char abc[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                   0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    unsigned char digest[16] = {};
    SecurityUtil::MD5Encrypt("abc", digest);
    Check(std::memcmp(digest, abc, sizeof abc) == 0, "MD5Encrypt");

    const std::string id = DeviceUtil::GetDeviceId();
    std::printf("device id: '%s'\n", id.c_str());
    Check(id.empty() || id.size() == 12, "GetDeviceId");

    Log a, b;
    Check(&(a = b) == &a, "Log copy assignment");

    // The record as the updater writes it, read back from a file as the main application does.
    vintrel::UpdateOutcome written;
    written.result = vintrel::UpdateOutcomeResult::kRefused;
    written.reason = vintrel::UpdateOutcomeReason::kBaseDiffers;
    written.release = 12;
    written.file = "bin/App.exe";
    written.time = 1796534400;
    const std::string record = vintrel::FormatUpdateOutcome(written);
    if (std::FILE* out = std::fopen("update-outcome.txt", "wb")) {
        std::fwrite(record.data(), 1, record.size(), out);
        std::fclose(out);
    }
    const vintrel::UpdateOutcomeRead read = vintrel::ReadUpdateOutcome("update-outcome.txt");
    Check(read.status == vintrel::UpdateOutcomeStatus::kRead &&
              read.outcome.reason == vintrel::UpdateOutcomeReason::kBaseDiffers &&
              read.outcome.release == 12 && read.outcome.file == written.file,
          "ReadUpdateOutcome of what FormatUpdateOutcome wrote");
#ifdef _WIN32
    Check(vintrel::ReadUpdateOutcome(L"update-outcome.txt").outcome.time == written.time,
          "ReadUpdateOutcome by wide path");
#endif
    Check(vintrel::ReadUpdateOutcome("no-such-outcome.txt").status ==
              vintrel::UpdateOutcomeStatus::kMissing,
          "ReadUpdateOutcome of a missing file");

    return failures == 0 ? 0 : 1;
}
