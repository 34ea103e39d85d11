#include "platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <cstring>

namespace {

volatile std::sig_atomic_t interrupted = 0;

void OnInterrupt(int) { interrupted = 1; }

}  // namespace

void CatchInterrupts(bool catching) {
  struct sigaction action {};
  action.sa_handler = catching ? OnInterrupt : SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  // One that came in while catching ends the process now, as it would have.
  if (!catching && interrupted) std::raise(SIGTERM);
}

bool Interrupted() { return interrupted != 0; }

bool ProcessRuns(unsigned long id) {
  return kill(static_cast<pid_t>(id), 0) == 0 || errno != ESRCH;
}

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

void UseUtf8Console() {}

bool ReadFolder(const std::filesystem::path& folder, std::vector<FolderEntry>& entries,
                std::string& error) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) {
    error = folder.native() + ": " + std::strerror(errno);
    return false;
  }
  const int fd = dirfd(dir);
  errno = 0;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat status {};
    if (fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
      error = (folder / name).native() + ": " + std::strerror(errno);
      closedir(dir);
      return false;
    }
    FolderEntry item{name, ItemKind::kOther, 0};
    if (S_ISLNK(status.st_mode)) {
      item.kind = ItemKind::kLink;
    } else if (S_ISDIR(status.st_mode)) {
      item.kind = ItemKind::kFolder;
    } else if (S_ISREG(status.st_mode)) {
      item.kind = ItemKind::kFile;
      item.size = static_cast<std::uint64_t>(status.st_size);
    }
    entries.push_back(std::move(item));
    errno = 0;
  }
  const int readError = errno;
  closedir(dir);
  if (readError != 0) {
    error = folder.native() + ": " + std::strerror(readError);
    return false;
  }
  return true;
}

std::filesystem::path JoinRelative(const std::filesystem::path& root, const std::string& relative) {
  // The bytes as they are: a POSIX name may hold any byte but "/" and NUL.
  std::string joined = root.native();
  if (joined.empty() || joined.back() != '/') joined += '/';
  return std::filesystem::path(joined + relative);
}

std::FILE* OpenFileForReading(const std::filesystem::path& path) {
  return std::fopen(path.c_str(), "rb");
}
