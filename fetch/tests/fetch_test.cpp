// vintrel-fetch (built with the tests' keys) against Debian's nginx on the loopback, serving a
// feed of three releases that vintrel-pack publish made: the pick, the refusals, the resume.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "vintrel/update_feed.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kBigBytes = 50u << 20;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// Runs a shell command; its exit code and output (both streams).
int Shell(const std::string& command, std::string& output) {
  output.clear();
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  char piece[4096];
  std::size_t got = 0;
  while ((got = std::fread(piece, 1, sizeof piece, pipe)) > 0) output.append(piece, got);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string JsonText(const std::string& json, const std::string& key) {
  const std::string marker = "\"" + key + "\":\"";
  const std::size_t at = json.find(marker);
  if (at == std::string::npos) return "";
  const std::size_t start = at + marker.size();
  return json.substr(start, json.find('"', start) - start);
}

std::uint16_t FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
  close(s);
  return ntohs(address.sin_port);
}

bool Accepts(std::uint16_t port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(s);
  return ok;
}

pid_t Spawn(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  return posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

// The feed and the server, made once for the suite: www/feed of releases 1, 2 and 3 (release 3
// adds a 50 MB file), served as / ; /slow/ serves the same at 20 MB/s and /norange/ without
// range support; a second port serves the feed of release 1 over HTTPS. Workers run as nobody:
// everything is world-readable.
class Feed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = (fs::temp_directory_path() / "vintrel-fetch-test.XXXXXX").string();
    root_ = new fs::path(mkdtemp(&pattern[0]));
    chmod(root_->c_str(), 0755);
    const fs::path keys = Env("TEST_KEYS");
    std::mt19937 random(33);
    std::string big(kBigBytes, '\0');
    for (char& c : big) c = static_cast<char>(random());
    // Unchanged and incompressible: the partial deliveries are clearly the smaller.
    const std::string same = big.substr(0, 300000);
    for (const int release : {1, 2, 3}) {
      const fs::path tree = *root_ / ("tree-" + std::to_string(release));
      WriteFile(tree / "bin/app.txt", "the application, release " + std::to_string(release));
      WriteFile(tree / "lib/same.dll", same);
      WriteFile(tree / "readme \xe8\xaf\xb4\xe6\x98\x8e.txt", "release " + std::to_string(release));
      if (release == 3) WriteFile(tree / "data/big.bin", big);
      std::string output;
      ASSERT_EQ(Shell(Env("VINTREL_PACK") + " publish " + Quoted(tree) + " --feed " +
                          Quoted(*root_ / "www/feed") + " --release " + std::to_string(release) +
                          " --key " + Quoted(keys / "current.pem"),
                      output),
                0)
          << output;
      // HTTPS serves the feed as it was at release 1: small files only.
      if (release == 1) {
        fs::create_directories(*root_ / "tls/www");
        fs::copy(*root_ / "www/feed", *root_ / "tls/www/feed", fs::copy_options::recursive);
      }
    }
    std::string output;
    // A test CA and its certificate for localhost, for HTTPS.
    const fs::path tls = *root_ / "tls";
    ASSERT_EQ(Shell("bash " + Quoted(Env("MAKE_TEST_CA")) + " " + Env("OPENSSL_TOOL") + " " +
                        Quoted(tls),
                    output),
              0)
        << output;
    Shell("chmod -R a+rX " + Quoted(*root_), output);
    port_ = FreePort();
    do tlsPort_ = FreePort(); while (tlsPort_ == port_);
    const fs::path www = *root_ / "www";
    WriteFile(*root_ / "nginx.conf",
              "worker_processes 1;\npid " + (*root_ / "nginx.pid").string() +
                  ";\nerror_log " + (*root_ / "error.log").string() +
                  ";\nevents { worker_connections 64; }\nhttp {\n"
                  "  log_format counted '$request_uri $status $body_bytes_sent';\n"
                  "  access_log " + (*root_ / "access.log").string() + " counted;\n"
                  "  client_body_temp_path " + (*root_ / "tmp").string() + ";\n"
                  "  types { text/html html; }\n  default_type application/octet-stream;\n"
                  // A small send buffer: what the log counts as sent is what left, not what
                  // waited in the kernel when a connection was cut.
                  "  server {\n    listen 127.0.0.1:" + std::to_string(port_) + " sndbuf=64k;\n"
                  "    root " + www.string() + ";\n"
                  "    location /slow/ { alias " + www.string() + "/; limit_rate 20m; }\n"
                  "    location /norange/ { alias " + www.string() + "/; max_ranges 0; }\n"
                  "  }\n"
                  // Each refused handshake is a line of tls.log.
                  "  server {\n    listen 127.0.0.1:" + std::to_string(tlsPort_) + " ssl;\n"
                  "    ssl_certificate " + (tls / "server.pem").string() + ";\n"
                  "    ssl_certificate_key " + (tls / "server.key").string() + ";\n"
                  "    error_log " + (*root_ / "tls.log").string() + " info;\n"
                  "    root " + (tls / "www").string() + ";\n"
                  "  }\n}\n");
    nginx_ = Spawn({Env("NGINX_PROGRAM"), "-c", (*root_ / "nginx.conf").string(), "-p", root_->string(),
                    "-e", (*root_ / "error.log").string(), "-g", "daemon off;"});
    ASSERT_GT(nginx_, 0);
    for (int i = 0; i < 100 && !Accepts(port_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (int i = 0; i < 100 && !Accepts(tlsPort_); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(Accepts(port_) && Accepts(tlsPort_)) << ReadFile(*root_ / "error.log");
  }

  static void TearDownTestSuite() {
    if (nginx_ > 0) {
      kill(nginx_, SIGTERM);
      waitpid(nginx_, nullptr, 0);
    }
    if (root_ != nullptr) fs::remove_all(*root_);
    delete root_;
    root_ = nullptr;
  }

  void SetUp() override {
    std::error_code error;
    fs::remove_all(Temp(), error);
    fs::remove_all(Work(), error);
    fs::resize_file(*root_ / "access.log", 0, error);
    fs::resize_file(*root_ / "tls.log", 0, error);
  }

  static fs::path Temp() { return *root_ / "OrbeskVintrel/Temp"; }
  static fs::path Work() { return *root_ / "OrbeskVintrel/Temp.fetch"; }
  static fs::path Www() { return *root_ / "www"; }
  static std::string Url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
  }

  // vintrel-fetch of feed (a path below the server) for an installation of release installed.
  static std::string Fetch(const std::string& feed, std::uint64_t installed) {
    return FetchUrl(Url(feed), installed);
  }
  static std::string FetchUrl(const std::string& url, std::uint64_t installed,
                              const fs::path& temp = Temp(), const std::string& more = "") {
    std::string output;
    Shell(Env("VINTREL_FETCH") + " " + url + " --temp " + Quoted(temp) +
              (installed != 0 ? " --release " + std::to_string(installed) : "") +
              " --json --retry-delay-ms 50 --stall-seconds 5" + more,
          output);
    return output;
  }

  // Waits (at most 5 s) until a fetch has written a fifth of the 50 MB file at partial.
  static void WaitForAFifthOf(const fs::path& partial) {
    std::error_code error;
    for (int i = 0; i < 200 && (fs::file_size(partial, error) < kBigBytes / 5 || error); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  }

  // Every file below folder with its bytes, by relative path.
  static std::map<std::string, std::string> Contents(const fs::path& folder) {
    std::map<std::string, std::string> contents;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
      if (item.is_regular_file()) {
        contents[fs::relative(item.path(), folder).string()] = ReadFile(item.path());
      }
    }
    return contents;
  }

  // The requests of the access log since the test began: URI, then body bytes.
  static std::vector<std::pair<std::string, std::uint64_t>> Requests() {
    std::vector<std::pair<std::string, std::uint64_t>> requests;
    std::istringstream log(ReadFile(*root_ / "access.log"));
    std::string uri, status;
    std::uint64_t bytes = 0;
    while (log >> uri >> status >> bytes) requests.emplace_back(uri, bytes);
    return requests;
  }

  static fs::path* root_;
  static std::uint16_t port_;
  static std::uint16_t tlsPort_;  // HTTPS with the test CA's certificate: the feed at release 1
  static pid_t nginx_;
};

fs::path* Feed::root_ = nullptr;
std::uint16_t Feed::port_ = 0;
std::uint16_t Feed::tlsPort_ = 0;
pid_t Feed::nginx_ = 0;

// The delivery the index gives for each installed release arrives in Temp, byte for byte the
// published folder: the partial one from release 1 and 2, the full one for none; release 3 is
// up to date and places nothing.
TEST_F(Feed, EachReleaseGetsTheDeliveryTheIndexGivesIt) {
  const vintrel::FeedIndexRead read = vintrel::ParseFeedIndex(ReadFile(Www() / "feed/index"));
  ASSERT_EQ(read.status, vintrel::FeedIndexStatus::kRead);
  for (const std::uint64_t installed : {0, 1, 2, 3}) {
    SetUp();
    // The installed release as the main application learns it: release 1's installation was
    // last updated before the markers (only its record), the others carry a marker.
    const fs::path installation = *root_ / ("installation-" + std::to_string(installed));
    fs::create_directories(installation / ".vintrel");
    if (installed == 1) WriteFile(installation / ".vintrel/release", "1\r\n");
    if (installed > 1) {
      WriteFile(installation / ".vintrel/release", "held by the service\r\n");
      WriteFile(installation / (".vintrel/release-" + std::to_string(installed)), "");
      WriteFile(installation / (".vintrel/release-" + std::to_string(installed - 1)), "");
    }
    std::string json;
    Shell(Env("VINTREL_FETCH") + " " + Url("feed") + " --temp " + Quoted(Temp()) +
              " --installation " + Quoted(installation) + " --json --retry-delay-ms 50",
          json);
    const vintrel::FeedDelivery* expected =
        vintrel::ChooseFeedDelivery(read.index, installed, "").delivery;
    if (expected == nullptr) {
      EXPECT_EQ(JsonText(json, "status"), "up-to-date") << json;
      EXPECT_FALSE(fs::exists(Temp()));
      continue;
    }
    ASSERT_EQ(JsonText(json, "status"), "placed") << installed << ": " << json;
    EXPECT_EQ(JsonText(json, "delivery"), expected->folder);
    EXPECT_EQ(Contents(Temp()), Contents(Www() / "feed" / expected->folder)) << installed;
    EXPECT_FALSE(fs::exists(Work()));
  }
  EXPECT_EQ(read.index.releases.front().partial.back().folder, "3/from-2");
  // A marker that names no release: nothing is fetched for a release guessed.
  const fs::path unreadable = *root_ / "installation-unreadable/.vintrel/release-2x";
  WriteFile(unreadable, "");
  std::string output;
  EXPECT_EQ(Shell(Env("VINTREL_FETCH") + " " + Url("unread/feed") + " --temp " + Quoted(Temp()) +
                      " --installation " + Quoted(unreadable.parent_path().parent_path()),
                  output),
            1);
  EXPECT_NE(output.find("a marker without a release"), std::string::npos) << output;
  for (const auto& [uri, bytes] : Requests()) {
    EXPECT_EQ(uri.find("unread"), std::string::npos) << "asked for " << uri;
  }
}

// The publisher rolls release 3 out to half of the devices, then pauses it: a device in the
// rollout gets release 3, one outside it release 2 (from release 1) or nothing yet (from
// release 2, "not-in-rollout", not "up-to-date"); paused, every device is outside. Each index
// is signed again by vintrel-pack rollout and checked by vintrel-pack check.
TEST_F(Feed, TheRolloutDecidesWhichReleaseADeviceGets) {
  const fs::path feed = Www() / "rollout";
  fs::copy(Www() / "feed", feed, fs::copy_options::recursive);
  std::string inside, outside, output;
  for (int i = 0; inside.empty() || outside.empty(); ++i) {
    const std::string id = "0050569a" + std::to_string(1000 + i);
    (vintrel::FeedRolloutBucket(id, 3) < 5000 ? inside : outside) = id;
  }
  struct Row {
    const char* share;
    const char* device;
    std::uint64_t installed;
    const char* status;
    const char* delivery;  // placed: the folder in Temp
    std::uint64_t release;
  };
  const Row rows[] = {
      {"50%", inside.c_str(), 2, "placed", "3/from-2", 3},
      {"50%", outside.c_str(), 1, "placed", "2/from-1", 2},
      {"50%", outside.c_str(), 2, "not-in-rollout", "", 2},
      {"50%", outside.c_str(), 3, "up-to-date", "", 3},
      {"0", inside.c_str(), 2, "not-in-rollout", "", 2},
      {"0", inside.c_str(), 0, "placed", "2/full", 2},
  };
  std::string share;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.share) + " " + row.device + " from " +
                 std::to_string(row.installed));
    if (share != row.share) {
      share = row.share;
      ASSERT_EQ(Shell(Env("VINTREL_PACK") + " rollout --feed " + Quoted(feed) +
                          " --release 3 --share " + share + " --key " +
                          Quoted(fs::path(Env("TEST_KEYS")) / "current.pem"),
                      output),
                0)
          << output;
      ASSERT_EQ(Shell(Env("VINTREL_PACK") + " check " + Quoted(feed) + " --public-key " +
                          Quoted(fs::path(Env("TEST_KEYS")) / "current.pub.pem"),
                      output),
                0)
          << output;
      Shell("chmod -R a+rX " + Quoted(feed), output);
    }
    SetUp();
    const std::string json =
        FetchUrl(Url("rollout"), row.installed, Temp(), std::string(" --device-id ") + row.device);
    EXPECT_EQ(JsonText(json, "status"), row.status) << json;
    EXPECT_NE(json.find("\"release\":" + std::to_string(row.release) + ","), std::string::npos)
        << json;
    EXPECT_NE(json.find("\"newestRelease\":3"), std::string::npos) << json;
    if (*row.delivery == '\0') {
      EXPECT_FALSE(fs::exists(Temp()));
      continue;
    }
    EXPECT_EQ(JsonText(json, "delivery"), row.delivery);
    EXPECT_EQ(Contents(Temp()), Contents(feed / row.delivery));
  }
}

