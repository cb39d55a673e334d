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

// What a quick "AT" to a device found.
enum class ProbeOutcome {
  kAbsent,    // no such device, or no hardware behind it
  kSilent,    // it opened but nothing answered "OK"
  kAnswered,  // a modem answered
  kHeld,      // it is there but could not be opened (permissions, another program)
};
struct ProbeResult {
  std::string device;
  ProbeOutcome outcome = ProbeOutcome::kAbsent;
  int error = 0;  // the errno of an open that failed
};

// Sends "AT" to every device at once and listens for "OK" for at most
// timeoutMs in all. The results are in the order of the devices.
std::vector<ProbeResult> ProbeModems(const std::vector<std::string>& devices, int timeoutMs);

}  // namespace tv
