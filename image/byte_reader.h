// Buffered reading of picture and text files for the converter inputs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/file_io.h"
#include "platform/bytes.h"

namespace tv {

class ByteReader {
 public:
  // 0 or the negated I/O error.
  int Open(const std::string& name);
  void Close() { file_.Close(); }
  std::int64_t Size() const { return size_; }
  std::int64_t Position() const { return bufferStart_ + static_cast<std::int64_t>(at_); }
  bool AtEnd() { return Position() >= size_; }

  int Seek(std::int64_t offset);
  // The next byte (0..255), -1 at the end of the file, or a negated I/O error.
  int Next();
  // Exactly n bytes: 0, ecDeviceReadError when the file ends first, or a
  // negated I/O error.
  int Read(void* data, std::size_t n);

 private:
  int Fill();

  FaxFile file_;
  std::int64_t size_ = 0;
  std::int64_t bufferStart_ = 0;
  std::vector<std::uint8_t> buffer_;
  std::size_t at_ = 0;
  std::size_t filled_ = 0;
};

}  // namespace tv
