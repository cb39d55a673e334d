#include "comm/sim_modem.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

#include "platform/error_codes.h"
#include "platform/qa_exceptions.h"

namespace tv {

struct SimModem::Impl {
  std::string name;
  mutable std::mutex mutex;
  mutable std::condition_variable changed;

  std::deque<std::uint8_t> rxQueue;
  std::string written;
  WriteHandler onWrite;
  std::uint8_t lines = kLineCts | kLineDsr;  // a powered modem ready for commands
  bool dtr = false;
  bool rts = false;
  bool breakOn = false;
  std::uint16_t pendingErrors = 0;
  std::uint32_t pendingEvents = 0;  // line and error events not yet reported
  int writeChunk = 0;
  bool holdOutput = false;
  // Line pacing: bytes leave at lineRate bits per second (ten bits a byte)
  // through a 16-byte transmit FIFO; the line is busy until lineFreeAt.
  int lineRate = 0;
  std::chrono::steady_clock::time_point lineFreeAt{};
  bool vanished = false;
  bool vanishReported = false;
  int failOpen = 0;

  bool open = false;
  SerialState state;
  std::uint32_t eventMask = 0;
  std::uint64_t eventWakes = 0;
  std::uint64_t writerWakes = 0;

  static constexpr int kFifoBytes = 16;

