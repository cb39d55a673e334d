#include "store/dbf_table.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include "store/xbase_error.h"

namespace tv {

namespace {

constexpr unsigned char kVersionFoxBase = 0x03;
constexpr unsigned char kFieldTerminator = 0x0D;
constexpr char kEndOfFile = 0x1A;
constexpr unsigned char kStructuralIndexFlag = 0x01;
constexpr int kHeaderSize = 32;
constexpr int kDescriptorSize = 32;
constexpr std::uint32_t kReadBlockBytes = 64 * 1024;  // packing copies in blocks of this size
constexpr std::uint64_t kChunkBytes = 32 * 1024;
constexpr std::size_t kMaxCachedBytes = 96 * 1024 * 1024;
// Lock bytes sit far beyond any record so that they never hide data from
// programs that honour them as mandatory: the write lock at kLockBase, the
// lock of record n at kLockBase + n.
constexpr off_t kLockBase = 0x40000000;

std::uint16_t Get16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Get32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
void Put16(unsigned char* p, unsigned v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
void Put32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

[[noreturn]] void FileFailure(const std::string& what, const std::string& path) {
  throw XbaseError(xbFileError, what + " " + path + ": " + std::strerror(errno));
}

void WriteAll(int fd, const void* data, std::size_t size, off_t offset, const std::string& path) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = pwrite(fd, p, size, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      FileFailure("cannot write", path);
    }
    p += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
}

std::size_t ReadUpTo(int fd, void* data, std::size_t size, off_t offset, const std::string& path) {
  char* p = static_cast<char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = pread(fd, p + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      FileFailure("cannot read", path);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 10) return false;
  if (!std::isalpha(static_cast<unsigned char>(name[0])) && name[0] != '_') return false;
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

std::string CheckField(DbfField& field) {
  for (char& c : field.name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (!ValidName(field.name)) return "invalid field name '" + field.name + "'";
  switch (field.type) {
    case 'C':
      if (field.width < 1 || field.width > 254 || field.decimals != 0) break;
      return {};
    case 'N':
      if (field.width < 1 || field.width > 20 || field.decimals < 0 ||
          (field.decimals > 0 && field.decimals > field.width - 2))
        break;
      return {};
    case 'D':
      if (field.width != 8 || field.decimals != 0) break;
      return {};
    case 'L':
      if (field.width != 1 || field.decimals != 0) break;
      return {};
    default:
      return "field " + field.name + " has the unsupported type '" + std::string(1, field.type) + "'";
  }
  return "field " + field.name + " has an invalid width " + std::to_string(field.width) + "," +
         std::to_string(field.decimals) + " for type " + std::string(1, field.type);
}

void CheckUniqueNames(const std::vector<DbfField>& fields, const std::string& path) {
  for (std::size_t i = 0; i < fields.size(); ++i)
    for (std::size_t j = i + 1; j < fields.size(); ++j)
      if (fields[i].name == fields[j].name)
        throw XbaseError(xbBadTable, path + ": field " + fields[i].name + " appears twice");
}

}  // namespace

void DbfTable::Create(const std::string& path, std::vector<DbfField> fields, bool hasStructuralIndex) {
  if (fields.empty() || fields.size() > 255) throw XbaseError(xbBadField, "a table needs 1 to 255 fields");
  int recordLength = 1;
  for (DbfField& f : fields) {
    const std::string problem = CheckField(f);
    if (!problem.empty()) throw XbaseError(xbBadField, problem);
    f.offset = recordLength;
    recordLength += f.width;
  }
  CheckUniqueNames(fields, path);
  const int headerLength = kHeaderSize + kDescriptorSize * static_cast<int>(fields.size()) + 1;
  std::vector<unsigned char> bytes(static_cast<std::size_t>(headerLength) + 1, 0);
  bytes[0] = kVersionFoxBase;
  Put16(&bytes[8], static_cast<unsigned>(headerLength));
  Put16(&bytes[10], static_cast<unsigned>(recordLength));
  bytes[28] = hasStructuralIndex ? kStructuralIndexFlag : 0;
  bytes[29] = 0x03;  // Windows-1252
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  bytes[1] = static_cast<unsigned char>(local.tm_year);
  bytes[2] = static_cast<unsigned char>(local.tm_mon + 1);
  bytes[3] = static_cast<unsigned char>(local.tm_mday);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    unsigned char* d = &bytes[kHeaderSize + kDescriptorSize * i];
    std::memcpy(d, fields[i].name.data(), fields[i].name.size());
    d[11] = static_cast<unsigned char>(fields[i].type);
    Put32(d + 12, static_cast<std::uint32_t>(fields[i].offset));
    d[16] = static_cast<unsigned char>(fields[i].width);
    d[17] = static_cast<unsigned char>(fields[i].decimals);
  }
  bytes[static_cast<std::size_t>(headerLength) - 1] = kFieldTerminator;
  bytes[static_cast<std::size_t>(headerLength)] = kEndOfFile;

  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) FileFailure("cannot create", path);
  try {
    WriteAll(fd, bytes.data(), bytes.size(), 0, path);
  } catch (...) {
    close(fd);
    unlink(path.c_str());
    throw;
  }
  close(fd);
}

std::unique_ptr<DbfTable> DbfTable::Open(const std::string& path, OpenMode mode) {
  // Non-blocking, so that a named pipe under a table's name cannot hang the open.
  const int fd = open(path.c_str(), (mode == OpenMode::ReadOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) FileFailure("cannot open", path);
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    throw XbaseError(xbBadTable, path + " is not a table file");
  }
  if (flock(fd, (mode == OpenMode::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    if (error == EWOULDBLOCK)
      throw XbaseError(xbTableInUse, path + (mode == OpenMode::Exclusive
                                                 ? " is in use by another program"
                                                 : " is opened exclusively by another program"));
    errno = error;
    FileFailure("cannot lock", path);
  }
  std::unique_ptr<DbfTable> table(new DbfTable(path, mode, fd));
  table->ReadHeader();
  return table;
}

DbfTable::DbfTable(std::string path, OpenMode mode, int fd) : path_(std::move(path)), mode_(mode), fd_(fd) {}

DbfTable::~DbfTable() {
  if (fd_ < 0) return;
  try {
    Flush();
  } catch (const XbaseError&) {
    // The count is recovered from the file's length on the next open.
  }
  close(fd_);
}

void DbfTable::Flush() {
  if (!countBehind_) return;
  WriteCount();
  countBehind_ = false;
}

void DbfTable::ReadHeader() {
  struct stat info {};
  if (fstat(fd_, &info) != 0) FileFailure("cannot examine", path_);
  const auto fileSize = static_cast<std::uint64_t>(info.st_size);
  unsigned char head[kHeaderSize];
  if (ReadUpTo(fd_, head, kHeaderSize, 0, path_) != kHeaderSize)
    throw XbaseError(xbBadTable, path_ + " is too short to be a table");
  if (head[0] != kVersionFoxBase) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", head[0]);
    throw XbaseError(xbBadTable, path_ + " is a table variant this engine does not handle (version byte " +
                                     hex + ")");
  }
  headerLength_ = Get16(head + 8);
  recordLength_ = Get16(head + 10);
  structuralFlag_ = (head[28] & kStructuralIndexFlag) != 0;
  if (headerLength_ < kHeaderSize + kDescriptorSize + 1 || static_cast<std::uint64_t>(headerLength_) > fileSize)
    throw XbaseError(xbBadTable, path_ + " has a damaged header (header length " +
                                     std::to_string(headerLength_) + ")");
  std::vector<unsigned char> descriptors(static_cast<std::size_t>(headerLength_ - kHeaderSize));
  ReadUpTo(fd_, descriptors.data(), descriptors.size(), kHeaderSize, path_);
  fields_.clear();
  std::size_t pos = 0;
  int offset = 1;
  bool terminated = false;
  while (pos < descriptors.size()) {
    if (descriptors[pos] == kFieldTerminator) {
      terminated = true;
      break;
    }
    if (pos + kDescriptorSize > descriptors.size()) break;
    const unsigned char* d = &descriptors[pos];
    DbfField f;
    f.name.assign(reinterpret_cast<const char*>(d), strnlen(reinterpret_cast<const char*>(d), 11));
    f.type = static_cast<char>(d[11]);
    if (f.type == 'F') f.type = 'N';  // FoxPro's float field is stored exactly like N
    f.width = d[16];
    f.decimals = d[17];
    const std::string problem = CheckField(f);
    if (!problem.empty()) throw XbaseError(xbBadTable, path_ + ": " + problem);
    f.offset = offset;
    offset += f.width;
    fields_.push_back(std::move(f));
    pos += kDescriptorSize;
  }
  if (!terminated || fields_.empty())
    throw XbaseError(xbBadTable, path_ + " has a damaged field list");
  CheckUniqueNames(fields_, path_);
  if (offset != recordLength_)
    throw XbaseError(xbBadTable, path_ + ": the record length " + std::to_string(recordLength_) +
                                     " does not match the fields (" + std::to_string(offset) + ")");

  // Trust the header count only when the records it counts are all present
  // and nothing but the end marker or junk after one follows them; otherwise
  // every complete record in the file counts.
  const std::uint32_t headerCount = Get32(head + 4);
  const std::uint64_t complete = (fileSize - static_cast<std::uint64_t>(headerLength_)) /
                                 static_cast<std::uint64_t>(recordLength_);
  count_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(complete, 0xFFFFFFFEu));
  if (headerCount <= complete) {
    char after = kEndOfFile;
    const std::uint64_t end = static_cast<std::uint64_t>(headerLength_) +
                              static_cast<std::uint64_t>(headerCount) * static_cast<std::uint64_t>(recordLength_);
    if (end < fileSize) ReadUpTo(fd_, &after, 1, static_cast<off_t>(end), path_);
    if (after == kEndOfFile) count_ = headerCount;
  }
  DropCache();
}

int DbfTable::FieldIndex(std::string_view name) const {
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const std::string& f = fields_[i].name;
    if (f.size() == name.size() &&
        std::equal(f.begin(), f.end(), name.begin(), [](char a, char b) {
          return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
        }))
      return static_cast<int>(i);
  }
  return -1;
}

