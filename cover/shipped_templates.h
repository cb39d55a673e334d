// The cover templates shipped inside the program, with their previews and
// descriptions.
#pragma once

#include <string>

namespace tv {

// Copies the shipped templates into `coversFolder` (made when missing) when
// it holds no ".FCT" file; a file of the same name already there is kept.
// Returns the number of files copied.
int InstallCoverTemplates(const std::string& coversFolder);

}  // namespace tv
