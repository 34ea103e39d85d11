#include "test_support.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace vintrel_test {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument("not a hex digit: " + std::string(1, c));
}

std::vector<CryptoReference> LoadReferences() {
    const char* name = "crypto_reference.txt";
    std::ifstream file(name);
    if (!file)
        throw std::runtime_error(std::string("cannot open ") + name);
    std::vector<CryptoReference> references;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string key, text, cipher, md5, tail, tailPlain;
        if (!(fields >> key >> text >> cipher >> md5 >> tail >> tailPlain))
            throw std::runtime_error("malformed line in " + std::string(name) + ": " + line);
        references.push_back({FromHex(key), FromHex(text), FromHex(cipher), FromHex(md5),
                              FromHex(tail), FromHex(tailPlain)});
    }
    return references;
}

}  // namespace

std::string FromHex(const std::string& hex) {
    if (hex == "-")
        return std::string();
    if (hex.size() % 2 != 0)
        throw std::invalid_argument("odd hex length: " + hex);
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(HexDigit(hex[i]) * 16 + HexDigit(hex[i + 1])));
    return bytes;
}

std::string ToHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : bytes) {
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 15]);
    }
    return hex;
}

#ifdef _WIN32
int RunThisProgram(const std::vector<std::string>& arguments) {
    std::wstring program(32768, L'\0');
    program.resize(GetModuleFileNameW(nullptr, &program[0], static_cast<DWORD>(program.size())));
    // The arguments are test flags: ASCII without blanks or quotation marks.
    std::wstring commandLine = L"\"" + program + L"\"";
    for (const std::string& argument : arguments)
        commandLine += L" " + std::wstring(argument.begin(), argument.end());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process))
        return -1;
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = static_cast<DWORD>(-1);
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}
#else
int RunThisProgram(const std::vector<std::string>& arguments) {
    const std::string program = "/proc/self/exe";
    std::vector<std::string> strings = {program};
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : strings)
        argv.push_back(&text[0]);
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}
#endif

const std::vector<CryptoReference>& CryptoReferences() {
    static const std::vector<CryptoReference> references = LoadReferences();
    return references;
}

}  // namespace vintrel_test
