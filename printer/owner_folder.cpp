#include "printer/owner_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "platform/ini_file.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace tv::printer {

namespace {

constexpr int kNameCount = 100000;
constexpr int kWorkNameTries = 100;

std::string Why(int error) { return std::strerror(error); }

// Whether a user other than the owner (and root) can write in what `info`
// describes: anyone, or a group other than the owner's own (the group of
// their name without other members, that systems give each user).
bool OthersCanWrite(const struct stat& info, const passwd& owner) {
  if ((info.st_mode & S_IWOTH) != 0) return true;
  if ((info.st_mode & S_IWGRP) == 0) return false;
  const group* own = getgrgid(info.st_gid);
  return !own || std::strcmp(own->gr_name, owner.pw_name) != 0 || own->gr_mem[0] != nullptr;
}

// Why `path` (described by `info`) cannot be trusted with the owner's files;
// empty when it is of the kind asked for, no link, theirs (or root's, where
// `rootToo`) and writable by no one else.
std::string Untrusted(const std::string& path, const struct stat& info, const passwd& owner, bool folder,
                      bool rootToo) {
  if (S_ISLNK(info.st_mode)) return path + " is a symbolic link";
  if (folder ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode))
    return path + (folder ? " is not a folder" : " is not a file");
  if (info.st_uid != owner.pw_uid && !(rootToo && info.st_uid == 0)) return path + " does not belong to the job's user";
  if (OthersCanWrite(info, owner)) return path + " can be written by other users (chmod go-w " + path + ")";
  return {};
}

