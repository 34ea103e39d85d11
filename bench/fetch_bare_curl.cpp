// The least a libcurl download does: GET each URL into its file, the body written as it comes,
// one easy handle for all (connections kept alive), in pieces of the fetch's size (256 KiB), so
// that only what the fetch does beyond the download differs. scripts/bench times it beside
// vintrel-fetch.
//
//   fetch_bare_curl BASE_URL OUT_DIR PATHS_FILE     each line of PATHS_FILE: a path below BASE_URL
//
// Exit 0 when every GET answered 200 and was written whole; 1 otherwise.
#include <curl/curl.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

struct FileClose {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileClose>;

struct EasyCleanup {
  void operator()(CURL* easy) const noexcept { curl_easy_cleanup(easy); }
};

size_t OnBody(char* bytes, size_t, size_t size, void* file) {
  return std::fwrite(bytes, 1, size, static_cast<std::FILE*>(file));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: fetch_bare_curl BASE_URL OUT_DIR PATHS_FILE\n");
    return 2;
  }
  const std::string base = argv[1];
  const std::filesystem::path out = argv[2];
  std::ifstream paths(argv[3]);
  if (!paths || curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return 1;
  std::unique_ptr<CURL, EasyCleanup> easy(curl_easy_init());
  if (easy == nullptr) return 1;
  std::string path;
  while (std::getline(paths, path)) {
    if (path.empty()) continue;
    const std::filesystem::path target = out / path;
    std::filesystem::create_directories(target.parent_path());
    FileHandle file(std::fopen(target.c_str(), "wb"));
    if (file == nullptr) return 1;
    const std::string url = base + "/" + path;
    curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_BUFFERSIZE, 256L * 1024);
    curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, file.get());
    long status = 0;
    const CURLcode code = curl_easy_perform(easy.get());
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
    if (code != CURLE_OK || status != 200 || std::fflush(file.get()) != 0) {
      std::fprintf(stderr, "%s: %s, HTTP %ld\n", url.c_str(), curl_easy_strerror(code), status);
      return 1;
    }
  }
  return 0;
}
