// The dispatcher: owner of every open serial port.
//
// It keeps each port's input ring (8192 bytes) and output ring (OutSize
// bytes), runs three worker threads per port (comm-event, dispatch, output),
// watches the line and turns what happens on it into trigger events: data
// available (avail), a data trigger matching, a timer running out, a status
// trigger firing. Events go to the port's handler list, newest first: window
// handlers run on the UI thread through UiThread::Send with a 1000 ms limit,
// procedure handlers run on the dispatch thread.
//
// Every operation takes a port handle (1 to 50) and returns 0, a count or a
// handle on success and a negative error code on failure; ecBadHandle for a
// handle that is not open. The port's lock is never held while handlers run,
// so a handler may call any operation on its own port, including close.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "comm/device_layer.h"
#include "platform/clock.h"

namespace tv {

inline constexpr int kMaxPorts = 50;
inline constexpr int kInputBufferSize = 8192;
inline constexpr int kDispatcherThreads = 4;  // the only dispatcher kind: worker threads

inline constexpr std::uint16_t kMsgTriggerAvail = 0x7E01;
inline constexpr std::uint16_t kMsgTriggerData = 0x7E02;
inline constexpr std::uint16_t kMsgTriggerTimer = 0x7E03;
inline constexpr std::uint16_t kMsgTriggerStatus = 0x7E04;

inline constexpr int kTimerTriggerSlots = 10;
inline constexpr int kDataTriggerSlots = 20;
inline constexpr int kStatusTriggerSlots = 10;
inline constexpr int kTriggerHandles = 40;     // handles 2 to 41; 1 is the avail trigger
inline constexpr int kMaxDataTriggerLength = 22;
inline constexpr std::uint16_t kAvailTriggerHandle = 1;

enum StatusTriggerType : int {
  stModemStatus = 1,
  stLineError = 2,
  stOutBuffFree = 3,
  stOutBuffUsed = 4,
  stOutSent = 5,
};

// Bits of the port's option word.
enum DispatcherOption : std::uint16_t {
  doUseMsrShadow = 1,
  doPeekOff = 2,  // read normally during avail and data events
  doUseEventWord = 4,
};

// Decoded line errors, as LineError returns them.
enum DecodedLineError : int {
  leNone = 0,
  leBufferOverrun = 1,
  leOverrun = 2,
  leParity = 3,
  leFraming = 4,
  leBreak = 9,
};

// A window handler. TriggerMessage runs on the UI thread while the dispatch
// thread waits (at most 1000 ms; a handler that takes longer is skipped and
// never called late for that event). lParam carries the port handle in its
// high 16 bits.
class TriggerWindow {
 public:
  virtual ~TriggerWindow() = default;
  virtual void TriggerMessage(std::uint16_t msg, std::uint32_t wParam, std::uint32_t lParam) = 0;
};

// A procedure handler, called on the dispatch thread as
// procedure(arg, port x 65536 + message, trigger handle or count, port x 65536 + data).
using TriggerProcedure = void (*)(void* arg, std::uint32_t msg, std::uint32_t handleArg, std::uint32_t dataArg);

// The triggers of a port, kept across closing and reopening it.
struct TriggerHandleEntry {
  std::uint16_t slot = 0;  // 1-based slot in its kind's table
  std::uint8_t kind = 0;   // 0 free, 2 timer, 3 data, 4 status
};

struct TimerTriggerSlot {
  std::uint16_t handle = 0;
  EventTimer timer;
  std::int32_t duration = 0;
  bool armed = false;
};

struct DataTriggerSlot {
  std::uint16_t handle = 0;
  std::uint16_t length = 0;
  std::array<std::uint16_t, kMaxDataTriggerLength> positions{};  // partial matches in progress
  std::uint16_t partials = 0;
  bool matched = false;
  bool ignoreCase = false;
  std::array<char, kMaxDataTriggerLength> text{};
};

struct StatusTriggerSlot {
  std::uint16_t handle = 0;
  std::uint16_t type = 0;
  bool armed = false;
  std::uint16_t data = 0;       // the error bits that fired a line-error trigger
  std::uint16_t mask = 0;       // modem-status or line-error bits watched
  std::uint16_t reference = 0;  // modem-status bits when armed
  std::uint16_t threshold = 0;  // byte count of the output-buffer triggers
};

struct SavedTriggers {
  std::uint16_t availLevel = 0;
  std::array<TriggerHandleEntry, kTriggerHandles> handles{};
  std::array<TimerTriggerSlot, kTimerTriggerSlots> timers{};
  std::array<DataTriggerSlot, kDataTriggerSlots> data{};
  std::array<StatusTriggerSlot, kStatusTriggerSlots> status{};
};

struct LineSettings {
  std::uint32_t baud = 0;
  int parity = 0;
  int dataBits = 8;
  int stopBits = 1;
};

// Port life.
int PortOpen(const std::string& name, int kind, int inSize, int outSize, std::uint32_t baud, int parity,
             int dataBits, int stopBits);
int PortOpenAttached(const std::string& name, int kind, int inSize, int outSize, std::uint32_t baud, int parity,
                     int dataBits, int stopBits, DeviceHandle device);
int PortClose(int port);
// Whether a handle names an open port (a port whose close is pending counts).
bool PortIsOpen(int port);
// The dispatcher kind running a port: kDispatcherThreads, or 0 when none.
int PortDispatcherKind(int port);

// Data.
int PutBlock(int port, const std::uint8_t* data, int count);
int PutChar(int port, std::uint8_t c);
int PutString(int port, std::string_view text);
int GetChar(int port);
// Takes exactly count bytes, as that many GetChar calls would (peeking alike,
// each byte traced), and returns count; takes none and fails with
// ecGetBlockFail when fewer are available.
int GetBlock(int port, std::uint8_t* buffer, int count);
int PeekChar(int port, int n);
int CharReady(int port);
int BytesAvailable(int port);
// Both give ecPutBlockFail once the device has failed.
int OutBytesWaiting(int port);
int OutFreeSpace(int port);
int FlushInput(int port);
int FlushOutput(int port);
// The device has hung up, failed a read or a write, or gone (unplugged).
bool DeviceGone(int port);

// Line. The no-change values of SetLine are parity 5, data bits 9, stop
// bits 3 and baud 0.
int SetLine(int port, std::uint32_t baud, int parity, int dataBits, int stopBits);
int SetBaud(int port, std::uint32_t baud);
int GetLine(int port, LineSettings& line);
int SetDtr(int port, bool on);
int SetRts(int port, bool on);
int SetDtrRts(int port, bool dtr, bool rts);
int HwFlowOn(int port, int bufferFull, int bufferResume, int options);
int HwFlowOff(int port);
int SwFlowOn(int port, int bufferFull, int bufferResume, int options);
int SwFlowOff(int port);
int SetXonXoffChars(int port, char xon, char xoff);
int ModemStatus(int port, std::uint8_t keepMask);
int CarrierDetect(int port);
int LineError(int port);
int LineBreak(int port);
int SendBreak(int port);
int ClearBreak(int port);
int GiveDispatcherTurn(int port);
// Sets up the device queues again; the dispatcher's own buffers keep their size.
int SetQueueSizes(int port, int inSize, int outSize);

// Triggers.
int SetAvailLevel(int port, int level);
int AddTimerTrigger(int port);
int AddStatusTrigger(int port, int type);
// Adds a data trigger for text (1 to 22 characters; longer: ecTriggerTooLong).
int AddDataTrigger(int port, std::string_view text, bool ignoreCase);
int RemoveTrigger(int port, int trigger);
int SetTimerTrigger(int port, int trigger, std::int32_t ticks, bool arm);
int SetStatusTrigger(int port, int trigger, int value, bool arm);
int StatusTriggerTypeOf(int port, int trigger);
int SaveTriggers(int port, SavedTriggers& saved);
int RestoreTriggers(int port, const SavedTriggers& saved);
int RegisterTriggerHandler(int port, TriggerWindow* window, TriggerProcedure procedure, void* arg, bool passOn);
// Marks the handler deleted (a procedure handler with the given first
// argument when arg is set); one running on the dispatch thread at the time
// is waited for, unless it is the caller.
int DeregisterTriggerHandler(int port, TriggerWindow* window, TriggerProcedure procedure, void* arg = nullptr);

// Protocol state kept on the port.
int SetUserData(int port, int slot, void* data);
int GetUserData(int port, int slot, void*& data);
int SetFaxSession(int port, std::int32_t value);
int FaxSessionOf(int port, std::int32_t& value);
int SetOptions(int port, std::uint16_t bits);
int ClearOptions(int port, std::uint16_t bits);
int OptionsOf(int port);
// While on, no trigger is delivered. Returns the previous value (0 or 1).
int SetDispatching(int port, bool on);

// Trace and dispatch log (trace_log.h).
int StartTrace(int port, int entries);
int PauseTrace(int port);
int ResumeTrace(int port);
int ClearTrace(int port);
int StopTrace(int port);
int DumpTrace(int port, const std::string& fileName, bool append, bool hex);
int StartLog(int port, int bytes);
int PauseLog(int port);
int ResumeLog(int port);
int ClearLog(int port);
int StopLog(int port);
int DumpLog(int port, const std::string& fileName, bool append, bool hex);
// Puts a line of the program's own into the dispatch log (while it is on):
// something a reader of the log must know that no port event shows.
int AddLogNote(int port, std::string_view text);

// The baud rate a line-state baud field stands for: the old rate-index
// constants (0xFEFF, 0xFF10 + k) read as their rates, anything else as itself.
std::uint32_t TranslateBaudField(std::uint32_t field);

}  // namespace tv
