#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace tv {

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
  int fd = -1;
  do {
    fd = open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
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
  const auto slash = beside.rfind('/');
  std::string path = (slash == std::string::npos ? "" : beside.substr(0, slash + 1)) + ".tv-work-XXXXXX" + suffix;
  const int fd = mkostemps(path.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
  if (fd < 0) return {};
  close(fd);
  return path;
}

int FileReplacement::Begin(const std::string& target) {
  Discard();
  target_ = target;
  if (char* real = realpath(target.c_str(), nullptr)) {
    target_ = real;
    std::free(real);
  }
  const auto slash = target_.rfind('/');
  temp_ = (slash == std::string::npos ? "" : target_.substr(0, slash + 1)) + ".tv-new-XXXXXX";
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

int FileReplacement::Commit() {
  if (fd_ < 0 || committed_) return EBADF;
  struct stat existing {};
  const mode_t mode = stat(target_.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
  if (fchmod(fd_, mode) != 0 || fsync(fd_) != 0 || rename(temp_.c_str(), target_.c_str()) != 0) {
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

int ReplaceFileContents(const std::string& path, std::string_view bytes) {
  FileReplacement file;
  if (const int error = file.Begin(path); error != 0) return error;
  while (!bytes.empty()) {
    const ssize_t n = write(file.Descriptor(), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return file.Commit();
}

}  // namespace tv
