#include "comm/device_layer.h"

#include <cctype>
#include <charconv>
#include <mutex>
#include <sstream>

#include "platform/error_codes.h"

namespace tv {

namespace {

class NullLayer final : public DeviceLayer {
 public:
  const char* Name() const override { return "null"; }
  int BuildState(const std::string&, SerialState&) override { return ecNullApi; }
  int ClearBreak(DeviceHandle) override { return ecNullApi; }
  int Close(DeviceHandle) override { return ecNullApi; }
  int EscapeFunction(DeviceHandle, int) override { return ecNullApi; }
  int Flush(DeviceHandle, bool) override { return ecNullApi; }
  int GetErrorAndStatus(DeviceHandle, DeviceStatus&) override { return ecNullApi; }
  int GetEventMask(DeviceHandle) override { return ecNullApi; }
  int GetState(DeviceHandle, SerialState&) override { return ecNullApi; }
  DeviceHandle Open(const std::string&) override { return ecNullApi; }
  int Read(DeviceHandle, std::uint8_t*, int) override { return ecNullApi; }
  int SetBreak(DeviceHandle) override { return ecNullApi; }
  int SetEventMask(DeviceHandle, std::uint32_t) override { return ecNullApi; }
  int SetState(DeviceHandle, const SerialState&) override { return ecNullApi; }
  int TransmitChar(DeviceHandle, std::uint8_t) override { return ecNullApi; }
  int EnableNotification(DeviceHandle, int) override { return ecNullApi; }
  int Write(DeviceHandle, const std::uint8_t*, int) override { return ecNullApi; }
  void Notify(DeviceHandle, int) override {}
  int Attach(DeviceHandle, bool) override { return ecNullApi; }
  int SetupQueues(DeviceHandle, int, int) override { return 0; }
  std::uint32_t WaitEvent(DeviceHandle) override { return 0; }
  int WaitWritable(DeviceHandle, int) override { return ecNullApi; }
  void WakeWriter(DeviceHandle) override {}
  std::uint8_t ModemLines(DeviceHandle) override { return 0; }
};

std::mutex providerMutex;
std::shared_ptr<DeviceLayer> installedLayer;
DeviceLayerProvider otherProvider;

bool ParseNumber(const std::string& text, std::uint32_t& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

int DeviceLayer::ReadPieces(DeviceHandle h, std::uint8_t* first, int firstCount, std::uint8_t* second,
                            int secondCount) {
  const int got = Read(h, first, firstCount);
  if (got < firstCount || secondCount <= 0) return got;
  const int more = Read(h, second, secondCount);
  return more > 0 ? got + more : got;
}

// Accepts the "mode" form: space-separated key=value pairs for baud, parity
// (n, o, e, m, s), data (5 to 8) and stop (1, 1.5, 2). Unknown keys or values
// fail and leave state as it was.
int DeviceLayer::BuildState(const std::string& text, SerialState& state) {
  SerialState result = state;
  std::istringstream in(text);
  std::string item;
  while (in >> item) {
    const auto eq = item.find('=');
    if (eq == std::string::npos) return -1;
    const std::string key = item.substr(0, eq);
    const std::string value = item.substr(eq + 1);
    std::uint32_t number = 0;
    if (key == "baud" && ParseNumber(value, number) && number > 0) {
      result.baud = number;
    } else if (key == "parity" && value.size() == 1) {
      static constexpr std::string_view kParities = "noems";
      const auto p = kParities.find(static_cast<char>(std::tolower(static_cast<unsigned char>(value[0]))));
      if (p == std::string_view::npos) return -1;
      result.parity = static_cast<std::uint8_t>(p);
    } else if (key == "data" && ParseNumber(value, number) && number >= 5 && number <= 8) {
      result.byteSize = static_cast<std::uint8_t>(number);
    } else if (key == "stop" && (value == "1" || value == "1.5" || value == "2")) {
      result.stopBits = value == "1" ? 0 : value == "1.5" ? 1 : 2;
    } else {
      return -1;
    }
  }
  state = result;
  return 0;
}

std::shared_ptr<DeviceLayer> NullDeviceLayer() {
  static const auto layer = std::make_shared<NullLayer>();
  return layer;
}

std::shared_ptr<DeviceLayer> InstalledDeviceLayer() {
  std::lock_guard lock(providerMutex);
  return installedLayer ? installedLayer : NullDeviceLayer();
}

void InstallDeviceLayer(std::shared_ptr<DeviceLayer> layer) {
  std::lock_guard lock(providerMutex);
  installedLayer = std::move(layer);
}

void SetOtherDeviceLayerProvider(DeviceLayerProvider provider) {
  std::lock_guard lock(providerMutex);
  otherProvider = std::move(provider);
}

DeviceLayerProvider OtherDeviceLayerProvider() {
  std::lock_guard lock(providerMutex);
  return otherProvider;
}

}  // namespace tv