// A file altered on the server is refused and nothing is placed; a bad signature on the index
// or on the list is refused before any delivered file is asked for.
TEST_F(Feed, WhatTheKeysOrTheListDoNotVouchForIsRefused) {
  const fs::path keys = Env("TEST_KEYS");
  std::string output;
  const auto copy = [&](const std::string& name) {
    const fs::path to = Www() / name;
    fs::remove_all(to);
    fs::copy(Www() / "feed", to, fs::copy_options::recursive);
    return to;
  };
  const fs::path altered = copy("altered");
  {
    std::fstream big(altered / "3/from-2/data/big.bin", std::ios::in | std::ios::out | std::ios::binary);
    big.seekp(kBigBytes / 2);
    big.put('!');
  }
  Shell("chmod -R a+rX " + Quoted(altered), output);
  std::string json = Fetch("altered", 2);
  EXPECT_EQ(JsonText(json, "status"), "file-differs") << json;
  EXPECT_FALSE(fs::exists(Temp()));

  struct Row {
    const char* name;
    const char* signedFile;  // re-signed with a key the program does not know
  };
  for (const Row row : {Row{"bad-index", "index"}, Row{"bad-list", "3/from-2/UpdateInfo.sha256"}}) {
    SetUp();
    const fs::path feed = copy(row.name);
    const std::string signature = std::string(row.signedFile) == "index"
                                      ? "index.sig"
                                      : "3/from-2/UpdateInfo.sig";
    ASSERT_EQ(Shell(Env("OPENSSL_TOOL") + " dgst -sha256 -sign " + Quoted(keys / "other.pem") +
                        " -out " + Quoted(feed / signature) + " " + Quoted(feed / row.signedFile),
                    output),
              0)
        << output;
    Shell("chmod -R a+rX " + Quoted(feed), output);
    json = Fetch(row.name, 2);
    EXPECT_EQ(JsonText(json, "status"), "bad-signature") << row.name << ": " << json;
    EXPECT_FALSE(fs::exists(Temp()));
    for (const auto& [uri, bytes] : Requests()) {
      const bool signedText = uri.find("index") != std::string::npos ||
                              uri.find("UpdateInfo.sha256") != std::string::npos ||
                              uri.find("UpdateInfo.sig") != std::string::npos;
      EXPECT_TRUE(signedText) << row.name << ": asked for " << uri;
    }
  }
}

