// Modem garbage through a port: whatever the simulated modem sends, with
// whatever data triggers and avail level, the dispatcher must neither crash
// nor hang, and the trace and log must dump.
//
// Input: avail level, flags (1 ignore case, 2 no peek mode, 4 close from the
// handler), bytes read per avail event (0: all), then three data-trigger
// texts each as a length byte and its bytes, then the modem's bytes.
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "comm/dispatcher.h"
#include "comm/sim_modem.h"

namespace {

struct Reader {
  int port = 0;
  int chunk = 0;
  bool closeInHandler = false;
  static void Procedure(void* arg, std::uint32_t msg, std::uint32_t count, std::uint32_t) {
    auto* self = static_cast<Reader*>(arg);
    const int wanted = self->chunk == 0 ? static_cast<int>(count) : self->chunk;
    for (int i = 0; i < wanted && tv::GetChar(self->port) >= 0; ++i) {
    }
    if (self->closeInHandler && (msg & 0xFFFF) == tv::kMsgTriggerData) tv::PortClose(self->port);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  std::size_t at = 3;
  const int availLevel = data[0] % 4;
  const int flags = data[1];
  Reader reader;
  reader.chunk = data[2] % 8;
  reader.closeInHandler = (flags & 4) != 0;

  tv::InstallDeviceLayer(tv::SimDeviceLayer());
  tv::SimModem modem("fuzz-modem");
  const int port = tv::PortOpen("fuzz-modem", tv::kDispatcherThreads, 8192, 512, 19200, 0, 8, 1);
  if (port <= 0) __builtin_trap();
  reader.port = port;
  tv::StartTrace(port, 64);
  tv::StartLog(port, 400);
  tv::RegisterTriggerHandler(port, nullptr, Reader::Procedure, &reader, true);
  tv::SetAvailLevel(port, availLevel);
  if (flags & 2) tv::SetOptions(port, tv::doPeekOff); else tv::ClearOptions(port, tv::doPeekOff);
  for (int t = 0; t < 3 && at < size; ++t) {
    const std::size_t length = data[at++] % 26;
    const std::size_t take = std::min(length, size - at);
    tv::AddDataTrigger(port, std::string(reinterpret_cast<const char*>(data + at), take), (flags & 1) != 0);
    at += take;
  }
  const std::string stream(reinterpret_cast<const char*>(data + at), size - at);
  tv::PutString(port, stream.substr(0, 512));
  modem.Receive(stream);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (modem.ReceiveQueued() > 0 && tv::PortIsOpen(port) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  if (tv::PortIsOpen(port)) {
    tv::DumpTrace(port, "/dev/null", false, (flags & 8) != 0);
    tv::DumpLog(port, "/dev/null", true, (flags & 8) != 0);
    tv::PortClose(port);
  }
  // A close from the handler finishes on the dispatch thread.
  while (modem.IsOpen()) std::this_thread::sleep_for(std::chrono::microseconds(200));
  tv::InstallDeviceLayer(nullptr);
  return 0;
}
