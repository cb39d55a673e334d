#include "view/print_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/errors.h"

namespace tv {

std::string PrintLogText(TFaxPLCode code, const std::string& faxFile, const std::tm& when) {
  static constexpr const char* kVerbs[] = {" started at ", " finished at ", " aborted at ", " failed at "};
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &when);
  return "Printing " + faxFile + kVerbs[code] + stamp + (code == plStarted ? "\n" : "\n\n");
}

int AppendPrintLog(const std::string& logFile, TFaxPLCode code, const std::string& faxFile, const std::tm& when) {
  const std::string text = PrintLogText(code, faxFile, when);
  const int fd = ::open(logFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return IoErrorFromErrno(errno, true);
  // One write, so lines of two jobs logging at once never interleave.
  const ssize_t written = ::write(fd, text.data(), text.size());
  const int error = written < 0 ? errno : 0;
  ::close(fd);
  if (written < 0) return IoErrorFromErrno(error);
  return written == static_cast<ssize_t>(text.size()) ? 0 : ecDiskFull;
}

}  // namespace tv
