// The working copy of a fax about to be viewed (and, alike, sent): in the
// program folder, re-rendered page by page at fine resolution, an outgoing
// fax with its cover page in front of its body. The caller deletes it.
#pragma once

#include <string>

namespace tv {

struct WorkingFax {
  std::string file;     // empty when there was nothing to copy
  bool failed = false;  // the body could not be re-rendered
};

// body and cover: paths of the fax's files, or empty; a missing file counts
// as none.
WorkingFax PrepareOutgoingFax(const std::string& body, const std::string& cover);
WorkingFax PrepareReceivedFax(const std::string& received);

}  // namespace tv
