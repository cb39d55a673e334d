// A SIP account from [SIP] of TV.INI (a second account for the device name
// "sip:NAME" from [SIP:NAME]):
//
//   Account=sip:USER@DOMAIN[:PORT]  who we are, and where calls go
//   Registrar=HOST[:PORT]           empty: the account's domain
//   Proxy=HOST[:PORT]               empty: calls go to the domain itself
//   Register=1|0                    0: no registration (a PBX trunk, a test line)
//   LocalPort=5060                  our SIP port (0: any free one)
//   Transport=udp                   the only one so far
//   T38=1|0                         offer and accept T.38; 0: G.711 only
//   Redundancy=3                    earlier T.38 packets repeated in each datagram
//   MediaPorts=LOW-HIGH             ports for RTP and UDPTL (empty: any)
//   KeepAlive=25                    seconds between keep-alives (CRLF) to the registrar
//                                   while registered, for NAT bindings (0: none)
//   Speed=1                         line time against the clock (tests run at 2 or more)
#pragma once

#include <optional>
#include <string>

#include "platform/ini_file.h"

namespace tv {

struct SipAccount {
  std::string user;
  std::string domain;  // host, or host:port
  std::string registrar;
  std::string proxy;
  bool registers = true;
  int localPort = 5060;
  bool t38 = true;
  int redundancy = 3;
  int mediaLow = 0;  // 0: any port
  int mediaHigh = 0;
  int keepAliveSeconds = 25;
  double speed = 1;

  std::string Uri() const { return "sip:" + user + "@" + domain; }
  // Where a number is called: sip:NUMBER@DOMAIN.
  std::string CallUri(const std::string& number) const { return "sip:" + number + "@" + domain; }
  // The host part of the domain, without its port.
  std::string Host() const;
};

// The INI section for a device name: "sip" reads [SIP], "sip:NAME" [SIP:NAME].
std::string SipSection(const std::string& deviceName);

// The account in `section`, or nothing with `problem` saying what is wrong
// with it in words.
std::optional<SipAccount> ReadSipAccount(const IniFile& ini, const std::string& section, std::string& problem);

}  // namespace tv
