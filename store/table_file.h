// The one place the table engine touches its files: positioned reads and
// writes, length, sync and identity, each failure an XbaseError naming the
// file. Tests make writes fail through InjectWriteFault, to walk the paths a
// full disk or a failing device takes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/files.h"

namespace tv {

class TableFile {
 public:
  // Opens a regular file (read-only or read-write); anything else at the path
  // (a link, a named pipe, a device, a folder) is refused with `notAFileCode`.
  static TableFile Open(const std::string& path, bool writable, int notAFileCode);
  // A file that must not exist yet, written beside its name: CommitReplacement
  // gives it the name whole (and fails when something took the name
  // meanwhile), and one never committed is removed.
  static TableFile CreateNew(const std::string& path);
  // A new version of `target`, written beside it; CommitReplacement puts it
  // in the target's place, and a replacement never committed is removed.
  // Neither writes to anything but a regular file: a link, a named pipe or a
  // device at the path is refused with xbFileError naming it.
  static TableFile CreateReplacement(const std::string& target);

  TableFile() = default;
  TableFile(TableFile&& other) noexcept;
  TableFile& operator=(TableFile&& other) noexcept;
  ~TableFile();

  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }
  int Descriptor() const { return fd_; }

  // Reads up to `size` bytes; fewer only at the end of the file.
  std::size_t ReadAt(std::uint64_t offset, void* data, std::size_t size) const;
  void WriteAt(std::uint64_t offset, const void* data, std::size_t size);
  void Truncate(std::uint64_t size);
  void Sync();
  std::uint64_t Size() const;
  // True when the path no longer names the file open here (another program
  // put a new file in its place, or removed it).
  bool ReplacedOnDisk() const;
  void CommitReplacement();

 private:
  TableFile(std::string path, int fd);
  static TableFile Replacement(const std::string& target, bool newFile);
  [[noreturn]] void Fail(const std::string& what, int error) const;
  void Close();

  std::string path_;
  int fd_ = -1;
  // The open file's identity, which never changes while it is open.
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
  std::unique_ptr<FileReplacement> replacement_;
  bool newFile_ = false;
};

// While set, a write to a file whose path the hook answers with an errno
// value fails with that error (0 lets the write through). For tests.
using WriteFaultHook = std::function<int(const std::string& path)>;
void InjectWriteFault(WriteFaultHook hook);

}  // namespace tv
