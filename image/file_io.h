// Plain POSIX file access for the fax file code, with failures turned into the
// program's negated I/O error numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"

namespace tv {


// An open file descriptor, closed on destruction.
class FaxFile {
 public:
  FaxFile() = default;
  ~FaxFile() { Close(); }
  FaxFile(FaxFile&& other) noexcept : fd_(other.fd_), replacement_(std::move(other.replacement_)) { other.fd_ = -1; }
  FaxFile& operator=(FaxFile&& other) noexcept;
  FaxFile(const FaxFile&) = delete;
  FaxFile& operator=(const FaxFile&) = delete;

  // 0 or the negated I/O error. An empty name is "File not found".
  int OpenRead(const std::string& name);
  int OpenReadWrite(const std::string& name);
  int Create(const std::string& name);  // creates or truncates
  // A new version of `name`, written beside it: CommitReplacement puts it in
  // the file's place whole, and closing without that leaves the file as it
  // was. A name that is not a regular file (a folder, a device) is refused.
  int CreateReplacement(const std::string& name);
  int CommitReplacement();
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

  // Reads up to n bytes; the count read (0 at the end of the file) or a
  // negated I/O error.
  long Read(void* data, std::size_t n);
  // Reads exactly n bytes: 0, ecReadBeyondEnd when the file ends first, or a
  // negated I/O error.
  int ReadExact(void* data, std::size_t n);
  // Writes all n bytes: 0, or ecDeviceWriteError when fewer were stored, or a
  // negated I/O error.
  int Write(const void* data, std::size_t n);
  // 0 or a negated I/O error.
  int Seek(std::int64_t offset);
  // The current offset, or a negated I/O error.
  std::int64_t Position() const;
  std::int64_t Size() const;
  int Descriptor() const { return fd_; }

 private:
  int fd_ = -1;
  std::unique_ptr<FileReplacement> replacement_;
};

}  // namespace tv