std::uint64_t DbfTable::RecordOffset(std::uint32_t recno) const {
  return static_cast<std::uint64_t>(headerLength_) +
         static_cast<std::uint64_t>(recno - 1) * static_cast<std::uint64_t>(recordLength_);
}

void DbfTable::DropCache() const {
  chunks_.clear();
  cachedBytes_ = 0;
}

const char* DbfTable::CachedChunk(std::uint64_t index) const {
  const auto it = chunks_.find(index);
  if (it != chunks_.end()) return it->second.data();
  if (cachedBytes_ > kMaxCachedBytes) DropCache();
  std::vector<char>& chunk = chunks_[index];
  cachedBytes_ += kChunkBytes;
  chunk.resize(kChunkBytes);
  const std::size_t got = ReadUpTo(fd_, chunk.data(), kChunkBytes, static_cast<off_t>(index * kChunkBytes), path_);
  std::fill(chunk.begin() + static_cast<std::ptrdiff_t>(got), chunk.end(), '\0');
  return chunk.data();
}

void DbfTable::Read(std::uint32_t recno, char* out) const {
  if (recno < 1 || recno > count_)
    throw XbaseError(xbBadRecordNumber, "record " + std::to_string(recno) + " is outside " + path_);
  std::uint64_t offset = RecordOffset(recno);
  std::size_t left = static_cast<std::size_t>(recordLength_);
  while (left > 0) {
    const std::uint64_t index = offset / kChunkBytes;
    const std::size_t within = static_cast<std::size_t>(offset % kChunkBytes);
    const std::size_t piece = std::min<std::size_t>(left, kChunkBytes - within);
    std::memcpy(out, CachedChunk(index) + within, piece);
    out += piece;
    offset += piece;
    left -= piece;
  }
}

