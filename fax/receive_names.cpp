#include "fax/receive_names.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "platform/paths.h"

namespace tv {

std::string NextReceiveName(const std::string& folderPath, ReceiveNameMode mode, const std::string& extension) {
  const std::string folder = WithSlash(folderPath);
  std::string prefix = "FAX";
  if (mode == ReceiveNameMode::kByDate) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char monthDay[32];
    std::snprintf(monthDay, sizeof monthDay, "%02d%02d", local.tm_mon + 1, local.tm_mday);
    prefix = monthDay;
  }
  for (int n = 1; n <= 9999; ++n) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04d", n);
    const std::string name = prefix + digits + "." + extension;
    struct stat st {};
    if (stat(FindNoCase(folder, name).c_str(), &st) != 0) return folder + name;
  }
  return folder + "NONAME.APF";
}

}  // namespace tv
