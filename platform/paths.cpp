#include "platform/paths.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"

namespace tv {

namespace {

std::optional<std::string> resolvedFolder;

bool IsFolder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return (value && *value) ? std::string(value) : fallback;
}

std::string HomeDir() { return EnvOr("HOME", "/tmp"); }

// The build passes the install layout as TV_INSTALL_BINDIR (the bin folder
// under the prefix, "bin") and TV_DATA_FROM_BINDIR (the shared data folder as
// seen from it, "../share/tessivane"), so an installed program moved with its
// prefix (a package unpacked anywhere) still finds its data.
//
// An installed program lives in a bin folder (/usr/bin, /usr/local/bin,
// ~/.local/bin): never a place for fax files, even for a user who may write
// there (root).
bool IsInstalledExecutable(const std::string& exeFolder) {
  return exeFolder.ends_with("/" TV_INSTALL_BINDIR "/");
}

std::string BuildTreeTop(std::string folder) {
  while (folder.size() > 1) {
    if (access((folder + "CMakeCache.txt").c_str(), F_OK) == 0) return folder;
    folder = folder.substr(0, folder.rfind('/', folder.size() - 2) + 1);
  }
  return {};
}

std::string FindSharedDataFolder() {
  const std::string exeFolder = ExecutableFolder();
  if (!IsInstalledExecutable(exeFolder)) {
    if (const std::string top = BuildTreeTop(exeFolder); !top.empty()) return top + "share/tessivane/";
  }
  return WithSlash(std::filesystem::path(exeFolder + TV_DATA_FROM_BINDIR).lexically_normal());
}

std::string ChooseFolder(std::string_view homeOption) {
  if (!homeOption.empty()) return std::string(homeOption);
  if (const char* env = std::getenv("TESSIVANE_HOME"); env && *env) return env;
  const std::string exeFolder = ExecutableFolder();
  if (!exeFolder.empty() && !IsInstalledExecutable(exeFolder) && access(exeFolder.c_str(), W_OK) == 0) {
    return exeFolder;
  }
  return EnvOr("XDG_DATA_HOME", HomeDir() + "/.local/share") + "/tessivane";
}

}  // namespace

std::string ExecutableFolder() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string path(buffer, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/') + 1);
}

std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

const std::string& InitProgramFolder(std::string_view homeOption) {
  std::string folder = WithSlash(ChooseFolder(homeOption));
  ForceFolder(folder);
  if (char* real = realpath(folder.c_str(), nullptr)) {
    folder = WithSlash(real);
    std::free(real);
  }
  resolvedFolder = folder;
  return *resolvedFolder;
}

const std::string& ProgramFolder() {
  if (!resolvedFolder) InitProgramFolder({});
  return *resolvedFolder;
}

std::string SettingsFilePath() { return FindNoCase(ProgramFolder(), "TV.INI"); }
std::string SendFolder() { return WithSlash(FindNoCase(ProgramFolder(), "SEND")); }
std::string ReceiveFolder() { return WithSlash(FindNoCase(ProgramFolder(), "Receive")); }
std::string CoversFolder() { return WithSlash(FindNoCase(ProgramFolder(), "Covers")); }

std::string FindNoCase(std::string_view folder, std::string_view relative) {
  std::string path(folder);
  std::string component;
  auto resolve = [&] {
    if (component.empty()) return;
    path = WithSlash(path);
    std::string found = component;
    struct stat st {};
    if (stat((path + component).c_str(), &st) != 0) {
      if (DIR* dir = opendir(path.c_str())) {
        while (const dirent* entry = readdir(dir)) {
          if (EqualsNoCase(entry->d_name, component)) {
            found = entry->d_name;
            break;
          }
        }
        closedir(dir);
      }
    }
    path += found;
    component.clear();
  };
  for (char c : relative) {
    if (c == '/' || c == '\\') {
      resolve();
    } else {
      component += c;
    }
  }
  resolve();
  return path;
}

bool ForceFolder(std::string_view pathView) {
  std::string path(pathView);
  if (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  if (path.size() > 2 && !IsFolder(path)) {
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) ForceFolder(path.substr(0, slash));
    mkdir(path.c_str(), 0755);
  }
  return path.empty() || IsFolder(path);
}

void MakeWorkFolders() {
  for (const std::string& folder : {SendFolder(), ReceiveFolder()}) {
    ForceFolder(folder);
    RemoveStaleWorkFiles(folder);
  }
}

const std::string& SharedDataFolder() {
  static const std::string folder = FindSharedDataFolder();
  return folder;
}

std::string MissingSharedData(std::string_view relative) {
  const std::string path = SharedDataFolder() + std::string(relative);
  if (access(path.c_str(), F_OK) == 0) return {};
  return "The program's shared data is missing: " + path + " does not exist. Reinstall Tessivane.";
}

std::string ConfigFolder() { return EnvOr("XDG_CONFIG_HOME", HomeDir() + "/.config") + "/tessivane/"; }

}  // namespace tv