// On a terminal (script(1) gives it one) vintrel-fetch redraws one progress line, at most every
// 100 ms, ending at the whole delivery; off a terminal it prints its result and nothing else.
TEST_F(Feed, ProgressIsDrawnOnATerminalOnly) {
  std::string output;
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(Shell("script -qec \"" + Env("VINTREL_FETCH") + " " + Url("slow/feed") + " --temp " +
                      Quoted(Temp()) + " --release 2\" /dev/null",
                  output),
            0)
      << output;
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  const std::size_t redraws = std::count(output.begin(), output.end(), '\r') -
                              std::count(output.begin(), output.end(), '\n');
  EXPECT_GE(redraws, 5u) << output;  // 50 MB at 20 MB/s
  EXPECT_LE(redraws, static_cast<std::size_t>(elapsed.count() / 100 + 2)) << output;
  // The last line drawn before the result is the whole delivery.
  const std::size_t lastPercent = output.rfind('%', output.find("placed"));
  ASSERT_NE(lastPercent, std::string::npos) << output;
  EXPECT_EQ(output.substr(lastPercent - 3, 4), "100%") << output;

  SetUp();
  output = Fetch("feed", 2);  // both streams
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
  EXPECT_EQ(output.find('\r'), std::string::npos) << output;
  EXPECT_EQ(JsonText(output, "status"), "placed") << output;
}

