#include "comm/dispatcher.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "comm/trace_log.h"
#include "platform/error_codes.h"
#include "platform/ui_thread.h"

namespace tv {

namespace {

constexpr int kIdlePassMs = 50;
constexpr int kReadsPerEvent = 8;
constexpr int kThreadStartMs = 3000;
constexpr int kWindowSendTimeoutMs = 1000;
constexpr int kWriteWaitMs = 60000;
constexpr std::uint8_t kModemDeltaBits = 0x0F;
constexpr std::uint8_t kModemLineBits = 0xF0;
constexpr std::uint16_t kLineErrorBits = 0x1F;
constexpr std::uint32_t kModemLineEvents = kEvCts | kEvDsr | kEvRlsd | kEvRing | kEvRingTrailingEdge;
constexpr std::uint32_t kLineErrorEvents = kEvBreak | kEvErr;

enum TriggerKind : std::uint8_t { tkFree = 0, tkTimer = 2, tkData = 3, tkStatus = 4 };

struct HandlerNode {
  TriggerWindow* window = nullptr;
  TriggerProcedure procedure = nullptr;
  void* arg = nullptr;
  bool passOn = false;
  bool deleted = false;
};

struct Port {
  std::shared_ptr<DeviceLayer> layer;
  int handle = 0;
  DeviceHandle device = -1;
  bool attached = false;
  int inSize = 0;
  int outSize = 0;

  std::mutex lock;

  std::uint16_t lineError = 0;
  DeviceStatus status;
  SerialState state;
  bool dtr = true;
  bool rts = true;

  std::list<HandlerNode> handlers;

  SavedTriggers triggers;
  std::array<bool, kStatusTriggerSlots> statusFired{};
  std::array<bool, kTriggerHandles> reassigned{};

  // Input ring, positions counted from the start of the stream so that a
  // full ring and an empty one never look alike; index = position % 8192.
  std::vector<std::uint8_t> input;
  std::uint64_t received = 0;   // head
  std::uint64_t consumed = 0;   // tail
  std::uint64_t scanned = 0;    // next byte to offer to the data triggers
  std::uint64_t lastAvail = 0;  // head when avail last reported
  std::uint64_t matchAt = 0;    // the byte that completed the pending data match
  bool peekMode = false;
  int peekOffset = 0;
  bool rxHeld = false;  // input ring full: the device keeps the rest

  // Output ring of outSize bytes.
  std::vector<std::uint8_t> output;
  int outHead = 0;
  int outTail = 0;
  bool outFull = false;
  bool outputQueued = false;
  bool deviceFailed = false;

  std::uint16_t msrShadow = 0;
  bool ringEdgeSeen = false;
  std::uint16_t options = doPeekOff;

  std::array<void*, 10> userData{};
  std::int32_t faxSession = 0;

  TraceRecorder trace;
  DispatchLog log;
  std::int32_t startMs = 0;

  // Thread protocol, all under lock.
  std::thread commThread;
  std::thread dispatchThread;
  std::thread outputThread;
  std::thread::id dispatchThreadId;
  std::condition_variable changed;
  // The hand-over of a device event between the comm-event thread and the
  // dispatch thread, and the output thread's work, each apart from `changed`
  // so that nothing wakes these threads for nothing.
  std::condition_variable eventHandover;
  std::condition_variable outputWork;
  int threadsStarted = 0;
  bool stop = false;
  bool deliveryOff = false;  // trigger delivery switched off by SetDispatching
  bool delivering = false;   // inside a delivery
  bool windowHandlerRunning = false;  // a window handler of this port runs on the UI thread
  const HandlerNode* runningProcedure = nullptr;  // the procedure handler the dispatch thread is in
  bool closePending = false;  // closed by a handler: torn down when the delivery returns
  bool closing = false;        // being torn down by the thread that closed it
  std::uint32_t deviceEvents = 0;
  bool deviceEventReady = false;
  bool dataToSend = false;
  bool flushRequest = false;
  bool flushAck = false;

