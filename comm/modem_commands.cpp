#include "comm/modem_commands.h"

#include <algorithm>
#include <cctype>

#include "comm/errors.h"

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

bool SendModemCommand(TQaCustomComPort& port, const std::string& command) {
  std::string upper = command;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return SendAndWaitForOk(port, upper.find("AT") == std::string::npos ? "AT" + command : command);
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

}  // namespace tv
