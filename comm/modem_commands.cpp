#include "comm/modem_commands.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "platform/errors.h"

namespace tv {

namespace {

constexpr std::int32_t kReplyTicks = 36;

bool SendAndWaitForOk(TQaCustomComPort& port, const std::string& text) {
  try {
    port.SendText(text + "\r");
    return port.WaitForText("OK", kReplyTicks, false, true);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

std::string WithAtPrefix(const std::string& command) {
  std::string upper = command;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper.find("AT") == std::string::npos ? "AT" + command : command;
}

bool SendModemCommand(TQaCustomComPort& port, const std::string& command) {
  return SendAndWaitForOk(port, WithAtPrefix(command));
}

bool ModemFactoryReset(TQaCustomComPort& port) { return SendAndWaitForOk(port, "AT&F"); }

bool OpenComPortChecked(TQaCustomComPort& port, std::string& message) {
  message.clear();
  try {
    port.SetOpen(true);
    return true;
  } catch (const std::exception& error) {
    const int code = ExceptionToErrorCode(error);
    const std::string number = std::to_string(port.ComNumber());
    if (code == ecAlreadyOpen || code == ecHardware) {
      message = "The communications port is in use ( Com " + number + " )\r\r" +
                "Please make sure that all communication programs (internet, AOL, etc) are closed, and then try "
                "again." +
                // Desktop modem managers probe serial modems behind the program's back.
                "\r\rIf ModemManager is running, keep it away from the fax modem with a udev rule that sets "
                "ID_MM_DEVICE_IGNORE=1 for the device.";
      return false;
    }
    message = "Unable to open the specified communications port ( Com" + number + " )";
    if (code == ecBadId) return false;
    // Errors without a table text (such as a device the user may not open)
    // carry their own message.
    std::string text = ErrorMessageText(code);
    if (text.empty()) text = error.what();
    message += "\rError message: " + (text.empty() ? std::string("Unknown error") : text);
    return false;
  }
}

namespace {

enum class Reply { kOk, kError, kTimeout };

Reply ReadReplyLines(TQaCustomComPort& port, int timeoutSecs, std::ostream& out) {
  const EventTimer timer = NewTimer(SecsToTicks(timeoutSecs));
  std::string line;
  for (;;) {
    if (port.CharAvailable()) {
      const char c = port.ReadChar();
      if (c != '\r' && c != '\n') {
        line += c;
        continue;
      }
      if (line.empty()) continue;
      out << line << "\n";
      if (line == "OK") return Reply::kOk;
      if (line == "ERROR") return Reply::kError;
      line.clear();
      continue;
    }
    if (TimerExpired(timer)) {
      if (!line.empty()) out << line << "\n";
      return Reply::kTimeout;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace

bool RunAtCommands(TQaCustomComPort& port, const std::vector<std::string>& commands, int timeoutSecs,
                   std::ostream& out, std::ostream& err) {
  const int handle = port.PortHandle();
  const bool wasOff = SetDispatching(handle, true) == 1;
  const auto restore = [&] {
    if (!wasOff) SetDispatching(handle, false);
  };
  bool allOk = true;
  try {
    for (const std::string& command : commands) {
      port.SendText(command + "\r");
      const Reply reply = ReadReplyLines(port, timeoutSecs, out);
      if (reply == Reply::kTimeout) {
        err << "no OK or ERROR for " << command << " within " << timeoutSecs << " s\n";
        allOk = false;
        break;
      }
      allOk = allOk && reply == Reply::kOk;
    }
  } catch (...) {
    restore();
    throw;
  }
  restore();
  return allOk;
}

}  // namespace tv
