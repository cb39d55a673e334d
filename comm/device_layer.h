// The device layer: the fixed set of operations on one open serial device
// that the dispatcher calls and never bypasses.
//
// A layer is installed process-wide; the dispatcher copies the installed
// layer into a port's record at open, so a port keeps the layer it was
// opened with even when another is installed later. Every operation takes the
// layer's handle of the open device first and returns 0 or a non-negative
// count on success and a negative value on failure unless said otherwise.
//
// Three layers exist: the null layer (every operation fails with ecNullApi),
// the native layer on termios (native_layer.h) and the simulated modem
// (sim_modem.h), which tests install through the dlOther provider hook.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tv {

using DeviceHandle = std::int32_t;

// The serial line state the program sets: speed, framing, flow control.
enum class LineControl : std::uint8_t { kDisable = 0, kEnable = 1, kHandshake = 2 };

struct SerialState {
  std::uint32_t baud = 19200;
  bool outxCtsFlow = false;   // hold our output while CTS is off
  bool outxDsrFlow = false;   // hold our output while DSR is off
  LineControl dtrControl = LineControl::kEnable;
  LineControl rtsControl = LineControl::kEnable;
  bool outX = false;          // obey XON/XOFF from the far end
  bool inX = false;           // send XON/XOFF to the far end
  std::uint16_t xonLim = 0;
  std::uint16_t xoffLim = 0;
  std::uint8_t byteSize = 8;
  std::uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
  char xonChar = 17;
  char xoffChar = 19;

  bool operator==(const SerialState&) const = default;
};

// Device events, as bits of the event mask and of WaitEvent's result.
enum DeviceEvent : std::uint32_t {
  kEvRxChar = 0x0001,
  kEvCts = 0x0008,
  kEvDsr = 0x0010,
  kEvRlsd = 0x0020,
  kEvBreak = 0x0040,
  kEvErr = 0x0080,
  kEvRing = 0x0100,
  kEvRingTrailingEdge = 0x2000,
  // Not part of any mask: the device has hung up or failed (unplugged),
  // reported once, whatever the mask.
  kEvDeviceGone = 0x8000,
};
inline constexpr std::uint32_t kDispatcherEventMask = 0x21F9;

// Modem line bits of ModemLines().
enum ModemLine : std::uint8_t { kLineCts = 0x10, kLineDsr = 0x20, kLineRing = 0x40, kLineDcd = 0x80 };

// Line-error bits, the same in GetErrorAndStatus and the dispatcher's
// line-error word.
enum LineErrorBit : std::uint16_t {
  kErrRxOverrun = 1,   // receive queue overrun
  kErrOverrun = 2,     // hardware overrun
  kErrParity = 4,
  kErrFraming = 8,
  kErrBreak = 16,
};

// Escape function codes.
enum EscapeCode : int { kEscSetRts = 3, kEscClrRts = 4, kEscSetDtr = 5, kEscClrDtr = 6 };

struct DeviceStatus {
  std::int32_t inQueue = 0;   // bytes received and waiting in the device
  std::int32_t outQueue = 0;  // bytes not yet sent by the device
};

// Operating-system error numbers the layers report from open, negated, in
// the numbering the com port component maps to its exceptions.
inline constexpr int kOsFileNotFound = -2;      // device missing
inline constexpr int kOsAccessDenied = -5;      // device in use
inline constexpr int kOsPermissionDenied = -13; // no read-write permission on the device

class DeviceLayer {
 public:
  virtual ~DeviceLayer() = default;

  virtual const char* Name() const = 0;

  // Parses "baud=9600 parity=N data=8 stop=1" into state; 0 / -1.
  virtual int BuildState(const std::string& text, SerialState& state);
  virtual int ClearBreak(DeviceHandle h) = 0;
  virtual int Close(DeviceHandle h) = 0;
  // Raises or lowers DTR or RTS (EscapeCode).
  virtual int EscapeFunction(DeviceHandle h, int function) = 0;
  // Discards what the device holds in its input (true) or output (false) queue.
  virtual int Flush(DeviceHandle h, bool input) = 0;
  // Returns the line-error bits gathered since the last call (and clears
  // them) and fills status; ecNotOpen for an unknown handle.
  virtual int GetErrorAndStatus(DeviceHandle h, DeviceStatus& status) = 0;
  virtual int GetEventMask(DeviceHandle h) = 0;
  virtual int GetState(DeviceHandle h, SerialState& state) = 0;
  // Returns the handle, or a negated OS error (kOsFileNotFound,
  // kOsAccessDenied, kOsPermissionDenied, ...) or ecOutOfMemory.
  virtual DeviceHandle Open(const std::string& name) = 0;
  // Reads what is there, never waiting for more; ecNotOpen when unknown.
  virtual int Read(DeviceHandle h, std::uint8_t* buffer, int count) = 0;
  // The same into two pieces (the end and the start of a ring): the second
  // is filled only once the first is full. Returns the bytes read in all.
  virtual int ReadPieces(DeviceHandle h, std::uint8_t* first, int firstCount, std::uint8_t* second, int secondCount);
  virtual int SetBreak(DeviceHandle h) = 0;
  // Sets the events WaitEvent reports. Any call wakes a pending WaitEvent,
  // and a mask of 0 makes it return 0 at once (how the dispatcher stops the
  // comm-event thread).
  virtual int SetEventMask(DeviceHandle h, std::uint32_t mask) = 0;
  virtual int SetState(DeviceHandle h, const SerialState& state) = 0;
  virtual int TransmitChar(DeviceHandle h, std::uint8_t c) = 0;
  virtual int EnableNotification(DeviceHandle h, int level) = 0;
  // Hands bytes to the device without waiting: returns how many it took
  // (0 when it takes none now), or a negative code when the device failed.
  virtual int Write(DeviceHandle h, const std::uint8_t* data, int count) = 0;
  virtual void Notify(DeviceHandle h, int options) = 0;
  // Attaches a device opened elsewhere (true) or lets it go again without
  // closing it (false).
  virtual int Attach(DeviceHandle h, bool attach) = 0;
  // 1 on success, 0 on failure.
  virtual int SetupQueues(DeviceHandle h, int inSize, int outSize) = 0;

  // Waits until an event of the mask happens or SetEventMask is called;
  // returns the events seen (0 when woken or the mask is 0).
  virtual std::uint32_t WaitEvent(DeviceHandle h) = 0;
  // Waits up to timeoutMs until the device can take more output or
  // WakeWriter is called. Returns 0, or a negative code when the device failed.
  virtual int WaitWritable(DeviceHandle h, int timeoutMs) = 0;
  virtual void WakeWriter(DeviceHandle h) = 0;
  // The four modem line bits (ModemLine); 0 for a device without lines.
  virtual std::uint8_t ModemLines(DeviceHandle h) = 0;
};

// A layer whose operations all fail with ecNullApi ("No device layer
// specified"); installed when the program starts.
std::shared_ptr<DeviceLayer> NullDeviceLayer();

// The process-wide layer and its replacement.
std::shared_ptr<DeviceLayer> InstalledDeviceLayer();
void InstallDeviceLayer(std::shared_ptr<DeviceLayer> layer);

// The provider behind the com port's dlOther choice: it returns the layer to
// install (tests hand in the simulated modem). Without one the native layer
// is used.
using DeviceLayerProvider = std::function<std::shared_ptr<DeviceLayer>()>;
void SetOtherDeviceLayerProvider(DeviceLayerProvider provider);
DeviceLayerProvider OtherDeviceLayerProvider();

}  // namespace tv
