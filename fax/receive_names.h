// Names for received fax files.
#pragma once

#include <string>

namespace tv {

enum class ReceiveNameMode { kByCount = 1, kByDate = 2 };

// The first free name in folder: by count "FAX" + four digits, by date the
// month and day + four digits, each with "." + extension, numbers 1 to 9999
// (letter case ignored when looking for existing files). When all are taken:
// folder + "NONAME.APF".
std::string NextReceiveName(const std::string& folder, ReceiveNameMode mode, const std::string& extension);

}  // namespace tv
