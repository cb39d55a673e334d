#include "comm/trace_log.h"

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "platform/error_codes.h"
#include "platform/errors.h"

namespace tv {

namespace {

constexpr int kTraceFoldColumn = 78;
constexpr int kLogDataColumn = 41;
constexpr int kLogFoldColumn = 79;

constexpr const char* kTypeNames[] = {"no event", "dispatch", "trigger", "error", "thread", "note"};
constexpr const char* kSubtypeNames[] = {"",       "readcom", "writecom", "line status", "modem status",
                                         "avail",  "timer",   "data",     "status",      "start",
                                         "exit",   "sleep",   "wake"};
constexpr const char* kModemBitNames[] = {"DCTS ", "DDSR ", "TERI ", "DDCD ", "CTS ", "DSR ", "RI ", "DCD "};

// A dump file being written; remembers the first error.
class DumpFile {
 public:
  DumpFile(const std::string& name, bool append) : file_(std::fopen(name.c_str(), append ? "a" : "w")) {
    if (!file_) error_ = errno;
  }
  ~DumpFile() { Close(); }

  bool IsOpen() const { return file_ != nullptr; }
  void Write(std::string_view text) {
    if (file_ && std::fwrite(text.data(), 1, text.size(), file_) != text.size() && error_ == 0) error_ = errno;
  }
  // Closes the file and returns 0 or the negated I/O error number.
  int Close() {
    if (file_) {
      if (std::fclose(file_) != 0 && error_ == 0) error_ = errno;
      file_ = nullptr;
    }
    return error_ == 0 ? 0 : IoErrorFromErrno(error_, true);
  }

