#include "image/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error_codes.h"

namespace tv {

FaxFile& FaxFile::operator=(FaxFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    replacement_ = std::move(other.replacement_);
    other.fd_ = -1;
  }
  return *this;
}

namespace {

int OpenWith(int& fd, const std::string& name, int flags) {
  if (name.empty()) return ecFileNotFound;
  // Only regular files: a folder or a named pipe under a fax file's name is
  // refused at once rather than read (or waited on).
  fd = OpenRegularFile(name, flags);
  if (fd >= 0) return ecOK;
  return errno == EINVAL ? ecAccessDenied : IoErrorFromErrno(errno, (flags & O_CREAT) != 0);
}

}  // namespace

int FaxFile::OpenRead(const std::string& name) {
  Close();
  return OpenWith(fd_, name, O_RDONLY);
}

int FaxFile::OpenReadWrite(const std::string& name) {
  Close();
  return OpenWith(fd_, name, O_RDWR);
}

int FaxFile::Create(const std::string& name) {
  Close();
  return OpenWith(fd_, name, O_RDWR | O_CREAT | O_TRUNC);
}

int FaxFile::CreateReplacement(const std::string& name) {
  Close();
  if (name.empty()) return ecFileNotFound;
  auto replacement = std::make_unique<FileReplacement>();
  if (const int error = replacement->Begin(name); error != 0)
    return error == EINVAL ? ecAccessDenied : IoErrorFromErrno(error, true);
  fd_ = replacement->Descriptor();
  replacement_ = std::move(replacement);
  return ecOK;
}

int FaxFile::CommitReplacement() {
  if (!replacement_) return ecNotOpen;
  const int error = replacement_->Commit();
  Close();
  return error == 0 ? ecOK : IoErrorFromErrno(error, true);
}

void FaxFile::Close() {
  if (replacement_) {
    replacement_->Discard();  // closes the descriptor; removes an uncommitted file
    replacement_.reset();
  } else if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = -1;
}

long FaxFile::Read(void* data, std::size_t n) {
  if (fd_ < 0) return ecNotOpen;
  for (;;) {
    const ssize_t got = ::read(fd_, data, n);
    if (got >= 0) return static_cast<long>(got);
    if (errno != EINTR) return errno == EIO ? ecDeviceReadError : IoErrorFromErrno(errno);
  }
}

int FaxFile::ReadExact(void* data, std::size_t n) {
  auto* bytes = static_cast<unsigned char*>(data);
  while (n > 0) {
    const long got = Read(bytes, n);
    if (got < 0) return static_cast<int>(got);
    if (got == 0) return ecReadBeyondEnd;
    bytes += got;
    n -= static_cast<std::size_t>(got);
  }
  return ecOK;
}

int FaxFile::Write(const void* data, std::size_t n) {
  if (fd_ < 0) return ecNotOpen;
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (n > 0) {
    const ssize_t put = ::write(fd_, bytes, n);
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno == EIO ? ecDeviceWriteError : IoErrorFromErrno(errno);
    }
    if (put == 0) return ecDeviceWriteError;
    bytes += put;
    n -= static_cast<std::size_t>(put);
  }
  return ecOK;
}

int FaxFile::Seek(std::int64_t offset) {
  if (fd_ < 0) return ecNotOpen;
  if (::lseek(fd_, offset, SEEK_SET) < 0) return IoErrorFromErrno(errno);
  return ecOK;
}

std::int64_t FaxFile::Position() const {
  if (fd_ < 0) return ecNotOpen;
  const off_t at = ::lseek(fd_, 0, SEEK_CUR);
  return at < 0 ? IoErrorFromErrno(errno) : static_cast<std::int64_t>(at);
}

std::int64_t FaxFile::Size() const {
  if (fd_ < 0) return ecNotOpen;
  struct stat info {};
  if (::fstat(fd_, &info) != 0) return IoErrorFromErrno(errno);
  return static_cast<std::int64_t>(info.st_size);
}

}  // namespace tv
