#include "comm/serial_devices.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
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

namespace {

// An open that fails for want of the device itself, not for want of leave to
// use it: a serial port with no hardware behind it fails with EIO or ENXIO.
bool MissingDevice(int error) { return error == ENOENT || error == ENXIO || error == EIO || error == ENODEV; }

}  // namespace

std::vector<ProbeResult> ProbeModems(const std::vector<std::string>& devices, int timeoutMs) {
  std::vector<ProbeResult> results(devices.size());
  std::vector<int> fds(devices.size(), -1);
  std::vector<std::string> heard(devices.size());
  for (std::size_t i = 0; i < devices.size(); ++i) {
    results[i].device = devices[i];
    // Non-blocking, so a port waiting for carrier or stuck output holds up nothing.
    const int fd = open(devices[i].c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
      results[i].error = errno;
      results[i].outcome = MissingDevice(errno) ? ProbeOutcome::kAbsent : ProbeOutcome::kHeld;
      continue;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
      cfmakeraw(&tio);
      cfsetspeed(&tio, B19200);
      tio.c_cflag = (tio.c_cflag & ~CRTSCTS) | CLOCAL | CREAD;
      tcsetattr(fd, TCSANOW, &tio);
    }
    results[i].outcome = ProbeOutcome::kSilent;
    if (write(fd, "AT\r", 3) != 3) {
      close(fd);
      continue;
    }
    fds[i] = fd;
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::vector<pollfd> waiting;
    std::vector<std::size_t> index;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i] >= 0) {
        waiting.push_back({fds[i], POLLIN, 0});
        index.push_back(i);
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (waiting.empty() || left.count() <= 0) break;
    if (poll(waiting.data(), waiting.size(), static_cast<int>(left.count())) <= 0) continue;
    for (std::size_t w = 0; w < waiting.size(); ++w) {
      if (waiting[w].revents == 0) continue;
      const std::size_t i = index[w];
      char buffer[64];
      const ssize_t n = read(fds[i], buffer, sizeof buffer);
      if (n > 0) heard[i].append(buffer, static_cast<std::size_t>(n));
      const bool answered = heard[i].find("OK") != std::string::npos;
      if (answered) results[i].outcome = ProbeOutcome::kAnswered;
      if (answered || n == 0 || (n < 0 && errno != EAGAIN) || heard[i].size() > 256) {
        close(fds[i]);
        fds[i] = -1;
      }
    }
  }
  for (int fd : fds) {
    if (fd < 0) continue;
    tcflush(fd, TCIOFLUSH);
    close(fd);
  }
  return results;
}

}  // namespace tv