 private:
  std::FILE* file_;
  int error_ = 0;
};

// A byte as the dumps show it: printable bytes as themselves, others in
// brackets. Hex mode treats the space as unprintable so that it shows.
std::string ByteText(std::uint8_t byte, bool hex) {
  const std::uint8_t lowest = hex ? 33 : 32;
  if (byte >= lowest && byte <= 126) return std::string(1, static_cast<char>(byte));
  char text[8];
  std::snprintf(text, sizeof text, hex ? "[%02X]" : "[%d]", byte);
  return text;
}

std::string Padded(const char* name, std::size_t width) {
  std::string text = name;
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

}  // namespace

int TraceRecorder::Start(int entries) {
  if (buffer_.empty()) {
    if (entries < 1 || entries > kMaxTraceEntries) return ecBadArgument;
    try {
      buffer_.assign(static_cast<std::size_t>(entries) * 2, 0);
    } catch (const std::bad_alloc&) {
      return ecOutOfMemory;
    }
    entries_ = entries;
  }
  Clear();
  enabled_ = true;
  return 0;
}

void TraceRecorder::Clear() {
  position_ = 0;
  wrapped_ = false;
}

void TraceRecorder::Stop() {
  buffer_.clear();
  buffer_.shrink_to_fit();
  entries_ = 0;
  enabled_ = false;
  Clear();
}

void TraceRecorder::Record(char kind, std::uint8_t byte) {
  if (!enabled_) return;
  buffer_[static_cast<std::size_t>(position_) * 2] = static_cast<std::uint8_t>(kind);
  buffer_[static_cast<std::size_t>(position_) * 2 + 1] = byte;
  if (++position_ == entries_) {
    position_ = 0;
    wrapped_ = true;
  }
}

int TraceRecorder::Dump(const std::string& fileName, bool append, bool hex) {
  if (position_ == 0 && !wrapped_) {
    Stop();
    return 0;
  }
  DumpFile file(fileName, append);
  if (!file.IsOpen()) return file.Close();
  const int count = wrapped_ ? entries_ : position_;
  int index = wrapped_ ? position_ : 0;
  int column = 0;
  std::uint8_t previousKind = 0;
  for (int i = 0; i < count; ++i, index = (index + 1) % entries_) {
    const std::uint8_t kind = buffer_[static_cast<std::size_t>(index) * 2];
    const std::uint8_t byte = buffer_[static_cast<std::size_t>(index) * 2 + 1];
    if (i == 0 || kind != previousKind) {
      if (i != 0) file.Write("\n\n");
      if (kind == 'T') {
        file.Write("Transmit: ");
      } else if (kind == 'R') {
        file.Write("Receive: ");
      } else {
        file.Write("Special-" + std::string(1, static_cast<char>(kind)) + ": ");
      }
      column = 0;
      previousKind = kind;
    }
    const std::string text = ByteText(byte, hex);
    const int width = static_cast<int>(text.size());
    column += width;
    if (column > kTraceFoldColumn) {
      file.Write("\n");
      column = width;
    }
    file.Write(text);
  }
  file.Write("\n");
  const int result = file.Close();
  if (result == 0) Stop();
  return result;
}

int DispatchLog::Start(int bytes) {
  if (buffer_.empty()) {
    if (bytes < 1 || bytes > kMaxLogBytes) return ecBadArgument;
    try {
      buffer_.assign(static_cast<std::size_t>(bytes), 0);
    } catch (const std::bad_alloc&) {
      return ecOutOfMemory;
    }
    Clear();
    enabled_ = true;
    return 0;
  }
  Clear();
  return 0;
}

void DispatchLog::Clear() {
  head_ = tail_ = 0;
  free_ = static_cast<int>(buffer_.size());
}

void DispatchLog::Stop() {
  buffer_.clear();
  buffer_.shrink_to_fit();
  enabled_ = false;
  Clear();
}

void DispatchLog::Put(std::uint8_t byte) {
  buffer_[static_cast<std::size_t>(head_)] = byte;
  head_ = (head_ + 1) % static_cast<int>(buffer_.size());
  --free_;
}

std::uint8_t DispatchLog::At(int offset) const {
  return buffer_[static_cast<std::size_t>((tail_ + offset) % static_cast<int>(buffer_.size()))];
}

void DispatchLog::DropOldest() {
  const int length = At(10) | (At(11) << 8);
  const int size = kHeaderSize + length;
  tail_ = (tail_ + size) % static_cast<int>(buffer_.size());
  free_ += size;
}

void DispatchLog::Record(LogType type, LogSubtype subtype, std::int32_t timeMs, std::uint16_t value,
                         const std::uint8_t* data, int length) {
  if (!enabled_) return;
  const int capacity = static_cast<int>(buffer_.size());
  if (kHeaderSize >= capacity) return;
  if (length > capacity - kHeaderSize - 1) length = capacity - kHeaderSize - 1;
  if (length < 0 || !data) length = 0;
  while (free_ < kHeaderSize + length) DropOldest();
  const std::uint32_t time = static_cast<std::uint32_t>(timeMs);
  const std::uint8_t header[kHeaderSize] = {
      type,
      subtype,
      0,
      0,
      static_cast<std::uint8_t>(time),
      static_cast<std::uint8_t>(time >> 8),
      static_cast<std::uint8_t>(time >> 16),
      static_cast<std::uint8_t>(time >> 24),
      static_cast<std::uint8_t>(value),
      static_cast<std::uint8_t>(value >> 8),
      static_cast<std::uint8_t>(length),
      static_cast<std::uint8_t>(length >> 8),
  };
  for (std::uint8_t b : header) Put(b);
  for (int i = 0; i < length; ++i) Put(data[i]);
}

int DispatchLog::Dump(const std::string& fileName, bool append, bool hex) {
  if (buffer_.empty() || UsedBytes() == 0) {
    Stop();
    return 0;
  }
  DumpFile file(fileName, append);
  if (!file.IsOpen()) return file.Close();
  file.Write("Time      Type      SubType       Data  OtherData\n");
  file.Write("----      ----      -------       ----  ---------\n");
  // Walk a copy of the read position, so a failed write keeps the entries.
  const int savedTail = tail_;
  const int savedFree = free_;
  while (UsedBytes() > 0) {
    const std::uint8_t type = At(0);
    const std::uint8_t subtype = At(1);
    const std::int32_t time = static_cast<std::int32_t>(At(4) | (At(5) << 8) | (At(6) << 16) |
                                                        (static_cast<std::uint32_t>(At(7)) << 24));
    const int value = At(8) | (At(9) << 8);
    const int length = At(10) | (At(11) << 8);
    char head[64];
    std::snprintf(head, sizeof head, "%08d  %s  %s  %04X  ", time,
                  Padded(type < std::size(kTypeNames) ? kTypeNames[type] : "", 8).c_str(),
                  Padded(subtype < std::size(kSubtypeNames) ? kSubtypeNames[subtype] : "", 12).c_str(), value);
    std::string line = head;
    int column = kLogDataColumn;
    for (int i = 0; i < length; ++i) {
      const std::string text = ByteText(At(kHeaderSize + i), hex);
      const int width = static_cast<int>(text.size());
      column += width;
      if (column >= kLogFoldColumn) {
        line += "\n" + std::string(kLogDataColumn - 1, ' ');
        column = kLogDataColumn + width;
      }
      line += text;
    }
    line += "\n";
    if (subtype == kLogModemStatus && length > 0) {
      line += std::string(kLogDataColumn - 1, ' ');
      for (int bit = 0; bit < 8; ++bit) {
        if (value & (1 << bit)) line += kModemBitNames[bit];
      }
      line += "\n";
    }
    file.Write(line);
    DropOldest();
  }
  const int result = file.Close();
  if (result == 0) {
    Stop();
  } else {
    tail_ = savedTail;
    free_ = savedFree;
  }
  return result;
}

}  // namespace tv
