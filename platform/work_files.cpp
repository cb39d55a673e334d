#include "platform/work_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/files.h"
#include "platform/paths.h"

namespace tv {

std::string UniqueFaxFileName(const std::string& folder, const std::string& prefix) {
  const std::string base = WithSlash(folder);
  std::string name;
  for (int n = 0; n <= 99999; ++n) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%5.5d", n);
    name = prefix + digits + ".APF";
    if (!FileExists(FindNoCase(base, name))) break;
  }
  return base + name;
}

bool CopyWholeFile(const std::string& source, const std::string& target) {
  if (source == target || SameFile(source, target)) return false;
  const int in = OpenRegularFile(source, O_RDONLY);
  if (in < 0) return false;
  FileReplacement out;
  bool copied = out.Begin(target) == 0;
  char block[2048];
  while (copied) {
    const ssize_t n = read(in, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      copied = n == 0;
      break;
    }
    for (ssize_t done = 0; copied && done < n;) {
      const ssize_t put = write(out.Descriptor(), block + done, static_cast<std::size_t>(n - done));
      if (put < 0 && errno == EINTR) continue;
      copied = put > 0;
      done += put;
    }
  }
  close(in);
  return copied && out.Commit() == 0;
}

}  // namespace tv