  std::chrono::nanoseconds ByteTime() const { return std::chrono::nanoseconds(10'000'000'000LL / lineRate); }

  // Bytes the transmit FIFO takes now; any number without pacing.
  int FifoRoom(std::chrono::steady_clock::time_point now) const {
    if (lineRate <= 0) return kFifoBytes;
    const auto backlog = lineFreeAt > now ? lineFreeAt - now : std::chrono::nanoseconds(0);
    const auto queued = static_cast<int>((backlog + ByteTime() - std::chrono::nanoseconds(1)) / ByteTime());
    return std::max(kFifoBytes - queued, 0);
  }

  // When the FIFO has room again.
  std::chrono::steady_clock::time_point RoomAt() const { return lineFreeAt - ByteTime() * (kFifoBytes - 1); }

  // Whether the line takes output now (called under the lock).
  bool TakesOutput() const {
    if (holdOutput) return false;
    if (state.outxCtsFlow && !(lines & kLineCts)) return false;
    if (state.outxDsrFlow && !(lines & kLineDsr)) return false;
    return FifoRoom(std::chrono::steady_clock::now()) > 0;
  }

  // Takes up to count bytes into the FIFO; returns how many.
  int Accept(int count) {
    if (writeChunk > 0 && count > writeChunk) count = writeChunk;
    if (lineRate <= 0) return count;
    const auto now = std::chrono::steady_clock::now();
    count = std::min(count, FifoRoom(now));
    lineFreeAt = std::max(lineFreeAt, now) + ByteTime() * count;
    return count;
  }
};

namespace {

std::mutex registryMutex;
std::map<std::string, std::weak_ptr<SimModem::Impl>> registry;
// By family (the demo line, the SIP line), set at start-up before any port opens.
std::map<std::string, SimDeviceMaker> deviceMakers;

class SimLayer final : public DeviceLayer {
 public:
  using Impl = SimModem::Impl;

  const char* Name() const override { return "simulated"; }

  DeviceHandle Open(const std::string& name) override {
    std::shared_ptr<Impl> modem;
    {
      std::lock_guard lock(registryMutex);
      auto it = registry.find(name);
      if (it != registry.end()) modem = it->second.lock();
    }
    if (!modem) return kOsFileNotFound;
    std::lock_guard lock(modem->mutex);
    if (modem->failOpen != 0) return modem->failOpen;
    if (modem->open) return kOsAccessDenied;
    modem->open = true;
    modem->state = SerialState{};
    modem->dtr = modem->rts = true;
    modem->pendingEvents = 0;
    modem->eventMask = 0;
    std::lock_guard handles(mutex_);
    const DeviceHandle h = nextHandle_++;
    devices_[h] = modem;
    return h;
  }

  int Close(DeviceHandle h) override {
    std::shared_ptr<Impl> modem;
    {
      std::lock_guard handles(mutex_);
      auto it = devices_.find(h);
      if (it == devices_.end()) return -1;
      modem = std::move(it->second);
      devices_.erase(it);
    }
    std::lock_guard lock(modem->mutex);
    modem->open = false;
    modem->dtr = modem->rts = false;  // closing drops DTR, as HUPCL does
    modem->eventWakes++;
    modem->writerWakes++;
    modem->changed.notify_all();
    return 0;
  }

  int Attach(DeviceHandle, bool) override { return ecNotSupported; }

  int GetState(DeviceHandle h, SerialState& state) override {
    return WithModem(h, -1, [&](Impl& m) {
      state = m.state;
      return 0;
    });
  }

  int SetState(DeviceHandle h, const SerialState& state) override {
    return WithModem(h, -1, [&](Impl& m) {
      if (state.baud == 0 || state.byteSize < 5 || state.byteSize > 8 || state.parity > 4) return -1;
      m.state = state;
      m.dtr = state.dtrControl != LineControl::kDisable;
      m.rts = state.rtsControl != LineControl::kDisable;
      m.writerWakes++;
      m.changed.notify_all();
      return 0;
    });
  }

  int EscapeFunction(DeviceHandle h, int function) override {
    return WithModem(h, -1, [&](Impl& m) {
      if (function == kEscSetDtr || function == kEscClrDtr) m.dtr = function == kEscSetDtr;
      if (function == kEscSetRts || function == kEscClrRts) m.rts = function == kEscSetRts;
      return 0;
    });
  }

  int Flush(DeviceHandle h, bool input) override {
    return WithModem(h, -1, [&](Impl& m) {
      if (input) m.rxQueue.clear();
      return 0;
    });
  }

  int GetErrorAndStatus(DeviceHandle h, DeviceStatus& status) override {
    return WithModem(h, ecNotOpen, [&](Impl& m) {
      status.inQueue = static_cast<int>(m.rxQueue.size());
      status.outQueue = 0;
      return static_cast<int>(std::exchange(m.pendingErrors, 0));
    });
  }

  int GetEventMask(DeviceHandle h) override {
    return WithModem(h, -1, [&](Impl& m) { return static_cast<int>(m.eventMask); });
  }

  int SetEventMask(DeviceHandle h, std::uint32_t mask) override {
    return WithModem(h, -1, [&](Impl& m) {
      m.eventMask = mask;
      m.eventWakes++;
      m.changed.notify_all();
      return 0;
    });
  }

  int Read(DeviceHandle h, std::uint8_t* buffer, int count) override {
    return WithModem(h, ecNotOpen, [&](Impl& m) {
      if (m.vanished) return static_cast<int>(ecDeviceReadError);
      int n = 0;
      while (n < count && !m.rxQueue.empty()) {
        buffer[n++] = m.rxQueue.front();
        m.rxQueue.pop_front();
      }
      return n;
    });
  }

  int Write(DeviceHandle h, const std::uint8_t* data, int count) override {
    auto modem = Find(h);
    if (!modem) return ecNotOpen;
    SimModem::WriteHandler handler;
    std::string_view taken;
    {
      std::lock_guard lock(modem->mutex);
      if (modem->vanished) return ecDeviceWriteError;
      if (!modem->TakesOutput()) return 0;
      const int n = modem->Accept(count);
      taken = std::string_view(reinterpret_cast<const char*>(data), static_cast<std::size_t>(n));
      modem->written.append(taken);
      handler = modem->onWrite;
      modem->changed.notify_all();
    }
    if (handler) handler(taken);
    return static_cast<int>(taken.size());
  }

  int TransmitChar(DeviceHandle h, std::uint8_t c) override { return Write(h, &c, 1) == 1 ? 0 : -1; }

  int SetBreak(DeviceHandle h) override {
    return WithModem(h, -1, [](Impl& m) {
      m.breakOn = true;
      return 0;
    });
  }

  int ClearBreak(DeviceHandle h) override {
    return WithModem(h, -1, [](Impl& m) {
      m.breakOn = false;
      return 0;
    });
  }

  int EnableNotification(DeviceHandle, int) override { return ecNotSupported; }
  void Notify(DeviceHandle, int) override {}
  int SetupQueues(DeviceHandle h, int, int) override { return Find(h) ? 1 : 0; }

  std::uint32_t WaitEvent(DeviceHandle h) override {
    auto modem = Find(h);
    if (!modem) return 0;
    std::unique_lock lock(modem->mutex);
    const std::uint64_t wakes = modem->eventWakes;
    auto ready = [&] {
      if (modem->eventWakes != wakes || modem->eventMask == 0) return true;
      if (modem->vanished) return !modem->vanishReported;
      const std::uint32_t rx = modem->rxQueue.empty() ? 0u : static_cast<std::uint32_t>(kEvRxChar);
      return ((modem->pendingEvents | rx) & modem->eventMask) != 0;
    };
    modem->changed.wait(lock, ready);
    if (modem->vanished && modem->eventMask != 0 && !modem->vanishReported) {
      modem->vanishReported = true;
      return kEvDeviceGone;
    }
    if (modem->eventMask == 0 || modem->vanished) return 0;
    std::uint32_t events = modem->pendingEvents & modem->eventMask;
    modem->pendingEvents &= ~events;
    if (!modem->rxQueue.empty()) events |= kEvRxChar & modem->eventMask;
    return events;
  }

  int WaitWritable(DeviceHandle h, int timeoutMs) override {
    auto modem = Find(h);
    if (!modem) return ecNotOpen;
    std::unique_lock lock(modem->mutex);
    const std::uint64_t wakes = modem->writerWakes;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto ready = [&] { return modem->writerWakes != wakes || modem->vanished || modem->TakesOutput(); };
    while (!ready() && std::chrono::steady_clock::now() < deadline) {
      // A paced line frees room as time passes, without a notification.
      const auto until = modem->lineRate > 0 ? std::min(deadline, modem->RoomAt()) : deadline;
      modem->changed.wait_until(lock, until);
    }
    return modem->vanished ? static_cast<int>(ecDeviceWriteError) : 0;
  }

  void WakeWriter(DeviceHandle h) override {
    WithModem(h, 0, [](Impl& m) {
      m.writerWakes++;
      m.changed.notify_all();
      return 0;
    });
  }

  std::uint8_t ModemLines(DeviceHandle h) override {
    return static_cast<std::uint8_t>(WithModem(h, 0, [](Impl& m) { return static_cast<int>(m.lines); }));
  }

 private:
  std::shared_ptr<Impl> Find(DeviceHandle h) {
    std::lock_guard handles(mutex_);
    auto it = devices_.find(h);
    return it == devices_.end() ? nullptr : it->second;
  }

  template <class F>
  int WithModem(DeviceHandle h, int unknown, F&& f) {
    auto modem = Find(h);
    if (!modem) return unknown;
    std::lock_guard lock(modem->mutex);
    return f(*modem);
  }

  std::mutex mutex_;
  DeviceHandle nextHandle_ = 1;
  std::map<DeviceHandle, std::shared_ptr<Impl>> devices_;
};

}  // namespace

SimModem::SimModem(std::string name) : impl_(std::make_shared<Impl>()) {
  impl_->name = std::move(name);
  std::lock_guard lock(registryMutex);
  registry[impl_->name] = impl_;
}

SimModem::~SimModem() {
  std::lock_guard lock(registryMutex);
  auto it = registry.find(impl_->name);
  if (it != registry.end() && it->second.lock() == impl_) registry.erase(it);
}

const std::string& SimModem::DeviceName() const { return impl_->name; }

void SimModem::Receive(std::string_view bytes) {
  std::lock_guard lock(impl_->mutex);
  impl_->rxQueue.insert(impl_->rxQueue.end(), bytes.begin(), bytes.end());
  impl_->changed.notify_all();
}

std::size_t SimModem::ReceiveQueued() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->rxQueue.size();
}

void SimModem::OnWrite(WriteHandler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->onWrite = std::move(handler);
}

std::string SimModem::TakeWritten() {
  std::lock_guard lock(impl_->mutex);
  return std::exchange(impl_->written, {});
}

bool SimModem::WaitForWritten(std::size_t count, int timeoutMs) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return impl_->written.size() >= count; });
}

