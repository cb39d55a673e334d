#include "line/sip_password.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <mutex>

#include "platform/paths.h"

namespace tv {

namespace {

std::mutex sourceMutex;
SipPasswordSource installedSource;

}  // namespace

void SetSipPasswordSource(SipPasswordSource source) {
  std::lock_guard lock(sourceMutex);
  installedSource = std::move(source);
}

std::string SipPasswordFile(const std::string& section) {
  std::string name = section;
  for (char& c : name) {
    if (c == ':' || c == '/') c = '-';
  }
  return ProgramFolder() + name + ".PWD";
}

std::string SipPassword(const std::string& section, std::string& problem) {
  {
    std::lock_guard lock(sourceMutex);
    if (installedSource) {
      if (auto password = installedSource(section)) return *password;
    }
  }
  const std::string file = SipPasswordFile(section);
  struct stat info {};
  if (stat(file.c_str(), &info) != 0) {
    problem = "no password for [" + section + "]: put it in " + file;
    return {};
  }
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0 || info.st_uid != geteuid()) {
    problem = file + " may be read by others: it must be yours alone (chmod 600)";
    return {};
  }
  std::ifstream in(file);
  std::string password;
  std::getline(in, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) problem = file + " holds no password";
  return password;
}

}  // namespace tv
