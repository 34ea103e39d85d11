#include <vintrel/vintrel_common.h>

// Defined in the order they are declared: the runtime builds them at load, before DllMain,
// and destroys them in reverse at unload.
std::string Log::_logName;
std::string Log::_fileName;
unsigned int Log::_maxFileSize = 0;
unsigned int Log::_maxFileCount = 0;

void Log::Initialize(const std::string& logName, const std::string& fileName,
                     unsigned int maxFileSize, unsigned int maxFileCount) {
    // One after another: if copying the file name runs out of memory, the new log name
    // stays and the numbers keep their old values.
    _logName = logName;
    _fileName = fileName;
    _maxFileSize = maxFileSize;
    _maxFileCount = maxFileCount;
}

Log& Log::operator=(const Log&) {
    return *this;
}

std::string Log::logName() {
    return _logName;
}

std::string Log::fileName() {
    return _fileName;
}

unsigned int Log::maxFileSize() {
    return _maxFileSize;
}

unsigned int Log::maxFileCount() {
    return _maxFileCount;
}