// Opens the folder `name` in the folder `at` without following a link, and
// checks it; -1 with `problem` set when it cannot be trusted.
int OpenTrustedFolder(int at, const std::string& name, const std::string& path, const passwd& owner, bool rootToo,
                      std::string& problem) {
  const int fd = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat info {};
  if (fd < 0) {
    // A link or a file under the name: say which.
    const int error = errno;
    if (fstatat(at, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
      problem = Untrusted(path, info, owner, true, rootToo);
    if (problem.empty()) problem = path + ": " + Why(error);
    return -1;
  }
  problem = fstat(fd, &info) == 0 ? Untrusted(path, info, owner, true, rootToo) : path + ": " + Why(errno);
  if (problem.empty()) return fd;
  close(fd);
  return -1;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// A new file ".tv-work-XXXXXX<suffix>" in `folder`, created there and then
// (never a link or a file someone made before); its descriptor with `name`
// set, or -1 with errno set.
int CreateUniqueFile(int folder, const std::string& suffix, std::string& name) {
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  for (int attempt = 0; attempt < kWorkNameTries; ++attempt) {
    name = ".tv-work-";
    for (int k = 0; k < 6; ++k) name += kLetters[random() % (sizeof kLetters - 1)];
    name += suffix;
    const int fd = openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// The names in a folder, in upper case.
std::set<std::string> NamesIn(int folder) {
  std::set<std::string> names;
  const int fd = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return names;
  if (DIR* dir = fdopendir(fd)) {
    while (const dirent* entry = readdir(dir)) names.insert(UpperAscii(entry->d_name));
    closedir(dir);
  } else {
    close(fd);
  }
  return names;
}

}  // namespace

std::string BecomeUser(const passwd& owner) {
  if (owner.pw_uid == 0) return "faxes are not printed for root; print as the user who sends them";
  if (geteuid() != 0) {
    if (getuid() == owner.pw_uid && geteuid() == owner.pw_uid) return {};
    return "the fax backend runs as user " + std::to_string(geteuid()) + " and cannot write for " + owner.pw_name +
           "; install it with mode 0700 so that CUPS runs it as root";
  }
  if (initgroups(owner.pw_name, owner.pw_gid) != 0 || setgid(owner.pw_gid) != 0 || setuid(owner.pw_uid) != 0)
    return "cannot take the identity of " + std::string(owner.pw_name) + ": " + Why(errno);
  // Whatever happens next happens as the owner.
  if (setuid(0) == 0 || geteuid() != owner.pw_uid || getegid() != owner.pw_gid)
    return "the identity of " + std::string(owner.pw_name) + " could not be taken for good";
  return {};
}

SendFolder::~SendFolder() {
  if (fd_ >= 0) close(fd_);
}

std::string SendFolder::Open(const passwd& owner) {
  const std::string ini = WithSlash(owner.pw_dir) + ".config/tessivane/TVPD.INI";
  const std::string startOnce = " (start Tessivane once as " + std::string(owner.pw_name) + " so that it writes " +
                                ini + ")";
  struct stat info {};
  std::string problem =
      lstat(ini.c_str(), &info) != 0 ? ini + ": " + Why(errno) : Untrusted(ini, info, owner, false, false);
  if (!problem.empty()) return std::string(owner.pw_name) + " has no Tessivane outgoing folder: " + problem + startOnce;
  std::string folder = IniFile(ini).ReadString("Location", "TVOutPath", "");
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const auto slash = folder.rfind('/');
  if (!folder.starts_with("/") || folder.size() == 1) return ini + " names no outgoing folder" + startOnce;
  // The program folder first: whoever may write in it could put another
  // folder in the place of SEND.
  const std::string programFolder = folder.substr(0, std::max<std::size_t>(slash, 1));
  const int parent = OpenTrustedFolder(AT_FDCWD, programFolder, programFolder, owner, true, problem);
  if (parent < 0) return "the outgoing folder cannot be used: " + problem;
  fd_ = OpenTrustedFolder(parent, folder.substr(slash + 1), folder, owner, false, problem);
  close(parent);
  if (fd_ < 0) return "the outgoing folder cannot be used: " + problem;
  path_ = WithSlash(folder);
  return {};
}

int SendFolder::CopyToAnonymousFile(int from, std::string& problem) const {
  int fd = openat(fd_, ".", O_TMPFILE | O_RDWR, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // A file system without unnamed files: a named one, unlinked at once.
    std::string name;
    fd = CreateUniqueFile(fd_, "", name);
    if (fd >= 0) {
      unlinkat(fd_, name.c_str(), 0);
      fcntl(fd, F_SETFD, 0);
    }
  }
  if (fd < 0) {
    problem = "cannot make a work file in " + path_ + ": " + Why(errno);
    return -1;
  }
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = read(from, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || !WriteAll(fd, buffer.data(), static_cast<std::size_t>(n))) {
      problem = (n < 0 ? "cannot read the job: " : "cannot copy the job into " + path_ + ": ") + Why(errno);
      close(fd);
      return -1;
    }
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string SendFolder::CreateWorkFile(const std::string& suffix, std::string& problem) const {
  std::string name;
  const int fd = CreateUniqueFile(fd_, suffix, name);
  if (fd < 0) {
    problem = "cannot make a work file in " + path_ + ": " + Why(errno);
    return {};
  }
  close(fd);
  return name;
}

void SendFolder::RemoveFile(const std::string& name) const { unlinkat(fd_, name.c_str(), 0); }

std::string SendFolder::PublishPair(const std::string& staged, const FaxDescription& description,
                                    std::string& problem) const {
  const std::set<std::string> taken = NamesIn(fd_);
  std::string base;
  for (int number = 0; number < kNameCount && base.empty(); ++number) {
    char candidate[16];
    std::snprintf(candidate, sizeof candidate, "PRN%05d", number);
    // A description left alone keeps its name; this fax takes another.
    if (taken.contains(candidate + std::string(".APF")) || taken.contains(candidate + std::string(".ZPD"))) continue;
    // linkat() never replaces a file that another program made meanwhile.
    if (linkat(fd_, staged.c_str(), fd_, (candidate + std::string(".APF")).c_str(), 0) == 0) {
      base = candidate;
    } else if (errno != EEXIST) {
      problem = "cannot name the fax in " + path_ + ": " + Why(errno);
      return {};
    }
  }
  if (base.empty()) {
    problem = "no free PRN#####.APF name is left in " + path_;
    return {};
  }
  // The description is written in full under a work name, then linked to
  // its own name: the window never reads a part of it.
  const std::string text = description.phone + "\r\n" + description.recipient + "\r\n" + description.subject + "\r\n";
  std::string work;
  const int fd = CreateUniqueFile(fd_, ".tmp", work);
  bool written = fd >= 0 && WriteAll(fd, text.data(), text.size()) && fsync(fd) == 0 &&
                 linkat(fd_, work.c_str(), fd_, (base + ".ZPD").c_str(), 0) == 0;
  const int error = errno;
  if (fd >= 0) {
    close(fd);
    unlinkat(fd_, work.c_str(), 0);
  }
  if (!written) {
    unlinkat(fd_, (base + ".APF").c_str(), 0);
    problem = "cannot write the fax's description in " + path_ + ": " + Why(error);
    return {};
  }
  fsync(fd_);
  return base + ".APF";
}

}  // namespace tv::printer
