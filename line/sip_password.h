// The password of a SIP account. It never goes into TV.INI, the trace, the
// log, the history or an error message.
//
// It comes from the source the program installs (the window program: the
// desktop's keyring); without one, or when that has none, from a file in
// the program folder named after the account's section (SIP.PWD for [SIP],
// SIP-NAME.PWD for [SIP:NAME]) that only its owner may read or write
// (chmod 600), the password on its first line.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tv {

using SipPasswordSource = std::function<std::optional<std::string>(const std::string& section)>;
void SetSipPasswordSource(SipPasswordSource source);

// The password file of a section.
std::string SipPasswordFile(const std::string& section);

// The account's password; empty with `problem` in words when there is none
// to be had (a password file that others may read is not used).
std::string SipPassword(const std::string& section, std::string& problem);

}  // namespace tv
