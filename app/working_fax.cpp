#include "app/working_fax.h"

#include <cstdio>

#include "image/apf_file.h"
#include "image/fax_converter.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/work_files.h"

namespace tv {

WorkingFax::WorkingFax(const std::string& body, const std::string& cover) {
  std::string bodyCopy;
  if (!body.empty() && IsRegularFile(body)) {
    bodyCopy = UniqueFaxFileName(ProgramFolder(), "FAX");
    if (!ApfRerenderFile(body, bodyCopy)) {
      std::remove(bodyCopy.c_str());
      outcome_ = Outcome::kBodyUnreadable;
      return;
    }
  }
  std::string coverCopy;
  if (!cover.empty() && IsRegularFile(cover)) {
    coverCopy = UniqueFaxFileName(ProgramFolder(), "FAX");
    if (!CopyWholeFile(cover, coverCopy)) coverCopy.clear();
  }
  if (!bodyCopy.empty() && !coverCopy.empty()) {
    const int appended = ApfAppendFile(coverCopy, bodyCopy);
    std::remove(bodyCopy.c_str());
    if (appended != 0) {
      // A damaged cover must not send the body without it.
      std::remove(coverCopy.c_str());
      outcome_ = Outcome::kBodyUnreadable;
      return;
    }
    bodyCopy.clear();
  }
  path_ = coverCopy.empty() ? bodyCopy : coverCopy;
  outcome_ = path_.empty() ? Outcome::kNothing : Outcome::kReady;
}

WorkingFax::~WorkingFax() {
  if (!path_.empty()) std::remove(path_.c_str());
}

}  // namespace tv
