#include "platform/work_files.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "platform/paths.h"

namespace tv {

std::string UniqueFaxFileName(const std::string& folder, const std::string& prefix) {
  const std::string base = WithSlash(folder);
  std::string name;
  for (int n = 0; n <= 99999; ++n) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%5.5d", n);
    name = prefix + digits + ".APF";
    struct stat st {};
    if (stat(FindNoCase(base, name).c_str(), &st) != 0) break;
  }
  return base + name;
}

bool CopyWholeFile(const std::string& source, const std::string& target) {
  if (source == target) return false;
  std::ifstream in(source, std::ios::binary);
  if (!in) return false;
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  char block[2048];
  while (in) {
    in.read(block, sizeof block);
    out.write(block, in.gcount());
  }
  return in.eof() && static_cast<bool>(out.flush());
}

}  // namespace tv
