#include "app/printer_handover.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "image/apf_file.h"
#include "platform/code_page.h"
#include "platform/files.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/work_files.h"

namespace tv {

namespace {

constexpr std::size_t kFaxDocWidth = 12;

// Regular files directly in the folder: links could lead anywhere.
bool IsOwnFile(const std::string& path) { return IsRegularFile(path, false); }

bool HasExtension(const std::string& name, std::string_view ext) {
  return name.size() > ext.size() && EqualsNoCase(std::string_view(name).substr(name.size() - ext.size()), ext);
}

// A name FAXDOC can hold as it is: a plain name of at most 12 characters in
// the tables' code page.
bool FitsTheTable(const std::string& name) {
  const std::optional<std::string> stored = Utf8ToCp1252(name);
  return stored && stored->size() <= kFaxDocWidth && IsPlainFileName(name);
}

std::vector<std::string> DescriptionFiles(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (HasExtension(name, ".zpd") && IsOwnFile(folder + name)) names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

// Up to three lines; a missing line stays empty. Control characters (a
// driver's garbage, or a file that is no description at all) are dropped.
PrinterDriverFax ReadDescription(const std::string& path) {
  PrinterDriverFax fax;
  std::ifstream in(path, std::ios::binary);
  std::string* fields[] = {&fax.phone, &fax.recipient, &fax.subject};
  for (std::string* field : fields) {
    if (!std::getline(in, *field)) break;
    std::erase_if(*field, [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
    *field = TrimWhite(*field);
  }
  return fax;
}

}  // namespace

PrinterDriverIntake ProcessExtraPDFaxFiles(const std::string& sendFolderPath,
                                           const std::function<std::string(const PrinterDriverFax&)>& appendRecord) {
  const std::string folder = WithSlash(sendFolderPath);
  const std::vector<std::string> descriptions = DescriptionFiles(folder);
  PrinterDriverIntake intake;
  intake.found = static_cast<int>(descriptions.size());
  for (const std::string& zpd : descriptions) {
    const std::string apfPath = FindNoCase(folder, ChangeExtension(zpd, ".APF"));
    if (!IsOwnFile(apfPath)) continue;
    // A file that is no fax could never be sent: it stays out of the list.
    if (ApfCheckFile(apfPath) != 0) {
      intake.failures.push_back({std::string(BaseName(apfPath)), "it is not a readable fax file"});
      continue;
    }
    PrinterDriverFax fax = ReadDescription(folder + zpd);
    fax.apfName = std::string(BaseName(apfPath));
    // A second name the table can hold, made before the record and dropped
    // again if the record cannot be written.
    std::string shortPath;
    if (!FitsTheTable(fax.apfName)) {
      shortPath = UniqueFaxFileName(folder, "FAX");
      if (link(apfPath.c_str(), shortPath.c_str()) != 0) {
        intake.failures.push_back(
            {fax.apfName, "it cannot be given a shorter name: " + std::string(std::strerror(errno))});
        continue;
      }
      fax.apfName = std::string(BaseName(shortPath));
    }
    if (const std::string reason = appendRecord(fax); !reason.empty()) {
      if (!shortPath.empty()) unlink(shortPath.c_str());
      intake.failures.push_back({std::string(BaseName(apfPath)), reason});
      continue;
    }
    std::remove((folder + zpd).c_str());
    if (!shortPath.empty()) unlink(apfPath.c_str());
  }
  return intake;
}

void WriteZPXPDINI(const std::string& iniPath, const std::string& sendFolder, const std::string& executable) {
  IniFile ini(iniPath);
  ini.WriteString("Location", "TVOutPath", sendFolder);
  ini.WriteString("Location", "TVExecutable", executable);
  ini.Save();
}

}  // namespace tv