void DbfTable::WriteThrough(std::uint64_t offset, const char* data, std::size_t size) {
  while (size > 0) {
    const std::uint64_t index = offset / kChunkBytes;
    const std::size_t within = static_cast<std::size_t>(offset % kChunkBytes);
    const std::size_t piece = std::min<std::size_t>(size, kChunkBytes - within);
    const auto it = chunks_.find(index);
    if (it != chunks_.end()) std::memcpy(it->second.data() + within, data, piece);
    data += piece;
    offset += piece;
    size -= piece;
  }
}

bool DbfTable::IsDeleted(std::uint32_t recno) const {
  if (recno < 1 || recno > count_)
    throw XbaseError(xbBadRecordNumber, "record " + std::to_string(recno) + " is outside " + path_);
  const std::uint64_t offset = RecordOffset(recno);
  return CachedChunk(offset / kChunkBytes)[offset % kChunkBytes] == kDeletedFlag;
}

void DbfTable::CheckWritable() const {
  if (mode_ == OpenMode::ReadOnly) throw XbaseError(xbReadOnly, path_ + " is open read-only");
}

void DbfTable::StampDate() {
  if (dateStamped_) return;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const unsigned char date[3] = {static_cast<unsigned char>(local.tm_year), static_cast<unsigned char>(local.tm_mon + 1),
                                 static_cast<unsigned char>(local.tm_mday)};
  WriteAll(fd_, date, 3, 1, path_);
  dateStamped_ = true;
}

