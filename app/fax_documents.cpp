#include "app/fax_documents.h"

#include <unistd.h>

#include "image/apf_file.h"
#include "image/fax_converter.h"
#include "image/file_io.h"
#include "platform/paths.h"
#include "platform/work_files.h"

namespace tv {

namespace {

// A re-rendered copy of `source` in the program folder; empty when it
// failed (and nothing is left of it).
std::string RerenderedCopy(const std::string& source) {
  const std::string copy = UniqueFaxFileName(ProgramFolder(), "FAX");
  if (ApfRerenderFile(source, copy)) return copy;
  ::unlink(copy.c_str());
  return {};
}

}  // namespace

WorkingFax PrepareOutgoingFax(const std::string& body, const std::string& cover) {
  std::string bodyCopy;
  if (!body.empty() && FileExists(body)) {
    bodyCopy = RerenderedCopy(body);
    if (bodyCopy.empty()) return {{}, true};
  }
  std::string coverCopy;
  if (!cover.empty() && FileExists(cover)) {
    coverCopy = UniqueFaxFileName(ProgramFolder(), "FAX");
    if (!CopyWholeFile(cover, coverCopy)) {
      ::unlink(coverCopy.c_str());
      coverCopy.clear();
    }
  }
  if (bodyCopy.empty() || coverCopy.empty()) return {bodyCopy.empty() ? coverCopy : bodyCopy, false};
  // The cover's pages, then the body's.
  const bool joined = ApfAppendFile(coverCopy, bodyCopy) == 0;
  ::unlink(bodyCopy.c_str());
  if (!joined) {
    ::unlink(coverCopy.c_str());
    return {{}, true};
  }
  return {coverCopy, false};
}

WorkingFax PrepareReceivedFax(const std::string& received) {
  if (received.empty() || !FileExists(received)) return {};
  std::string copy = RerenderedCopy(received);
  return {copy, copy.empty()};
}

}  // namespace tv
