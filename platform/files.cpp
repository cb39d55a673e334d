#include "platform/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

namespace tv {

namespace {

// Work files carry their maker's process number: ".tv-new-1234-XXXXXX".
constexpr std::string_view kReplacementPrefix = ".tv-new-";
constexpr std::string_view kTemporaryPrefix = ".tv-work-";

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string WorkFilePattern(const std::string& beside, std::string_view prefix) {
  return FolderOf(beside) + std::string(prefix) + std::to_string(getpid()) + "-XXXXXX";
}

// The process number in a work file's name, or 0 when the name is not one of ours.
pid_t WorkFileMaker(std::string_view name) {
  for (const std::string_view prefix : {kReplacementPrefix, kTemporaryPrefix}) {
    if (!name.starts_with(prefix)) continue;
    name.remove_prefix(prefix.size());
    pid_t pid = 0;
    const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
    return ec == std::errc() && pid > 0 && end < name.data() + name.size() && *end == '-' ? pid : 0;
  }
  return 0;
}

// When the process started, in seconds since the epoch (rounded down);
// nullopt when that cannot be told.
std::optional<std::time_t> ProcessStart(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::ifstream system("/proc/stat");
  std::string line;
  if (!std::getline(stat, line)) return std::nullopt;
  // The fields after the program's name, which may hold anything, from the
  // state (the third field) on: the start is the twenty-second, in ticks
  // after the boot.
  std::istringstream fields(line.substr(line.rfind(')') + 1));
  std::string field;
  for (int i = 3; i < 22 && fields >> field;) ++i;
  unsigned long long ticks = 0;
  if (!(fields >> ticks)) return std::nullopt;
  for (std::string key; system >> key;) {
    std::time_t boot = 0;
    if (key == "btime" && system >> boot) return boot + static_cast<std::time_t>(ticks / sysconf(_SC_CLK_TCK));
  }
  return std::nullopt;
}

// The maker still runs, and it was running when the file was last written
// (a process number is given out again once its process has ended).
bool MakerStillAtWork(pid_t pid, const struct stat& file) {
  if (kill(pid, 0) != 0 && errno == ESRCH) return false;
  const std::optional<std::time_t> start = ProcessStart(pid);
  return !start || *start <= file.st_mtim.tv_sec;  // when it cannot be told, the file stays
}

}  // namespace

bool FileExists(const std::string& path) {
  struct stat info {};
  return !path.empty() && stat(path.c_str(), &info) == 0;
}

bool IsRegularFile(const std::string& path, bool followLinks) {
  struct stat info {};
  if (path.empty()) return false;
  const int rc = followLinks ? stat(path.c_str(), &info) : lstat(path.c_str(), &info);
  return rc == 0 && S_ISREG(info.st_mode);
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

int OpenRegularFile(const std::string& path, int flags, unsigned mode) {
  // Non-blocking, so that opening a named pipe returns at once; the flag
  // means nothing for the regular files that are let through.
  const bool writing = (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC)) != 0;
  if (writing) flags |= O_NOFOLLOW;
  int fd = -1;
  do {
    fd = open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if ((flags & O_NOFOLLOW) && errno == ELOOP) errno = EINVAL;  // the path is a link
    return -1;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

std::string_view BaseName(std::string_view path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view Extension(std::string_view path) {
  const std::string_view name = BaseName(path);
  const auto dot = name.find_last_of('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot);
}

std::string ChangeExtension(std::string_view path, std::string_view extension) {
  std::string out(path.substr(0, path.size() - Extension(path).size()));
  out += extension;
  return out;
}

bool IsPlainFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    return c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
  });
}

std::string CreateTemporaryFile(const std::string& beside, const std::string& suffix) {
  std::string path = WorkFilePattern(beside, kTemporaryPrefix) + suffix;
  const int fd = mkostemps(path.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
  if (fd < 0) return {};
  close(fd);
  return path;
}

int RemoveStaleWorkFiles(const std::string& folder) {
  std::error_code error;
  int removed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder.empty() ? "." : folder, error)) {
    const std::string name = entry.path().filename().string();
    const pid_t maker = WorkFileMaker(name);
    struct stat info {};
    if (maker == 0 || lstat(entry.path().c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    if (!MakerStillAtWork(maker, info) && unlink(entry.path().c_str()) == 0) ++removed;
  }
  return removed;
}

int FileReplacement::Begin(const std::string& target, LinkTarget links) {
  Discard();
  target_ = target;
  if (char* real = links == LinkTarget::Follow ? realpath(target.c_str(), nullptr) : nullptr) {
    target_ = real;
    std::free(real);
  }
  struct stat existing {};
  if (lstat(target_.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) return EINVAL;
  temp_ = WorkFilePattern(target_, kReplacementPrefix);
  fd_ = mkostemp(temp_.data(), O_CLOEXEC);
  committed_ = false;
  return fd_ < 0 ? errno : 0;
}

void FileReplacement::Discard() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
  if (!committed_) unlink(temp_.c_str());
}

int FileReplacement::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

int FileReplacement::Commit() { return Finish(true); }

int FileReplacement::CommitNew() { return Finish(false); }

int FileReplacement::Finish(bool replace) {
  if (fd_ < 0 || committed_) return EBADF;
  struct stat existing {};
  const mode_t mode = stat(target_.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
  // A new file takes the name only while it is free: a second name for it,
  // then the temporary one goes.
  auto place = [&] {
    if (replace) return rename(temp_.c_str(), target_.c_str()) == 0;
    if (link(temp_.c_str(), target_.c_str()) != 0) return false;
    unlink(temp_.c_str());
    return true;
  };
  if (fchmod(fd_, mode) != 0 || fsync(fd_) != 0 || !place()) {
    const int error = errno;
    Discard();
    return error;
  }
  committed_ = true;
  // The rename itself reaches the disk with the folder.
  const auto slash = target_.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : target_.substr(0, std::max<std::size_t>(slash, 1));
  if (const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return 0;
}

int ReplaceFileContents(const std::string& path, std::string_view bytes, LinkTarget links) {
  FileReplacement file;
  if (const int error = file.Begin(path, links); error != 0) return error;
  while (!bytes.empty()) {
    const ssize_t n = write(file.Descriptor(), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return file.Commit();
}

}  // namespace tv
