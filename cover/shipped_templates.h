// The cover templates shipped with the program, with their previews and
// descriptions, in the shared data folder's Covers/.
#pragma once

#include <string>

namespace tv {

// Copies the shipped templates into `coversFolder` (made when missing) when
// it holds no ".FCT" file; a file of the same name already there is kept.
// Returns the number of files copied. When there is nothing to copy from,
// `missing` (when given) gets the message naming the missing folder.
int InstallCoverTemplates(const std::string& coversFolder, std::string* missing = nullptr);

}  // namespace tv