void DbfTable::WriteCount() {
  unsigned char bytes[4];
  Put32(bytes, count_);
  WriteAll(fd_, bytes, 4, 4, path_);
}

void DbfTable::Write(std::uint32_t recno, const char* record) {
  CheckWritable();
  if (recno < 1 || recno > count_)
    throw XbaseError(xbBadRecordNumber, "record " + std::to_string(recno) + " is outside " + path_);
  StampDate();
  WriteAll(fd_, record, static_cast<std::size_t>(recordLength_), static_cast<off_t>(RecordOffset(recno)), path_);
  WriteThrough(RecordOffset(recno), record, static_cast<std::size_t>(recordLength_));
}

std::uint32_t DbfTable::Append(const char* record) {
  CheckWritable();
  if (count_ >= 0xFFFFFFFEu) throw XbaseError(xbBadTable, path_ + " is full");
  StampDate();
  // The record and the new end marker go first, the count after them: a
  // writer stopped in between leaves a file whose length still shows the
  // complete record, and opening trusts the length then. With the table to
  // itself, the count is written when the changes are committed.
  std::vector<char> bytes(record, record + recordLength_);
  bytes.push_back(kEndOfFile);
  WriteAll(fd_, bytes.data(), bytes.size(), static_cast<off_t>(RecordOffset(count_ + 1)), path_);
  WriteThrough(RecordOffset(count_ + 1), bytes.data(), bytes.size());
  ++count_;
  if (mode_ == OpenMode::Exclusive) {
    countBehind_ = true;
  } else {
    WriteCount();
  }
  return count_;
}

void DbfTable::SetStructuralIndexFlag(bool on) {
  CheckWritable();
  unsigned char flags = 0;
  ReadUpTo(fd_, &flags, 1, 28, path_);
  flags = on ? (flags | kStructuralIndexFlag) : (flags & ~kStructuralIndexFlag);
  WriteAll(fd_, &flags, 1, 28, path_);
  structuralFlag_ = on;
}

void DbfTable::Refresh() { ReadHeader(); }

