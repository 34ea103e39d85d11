#pragma once
// The command line of a Windows program as UTF-8, whatever the ANSI code page, so that names
// outside it stay intact: vintrel-pack's and vintrel-fetch's wmain hand it to their portable main.

#ifdef _WIN32
#include <windows.h>

#include <string>
#include <vector>

class Utf8Arguments {
 public:
  Utf8Arguments(int argc, wchar_t** argv) {
    for (int i = 0; i < argc; ++i) {
      const int length =
          WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
      std::string arg(length > 0 ? static_cast<size_t>(length) : 1, '\0');
      WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, &arg[0], length, nullptr, nullptr);
      arg.resize(arg.find('\0'));
      text_.push_back(arg);
    }
    for (std::string& arg : text_) pointers_.push_back(&arg[0]);
  }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> text_;
  std::vector<char*> pointers_;
};
#endif
