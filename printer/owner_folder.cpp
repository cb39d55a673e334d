#include "printer/owner_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "platform/files.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace tv::printer {

namespace {

constexpr int kNameCount = 100000;

std::string Why(int error) { return std::strerror(error); }

// The path is the owner's own: no link, owned by them, of the kind asked for.
std::string CheckOwned(const std::string& path, uid_t uid, bool folder) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return path + ": " + Why(errno);
  if (S_ISLNK(info.st_mode)) return path + " is a symbolic link";
  if (folder ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode))
    return path + (folder ? " is not a folder" : " is not a file");
  if (info.st_uid != uid) return path + " does not belong to the job's user";
  return {};
}

// The names in a folder, in upper case.
std::set<std::string> NamesIn(const std::string& folder) {
  std::set<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) names.insert(UpperAscii(entry->d_name));
    closedir(dir);
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

std::string OwnerSendFolder(const passwd& owner, std::string& problem) {
  const std::string ini = WithSlash(owner.pw_dir) + ".config/tessivane/TVPD.INI";
  const std::string startOnce = " (start Tessivane once as " + std::string(owner.pw_name) + " so that it writes " +
                                ini + ")";
  if (problem = CheckOwned(ini, owner.pw_uid, false); !problem.empty()) {
    problem = std::string(owner.pw_name) + " has no Tessivane outgoing folder: " + problem + startOnce;
    return {};
  }
  std::string folder = IniFile(ini).ReadString("Location", "TVOutPath", "");
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (!folder.starts_with("/")) {
    problem = ini + " names no outgoing folder" + startOnce;
    return {};
  }
  if (problem = CheckOwned(folder, owner.pw_uid, true); !problem.empty()) {
    problem = "the outgoing folder cannot be used: " + problem;
    return {};
  }
  return WithSlash(folder);
}

int CopyToAnonymousFile(int from, const std::string& folder, std::string& problem) {
  int fd = open(folder.c_str(), O_TMPFILE | O_RDWR, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // A file system without unnamed files: a named one, unlinked at once.
    std::string name = folder + ".tv-job-XXXXXX";
    fd = mkstemp(name.data());
    if (fd >= 0) unlink(name.c_str());
  }
  if (fd < 0) {
    problem = "cannot make a work file in " + folder + ": " + Why(errno);
    return -1;
  }
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t n = read(from, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      problem = "cannot read the job: " + Why(errno);
      close(fd);
      return -1;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(fd, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        problem = "cannot copy the job into " + folder + ": " + Why(errno);
        close(fd);
        return -1;
      }
      done += w;
    }
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

std::string PublishPair(const std::string& sendFolder, const std::string& staged, const FaxDescription& description,
                        std::string& problem) {
  const std::set<std::string> taken = NamesIn(sendFolder);
  std::string apf;
  for (int number = 0; number < kNameCount && apf.empty(); ++number) {
    char base[16];
    std::snprintf(base, sizeof base, "PRN%05d", number);
    // A description left alone keeps its name; this fax takes another.
    if (taken.contains(base + std::string(".APF")) || taken.contains(base + std::string(".ZPD"))) continue;
    const std::string candidate = sendFolder + base + ".APF";
    // link() never replaces a file that another program made meanwhile.
    if (link(staged.c_str(), candidate.c_str()) == 0) {
      apf = candidate;
    } else if (errno != EEXIST) {
      problem = "cannot name the fax in " + sendFolder + ": " + Why(errno);
      return {};
    }
  }
  if (apf.empty()) {
    problem = "no free PRN#####.APF name is left in " + sendFolder;
    return {};
  }
  const std::string text = description.phone + "\r\n" + description.recipient + "\r\n" + description.subject + "\r\n";
  if (const int error = ReplaceFileContents(ChangeExtension(apf, ".ZPD"), text); error != 0) {
    unlink(apf.c_str());
    problem = "cannot write the fax's description in " + sendFolder + ": " + Why(error);
    return {};
  }
  return std::string(BaseName(apf));
}

}  // namespace tv::printer
