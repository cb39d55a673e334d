// Opening the modem's port from the command line: a failure names the
// device and what to do about it.
#include <filesystem>

#include "cli/commands.h"
#include "comm/qa_port.h"
#include "platform/error_codes.h"
#include "platform/errors.h"

namespace tv::cli {

std::string OpenPortProblem(TQaComPort& port) {
  try {
    port.SetOpen(true);
    return {};
  } catch (const std::exception& error) {
    const std::string device = port.DeviceName();
    std::error_code ignored;
    const auto type = std::filesystem::status(device, ignored).type();
    if (type == std::filesystem::file_type::directory) {
      return device + ": is a folder, not a modem device (name the modem itself, such as /dev/ttyACM0)";
    }
    if (type == std::filesystem::file_type::regular) {
      return device + ": is a regular file, not a modem device (name the modem itself, such as /dev/ttyACM0)";
    }
    switch (ExceptionToErrorCode(error)) {
      case ecBadId:
        return device + ": no such device (is the modem plugged in, and is this its path?)";
      case ecAlreadyOpen:
      case ecHardware:
        return device +
               ": in use by another program (if ModemManager probes the modem, keep it away with a udev rule that "
               "sets ID_MM_DEVICE_IGNORE=1 for the device)";
      default:
        // A permission problem carries its own advice (the dialout group).
        return device + ": " + error.what();
    }
  }
}

}  // namespace tv::cli