// A delivery waiting in Temp is never replaced: the fetch says so and leaves it.
TEST_F(Feed, ADeliveryWaitingInTempIsLeftAlone) {
  WriteFile(Temp() / "UpdateInfo.ini", "an earlier delivery");
  const std::string json = Fetch("feed", 2);
  EXPECT_EQ(JsonText(json, "status"), "delivery-waiting") << json;
  EXPECT_EQ(ReadFile(Temp() / "UpdateInfo.ini"), "an earlier delivery");
}

// A fetch killed in the middle of the 50 MB file continues where it stopped: the next run
// places the delivery having asked the server for little more than it holds; against a server
// that ignores ranges it takes the file again whole and still places it verified.
TEST_F(Feed, AKilledFetchResumes) {
  for (const char* resumeFrom : {"slow/feed", "norange/feed"}) {
    SetUp();
    const pid_t fetch =
        Spawn({Env("VINTREL_FETCH"), Url("slow/feed"), "--temp", Temp().string(), "--release", "2"});
    ASSERT_GT(fetch, 0);
    const fs::path partial = Work() / "data/big.bin";
    WaitForAFifthOf(partial);
    std::error_code error;
    kill(fetch, SIGKILL);
    waitpid(fetch, nullptr, 0);
    const std::uintmax_t held = fs::file_size(partial, error);
    ASSERT_FALSE(error);
    ASSERT_GT(held, 0u);
    ASSERT_LT(held, kBigBytes);
    const std::string json = Fetch(resumeFrom, 2);
    ASSERT_EQ(JsonText(json, "status"), "placed") << resumeFrom << ": " << json;
    EXPECT_EQ(Contents(Temp()), Contents(Www() / "feed/3/from-2"));
    std::uint64_t served = 0;
    for (const auto& [uri, bytes] : Requests()) {
      if (uri.find("big.bin") != std::string::npos) served += bytes;
    }
    if (std::string(resumeFrom) == "slow/feed") {
      EXPECT_LE(served, kBigBytes + kBigBytes / 10) << "restarted instead of resumed";
    } else {
      EXPECT_GE(served, held + kBigBytes) << "a server without ranges: the file again whole";
    }
  }
}

