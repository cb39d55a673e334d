// The serial devices a fax modem may sit on beyond the six COM ports: USB
// modems appear as /dev/ttyACM* (CDC ACM) and /dev/ttyUSB* (serial
// adapters), and udev gives each a stable name under /dev/serial/by-id/.
#pragma once

#include <string>
#include <vector>

namespace tv {

struct SerialDevice {
  std::string path;        // "/dev/ttyACM0"
  std::string stableName;  // "/dev/serial/by-id/usb-...-if00", or empty
};

// The USB serial devices present under devFolder, sorted by path.
std::vector<SerialDevice> UsbSerialDevices(const std::string& devFolder = "/dev");

// The same device: both paths resolve to one file (a by-id link and its
// target, say). False when either does not exist.
bool SameDevice(const std::string& a, const std::string& b);

}  // namespace tv
