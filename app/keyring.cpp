#include "app/keyring.h"

#include <fcntl.h>
#include <qt6keychain/keychain.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QEventLoop>
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "app/modem_tools.h"
#include "line/sip_account.h"
#include "line/sip_line.h"
#include "line/sip_password.h"
#include "platform/app_settings.h"
#include "platform/files.h"
#include "platform/ini_file.h"
#include "platform/paths.h"

namespace tv {

namespace {

// Runs a keyring job to its end, the caller's events going on meanwhile.
void RunToEnd(QKeychain::Job& job) {
  job.setAutoDelete(false);
  QEventLoop wait;
  QObject::connect(&job, &QKeychain::Job::finished, &wait, &QEventLoop::quit);
  job.start();
  wait.exec();
}

// The SIP passwords read from the keyring, by section: what the SIP thread
// is given.
std::mutex sipMutex;
std::map<std::string, std::string> sipPasswords;

// Remembers a password and has the SIP lines ask for the ones remembered.
void RememberSipPassword(const std::string& section, std::string password) {
  {
    std::lock_guard lock(sipMutex);
    sipPasswords[section] = std::move(password);
  }
  SetSipPasswordSource([](const std::string& section) -> std::optional<std::string> {
    std::lock_guard lock(sipMutex);
    const auto found = sipPasswords.find(section);
    if (found == sipPasswords.end()) return std::nullopt;
    return found->second;
  });
}

// The sections of the SIP accounts TV.INI holds: [SIP] and those of the SIP
// lines in [Ports], where they name an account. (A locked keyring asks the
// user to unlock it: a program with no SIP account leaves it alone.)
std::vector<std::string> SipSections() {
  const IniFile ini(SettingsFilePath());
  std::vector<std::string> sections;
  auto add = [&](const std::string& section) {
    if (ini.ReadString(section, "Account", "").empty()) return;
    if (std::find(sections.begin(), sections.end(), section) == sections.end()) sections.push_back(section);
  };
  add(SipSection(kSipDevice));
  for (int n = 1; n <= kComPorts; ++n) {
    if (const std::string device = ComDevicePath(ini, n); IsSipDevice(device)) add(SipSection(device));
  }
  return sections;
}

// A password file of the owner's alone: made empty with those rights before
// the password goes in, so that it is never readable by others.
QString WriteOwnerOnlyFile(const std::string& path, const std::string& text) {
  const int fd = OpenRegularFile(path, O_WRONLY | O_CREAT, 0600);
  if (fd < 0 || fchmod(fd, 0600) != 0) {
    const int error = errno;
    if (fd >= 0) close(fd);
    return QString::fromStdString(path + ": " + std::strerror(error));
  }
  close(fd);
  if (const int error = ReplaceFileContents(path, text); error != 0)
    return QString::fromStdString(path + ": " + std::strerror(error));
  return {};
}

}  // namespace

QString KeepInKeyring(const QString& key, const QString& password) {
  QKeychain::WritePasswordJob job(kKeyringService);
  job.setKey(key);
  job.setTextData(password);
  RunToEnd(job);
  return job.error() == QKeychain::NoError ? QString() : job.errorString();
}

std::optional<std::string> ReadFromKeyring(const QString& key) {
  QKeychain::ReadPasswordJob job(kKeyringService);
  job.setKey(key);
  RunToEnd(job);
  if (job.error() != QKeychain::NoError) return std::nullopt;
  return job.textData().toStdString();
}

void ReadFromKeyringLater(const QString& key, QObject* context,
                          std::function<void(const std::optional<std::string>&)> done) {
  auto* job = new QKeychain::ReadPasswordJob(kKeyringService, context);
  job->setKey(key);
  QObject::connect(job, &QKeychain::Job::finished, context, [job, done = std::move(done)] {
    done(job->error() == QKeychain::NoError ? std::optional(job->textData().toStdString()) : std::nullopt);
  });
  job->start();
}

QString MailPasswordKey(const std::string& user, const std::string& host) {
  return QString::fromStdString("mail:" + user + "@" + host);
}

QString SipPasswordKey(const std::string& section) { return QString::fromStdString("sip:" + section); }

void UseKeyringForSipPasswords() {
  for (const std::string& section : SipSections()) {
    if (auto password = ReadFromKeyring(SipPasswordKey(section))) RememberSipPassword(section, std::move(*password));
  }
}

QString KeepSipPassword(const std::string& section, const QString& password) {
  if (KeepInKeyring(SipPasswordKey(section), password).isEmpty()) {
    RememberSipPassword(section, password.toStdString());
    return {};
  }
  return WriteOwnerOnlyFile(SipPasswordFile(section), password.toStdString() + "\n");
}

}  // namespace tv
