// The working file of a fax, made for sending or viewing: the body
// re-rendered page by page (so every page is fine line-block data) and an
// outgoing fax's cover page put in front of it. It lives in the program
// folder under a free "FAX" name and is removed when the object goes.
#pragma once

#include <string>

namespace tv {

class WorkingFax {
 public:
  enum class Outcome {
    kReady,           // Path() names the fax
    kBodyUnreadable,  // the body could not be re-rendered
    kNothing,         // neither body nor cover exists
  };

  // body and cover are full paths; either may be empty (a received fax has
  // no cover).
  WorkingFax(const std::string& body, const std::string& cover);
  ~WorkingFax();
  WorkingFax(const WorkingFax&) = delete;
  WorkingFax& operator=(const WorkingFax&) = delete;

  Outcome Result() const { return outcome_; }
  const std::string& Path() const { return path_; }

 private:
  Outcome outcome_ = Outcome::kNothing;
  std::string path_;
};

}  // namespace tv
