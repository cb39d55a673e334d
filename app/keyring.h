// The desktop's keyring, where the program keeps its passwords: the mail
// server's and the SIP accounts'. Neither ever goes into TV.INI, a trace, a
// log or a message.
#pragma once

#include <QString>
#include <functional>
#include <optional>
#include <string>

class QObject;

namespace tv {

inline constexpr char kKeyringService[] = "Tessivane";

// Keeps `password` under `key`; empty when it is kept, else why not in words.
QString KeepInKeyring(const QString& key, const QString& password);
// The password under `key`; nothing when there is none or no keyring.
std::optional<std::string> ReadFromKeyring(const QString& key);
// The same without waiting: `done` runs on `context`'s thread with the answer.
void ReadFromKeyringLater(const QString& key, QObject* context,
                          std::function<void(const std::optional<std::string>&)> done);

// The keyring's names for the mail password of a user on a server, and for
// the password of the SIP account in an INI section.
QString MailPasswordKey(const std::string& user, const std::string& host);
QString SipPasswordKey(const std::string& section);

// Has the SIP lines take their passwords from the keyring: the ones of the
// accounts in TV.INI are read now (a line asks for its password on the SIP
// thread, which must not wait for the desktop); KeepSipPassword adds those
// kept later. Accounts the keyring has no password for use their password
// file.
void UseKeyringForSipPasswords();

// Keeps a SIP account's password: in the keyring, or where there is none in
// the account's password file, readable by its owner alone. Empty when it
// is kept, else why not.
QString KeepSipPassword(const std::string& section, const QString& password);

}  // namespace tv
