// The two in-memory recorders every open port can keep: the trace of the
// bytes the program reads and writes, and the dispatch log of what the
// dispatcher did, each dumped to a text file on request.
//
// Neither class locks: the dispatcher calls them under the port's lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tv {

inline constexpr int kMaxTraceEntries = 32760;
inline constexpr int kMaxLogBytes = 65520;

// Circular record of {kind, byte} entries. Kinds: 'T' a byte written,
// 'R' a byte read; any other kind is dumped as a "Special-" block.
class TraceRecorder {
 public:
  // Allocates entries on first start (ecBadArgument above kMaxTraceEntries
  // or below 1); with a buffer already there only rewinds. Enables.
  int Start(int entries);
  void Pause() { enabled_ = false; }
  void Resume() { enabled_ = !buffer_.empty(); }
  void Clear();
  void Stop();

  bool Enabled() const { return enabled_; }
  bool HasBuffer() const { return !buffer_.empty(); }

  void Record(char kind, std::uint8_t byte);
  // One entry of the kind per byte.
  void Record(char kind, const std::uint8_t* bytes, int count) {
    if (!enabled_) return;
    for (int i = 0; i < count; ++i) Record(kind, bytes[i]);
  }

  // Writes the entries oldest first, a heading line for each run of one
  // kind, unprintable bytes in brackets (hex "[0D]" or decimal "[13]"),
  // lines folded after 78 columns. Nothing recorded: no file. Stops the
  // trace when the file was written; returns the negated I/O error number
  // when it could not be, keeping what was recorded for another attempt.
  int Dump(const std::string& fileName, bool append, bool hex);

 private:
  std::vector<std::uint8_t> buffer_;  // kind, byte, kind, byte, ...
  int entries_ = 0;
  int position_ = 0;
  bool wrapped_ = false;
  bool enabled_ = false;
};

enum LogType : std::uint8_t { kLogNoEvent = 0, kLogDispatch = 1, kLogTrigger = 2, kLogError = 3, kLogThread = 4, kLogNote = 5 };
enum LogSubtype : std::uint8_t {
  kLogNone = 0,
  kLogReadCom = 1,
  kLogWriteCom = 2,
  kLogLineStatus = 3,
  kLogModemStatus = 4,
  kLogAvail = 5,
  kLogTimer = 6,
  kLogData = 7,
  kLogStatus = 8,
  kLogStart = 9,
  kLogExit = 10,
  kLogSleep = 11,
  kLogWake = 12,
};

// Circular byte log of entries: a 12-byte header {type, subtype, 2 unused,
// 32-bit time in ms since the port opened, 16-bit value, 16-bit data
// length} followed by the data bytes. The oldest whole entries make way for
// new ones.
class DispatchLog {
 public:
  static constexpr int kHeaderSize = 12;

  // Allocates and enables on first start (ecBadArgument outside 1 to
  // kMaxLogBytes); with a buffer already there only empties it.
  int Start(int bytes);
  void Pause() { enabled_ = false; }
  void Resume() { enabled_ = !buffer_.empty(); }
  void Clear();
  void Stop();

  bool Enabled() const { return enabled_; }
  bool HasBuffer() const { return !buffer_.empty(); }
  int UsedBytes() const { return static_cast<int>(buffer_.size()) - free_; }

  // An entry whose data would not fit beside its header in the whole buffer
  // keeps as many leading data bytes as fit; its value still gives the
  // full count.
  void Record(LogType type, LogSubtype subtype, std::int32_t timeMs, std::uint16_t value,
              const std::uint8_t* data = nullptr, int length = 0);

  // Writes the two heading lines and one line per entry (time, type,
  // subtype, value in hex, the data bytes folded at column 79 under column
  // 41); a modem-status entry with data gets a line naming its set bits.
  // Empty: no file. Stops logging when written; the negated I/O error
  // number when the file could not be written, logging staying on.
  int Dump(const std::string& fileName, bool append, bool hex);

 private:
  void Put(std::uint8_t byte);
  std::uint8_t At(int offset) const;
  void DropOldest();

  std::vector<std::uint8_t> buffer_;
  int head_ = 0;
  int tail_ = 0;
  int free_ = 0;
  bool enabled_ = false;
};


}  // namespace tv
