#include "app/printer_handover.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <vector>

#include "platform/ini_file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/work_files.h"

namespace tv {

namespace {

constexpr std::size_t kFaxDocWidth = 12;

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool HasExtension(const std::string& name, std::string_view ext) {
  return name.size() > ext.size() && EqualsNoCase(std::string_view(name).substr(name.size() - ext.size()), ext);
}

std::vector<std::string> DescriptionFiles(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (HasExtension(name, ".zpd") && IsRegularFile(folder + name)) names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

// Up to three lines; a missing line stays empty.
PrinterDriverFax ReadDescription(const std::string& path) {
  PrinterDriverFax fax;
  std::ifstream in(path, std::ios::binary);
  std::string* fields[] = {&fax.phone, &fax.recipient, &fax.subject};
  for (std::string* field : fields) {
    if (!std::getline(in, *field)) break;
    if (!field->empty() && field->back() == '\r') field->pop_back();
    *field = TrimWhite(*field);
  }
  return fax;
}

std::string FileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

}  // namespace

int ProcessExtraPDFaxFiles(const std::string& sendFolderPath,
                           const std::function<bool(const PrinterDriverFax&)>& appendRecord) {
  const std::string folder = WithSlash(sendFolderPath);
  const std::vector<std::string> descriptions = DescriptionFiles(folder);
  for (const std::string& zpd : descriptions) {
    std::string apfPath = FindNoCase(folder, zpd.substr(0, zpd.size() - 4) + ".APF");
    if (!IsRegularFile(apfPath)) continue;
    if (FileName(apfPath).size() > kFaxDocWidth) {
      const std::string shortPath = UniqueFaxFileName(folder, "FAX");
      if (std::rename(apfPath.c_str(), shortPath.c_str()) != 0) continue;
      apfPath = shortPath;
    }
    PrinterDriverFax fax = ReadDescription(folder + zpd);
    fax.apfName = FileName(apfPath);
    if (appendRecord(fax)) std::remove((folder + zpd).c_str());
  }
  return static_cast<int>(descriptions.size());
}

void WriteZPXPDINI(const std::string& iniPath, const std::string& sendFolder, const std::string& executable) {
  IniFile ini(iniPath);
  ini.WriteString("Location", "TVOutPath", sendFolder);
  ini.WriteString("Location", "TVExecutable", executable);
  ini.Save();
}

}  // namespace tv
