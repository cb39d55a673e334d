#include "store/table_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "store/xbase_error.h"

namespace tv {

namespace {

WriteFaultHook& FaultHook() {
  static WriteFaultHook hook;
  return hook;
}

// The refusal for a path that names something other than a regular file.
XbaseError NotARegularFile(const std::string& path, int code) {
  return XbaseError(code,
                    path + " is not a regular file (a link, a named pipe, a device or a folder); it is left as it is");
}

}  // namespace

void InjectWriteFault(WriteFaultHook hook) { FaultHook() = std::move(hook); }

TableFile TableFile::Open(const std::string& path, bool writable, int notAFileCode) {
  // Not through a link even to read: what is read here is written later.
  const int fd = OpenRegularFile(path, (writable ? O_RDWR : O_RDONLY) | O_NOFOLLOW);
  if (fd < 0 && errno == EINVAL) throw NotARegularFile(path, notAFileCode);
  if (fd < 0) throw XbaseError(xbFileError, "cannot open " + path + ": " + std::strerror(errno));
  return TableFile(path, fd);
}

TableFile TableFile::CreateNew(const std::string& path) { return Replacement(path, true); }

TableFile TableFile::CreateReplacement(const std::string& target) { return Replacement(target, false); }

TableFile TableFile::Replacement(const std::string& target, bool newFile) {
  struct stat existing {};
  if (newFile && lstat(target.c_str(), &existing) == 0)
    throw XbaseError(xbFileError, "cannot create " + target + ": " + std::strerror(EEXIST));
  auto replacement = std::make_unique<FileReplacement>();
  if (const int error = replacement->Begin(target); error == EINVAL)
    throw NotARegularFile(target, xbFileError);
  else if (error != 0)
    throw XbaseError(xbFileError, "cannot create a new " + target + ": " + std::strerror(error));
  TableFile file(target, replacement->Descriptor());
  file.replacement_ = std::move(replacement);
  file.newFile_ = newFile;
  return file;
}

TableFile::TableFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {
  struct stat info {};
  if (fstat(fd_, &info) == 0) {
    device_ = info.st_dev;
    inode_ = info.st_ino;
  }
}

TableFile::TableFile(TableFile&& other) noexcept
    : path_(std::move(other.path_)),
      fd_(other.fd_),
      device_(other.device_),
      inode_(other.inode_),
      replacement_(std::move(other.replacement_)),
      newFile_(other.newFile_) {
  other.fd_ = -1;
}

TableFile& TableFile::operator=(TableFile&& other) noexcept {
  if (this != &other) {
    Close();
    path_ = std::move(other.path_);
    fd_ = other.fd_;
    device_ = other.device_;
    inode_ = other.inode_;
    replacement_ = std::move(other.replacement_);
    newFile_ = other.newFile_;
    other.fd_ = -1;
  }
  return *this;
}

TableFile::~TableFile() { Close(); }

void TableFile::Close() {
  if (replacement_) {
    replacement_->Discard();  // closes the descriptor too
    replacement_.reset();
  } else if (fd_ >= 0) {
    close(fd_);
  }
  fd_ = -1;
}

void TableFile::Fail(const std::string& what, int error) const {
  throw XbaseError(xbFileError, "cannot " + what + " " + path_ + ": " + std::strerror(error));
}

std::size_t TableFile::ReadAt(std::uint64_t offset, void* data, std::size_t size) const {
  char* p = static_cast<char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(fd_, p + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("read", errno);
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

void TableFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
  if (FaultHook()) {
    if (const int error = FaultHook()(path_); error != 0) Fail("write", error);
  }
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = pwrite(fd_, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Fail("write", n < 0 ? errno : EIO);
    p += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
}

void TableFile::Truncate(std::uint64_t size) {
  if (FaultHook()) {
    if (const int error = FaultHook()(path_); error != 0) Fail("write", error);
  }
  if (ftruncate(fd_, static_cast<off_t>(size)) != 0) Fail("write", errno);
}

void TableFile::Sync() {
  if (fsync(fd_) != 0) Fail("write", errno);
}

std::uint64_t TableFile::Size() const {
  struct stat info {};
  if (fstat(fd_, &info) != 0) Fail("examine", errno);
  return static_cast<std::uint64_t>(info.st_size);
}

bool TableFile::ReplacedOnDisk() const {
  struct stat named {};
  if (stat(path_.c_str(), &named) != 0) return true;
  return named.st_dev != device_ || named.st_ino != inode_;
}

void TableFile::CommitReplacement() {
  if (!replacement_) return;
  if (const int error = newFile_ ? replacement_->CommitNew() : replacement_->Commit(); error != 0) {
    fd_ = -1;
    replacement_.reset();
    Fail("replace", error);
  }
  fd_ = replacement_->Release();
  replacement_.reset();
}

}  // namespace tv
