#include "image/byte_reader.h"

#include <cstring>

#include "platform/error_codes.h"

namespace tv {

namespace {
constexpr std::size_t kBufferSize = 65536;
}

int ByteReader::Open(const std::string& name) {
  at_ = filled_ = 0;
  bufferStart_ = 0;
  if (int rc = file_.OpenRead(name); rc != ecOK) return rc;
  size_ = file_.Size();
  if (size_ < 0) return static_cast<int>(size_);
  buffer_.resize(kBufferSize);
  return ecOK;
}

int ByteReader::Seek(std::int64_t offset) {
  if (offset >= bufferStart_ && offset <= bufferStart_ + static_cast<std::int64_t>(filled_)) {
    at_ = static_cast<std::size_t>(offset - bufferStart_);
    return ecOK;
  }
  if (int rc = file_.Seek(offset); rc != ecOK) return rc;
  bufferStart_ = offset;
  at_ = filled_ = 0;
  return ecOK;
}

int ByteReader::Fill() {
  bufferStart_ += static_cast<std::int64_t>(filled_);
  at_ = filled_ = 0;
  const long got = file_.Read(buffer_.data(), buffer_.size());
  if (got < 0) return static_cast<int>(got);
  filled_ = static_cast<std::size_t>(got);
  return ecOK;
}

int ByteReader::Next() {
  if (at_ >= filled_) {
    if (int rc = Fill(); rc != ecOK) return rc;
    if (filled_ == 0) return -1;
  }
  return buffer_[at_++];
}

int ByteReader::Read(void* data, std::size_t n) {
  auto* out = static_cast<std::uint8_t*>(data);
  while (n > 0) {
    if (at_ >= filled_) {
      if (int rc = Fill(); rc != ecOK) return rc;
      if (filled_ == 0) return ecDeviceReadError;
    }
    const std::size_t take = std::min(n, filled_ - at_);
    std::memcpy(out, buffer_.data() + at_, take);
    at_ += take;
    out += take;
    n -= take;
  }
  return ecOK;
}

}  // namespace tv
