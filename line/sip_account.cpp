#include "line/sip_account.h"

#include <charconv>

namespace tv {

namespace {

constexpr int kMaxRedundancy = 16;  // what one UDPTL datagram may carry

bool ParsePort(std::string_view text, int& port) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  return error == std::errc() && end == text.data() + text.size() && port >= 0 && port <= 65535;
}

}  // namespace

std::string SipAccount::Host() const {
  if (!domain.empty() && domain.front() == '[') return domain.substr(1, domain.find(']') - 1);
  return domain.substr(0, domain.find(':'));
}

std::string SipSection(const std::string& deviceName) {
  const auto colon = deviceName.find(':');
  return colon == std::string::npos ? "SIP" : "SIP:" + deviceName.substr(colon + 1);
}

std::optional<SipAccount> ReadSipAccount(const IniFile& ini, const std::string& section, std::string& problem) {
  SipAccount account;
  const std::string uri = ini.ReadString(section, "Account", "");
  if (uri.empty()) {
    problem = "no SIP account: set Account=sip:USER@DOMAIN in [" + section + "] of TV.INI";
    return std::nullopt;
  }
  const auto at = uri.find('@');
  if (uri.rfind("sip:", 0) != 0 || at == std::string::npos || at == 4 || at + 1 == uri.size()) {
    problem = "[" + section + "] Account is not sip:USER@DOMAIN: " + uri;
    return std::nullopt;
  }
  account.user = uri.substr(4, at - 4);
  account.domain = uri.substr(at + 1);
  if (const auto colon = account.domain.rfind(':'); colon != std::string::npos && account.domain.back() != ']') {
    int port = 0;
    if (!ParsePort(std::string_view(account.domain).substr(colon + 1), port) || port == 0) {
      problem = "[" + section + "] Account has a bad port: " + uri;
      return std::nullopt;
    }
  }
  account.registrar = ini.ReadString(section, "Registrar", "");
  account.proxy = ini.ReadString(section, "Proxy", "");
  account.registers = ini.ReadBool(section, "Register", true);
  account.localPort = ini.ReadInteger(section, "LocalPort", account.localPort);
  if (account.localPort < 0 || account.localPort > 65535) {
    problem = "[" + section + "] LocalPort is not a port: " + std::to_string(account.localPort);
    return std::nullopt;
  }
  if (const std::string transport = ini.ReadString(section, "Transport", "udp"); transport != "udp") {
    problem = "[" + section + "] Transport " + transport + " is not supported (use udp)";
    return std::nullopt;
  }
  account.t38 = ini.ReadBool(section, "T38", true);
  account.redundancy = ini.ReadInteger(section, "Redundancy", account.redundancy);
  if (account.redundancy < 0 || account.redundancy > kMaxRedundancy) {
    problem = "[" + section + "] Redundancy must be 0 to " + std::to_string(kMaxRedundancy);
    return std::nullopt;
  }
  if (const std::string ports = ini.ReadString(section, "MediaPorts", ""); !ports.empty()) {
    const auto dash = ports.find('-');
    if (dash == std::string::npos || !ParsePort(std::string_view(ports).substr(0, dash), account.mediaLow) ||
        !ParsePort(std::string_view(ports).substr(dash + 1), account.mediaHigh) || account.mediaLow == 0 ||
        account.mediaHigh < account.mediaLow + 3) {
      problem = "[" + section + "] MediaPorts is not a range LOW-HIGH of at least four ports: " + ports;
      return std::nullopt;
    }
  }
  account.keepAliveSeconds = ini.ReadInteger(section, "KeepAlive", account.keepAliveSeconds);
  if (account.keepAliveSeconds < 0 || account.keepAliveSeconds > 3600) {
    problem = "[" + section + "] KeepAlive must be 0 to 3600 seconds";
    return std::nullopt;
  }
  const std::string speed = ini.ReadString(section, "Speed", "1");
  const auto [end, error] = std::from_chars(speed.data(), speed.data() + speed.size(), account.speed);
  if (error != std::errc() || end != speed.data() + speed.size() || account.speed < 1 || account.speed > 16) {
    problem = "[" + section + "] Speed must be 1 to 16: " + speed;
    return std::nullopt;
  }
  return account;
}

}  // namespace tv
