// File helpers for the fax documents kept in the program's folders.
#pragma once

#include <string>

namespace tv {

// folder + prefix + five digits + ".APF" for the first number from 00000 whose
// file does not exist (letter case ignored); when all 100000 exist, the last
// name tried.
std::string UniqueFaxFileName(const std::string& folder, const std::string& prefix);

// Copies source over target in 2048-byte blocks, through a temporary file
// that replaces the target only when the copy is complete. False when both
// name the same file, or either cannot be opened or written; the target is
// then as it was.
bool CopyWholeFile(const std::string& source, const std::string& target);

}  // namespace tv