  int OutWaiting() const {
    if (outFull) return outSize;
    return (outHead - outTail + outSize) % std::max(outSize, 1);
  }
  // Reads peek while an avail or data event is delivered, but only those of
  // the handler being called: on the dispatch thread, or on the UI thread
  // while a window handler of this port runs. Anyone else reading meanwhile
  // (a wait for text on the UI thread) takes the bytes as usual.
  bool Peeking() const {
    if (!peekMode) return false;
    if (std::this_thread::get_id() == dispatchThreadId) return true;
    return windowHandlerRunning && UiThread::Current().IsUiThread();
  }
  int Available() const { return Available(Peeking()); }
  int Available(bool peeking) const {
    const int count = static_cast<int>(received - consumed);
    return peeking ? count - peekOffset : count;
  }
  std::int32_t Elapsed() const { return (MilliCount() - startMs) & 0x7FFFFFFF; }
};

using PortPtr = std::shared_ptr<Port>;

std::mutex tableMutex;
std::array<PortPtr, kMaxPorts + 1> portTable;
std::array<bool, kMaxPorts + 1> portTaken{};
std::array<int, kMaxPorts + 1> portKind{};

PortPtr Lookup(int port) {
  if (port < 1 || port > kMaxPorts) return nullptr;
  std::lock_guard lock(tableMutex);
  return portTable[static_cast<std::size_t>(port)];
}

// The port a dispatch thread serves: it holds the port for its whole life,
// and the port keeps its handle until that thread has ended (closing from a
// handler only marks it), so a handler's calls on its own port need not
// look it up in the table.
thread_local Port* servedPort = nullptr;

// Runs f(port) under the port's lock; ecBadHandle for a handle not open.
template <class F>
int WithPort(int handle, F&& f) {
  if (servedPort != nullptr && servedPort->handle == handle) {
    std::lock_guard lock(servedPort->lock);
    return f(*servedPort);
  }
  PortPtr port = Lookup(handle);
  if (!port) return ecBadHandle;
  std::lock_guard lock(port->lock);
  return f(*port);
}

// ---------------------------------------------------------------- line state

// Writes the line state. A line the program switched off stays off whatever
// control the state asks for; a line left on is never dropped by a state
// write that merely does not use it for handshaking.
int ApplyStateLocked(Port& p) {
  SerialState state = p.state;
  if (!p.dtr) {
    state.dtrControl = LineControl::kDisable;
  } else if (state.dtrControl == LineControl::kDisable) {
    state.dtrControl = LineControl::kEnable;
  }
  if (!p.rts) {
    state.rtsControl = LineControl::kDisable;
  } else if (state.rtsControl == LineControl::kDisable) {
    state.rtsControl = LineControl::kEnable;
  }
  return p.layer->SetState(p.device, state) == 0 ? 0 : ecNotSupported;
}

int SetLineLocked(Port& p, std::uint32_t baud, int parity, int dataBits, int stopBits) {
  SerialState saved = p.state;
  if (p.layer->GetState(p.device, p.state) != 0) p.state = saved;
  if (baud != 0) p.state.baud = baud;
  if (parity != 5) p.state.parity = static_cast<std::uint8_t>(parity);
  if (dataBits != 9) p.state.byteSize = static_cast<std::uint8_t>(dataBits);
  if (stopBits != 3) p.state.stopBits = stopBits <= 1 ? 0 : 2;
  if (p.state.byteSize == 5) p.state.stopBits = 1;  // five data bits go with one and a half stop bits
  const int result = ApplyStateLocked(p);
  if (result != 0) p.state = saved;
  return result;
}

// Reads the modem lines into the shadow: the delta bits stay, the line bits
// are replaced, a trailing ring edge seen since the last read sets TERI.
// Returns the shadow's low byte; the shadow then keeps only keepMask.
std::uint8_t RefreshModemStatusLocked(Port& p, std::uint8_t keepMask) {
  const std::uint8_t lines = p.layer->ModemLines(p.device) & kModemLineBits;
  p.msrShadow = static_cast<std::uint16_t>((p.msrShadow & kModemDeltaBits) | lines);
  if (p.ringEdgeSeen) {
    p.msrShadow |= 0x04;
    p.ringEdgeSeen = false;
  }
  const auto value = static_cast<std::uint8_t>(p.msrShadow & 0xFF);
  p.msrShadow &= keepMask;
  return value;
}

// After a modem-line event: refresh and add the delta bits of the lines
// that changed (CTS 1, DSR 2, ring 4, DCD 8).
void ModemLineChangedLocked(Port& p) {
  const std::uint8_t before = p.msrShadow & kModemLineBits;
  RefreshModemStatusLocked(p, 0xFF);
  const std::uint8_t changed = (p.msrShadow & kModemLineBits) ^ before;
  p.msrShadow |= changed >> 4;
}

void RefreshDeviceStatusLocked(Port& p) {
  const int errors = p.layer->GetErrorAndStatus(p.device, p.status);
  if (errors > 0) p.lineError |= static_cast<std::uint16_t>(errors) & kLineErrorBits;
  p.status.outQueue = p.OutWaiting();
}

// ------------------------------------------------------------------ triggers

void ResetDataMatchesLocked(Port& p) {
  for (auto& slot : p.triggers.data) {
    slot.partials = 0;
    slot.matched = false;
  }
}

// Takes a free handle 2..41 and the first free slot of the kind's table.
template <std::size_t N, class Slot>
int AddTriggerLocked(Port& p, std::array<Slot, N>& slots, TriggerKind kind) {
  auto slot = std::find_if(slots.begin(), slots.end(), [](const Slot& s) { return s.handle == 0; });
  auto entry = std::find_if(p.triggers.handles.begin(), p.triggers.handles.end(),
                            [](const TriggerHandleEntry& e) { return e.kind == tkFree; });
  if (slot == slots.end() || entry == p.triggers.handles.end()) return ecNoMoreTriggers;
  const auto index = static_cast<std::size_t>(entry - p.triggers.handles.begin());
  const auto handle = static_cast<std::uint16_t>(index + 2);
  *slot = Slot{};
  slot->handle = handle;
  entry->kind = kind;
  entry->slot = static_cast<std::uint16_t>(slot - slots.begin() + 1);
  p.reassigned[index] = true;
  return handle;
}

// The slot of a trigger handle of the given kind, or nullptr.
const TriggerHandleEntry* EntryOf(const Port& p, int trigger, TriggerKind kind) {
  if (trigger < 2 || trigger > kTriggerHandles + 1) return nullptr;
  const auto& entry = p.triggers.handles[static_cast<std::size_t>(trigger - 2)];
  return entry.kind == kind ? &entry : nullptr;
}

// Offers one byte to a data trigger; true when it completes the text.
bool OfferByte(DataTriggerSlot& t, std::uint8_t byte) {
  auto same = [&](char textChar) {
    if (!t.ignoreCase) return static_cast<std::uint8_t>(textChar) == byte;
    return std::toupper(static_cast<unsigned char>(textChar)) == std::toupper(byte);
  };
  std::uint16_t kept = 0;
  for (std::uint16_t i = 0; i < t.partials; ++i) {
    const std::uint16_t position = t.positions[i];
    if (!same(t.text[position])) continue;
    if (position + 1 == t.length) {
      t.partials = 0;
      return true;
    }
    t.positions[kept++] = static_cast<std::uint16_t>(position + 1);
  }
  t.partials = kept;
  if (same(t.text[0])) {
    if (t.length == 1) {
      t.partials = 0;
      return true;
    }
    if (t.partials < kMaxDataTriggerLength) t.positions[t.partials++] = 1;
  }
  return false;
}

// ---------------------------------------------------------------- delivery

void WakeReceiverLocked(Port& p) {
  if (p.rxHeld && p.received - p.consumed < static_cast<std::uint64_t>(kInputBufferSize)) {
    p.rxHeld = false;
    p.layer->SetEventMask(p.device, kDispatcherEventMask);
  }
}

void LogLocked(Port& p, LogType type, LogSubtype subtype, std::uint16_t value, const std::uint8_t* data = nullptr,
               int length = 0) {
  p.log.Record(type, subtype, p.Elapsed(), value, data, length);
}

void CallHandler(const PortPtr& port, HandlerNode& node, std::uint16_t msg, std::uint32_t handleArg,
                 std::uint32_t dataArg) {
  const std::uint32_t high = static_cast<std::uint32_t>(port->handle) << 16;
  if (node.procedure) {
    // A procedure that throws must not take the dispatch thread down with it.
    try {
      node.procedure(node.arg, high | msg, handleArg, high | (dataArg & 0xFFFF));
    } catch (const std::exception& error) {
      std::cerr << "tessivane: trigger handler on port " << port->handle << " failed: " << error.what() << "\n";
    }
    return;
  }
  // The node stays allocated until this delivery ends, and Send never runs
  // the function once it has given up on it; a handler deregistered while
  // the message waited is not called.
  UiThread::Current().Send(
      [port, &node, msg, handleArg, lParam = high | (dataArg & 0xFFFF)] {
        {
          std::lock_guard lock(port->lock);
          if (node.deleted) return;
          port->windowHandlerRunning = true;
        }
        struct Finished {
          Port& p;
          ~Finished() {
            std::lock_guard lock(p.lock);
            p.windowHandlerRunning = false;
          }
        } finished{*port};
        node.window->TriggerMessage(msg, handleArg, lParam);
      },
      kWindowSendTimeoutMs);
}

// Delivers one event to the handler list. Returns whether it counts as
// delivered. Called on the dispatch thread without the lock.
bool Deliver(const PortPtr& port, std::uint16_t msg, std::uint16_t trigger, std::uint32_t handleArg,
             std::uint32_t dataArg) {
  Port& p = *port;
  std::unique_lock lock(p.lock);
  const bool dataEvent = msg == kMsgTriggerAvail || msg == kMsgTriggerData;
  p.delivering = true;
  p.peekMode = dataEvent && !(p.options & doPeekOff);
  p.reassigned.fill(false);
  int largestPeek = 0;
  bool delivered = true;
  for (auto it = p.handlers.begin(); it != p.handlers.end(); ++it) {
    if (it->deleted) continue;
    p.peekOffset = 0;
    if (it->procedure) p.runningProcedure = &*it;
    lock.unlock();
    CallHandler(port, *it, msg, handleArg, dataArg);
    lock.lock();
    p.runningProcedure = nullptr;
    p.changed.notify_all();
    if (p.closePending || p.closing) {
      delivered = false;
      break;
    }
    largestPeek = std::max(largestPeek, p.peekOffset);
    if (msg != kMsgTriggerAvail && trigger >= 2 && trigger <= kTriggerHandles + 1 &&
        p.reassigned[static_cast<std::size_t>(trigger - 2)]) {
      break;
    }
    if (!it->passOn) break;
  }
  p.handlers.remove_if([](const HandlerNode& n) { return n.deleted; });
  if (p.peekMode) {
    p.consumed = std::min(p.consumed + static_cast<std::uint64_t>(largestPeek), p.received);
    WakeReceiverLocked(p);
    // Avail offered bytes nobody took: do not offer them again until more come.
    if (msg == kMsgTriggerAvail && largestPeek < static_cast<int>(handleArg)) delivered = false;
  }
  p.peekMode = false;
  p.peekOffset = 0;
  p.delivering = false;
  p.changed.notify_all();
  return delivered;
}

// One data/avail pass; true when an event was delivered.
bool DataAvailPass(const PortPtr& port) {
  Port& p = *port;
  std::unique_lock lock(p.lock);
  const auto slotMatched = [&] {
    return std::any_of(p.triggers.data.begin(), p.triggers.data.end(),
                       [](const DataTriggerSlot& t) { return t.handle != 0 && t.matched; });
  };
  bool matched = slotMatched();  // a match held back behind an avail event
  // Bytes the ring has since written over are gone: never scan those.
  const std::uint64_t oldestInRing = p.received > kInputBufferSize ? p.received - kInputBufferSize : 0;
  if (p.scanned < oldestInRing) p.scanned = oldestInRing;
  std::array<DataTriggerSlot*, kDataTriggerSlots> active{};
  std::size_t activeCount = 0;
  for (auto& t : p.triggers.data) {
    if (t.handle != 0 && t.length != 0) active[activeCount++] = &t;
  }
  if (activeCount == 0) p.scanned = p.received;
  while (!matched && p.scanned < p.received) {
    const std::uint8_t byte = p.input[p.scanned % kInputBufferSize];
    for (std::size_t i = 0; i < activeCount; ++i) {
      if (OfferByte(*active[i], byte)) {
        active[i]->matched = true;
        matched = true;
      }
    }
    if (matched) p.matchAt = p.scanned;
    ++p.scanned;
  }
  const int level = p.triggers.availLevel;
  if (matched) {
    int longest = 0;
    for (const auto& t : p.triggers.data) {
      if (t.handle != 0 && t.matched) longest = std::max<int>(longest, t.length);
    }
    const std::uint64_t matchStart = p.matchAt + 1 - std::min<std::uint64_t>(longest, p.matchAt + 1);
    if (level > 0 && matchStart > p.lastAvail && matchStart > p.consumed &&
        matchStart - p.lastAvail >= static_cast<std::uint64_t>(level)) {
      // The bytes before the match go first; the match fires on the next pass.
      const auto count = static_cast<std::uint32_t>(matchStart - p.consumed);
      p.scanned = p.matchAt;
      p.lastAvail = matchStart;
      LogLocked(p, kLogTrigger, kLogAvail, static_cast<std::uint16_t>(count));
      lock.unlock();
      return Deliver(port, kMsgTriggerAvail, kAvailTriggerHandle, count, 0);
    }
    p.scanned = p.matchAt + 1;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> fired;  // handle, length
    for (auto& t : p.triggers.data) {
      if (t.handle != 0 && t.matched) {
        fired.emplace_back(t.handle, t.length);
        t.matched = false;
      }
    }
    for (const auto& [handle, length] : fired) {
      LogLocked(p, kLogTrigger, kLogData, handle);
      lock.unlock();
      Deliver(port, kMsgTriggerData, handle, handle, length);
      lock.lock();
      if (p.closePending) break;
    }
    return true;
  }
  const int available = static_cast<int>(p.received - p.consumed);
  if (level > 0 && p.received != p.lastAvail && available >= level) {
    p.lastAvail = p.received;
    LogLocked(p, kLogTrigger, kLogAvail, static_cast<std::uint16_t>(available));
    lock.unlock();
    return Deliver(port, kMsgTriggerAvail, kAvailTriggerHandle, static_cast<std::uint32_t>(available), 0);
  }
  return false;
}

// One status pass: the first armed slot whose condition holds fires.
bool StatusPass(const PortPtr& port) {
  Port& p = *port;
  std::unique_lock lock(p.lock);
  for (std::size_t i = 0; i < p.triggers.status.size(); ++i) {
    StatusTriggerSlot& s = p.triggers.status[i];
    if (s.handle == 0 || !s.armed || p.statusFired[i]) continue;
    bool fires = false;
    std::uint16_t value = 0;
    switch (s.type) {
      case stModemStatus:
        fires = ((s.reference ^ (p.msrShadow & 0xFF)) & s.mask) != 0;
        break;
      case stLineError:
        fires = (p.lineError & s.mask) != 0;
        if (fires) s.data = p.lineError & s.mask;
        break;
      // A device that failed takes no more output: whoever waits for it
      // is woken, and learns of the failure from what it does next.
      case stOutBuffFree:
        RefreshDeviceStatusLocked(p);
        value = static_cast<std::uint16_t>(p.outSize - p.OutWaiting());
        fires = value >= s.threshold || p.deviceFailed;
        break;
      case stOutBuffUsed:
        RefreshDeviceStatusLocked(p);
        value = static_cast<std::uint16_t>(p.OutWaiting());
        fires = value <= s.threshold || p.deviceFailed;
        break;
      case stOutSent:
        fires = p.outputQueued || p.deviceFailed;
        p.outputQueued = false;
        break;
      default:
        break;
    }
    if (!fires) continue;
    s.armed = false;
    p.statusFired[i] = true;
    const std::uint16_t handle = s.handle;
    LogLocked(p, kLogTrigger, kLogStatus, handle);
    lock.unlock();
    Deliver(port, kMsgTriggerStatus, handle, handle, value);
    return true;
  }
  return false;
}

bool TimerPass(const PortPtr& port) {
  Port& p = *port;
  std::unique_lock lock(p.lock);
  const std::int32_t now = TickCount();
  for (auto& t : p.triggers.timers) {
    if (t.handle == 0 || !t.armed || !TimerExpired(t.timer, now)) continue;
    t.armed = false;
    const std::uint16_t handle = t.handle;
    LogLocked(p, kLogTrigger, kLogTimer, handle);
    lock.unlock();
    Deliver(port, kMsgTriggerTimer, handle, handle, 0);
    return true;
  }
  return false;
}

bool Closing(Port& p) {
  std::lock_guard lock(p.lock);
  return p.closePending || p.closing || p.stop;
}

bool Dispatching(Port& p) {
  std::lock_guard lock(p.lock);
  return p.delivering || p.deliveryOff;
}

void ClearFiredMarks(Port& p) {
  std::lock_guard lock(p.lock);
  p.statusFired.fill(false);
}

void StatusPasses(const PortPtr& port) {
  if (!Dispatching(*port)) {
    while (!Closing(*port) && StatusPass(port)) {
    }
  }
  ClearFiredMarks(*port);
}

// Reads what the device holds into the input ring in one call, in at most
// two pieces (to the end of the ring, then from its start), each logged as a
// read; a read that follows up on one already made for the same event is
// logged only when it found bytes. What does not fit stays in the device
// until the program has read some. Returns the bytes read.
int ReadFromDevice(Port& p, bool followUp) {
  std::lock_guard lock(p.lock);
  const int room = kInputBufferSize - static_cast<int>(p.received - p.consumed);
  int got = 0;
  if (room > 0) {
    const int at = static_cast<int>(p.received % kInputBufferSize);
    const int first = std::min(room, kInputBufferSize - at);
    got = p.layer->ReadPieces(p.device, p.input.data() + at, first, p.input.data(), room - first);
    if (got < 0) p.deviceFailed = true;  // the device is gone (EIO after an unplug)
    got = std::max(0, got);
    const int inFirst = std::min(got, first);
    if (got > 0 || !followUp) {
      LogLocked(p, kLogDispatch, kLogReadCom, static_cast<std::uint16_t>(inFirst), p.input.data() + at, inFirst);
    }
    if (got > first) {
      LogLocked(p, kLogDispatch, kLogReadCom, static_cast<std::uint16_t>(got - first), p.input.data(), got - first);
    }
    p.received += static_cast<std::uint64_t>(got);
  }
  if (p.received - p.consumed == static_cast<std::uint64_t>(kInputBufferSize)) {
    // Full: stop watching for input until the program reads, or the device
    // would report the bytes it still holds over and over.
    p.rxHeld = true;
    p.layer->SetEventMask(p.device, kDispatcherEventMask & ~kEvRxChar);
  }
  return got;
}

void HandleDeviceEvents(const PortPtr& port, std::uint32_t events) {
  Port& p = *port;
  if (events & kEvDeviceGone) {
    {
      std::lock_guard lock(p.lock);
      p.deviceFailed = true;
    }
    StatusPasses(port);
  }
  if (events & kModemLineEvents) {
    {
      std::lock_guard lock(p.lock);
      ModemLineChangedLocked(p);
    }
    StatusPasses(port);
  }
  if (events & kLineErrorEvents) {
    {
      std::lock_guard lock(p.lock);
      RefreshDeviceStatusLocked(p);
    }
    StatusPasses(port);
  }
  if (events & kEvRxChar) {
    // Bytes that came while the last ones were handled are read at once, a
    // few times over, as the next receive event would read them.
    for (int read = 0; read < kReadsPerEvent && !Closing(p); ++read) {
      if (ReadFromDevice(p, read > 0) == 0 && read > 0) break;
      if (!Dispatching(p)) {
        while (!Closing(p) && DataAvailPass(port)) {
        }
      }
    }
  }
}

void IdlePasses(const PortPtr& port) {
  Port& p = *port;
  if (Closing(p) || Dispatching(p)) return;
  while (!Closing(p) && (StatusPass(port) || TimerPass(port))) {
  }
  ClearFiredMarks(p);
}

// ------------------------------------------------------------------ threads

void SignalStarted(Port& p) {
  std::lock_guard lock(p.lock);
  ++p.threadsStarted;
  p.changed.notify_all();
}

void CommEventThread(PortPtr port) {
  Port& p = *port;
  p.layer->SetEventMask(p.device, kDispatcherEventMask);
  SignalStarted(p);
  for (;;) {
    const std::uint32_t events = p.layer->WaitEvent(p.device);
    std::unique_lock lock(p.lock);
    if (p.stop) break;
    if (events == 0) continue;
    if (events & kEvRingTrailingEdge) p.ringEdgeSeen = true;
    p.deviceEvents = events;
    p.deviceEventReady = true;
    p.eventHandover.notify_all();
    p.eventHandover.wait(lock, [&] { return !p.deviceEventReady || p.stop; });
    if (p.stop) break;
  }
}

void TearDown(const PortPtr& port, bool onDispatchThread);

void DispatchThread(PortPtr port) {
  Port& p = *port;
  servedPort = &p;
  {
    std::lock_guard lock(p.lock);
    p.dispatchThreadId = std::this_thread::get_id();
  }
  SignalStarted(p);
  for (;;) {
    std::unique_lock lock(p.lock);
    p.eventHandover.wait_for(lock, std::chrono::milliseconds(kIdlePassMs),
                             [&] { return p.deviceEventReady || p.stop; });
    if (p.stop) return;
    const bool event = p.deviceEventReady;
    const std::uint32_t events = p.deviceEvents;
    lock.unlock();
    if (event) {
      HandleDeviceEvents(port, events);
    } else {
      IdlePasses(port);
    }
    lock.lock();
    if (event) {
      p.deviceEventReady = false;
      p.eventHandover.notify_all();
    }
    if (p.closePending) {
      lock.unlock();
      TearDown(port, true);
      return;
    }
  }
}

// Drops whatever output is queued and not yet written.
void EmptyOutputRingLocked(Port& p) {
  p.outHead = p.outTail = 0;
  p.outFull = false;
  p.dataToSend = false;
}

void OutputThread(PortPtr port) {
  Port& p = *port;
  SignalStarted(p);
  std::unique_lock lock(p.lock);
  while (!p.stop) {
    p.outputWork.wait(lock, [&] { return p.dataToSend || p.flushRequest || p.stop; });
    if (p.stop) break;
    if (p.flushRequest) {
      // Emptied here, under the lock and before answering: emptied by the
      // flusher after the answer, data queued meanwhile could send this
      // thread writing from a tail the flusher then resets under it.
      EmptyOutputRingLocked(p);
      p.flushRequest = false;
      p.flushAck = true;
      p.changed.notify_all();
      continue;
    }
    p.dataToSend = false;
    while ((p.outFull || p.outHead != p.outTail) && !p.stop && !p.flushRequest && !p.deviceFailed) {
      // One contiguous stretch: to the head, or to the end of the ring.
      const int length = p.outTail < p.outHead ? p.outHead - p.outTail : p.outSize - p.outTail;
      const std::uint8_t* stretch = p.output.data() + p.outTail;
      lock.unlock();
      // Only this thread moves the tail or empties the ring on a flush, so
      // the stretch stays valid unlocked.
      const int sent = p.layer->Write(p.device, stretch, length);
      const int waited = sent == 0 ? p.layer->WaitWritable(p.device, kWriteWaitMs) : 0;
      lock.lock();
      if (sent < 0 || waited < 0) {
        p.deviceFailed = true;
        break;
      }
      if (sent > 0) {
        p.outTail = (p.outTail + sent) % p.outSize;
        p.outFull = false;
        p.changed.notify_all();
      }
    }
  }
}

void StopThreads(Port& p, bool onDispatchThread) {
  {
    std::lock_guard lock(p.lock);
    p.stop = true;
    p.changed.notify_all();
    p.eventHandover.notify_all();
    p.outputWork.notify_all();
  }
  p.layer->WakeWriter(p.device);
  if (p.outputThread.joinable()) p.outputThread.join();
  p.layer->SetEventMask(p.device, 0);  // ends the comm-event thread's wait
  if (p.commThread.joinable()) p.commThread.join();
  if (onDispatchThread) {
    p.dispatchThread.detach();
  } else if (p.dispatchThread.joinable()) {
    p.dispatchThread.join();
  }
}

void FreeSlot(int handle) {
  std::lock_guard lock(tableMutex);
  portTable[static_cast<std::size_t>(handle)] = nullptr;
  portTaken[static_cast<std::size_t>(handle)] = false;
  portKind[static_cast<std::size_t>(handle)] = 0;
}

void CloseDevice(Port& p) {
  if (p.attached) {
    p.layer->Attach(p.device, false);
  } else {
    p.layer->Close(p.device);
  }
}

void TearDown(const PortPtr& port, bool onDispatchThread) {
  Port& p = *port;
  StopThreads(p, onDispatchThread);
  {
    std::lock_guard lock(p.lock);
    EmptyOutputRingLocked(p);
  }
  p.layer->Flush(p.device, false);
  CloseDevice(p);
  std::lock_guard lock(p.lock);
  p.handlers.clear();
  FreeSlot(p.handle);
}

int StartThreads(const PortPtr& port) {
  Port& p = *port;
  const auto start = [&](std::thread& thread, void (*body)(PortPtr)) {
    int wanted;
    {
      std::lock_guard lock(p.lock);
      wanted = p.threadsStarted + 1;
    }
    thread = std::thread(body, port);
    std::unique_lock lock(p.lock);
    return p.changed.wait_for(lock, std::chrono::milliseconds(kThreadStartMs),
                              [&] { return p.threadsStarted >= wanted; });
  };
  if (!start(p.commThread, CommEventThread) || !start(p.dispatchThread, DispatchThread) ||
      !start(p.outputThread, OutputThread)) {
    return ecInternal;
  }
  return 0;
}

int OpenPort(const std::string& name, int kind, int inSize, int outSize, std::uint32_t baud, int parity,
             int dataBits, int stopBits, const DeviceHandle* attachedDevice) {
  if (kind != kDispatcherThreads || outSize < 1 || inSize < 0) return ecBadArgument;
  int handle = 0;
  {
    std::lock_guard lock(tableMutex);
    for (int i = 1; i <= kMaxPorts && handle == 0; ++i) {
      if (!portTaken[static_cast<std::size_t>(i)]) handle = i;
    }
    if (handle == 0) return ecNoHandles;
    portTaken[static_cast<std::size_t>(handle)] = true;
  }
  auto port = std::make_shared<Port>();
  Port& p = *port;
  p.layer = InstalledDeviceLayer();
  p.handle = handle;
  p.inSize = inSize;
  p.outSize = outSize;
  if (attachedDevice) {
    p.attached = true;
    p.device = *attachedDevice;
    const int attached = p.layer->Attach(p.device, true);
    if (attached < 0) {
      FreeSlot(handle);
      return attached == ecOutOfMemory ? ecOutOfMemory : attached;
    }
  } else {
    p.device = p.layer->Open(name);
    if (p.device < 0) {
      FreeSlot(handle);
      return p.device;
    }
  }
  const auto fail = [&](int code) {
    CloseDevice(p);
    FreeSlot(handle);
    return code;
  };
  if (p.layer->SetupQueues(p.device, inSize, outSize) == 0) return fail(ecGeneralFailure);
  try {
    p.input.assign(kInputBufferSize, 0);
    p.output.assign(static_cast<std::size_t>(outSize), 0);
  } catch (const std::bad_alloc&) {
    return fail(ecOutOfMemory);
  }
  {
    std::lock_guard lock(p.lock);
    p.layer->GetState(p.device, p.state);
    RefreshModemStatusLocked(p, kModemLineBits);
    if (!p.attached) {
      const int result = SetLineLocked(p, baud, parity, dataBits, stopBits);
      if (result != 0) return fail(result);
    } else {
      p.state.baud = TranslateBaudField(p.state.baud);
    }
    RefreshDeviceStatusLocked(p);
    p.lineError = 0;
    p.startMs = MilliCount();
  }
  if (const int started = StartThreads(port); started != 0) {
    StopThreads(p, false);
    return fail(started);
  }
  std::lock_guard lock(tableMutex);
  portTable[static_cast<std::size_t>(handle)] = port;
  portKind[static_cast<std::size_t>(handle)] = kind;
  return handle;
}

int LevelsCheck(const Port& p, int full, int resume) {
  return resume <= full && full <= p.inSize && resume >= 0 ? 0 : ecBadArgument;
}

}  // namespace

std::uint32_t TranslateBaudField(std::uint32_t field) {
  static constexpr std::uint32_t kRates[24] = {110, 300,   600, 1200, 2400, 4800,   9600, 14400,
                                               19200, 0,   0,   38400, 0,   0,      0,    56000,
                                               0,   0,     0,   128000, 0,  0,      0,    256000};
  if (field == 0xFEFF) return 115200;
  if (field >= 0xFF10 && field <= 0xFF27) {
    const std::uint32_t rate = kRates[field - 0xFF10];
    return rate != 0 ? rate : field;
  }
  return field;
}

int PortOpen(const std::string& name, int kind, int inSize, int outSize, std::uint32_t baud, int parity,
             int dataBits, int stopBits) {
  return OpenPort(name, kind, inSize, outSize, baud, parity, dataBits, stopBits, nullptr);
}

int PortOpenAttached(const std::string& name, int kind, int inSize, int outSize, std::uint32_t baud, int parity,
                     int dataBits, int stopBits, DeviceHandle device) {
  return OpenPort(name, kind, inSize, outSize, baud, parity, dataBits, stopBits, &device);
}

int PortClose(int handle) {
  PortPtr port = Lookup(handle);
  if (!port) return ecBadHandle;
  Port& p = *port;
  std::unique_lock lock(p.lock);
  if (p.closePending || p.closing) return 0;
  const bool onDispatchThread = std::this_thread::get_id() == p.dispatchThreadId;
  if (p.delivering && (onDispatchThread || p.windowHandlerRunning)) {
    // Inside a handler: the dispatch thread tears the port down once the
    // delivery has returned.
    p.closePending = true;
    p.changed.notify_all();
    return 0;
  }
  p.closing = true;
  // A delivery in progress ends first. It may be waiting for the UI thread,
  // so a close on the UI thread keeps its queue running meanwhile.
  UiThread& ui = UiThread::Current();
  const bool onUiThread = ui.IsUiThread();
  while (p.delivering) {
    lock.unlock();
    if (onUiThread) ui.ProcessPendingMessages();
    lock.lock();
    p.changed.wait_for(lock, std::chrono::milliseconds(2), [&] { return !p.delivering; });
  }
  lock.unlock();
  TearDown(port, onDispatchThread);
  return 0;
}

bool PortIsOpen(int port) { return Lookup(port) != nullptr; }

int PortDispatcherKind(int port) {
  if (port < 1 || port > kMaxPorts) return 0;
  std::lock_guard lock(tableMutex);
  return portKind[static_cast<std::size_t>(port)];
}

// -------------------------------------------------------------------- data

int PutBlock(int handle, const std::uint8_t* data, int count) {
  return WithPort(handle, [&](Port& p) {
    if (count <= 0) return 0;
    if (p.outSize - p.OutWaiting() < count) return static_cast<int>(ecOutputBufferTooSmall);
    if (p.deviceFailed) return static_cast<int>(ecPutBlockFail);
    // Copy at the head, in two pieces when the block crosses the end.
    const int first = std::min(count, p.outSize - p.outHead);
    std::copy_n(data, first, p.output.data() + p.outHead);
    std::copy_n(data + first, count - first, p.output.data());
    p.outHead = (p.outHead + count) % p.outSize;
    if (p.outHead == p.outTail) p.outFull = true;
    p.outputQueued = true;
    p.trace.Record('T', data, count);
    LogLocked(p, kLogDispatch, kLogWriteCom, static_cast<std::uint16_t>(count), data, count);
    p.dataToSend = true;
    p.outputWork.notify_all();
    return 0;
  });
}

int PutChar(int port, std::uint8_t c) { return PutBlock(port, &c, 1); }

int PutString(int port, std::string_view text) {
  return PutBlock(port, reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<int>(text.size()));
}

namespace {

// Takes count available bytes at the tail (while peeking, past the peek
// offset), each traced as read. A single byte, as GetChar takes, is read
// in place.
void TakeLocked(Port& p, bool peeking, std::uint8_t* buffer, int count) {
  const std::uint64_t from = p.consumed + static_cast<std::uint64_t>(peeking ? p.peekOffset : 0);
  const auto at = static_cast<int>(from % kInputBufferSize);
  const int first = std::min(count, kInputBufferSize - at);
  if (count == 1) {
    buffer[0] = p.input[static_cast<std::size_t>(at)];
  } else {
    std::copy_n(p.input.data() + at, first, buffer);
    if (first < count) std::copy_n(p.input.data(), count - first, buffer + first);
  }
  if (peeking) {
    p.peekOffset += count;
  } else {
    p.consumed += static_cast<std::uint64_t>(count);
    WakeReceiverLocked(p);
  }
  p.trace.Record('R', buffer, count);
}

}  // namespace

int GetChar(int handle) {
  return WithPort(handle, [](Port& p) {
    const bool peeking = p.Peeking();
    if (p.Available(peeking) <= 0) return static_cast<int>(ecBufferIsEmpty);
    std::uint8_t byte;
    TakeLocked(p, peeking, &byte, 1);
    return static_cast<int>(byte);
  });
}

int GetBlock(int handle, std::uint8_t* buffer, int count) {
  return WithPort(handle, [&](Port& p) {
    if (count < 0) return static_cast<int>(ecBadArgument);
    const bool peeking = p.Peeking();
    if (p.Available(peeking) < count) return static_cast<int>(ecGetBlockFail);
    TakeLocked(p, peeking, buffer, count);
    return count;
  });
}

int PeekChar(int handle, int n) {
  return WithPort(handle, [n](Port& p) {
    if (n < 1) return static_cast<int>(ecBadArgument);
    if (p.Available() < n) return static_cast<int>(ecBufferIsEmpty);
    const std::uint64_t from = p.consumed + static_cast<std::uint64_t>(p.Peeking() ? p.peekOffset : 0);
    return static_cast<int>(p.input[(from + static_cast<std::uint64_t>(n - 1)) % kInputBufferSize]);
  });
}

int CharReady(int handle) {
  return WithPort(handle, [](Port& p) { return p.Available() > 0 ? 1 : 0; });
}

int BytesAvailable(int handle) {
  return WithPort(handle, [](Port& p) { return p.Available(); });
}

int OutBytesWaiting(int handle) {
  return WithPort(handle, [](Port& p) {
    if (p.deviceFailed) return static_cast<int>(ecPutBlockFail);
    RefreshDeviceStatusLocked(p);
    return p.OutWaiting();
  });
}

bool DeviceGone(int handle) {
  return WithPort(handle, [](Port& p) { return p.deviceFailed ? 1 : 0; }) == 1;
}

int OutFreeSpace(int handle) {
  return WithPort(handle, [](Port& p) {
    if (p.deviceFailed) return static_cast<int>(ecPutBlockFail);
    RefreshDeviceStatusLocked(p);
    return p.outSize - p.OutWaiting();
  });
}

int FlushInput(int handle) {
  return WithPort(handle, [](Port& p) {
    const int result = p.layer->Flush(p.device, true);
    if (p.Peeking()) {
      p.peekOffset = static_cast<int>(p.received - p.consumed);
    } else {
      p.consumed = p.received;
    }
    p.scanned = p.received;
    ResetDataMatchesLocked(p);
    WakeReceiverLocked(p);
    return result < 0 ? result : 0;
  });
}

int FlushOutput(int handle) {
  PortPtr port = Lookup(handle);
  if (!port) return ecBadHandle;
  Port& p = *port;
  {
    // Hand the ring over: the output thread abandons its write and answers.
    std::unique_lock lock(p.lock);
    if (!p.stop && p.outputThread.joinable() && std::this_thread::get_id() != p.outputThread.get_id()) {
      p.flushAck = false;
      p.flushRequest = true;
      p.outputWork.notify_all();
      lock.unlock();
      p.layer->WakeWriter(p.device);
      lock.lock();
      p.changed.wait(lock, [&] { return p.flushAck || p.stop; });
      if (!p.flushAck) EmptyOutputRingLocked(p);  // stopped: the thread has gone
    } else {
      EmptyOutputRingLocked(p);
    }
  }
  const int result = p.layer->Flush(p.device, false);
  return result < 0 ? result : 0;
}

// -------------------------------------------------------------------- line

int SetLine(int handle, std::uint32_t baud, int parity, int dataBits, int stopBits) {
  return WithPort(handle, [&](Port& p) { return SetLineLocked(p, baud, parity, dataBits, stopBits); });
}

int SetBaud(int port, std::uint32_t baud) { return SetLine(port, baud, 5, 9, 3); }

int GetLine(int handle, LineSettings& line) {
  return WithPort(handle, [&](Port& p) {
    p.layer->GetState(p.device, p.state);
    line.baud = TranslateBaudField(p.state.baud);
    line.parity = p.state.parity;
    line.dataBits = p.state.byteSize;
    line.stopBits = p.state.stopBits == 0 ? 1 : 2;
    return 0;
  });
}

namespace {

int SetControlLineLocked(Port& p, bool dtrLine, bool on) {
  const int function = dtrLine ? (on ? kEscSetDtr : kEscClrDtr) : (on ? kEscSetRts : kEscClrRts);
  if (p.layer->EscapeFunction(p.device, function) != 0) return ecBadArgument;
  (dtrLine ? p.dtr : p.rts) = on;
  return 0;
}

}  // namespace

int SetDtr(int handle, bool on) {
  return WithPort(handle, [on](Port& p) { return SetControlLineLocked(p, true, on); });
}

int SetRts(int handle, bool on) {
  return WithPort(handle, [on](Port& p) { return SetControlLineLocked(p, false, on); });
}

int SetDtrRts(int handle, bool dtr, bool rts) {
  return WithPort(handle, [&](Port& p) {
    const int result = SetControlLineLocked(p, true, dtr);
    return result != 0 ? result : SetControlLineLocked(p, false, rts);
  });
}

int HwFlowOn(int handle, int bufferFull, int bufferResume, int options) {
  return WithPort(handle, [&](Port& p) {
    if (const int bad = LevelsCheck(p, bufferFull, bufferResume); bad != 0) return bad;
    SerialState& s = p.state;
    s.dtrControl = (options & 1) ? LineControl::kHandshake : LineControl::kDisable;
    s.rtsControl = (options & 2) ? LineControl::kHandshake : LineControl::kDisable;
    s.xoffLim = static_cast<std::uint16_t>(p.inSize - bufferFull);
    s.xonLim = static_cast<std::uint16_t>(bufferResume);
    s.outxDsrFlow = (options & 4) != 0;
    s.outxCtsFlow = (options & 8) != 0;
    return ApplyStateLocked(p);
  });
}

int HwFlowOff(int handle) {
  return WithPort(handle, [](Port& p) {
    p.state.outxCtsFlow = p.state.outxDsrFlow = false;
    if (p.state.dtrControl == LineControl::kHandshake) p.state.dtrControl = LineControl::kDisable;
    if (p.state.rtsControl == LineControl::kHandshake) p.state.rtsControl = LineControl::kDisable;
    return ApplyStateLocked(p);
  });
}

int SwFlowOn(int handle, int bufferFull, int bufferResume, int options) {
  return WithPort(handle, [&](Port& p) {
    if (const int bad = LevelsCheck(p, bufferFull, bufferResume); bad != 0) return bad;
    SerialState& s = p.state;
    if (options & 2) {
      s.inX = true;
      s.xoffLim = static_cast<std::uint16_t>(p.inSize - bufferFull);
      s.xonLim = static_cast<std::uint16_t>(bufferResume);
    }
    if (options & 1) s.outX = true;
    if (options & 3) {
      s.xonChar = 17;
      s.xoffChar = 19;
    }
    return ApplyStateLocked(p);
  });
}

int SwFlowOff(int handle) {
  return WithPort(handle, [](Port& p) {
    p.state.inX = p.state.outX = false;
    return ApplyStateLocked(p);
  });
}

int SetXonXoffChars(int handle, char xon, char xoff) {
  return WithPort(handle, [&](Port& p) {
    p.state.xonChar = xon;
    p.state.xoffChar = xoff;
    return ApplyStateLocked(p);
  });
}

int ModemStatus(int handle, std::uint8_t keepMask) {
  return WithPort(handle, [keepMask](Port& p) { return static_cast<int>(RefreshModemStatusLocked(p, keepMask)); });
}

int CarrierDetect(int handle) {
  return WithPort(handle, [](Port& p) { return (RefreshModemStatusLocked(p, 0xF7) & kLineDcd) ? 1 : 0; });
}

int LineError(int handle) {
  return WithPort(handle, [](Port& p) {
    RefreshDeviceStatusLocked(p);
    const std::uint16_t e = p.lineError;
    p.lineError &= kErrBreak;
    if (e & kErrRxOverrun) return static_cast<int>(leBufferOverrun);
    if (e & kErrOverrun) return static_cast<int>(leOverrun);
    if (e & kErrParity) return static_cast<int>(leParity);
    if (e & kErrFraming) return static_cast<int>(leFraming);
    if (e & kErrBreak) return static_cast<int>(leBreak);
    return static_cast<int>(leNone);
  });
}

int LineBreak(int handle) {
  return WithPort(handle, [](Port& p) {
    RefreshDeviceStatusLocked(p);
    const bool on = (p.lineError & kErrBreak) != 0;
    p.lineError &= ~kErrBreak;
    return on ? 1 : 0;
  });
}

int SendBreak(int handle) {
  return WithPort(handle, [](Port& p) {
    return p.layer->SetBreak(p.device) == 0 ? 0 : static_cast<int>(ecNotSupported);
  });
}

int ClearBreak(int handle) {
  return WithPort(handle, [](Port& p) {
    return p.layer->ClearBreak(p.device) == 0 ? 0 : static_cast<int>(ecNotSupported);
  });
}

int GiveDispatcherTurn(int handle) {
  return WithPort(handle, [](Port&) { return 0; });
}

int SetQueueSizes(int handle, int inSize, int outSize) {
  return WithPort(handle, [&](Port& p) {
    if (inSize < 0 || outSize < 0) return static_cast<int>(ecBadArgument);
    if (p.layer->SetupQueues(p.device, inSize, outSize) == 0) return static_cast<int>(ecGeneralFailure);
    p.inSize = inSize;
    return 0;
  });
}

// ---------------------------------------------------------------- triggers

int SetAvailLevel(int handle, int level) {
  return WithPort(handle, [level](Port& p) {
    if (level < 0 || level > kInputBufferSize) return static_cast<int>(ecBadArgument);
    p.triggers.availLevel = static_cast<std::uint16_t>(level);
    return 0;
  });
}

int AddTimerTrigger(int handle) {
  return WithPort(handle, [](Port& p) { return AddTriggerLocked(p, p.triggers.timers, tkTimer); });
}

int AddStatusTrigger(int handle, int type) {
  return WithPort(handle, [type](Port& p) {
    if (type < 0 || type > stOutSent) return static_cast<int>(ecBadArgument);
    const int trigger = AddTriggerLocked(p, p.triggers.status, tkStatus);
    if (trigger > 0) {
      const TriggerHandleEntry* entry = EntryOf(p, trigger, tkStatus);
      p.triggers.status[entry->slot - 1].type = static_cast<std::uint16_t>(type);
    }
    return trigger;
  });
}

int AddDataTrigger(int handle, std::string_view text, bool ignoreCase) {
  return WithPort(handle, [&](Port& p) {
    if (text.empty()) return static_cast<int>(ecBadArgument);
    if (text.size() > kMaxDataTriggerLength) return static_cast<int>(ecTriggerTooLong);
    const int trigger = AddTriggerLocked(p, p.triggers.data, tkData);
    if (trigger > 0) {
      DataTriggerSlot& slot = p.triggers.data[EntryOf(p, trigger, tkData)->slot - 1];
      slot.length = static_cast<std::uint16_t>(text.size());
      slot.ignoreCase = ignoreCase;
      std::copy(text.begin(), text.end(), slot.text.begin());
    }
    return trigger;
  });
}

int RemoveTrigger(int handle, int trigger) {
  return WithPort(handle, [trigger](Port& p) {
    if (trigger == kAvailTriggerHandle) {
      p.triggers.availLevel = 0;
      return 0;
    }
    if (trigger < 2 || trigger > kTriggerHandles + 1) return static_cast<int>(ecBadTriggerHandle);
    TriggerHandleEntry& entry = p.triggers.handles[static_cast<std::size_t>(trigger - 2)];
    const std::size_t slot = entry.slot - 1u;
    switch (entry.kind) {
      case tkTimer: p.triggers.timers[slot] = {}; break;
      case tkData: p.triggers.data[slot] = {}; break;
      case tkStatus:
        p.triggers.status[slot] = {};
        p.statusFired[slot] = false;
        break;
      default: return static_cast<int>(ecBadTriggerHandle);
    }
    entry = {};
    return 0;
  });
}

int SetTimerTrigger(int handle, int trigger, std::int32_t ticks, bool arm) {
  return WithPort(handle, [&](Port& p) {
    const TriggerHandleEntry* entry = EntryOf(p, trigger, tkTimer);
    if (!entry || entry->slot < 1 || entry->slot > kTimerTriggerSlots) return static_cast<int>(ecBadTriggerHandle);
    TimerTriggerSlot& t = p.triggers.timers[entry->slot - 1u];
    if (arm) {
      if (ticks != 0) t.duration = std::clamp(ticks, 0, kTickWrap);
      t.timer = NewTimer(t.duration);
    }
    t.armed = arm;
    return 0;
  });
}

int SetStatusTrigger(int handle, int trigger, int value, bool arm) {
  return WithPort(handle, [&](Port& p) {
    const TriggerHandleEntry* entry = EntryOf(p, trigger, tkStatus);
    if (!entry) return static_cast<int>(ecBadTriggerHandle);
    const std::size_t index = entry->slot - 1u;
    StatusTriggerSlot& s = p.triggers.status[index];
    if (arm) {
      switch (s.type) {
        case stModemStatus:
          s.mask = static_cast<std::uint16_t>(value & 0xFF);
          p.msrShadow = static_cast<std::uint16_t>((p.msrShadow & kModemDeltaBits) |
                                                   (p.layer->ModemLines(p.device) & kModemLineBits));
          s.reference = s.mask & (p.msrShadow & 0xFF);
          break;
        case stLineError:
          s.mask = 0;
          if (value & 1) s.mask |= kErrOverrun;
          if (value & 2) s.mask |= kErrParity;
          if (value & 4) s.mask |= kErrFraming;
          if (value & 8) s.mask |= kErrBreak;
          break;
        case stOutBuffFree:
        case stOutBuffUsed:
          s.threshold = static_cast<std::uint16_t>(value);
          break;
        default:
          break;
      }
    }
    s.armed = arm;
    return 0;
  });
}

int StatusTriggerTypeOf(int handle, int trigger) {
  return WithPort(handle, [trigger](Port& p) {
    const TriggerHandleEntry* entry = EntryOf(p, trigger, tkStatus);
    return entry ? static_cast<int>(p.triggers.status[entry->slot - 1u].type) : static_cast<int>(ecBadTriggerHandle);
  });
}

int SaveTriggers(int handle, SavedTriggers& saved) {
  return WithPort(handle, [&](Port& p) {
    saved = p.triggers;
    return 0;
  });
}

int RestoreTriggers(int handle, const SavedTriggers& saved) {
  return WithPort(handle, [&](Port& p) {
    p.triggers = saved;
    p.statusFired.fill(false);
    return 0;
  });
}

int RegisterTriggerHandler(int handle, TriggerWindow* window, TriggerProcedure procedure, void* arg, bool passOn) {
  return WithPort(handle, [&](Port& p) {
    if (!window && !procedure) return static_cast<int>(ecBadArgument);
    HandlerNode node;
    node.window = window;
    node.procedure = window ? nullptr : procedure;
    node.arg = arg;
    node.passOn = passOn;
    p.handlers.push_front(node);
    return 0;
  });
}

int DeregisterTriggerHandler(int handle, TriggerWindow* window, TriggerProcedure procedure, void* arg) {
  PortPtr port = Lookup(handle);
  if (!port) return ecBadHandle;
  Port& p = *port;
  std::unique_lock lock(p.lock);
  const auto matches = [&](const HandlerNode& node) {
    if (window) return node.window == window;
    return procedure && node.procedure == procedure && (!arg || node.arg == arg);
  };
  int result = ecRegisterHandlerFailed;
  for (auto& node : p.handlers) {
    if (!node.deleted && matches(node)) {
      node.deleted = true;
      result = 0;
      break;
    }
  }
  // A procedure handler that runs this moment on the dispatch thread is
  // waited for, so that what it works on may be freed once this returns
  // (inside the handler itself there is nothing to wait for). It may be
  // waiting for the UI thread meanwhile, so a wait there keeps the UI
  // thread's queue running.
  if (std::this_thread::get_id() != p.dispatchThreadId) {
    UiThread& ui = UiThread::Current();
    const bool onUiThread = ui.IsUiThread();
    const auto running = [&] { return p.runningProcedure && matches(*p.runningProcedure); };
    while (running()) {
      lock.unlock();
      if (onUiThread) ui.ProcessPendingMessages();
      lock.lock();
      p.changed.wait_for(lock, std::chrono::milliseconds(2), [&] { return !running(); });
    }
  }
  if (!p.delivering) p.handlers.remove_if([](const HandlerNode& n) { return n.deleted; });
  return result;
}

// ------------------------------------------------------- protocol state

int SetUserData(int handle, int slot, void* data) {
  return WithPort(handle, [&](Port& p) {
    if (slot < 1 || slot > 10) return static_cast<int>(ecBadArgument);
    p.userData[static_cast<std::size_t>(slot - 1)] = data;
    return 0;
  });
}

int GetUserData(int handle, int slot, void*& data) {
  return WithPort(handle, [&](Port& p) {
    if (slot < 1 || slot > 10) return static_cast<int>(ecBadArgument);
    data = p.userData[static_cast<std::size_t>(slot - 1)];
    return 0;
  });
}

int SetFaxSession(int handle, std::int32_t value) {
  return WithPort(handle, [value](Port& p) {
    p.faxSession = value;
    return 0;
  });
}

int FaxSessionOf(int handle, std::int32_t& value) {
  return WithPort(handle, [&](Port& p) {
    value = p.faxSession;
    return 0;
  });
}

int SetOptions(int handle, std::uint16_t bits) {
  return WithPort(handle, [bits](Port& p) {
    const std::uint16_t before = p.options;
    p.options |= bits;
    if ((before ^ p.options) & doUseMsrShadow) p.layer->Notify(p.device, p.options);
    return 0;
  });
}

int ClearOptions(int handle, std::uint16_t bits) {
  return WithPort(handle, [bits](Port& p) {
    const std::uint16_t before = p.options;
    p.options &= static_cast<std::uint16_t>(~bits);
    if ((before ^ p.options) & doUseMsrShadow) p.layer->Notify(p.device, p.options);
    return 0;
  });
}

int OptionsOf(int handle) {
  return WithPort(handle, [](Port& p) { return static_cast<int>(p.options); });
}

int SetDispatching(int handle, bool on) {
  return WithPort(handle, [on](Port& p) {
    const bool before = p.deliveryOff;
    p.deliveryOff = on;
    return before ? 1 : 0;
  });
}

// ---------------------------------------------------------- trace and log

int StartTrace(int handle, int entries) {
  return WithPort(handle, [entries](Port& p) { return p.trace.Start(entries); });
}
int PauseTrace(int handle) {
  return WithPort(handle, [](Port& p) {
    p.trace.Pause();
    return 0;
  });
}
int ResumeTrace(int handle) {
  return WithPort(handle, [](Port& p) {
    p.trace.Resume();
    return 0;
  });
}
int ClearTrace(int handle) {
  return WithPort(handle, [](Port& p) {
    p.trace.Clear();
    return 0;
  });
}
int StopTrace(int handle) {
  return WithPort(handle, [](Port& p) {
    p.trace.Stop();
    return 0;
  });
}
int DumpTrace(int handle, const std::string& fileName, bool append, bool hex) {
  return WithPort(handle, [&](Port& p) { return p.trace.Dump(fileName, append, hex); });
}
int StartLog(int handle, int bytes) {
  return WithPort(handle, [bytes](Port& p) { return p.log.Start(bytes); });
}
int PauseLog(int handle) {
  return WithPort(handle, [](Port& p) {
    p.log.Pause();
    return 0;
  });
}
int ResumeLog(int handle) {
  return WithPort(handle, [](Port& p) {
    p.log.Resume();
    return 0;
  });
}
int ClearLog(int handle) {
  return WithPort(handle, [](Port& p) {
    p.log.Clear();
    return 0;
  });
}
int StopLog(int handle) {
  return WithPort(handle, [](Port& p) {
    p.log.Stop();
    return 0;
  });
}
int DumpLog(int handle, const std::string& fileName, bool append, bool hex) {
  return WithPort(handle, [&](Port& p) { return p.log.Dump(fileName, append, hex); });
}
int AddLogNote(int handle, std::string_view text) {
  return WithPort(handle, [&](Port& p) {
    LogLocked(p, kLogNote, kLogNone, 0, reinterpret_cast<const std::uint8_t*>(text.data()),
              static_cast<int>(text.size()));
    return 0;
  });
}

}  // namespace tv
