// An in-process modem on which tests drive a serial port end to end.
//
// A SimModem registers itself under a device name; the simulated device
// layer (SimDeviceLayer, installed through the com port's dlOther provider
// or InstallDeviceLayer) opens it by that name. The test plays the far end:
//
//   SimModem modem("sim0");
//   modem.OnWrite([&](std::string_view bytes) { ...reply with modem.Receive("OK\r\n"); });
//   modem.SetLine(kLineDcd, true);        // carrier up: the port sees a modem-status event
//   modem.InjectLineError(kErrFraming);   // the port sees a line-error event
//   modem.HoldOutput(true);               // the line takes nothing: output stays queued
//
// Bytes the program writes reach OnWrite (called on the port's output thread,
// never under the modem's lock, so the handler may call Receive) and are also
// kept for TakeWritten / WaitForWritten. Bytes given to Receive wait in the
// modem's receive queue until the port reads them. When the program enables
// CTS output flow, the modem takes nothing while its CTS line is off, as a
// real line would hold the sender. A new modem has CTS and DSR on, as a
// powered modem has; carrier and ring are off.
//
// OnWrite gets the bytes in the pieces the device took them (SetWriteChunk
// and SetLineRate make those small), so a scripted modem should gather them
// up to the carriage return before it answers a command.
//
// To put it behind a com port component:
//
//   SetOtherDeviceLayerProvider([] { return SimDeviceLayer(); });
//   port.SetDeviceLayer(dlOther);
//   port.SetDevicePath("sim0");   // or map COMn to "sim0" in [Ports] of TV.INI
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "comm/device_layer.h"

namespace tv {

class SimModem {
 public:
  using WriteHandler = std::function<void(std::string_view bytes)>;

  // Registers under name; a second modem of the same name replaces the first
  // for later opens.
  explicit SimModem(std::string name);
  ~SimModem();
  SimModem(const SimModem&) = delete;
  SimModem& operator=(const SimModem&) = delete;

  const std::string& DeviceName() const;

  // Far end to program: queues bytes for the port to read.
  void Receive(std::string_view bytes);
  // Bytes received but not yet read by the port.
  std::size_t ReceiveQueued() const;

  // Program to far end.
  void OnWrite(WriteHandler handler);
  std::string TakeWritten();
  // Waits until at least count bytes are held for TakeWritten (OnWrite for
  // the last of them may still be running).
  bool WaitForWritten(std::size_t count, int timeoutMs) const;

  // Modem lines driven by the far end (CTS, DSR, RI, DCD as ModemLine bits).
  void SetLine(ModemLine line, bool on);
  void SetLines(std::uint8_t lines);
  std::uint8_t Lines() const;
  // Lines and break driven by the program.
  bool Dtr() const;
  bool Rts() const;
  bool BreakOn() const;

  // Line errors (LineErrorBit) as the device would report them.
  void InjectLineError(std::uint16_t errors);

  // Write pacing: the device takes at most maxBytes per write (0: no limit),
  // sends at a line rate (bits per second, ten bits a byte, through a 16-byte
  // transmit FIFO; 0: at once) and takes nothing at all while held.
  void SetWriteChunk(int maxBytes);
  void SetLineRate(int bitsPerSecond);
  void HoldOutput(bool hold);

  // The device disappears: reads and writes fail from now on.
  void Vanish();
  // The next opens fail with this negated OS error (0: open normally).
  void FailOpen(int code);

  bool IsOpen() const;
  SerialState State() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// The simulated device layer; opens the SimModem registered under a name.
std::shared_ptr<DeviceLayer> SimDeviceLayer();

// Whether a SimModem is registered under the name (so a port opens it, not a
// device of the system).
bool SimModemRegistered(const std::string& name);

// Makes in-process devices when a port opens them by name (the demo line,
// the SIP line); one maker per family, a second for a family replaces the
// first. Returns false when the name is none of its devices; true when it is, having
// registered a SimModem under the name, or having put in `error` why the
// name is wrong.
using SimDeviceMaker = std::function<bool(const std::string& name, std::string& error)>;
void SetSimDeviceMaker(const std::string& family, SimDeviceMaker maker);

// Whether a port opens the name on the simulated layer: a SimModem is
// registered under it, or the device maker makes one now. A name the maker
// refuses raises EInOutError with its reason.
bool OpensOnSimLayer(const std::string& name);

}  // namespace tv