// A fetch asked to stop (SIGTERM: vintrel-fetch's cancel) ends as cancelled before the file is
// whole, places nothing and keeps what it had for the next run.
TEST_F(Feed, ACancelStopsAndKeepsWhatCame) {
  const fs::path out = *root_ / "cancel.json";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::string program = Env("VINTREL_FETCH"), url = Url("slow/feed"), temp = Temp().string();
  std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>(url.c_str()),
                             const_cast<char*>("--temp"), const_cast<char*>(temp.c_str()),
                             const_cast<char*>("--release"), const_cast<char*>("2"),
                             const_cast<char*>("--json"), nullptr};
  pid_t fetch = 0;
  ASSERT_EQ(posix_spawn(&fetch, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  const fs::path partial = Work() / "data/big.bin";
  WaitForAFifthOf(partial);
  std::error_code error;
  kill(fetch, SIGTERM);
  waitpid(fetch, nullptr, 0);
  EXPECT_EQ(JsonText(ReadFile(out), "status"), "cancelled") << ReadFile(out);
  EXPECT_FALSE(fs::exists(Temp()));
  const std::uintmax_t kept = fs::file_size(partial, error);
  EXPECT_GT(kept, 0u);
  EXPECT_LT(kept, kBigBytes) << "not stopped";
}

// A drive smaller than the delivery (a 4 MiB tmpfs): refused before the first delivered byte is
// asked for, nothing placed.
TEST_F(Feed, ASmallDriveIsRefusedBeforeTheFirstByte) {
  const fs::path drive = *root_ / "small-drive";
  fs::create_directories(drive);
  if (mount("vintrel-fetch-test", drive.c_str(), "tmpfs", 0, "size=4m") != 0) {
    GTEST_SKIP() << "no tmpfs of our own (root only): " << std::strerror(errno);
  }
  const std::string json = FetchUrl(Url("feed"), 2, drive / "OrbeskVintrel/Temp");
  EXPECT_EQ(JsonText(json, "status"), "disk-full") << json;
  EXPECT_FALSE(fs::exists(drive / "OrbeskVintrel/Temp"));
  for (const auto& [uri, bytes] : Requests()) {
    EXPECT_TRUE(uri.find("index") != std::string::npos || uri.find("UpdateInfo.s") != std::string::npos)
        << "asked for " << uri;
  }
  umount2(drive.c_str(), MNT_DETACH);
}

// HTTPS from the same nginx, its certificate from a test CA the machine does not trust: with the
// CA's root given (--ca-file) the delivery is placed; without, the fetch is refused as a TLS
// failure at the first handshake, not retried as a connection error, and nothing is asked for.
TEST_F(Feed, HttpsIsPlacedWithTheGivenRootAndRefusedWithout) {
  const std::string url = "https://localhost:" + std::to_string(tlsPort_) + "/feed";
  std::string json = FetchUrl(url, 0, Temp(), " --ca-file " + Quoted(*root_ / "tls/ca.pem"));
  ASSERT_EQ(JsonText(json, "status"), "placed") << json;
  EXPECT_EQ(Contents(Temp()), Contents(*root_ / "tls/www/feed/1/full"));

  SetUp();
  json = FetchUrl(url, 0);
  EXPECT_EQ(JsonText(json, "status"), "tls-failed") << json;
  EXPECT_NE(JsonText(json, "detail").find("certificate"), std::string::npos) << json;
  EXPECT_FALSE(fs::exists(Temp()));
  EXPECT_FALSE(fs::exists(Work()));
  EXPECT_TRUE(Requests().empty());
  std::istringstream log(ReadFile(*root_ / "tls.log"));
  int handshakes = 0;
  for (std::string line; std::getline(log, line);) {
    if (line.find("SSL_do_handshake() failed") != std::string::npos) ++handshakes;
  }
  EXPECT_EQ(handshakes, 1) << ReadFile(*root_ / "tls.log");
}

// The fault proxy in front of nginx, one fault a row: cuts, server errors and a stall are
// retried (the cut 50 MB file resumed: nginx served it little more than once), a missing index
// and an HTML page where the index should be are refused with their own status, a server error
// that persists ends the fetch.
TEST_F(Feed, FaultsAreRetriedOrNamed) {
  struct Row {
    const char* match;
    const char* fault;
    const char* times;
    const char* status;
  };
  const Row rows[] = {
      {"big.bin", "cut:10000000", "3", "placed"},
      {"big.bin", "status:500", "2", "placed"},
      {"UpdateInfo.ini", "stall", "1", "placed"},
      {"/feed/index ", "status:404", "1", "http-status"},
      {"/feed/index ", "html", "1", "not-a-feed"},
      {"UpdateInfo.ini", "status:503", "99", "http-status"},
  };
  for (const Row& row : rows) {
    SetUp();
    const fs::path portFile = *root_ / "proxy-port";
    fs::remove(portFile);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, portFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    const std::string program = Env("FAULT_PROXY"), upstream = std::to_string(port_);
    std::vector<char*> argv = {const_cast<char*>(program.c_str()),
                               const_cast<char*>(upstream.c_str()), const_cast<char*>(row.match),
                               const_cast<char*>(row.fault), const_cast<char*>(row.times), nullptr};
    pid_t proxy = 0;
    ASSERT_EQ(posix_spawn(&proxy, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    std::string proxyPort;
    for (int i = 0; i < 100 && proxyPort.find('\n') == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      proxyPort = ReadFile(portFile);
    }
    const std::string json =
        FetchUrl("http://127.0.0.1:" + proxyPort.substr(0, proxyPort.find('\n')) + "/feed", 2);
    kill(proxy, SIGTERM);
    waitpid(proxy, nullptr, 0);
    EXPECT_EQ(JsonText(json, "status"), row.status) << row.fault << ": " << json;
    EXPECT_EQ(fs::exists(Temp()), std::string(row.status) == "placed") << row.fault;
    if (std::string(row.fault).rfind("cut:", 0) == 0) {
      std::uint64_t served = 0, asked = 0;
      for (const auto& [uri, bytes] : Requests()) {
        if (uri.find("big.bin") == std::string::npos) continue;
        served += bytes;
        ++asked;
      }
      EXPECT_EQ(asked, 4u) << "three cuts, three ranges after them";
      EXPECT_LE(served, kBigBytes + kBigBytes / 10) << "resumed, not restarted";
    }
  }
}

}  // namespace