void DbfTable::Pack(const ProgressHook& progress) {
  CheckWritable();
  if (mode_ != OpenMode::Exclusive) throw XbaseError(xbTableInUse, "packing " + path_ + " needs an exclusive open");
  Flush();
  const std::string temp = path_ + ".pack";
  unlink(temp.c_str());
  const int out = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (out < 0) FileFailure("cannot create", temp);
  try {
    std::vector<char> header(static_cast<std::size_t>(headerLength_));
    ReadUpTo(fd_, header.data(), header.size(), 0, path_);
    std::vector<char> buffer;
    std::vector<char> record(static_cast<std::size_t>(recordLength_));
    std::uint32_t kept = 0;
    off_t offset = headerLength_;
    int lastPercent = -1;
    for (std::uint32_t r = 1; r <= count_; ++r) {
      Read(r, record.data());
      if (record[0] != kDeletedFlag) {
        record[0] = kLiveFlag;
        buffer.insert(buffer.end(), record.begin(), record.end());
        ++kept;
      }
      if (buffer.size() >= kReadBlockBytes || r == count_) {
        WriteAll(out, buffer.data(), buffer.size(), offset, temp);
        offset += static_cast<off_t>(buffer.size());
        buffer.clear();
      }
      const int percent = static_cast<int>(static_cast<std::uint64_t>(r) * 100 / count_);
      if (progress && percent != lastPercent) progress(lastPercent = percent);
    }
    const char eof = kEndOfFile;
    WriteAll(out, &eof, 1, offset, temp);
    Put32(reinterpret_cast<unsigned char*>(header.data()) + 4, kept);
    WriteAll(out, header.data(), header.size(), 0, temp);
    if (fsync(out) != 0) FileFailure("cannot write", temp);
    if (flock(out, LOCK_EX | LOCK_NB) != 0) FileFailure("cannot lock", temp);
    if (rename(temp.c_str(), path_.c_str()) != 0) FileFailure("cannot replace", path_);
  } catch (...) {
    close(out);
    unlink(temp.c_str());
    throw;
  }
  close(fd_);
  fd_ = out;
  lockedRecords_.clear();
  ReadHeader();
}

bool DbfTable::TryLockRecord(std::uint32_t recno) {
  if (IsRecordLockedHere(recno)) return true;
  struct flock lock {};
  lock.l_type = mode_ == OpenMode::ReadOnly ? F_RDLCK : F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kLockBase + static_cast<off_t>(recno);
  lock.l_len = 1;
  if (fcntl(fd_, F_OFD_SETLK, &lock) != 0) return false;
  lockedRecords_.push_back(recno);
  return true;
}

void DbfTable::UnlockRecord(std::uint32_t recno) {
  const auto it = std::find(lockedRecords_.begin(), lockedRecords_.end(), recno);
  if (it == lockedRecords_.end()) return;
  struct flock lock {};
  lock.l_type = F_UNLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kLockBase + static_cast<off_t>(recno);
  lock.l_len = 1;
  fcntl(fd_, F_OFD_SETLK, &lock);
  lockedRecords_.erase(it);
}

void DbfTable::UnlockAllRecords() {
  while (!lockedRecords_.empty()) UnlockRecord(lockedRecords_.back());
}

bool DbfTable::IsRecordLockedHere(std::uint32_t recno) const {
  return std::find(lockedRecords_.begin(), lockedRecords_.end(), recno) != lockedRecords_.end();
}

bool DbfTable::LockForWrite(int timeoutSeconds) {
  struct flock lock {};
  // A read-only open waits for writers with a shared lock on the same byte.
  lock.l_type = mode_ == OpenMode::ReadOnly ? F_RDLCK : F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kLockBase;
  lock.l_len = 1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::max(0, timeoutSeconds));
  while (fcntl(fd_, F_OFD_SETLK, &lock) != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void DbfTable::UnlockForWrite() {
  struct flock lock {};
  lock.l_type = F_UNLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kLockBase;
  lock.l_len = 1;
  fcntl(fd_, F_OFD_SETLK, &lock);
}

}  // namespace tv
