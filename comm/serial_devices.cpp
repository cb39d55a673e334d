#include "comm/serial_devices.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace tv {

namespace fs = std::filesystem;

std::vector<SerialDevice> UsbSerialDevices(const std::string& devFolder) {
  std::vector<SerialDevice> devices;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(devFolder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("ttyACM", 0) == 0 || name.rfind("ttyUSB", 0) == 0) devices.push_back({entry.path().string(), {}});
  }
  std::sort(devices.begin(), devices.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
  for (const auto& link : fs::directory_iterator(fs::path(devFolder) / "serial" / "by-id", ec)) {
    for (SerialDevice& device : devices) {
      if (device.stableName.empty() && SameDevice(link.path().string(), device.path)) {
        device.stableName = link.path().string();
      }
    }
  }
  return devices;
}

bool SameDevice(const std::string& a, const std::string& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec) && !ec;
}

}  // namespace tv