namespace {

// New far-end line levels, with the events their changes raise (called
// under the modem's lock).
void ChangeLines(SimModem::Impl& m, std::uint8_t lines) {
  const std::uint8_t changed = lines ^ m.lines;
  if (changed & kLineCts) m.pendingEvents |= kEvCts;
  if (changed & kLineDsr) m.pendingEvents |= kEvDsr;
  if (changed & kLineDcd) m.pendingEvents |= kEvRlsd;
  if (changed & kLineRing) m.pendingEvents |= (lines & kLineRing) ? kEvRing : kEvRingTrailingEdge;
  m.lines = lines;
  m.writerWakes++;  // CTS or DSR may release held output
  m.changed.notify_all();
}

}  // namespace

void SimModem::SetLine(ModemLine line, bool on) {
  std::lock_guard lock(impl_->mutex);
  ChangeLines(*impl_, static_cast<std::uint8_t>(on ? (impl_->lines | line) : (impl_->lines & ~line)));
}

void SimModem::SetLines(std::uint8_t lines) {
  std::lock_guard lock(impl_->mutex);
  ChangeLines(*impl_, lines & (kLineCts | kLineDsr | kLineRing | kLineDcd));
}

std::uint8_t SimModem::Lines() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->lines;
}

bool SimModem::Dtr() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->dtr;
}

