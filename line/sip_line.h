// The SIP line: a fax modem whose phone line is a SIP account, so the
// program faxes over the internet with no modem at all.
//
// A port opens it by the device name "sip" (the account in [SIP] of TV.INI)
// or "sip:NAME" (the account in [SIP:NAME]); COMn maps to it in [Ports] like
// to any device. Behind the name runs spandsp's Class 1 modem (T.31), so the
// fax engine above it works as with a modem on a serial port, and the
// modem's far side is the network: ATD<number> calls sip:<number>@<domain>,
// an incoming call rings (RING) until ATA takes it, ATH or closing the port
// ends the call. The modem speaks T.38 when the call's medium is T.38 and
// audio (G.711 over RTP) otherwise, and follows the far end's re-INVITE from
// one to the other. BUSY, NO ANSWER and NO CARRIER report a call that failed;
// SIP.LOG in the program folder says what the SIP side saw.
#pragma once

#include <string>

namespace tv {

inline constexpr char kSipDevice[] = "sip";

// Whether a device name means a SIP line ("sip" or "sip:NAME").
bool IsSipDevice(const std::string& name);
// Whether a device's calls may use error correction: its frames go HDLC-framed
// as page data, which a SIP line's modem cannot carry over T.38 (T.38 carries
// frames as frames).
inline bool CarriesErrorCorrection(const std::string& deviceName) { return !IsSipDevice(deviceName); }

// How the last call on the SIP line of that name went: "T.38", "G.711", or
// empty when it had no call (or is no SIP line).
std::string SipLineMedium(const std::string& deviceName);

// Where the SIP lines log their calls: SIP.LOG in the program folder.
std::string SipLogPath();

// Registers the account of a SIP line's name once (whatever its Register
// says) and reports the registrar's answer in plain words, within
// `timeoutMs`: what "Test account" shows.
struct SipRegistration {
  bool registered = false;
  std::string text;
};
SipRegistration TestSipAccount(const std::string& deviceName, int timeoutMs);

// Lets ports open SIP lines by their names. Call once at start-up.
void InstallSipLine();

}  // namespace tv