bool SimModem::Rts() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->rts;
}

bool SimModem::BreakOn() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->breakOn;
}

void SimModem::InjectLineError(std::uint16_t errors) {
  std::lock_guard lock(impl_->mutex);
  impl_->pendingErrors |= errors;
  if (errors & kErrBreak) impl_->pendingEvents |= kEvBreak;
  if (errors & ~kErrBreak) impl_->pendingEvents |= kEvErr;
  impl_->changed.notify_all();
}

void SimModem::SetWriteChunk(int maxBytes) {
  std::lock_guard lock(impl_->mutex);
  impl_->writeChunk = maxBytes;
}

void SimModem::SetLineRate(int bitsPerSecond) {
  std::lock_guard lock(impl_->mutex);
  impl_->lineRate = std::max(bitsPerSecond, 0);
  impl_->lineFreeAt = {};
}

void SimModem::HoldOutput(bool hold) {
  std::lock_guard lock(impl_->mutex);
  impl_->holdOutput = hold;
  impl_->writerWakes++;
  impl_->changed.notify_all();
}

void SimModem::Vanish() {
  std::lock_guard lock(impl_->mutex);
  impl_->vanished = true;
  impl_->writerWakes++;
  impl_->changed.notify_all();
}

void SimModem::FailOpen(int code) {
  std::lock_guard lock(impl_->mutex);
  impl_->failOpen = code;
}

bool SimModem::IsOpen() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->open;
}

SerialState SimModem::State() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->state;
}

std::shared_ptr<DeviceLayer> SimDeviceLayer() {
  static const auto layer = std::make_shared<SimLayer>();
  return layer;
}

bool SimModemRegistered(const std::string& name) {
  std::lock_guard lock(registryMutex);
  const auto it = registry.find(name);
  return it != registry.end() && !it->second.expired();
}

void SetSimDeviceMaker(const std::string& family, SimDeviceMaker maker) { deviceMakers[family] = std::move(maker); }

bool OpensOnSimLayer(const std::string& name) {
  std::string error;
  for (const auto& [family, maker] : deviceMakers) {
    if (!maker(name, error)) continue;
    if (!error.empty()) throw EInOutError(error, EINVAL);
    return true;
  }
  return SimModemRegistered(name);
}

}  // namespace tv
