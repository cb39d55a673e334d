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
#include <span>
#include <thread>

#include "platform/bytes.h"
#include "platform/files.h"
#include "platform/text.h"
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

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 10) return false;
  if (!std::isalpha(static_cast<unsigned char>(name[0])) && name[0] != '_') return false;
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

std::string CheckField(DbfField& field) {
  field.name = UpperAscii(field.name);
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
  PutLe16(&bytes[8], static_cast<unsigned>(headerLength));
  PutLe16(&bytes[10], static_cast<unsigned>(recordLength));
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
    PutLe32(d + 12, static_cast<std::uint32_t>(fields[i].offset));
    d[16] = static_cast<unsigned char>(fields[i].width);
    d[17] = static_cast<unsigned char>(fields[i].decimals);
  }
  bytes[static_cast<std::size_t>(headerLength) - 1] = kFieldTerminator;
  bytes[static_cast<std::size_t>(headerLength)] = kEndOfFile;

  // Written beside its name and given the name whole: a stop on the way
  // leaves no table at all rather than an empty one.
  TableFile file = TableFile::CreateNew(path);
  file.WriteAt(0, bytes.data(), bytes.size());
  file.CommitReplacement();
}

std::unique_ptr<DbfTable> DbfTable::Open(const std::string& path, OpenMode mode) {
  // What a writer that was stopped left beside its tables goes before they
  // are written again.
  if (mode != OpenMode::ReadOnly) RemoveStaleWorkFiles(path.substr(0, path.size() - BaseName(path).size()));
  TableFile file = TableFile::Open(path, mode != OpenMode::ReadOnly, xbBadTable);
  if (flock(file.Descriptor(), (mode == OpenMode::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK)
      throw XbaseError(xbTableInUse, path + (mode == OpenMode::Exclusive
                                                 ? " is in use by another program"
                                                 : " is opened exclusively by another program"));
    throw XbaseError(xbFileError, "cannot lock " + path + ": " + std::strerror(errno));
  }
  std::unique_ptr<DbfTable> table(new DbfTable(path, mode, std::move(file)));
  table->ReadHeader();
  return table;
}

DbfTable::DbfTable(std::string path, OpenMode mode, TableFile file)
    : path_(std::move(path)), mode_(mode), file_(std::move(file)) {}

DbfTable::~DbfTable() {
  try {
    Flush();
  } catch (const XbaseError&) {
    // The count is recovered from the file's length on the next open.
  }
}

void DbfTable::Flush() {
  if (!countBehind_) return;
  WriteCount();
  countBehind_ = false;
}

void DbfTable::ReadHeader() {
  unsigned char head[kHeaderSize];
  if (file_.ReadAt(0, head, kHeaderSize) != kHeaderSize)
    throw XbaseError(xbBadTable, path_ + " is too short to be a table");
  // The length after the count: a writer adds the record before it counts
  // it, so a count read first never runs ahead of the records, whatever
  // another program appends meanwhile.
  const std::uint64_t fileSize = file_.Size();
  if (head[0] != kVersionFoxBase) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", head[0]);
    throw XbaseError(xbBadTable, path_ + " is a table variant this engine does not handle (version byte " +
                                     hex + ")");
  }
  headerLength_ = Le16(head + 8);
  recordLength_ = Le16(head + 10);
  structuralFlag_ = (head[28] & kStructuralIndexFlag) != 0;
  if (headerLength_ < kHeaderSize + kDescriptorSize + 1 || static_cast<std::uint64_t>(headerLength_) > fileSize)
    throw XbaseError(xbBadTable, path_ + " has a damaged header (header length " +
                                     std::to_string(headerLength_) + ")");
  std::vector<unsigned char> descriptors(static_cast<std::size_t>(headerLength_ - kHeaderSize));
  file_.ReadAt(kHeaderSize, descriptors.data(), descriptors.size());
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
  // The records start right after the terminator; some writers pad the
  // header with zero bytes after it (Harbour one, Visual FoxPro 263), but a
  // header length that points anywhere else would shift every record.
  const auto padding = std::span(descriptors).subspan(pos + 1);
  if (std::any_of(padding.begin(), padding.end(), [](unsigned char b) { return b != 0; }))
    throw XbaseError(xbBadTable, path_ + ": the header length " + std::to_string(headerLength_) + " does not fit its " +
                                     std::to_string(fields_.size()) + " fields (" +
                                     std::to_string(kHeaderSize + pos + 1) + " expected)");
  CheckUniqueNames(fields_, path_);
  if (offset != recordLength_)
    throw XbaseError(xbBadTable, path_ + ": the record length " + std::to_string(recordLength_) +
                                     " does not match the fields (" + std::to_string(offset) + ")");

  // Trust the header count only when the records it counts are all present
  // and nothing but the end marker or junk after one follows them; otherwise
  // every complete record in the file counts. Fewer whole records than the
  // header counts means the file lost its end: that is damage, and writing
  // over the partial record would hide it for good.
  const std::uint32_t headerCount = Le32(head + 4);
  const std::uint64_t data = fileSize - static_cast<std::uint64_t>(headerLength_);
  const std::uint64_t complete = data / static_cast<std::uint64_t>(recordLength_);
  count_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(complete, 0xFFFFFFFEu));
  damage_.clear();
  if (headerCount <= complete) {
    char after = kEndOfFile;
    const std::uint64_t end = static_cast<std::uint64_t>(headerLength_) +
                              static_cast<std::uint64_t>(headerCount) * static_cast<std::uint64_t>(recordLength_);
    if (end < fileSize) file_.ReadAt(end, &after, 1);
    if (after == kEndOfFile) count_ = headerCount;
  } else {
    const std::uint64_t partial = data % static_cast<std::uint64_t>(recordLength_);
    damage_ = path_ + " is cut short: its header counts " + std::to_string(headerCount) + " records, the file holds " +
              std::to_string(complete) + (partial > 0 ? " and " + std::to_string(partial) + " bytes of another" : "");
  }
  if (count_ > kMaxRecords)
    throw XbaseError(xbBadTable, path_ + " holds " + std::to_string(count_) + " records, more than the " +
                                     std::to_string(kMaxRecords) + " a table may hold; it is not opened");
  DropCache();
}

int DbfTable::FieldIndex(std::string_view name) const {
  for (std::size_t i = 0; i < fields_.size(); ++i)
    if (EqualsNoCase(fields_[i].name, name)) return static_cast<int>(i);
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
  const std::size_t got = file_.ReadAt(index * kChunkBytes, chunk.data(), kChunkBytes);
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
  if (!damage_.empty()) throw XbaseError(xbBadTable, damage_ + "; it is not written to until it is repaired");
}

void DbfTable::StampDate() {
  if (dateStamped_) return;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const unsigned char date[3] = {static_cast<unsigned char>(local.tm_year), static_cast<unsigned char>(local.tm_mon + 1),
                                 static_cast<unsigned char>(local.tm_mday)};
  file_.WriteAt(1, date, 3);
  dateStamped_ = true;
}

void DbfTable::WriteCount() {
  unsigned char bytes[4];
  PutLe32(bytes, count_);
  file_.WriteAt(4, bytes, 4);
}

void DbfTable::Write(std::uint32_t recno, const char* record) {
  CheckWritable();
  if (recno < 1 || recno > count_)
    throw XbaseError(xbBadRecordNumber, "record " + std::to_string(recno) + " is outside " + path_);
  StampDate();
  file_.WriteAt(RecordOffset(recno), record, static_cast<std::size_t>(recordLength_));
  WriteThrough(RecordOffset(recno), record, static_cast<std::size_t>(recordLength_));
}

std::uint32_t DbfTable::Append(const char* record) {
  CheckWritable();
  if (count_ >= kMaxRecords)
    throw XbaseError(xbBadTable, path_ + " is full: it holds " + std::to_string(kMaxRecords) +
                                     " records, the most a table may hold");
  StampDate();
  // The record and the new end marker go first, the count after them: a
  // writer stopped in between leaves a file whose length still shows the
  // complete record, and opening trusts the length then. With the table to
  // itself, the count is written when the changes are committed.
  std::vector<char> bytes(record, record + recordLength_);
  bytes.push_back(kEndOfFile);
  file_.WriteAt(RecordOffset(count_ + 1), bytes.data(), bytes.size());
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
  // A header byte far from any record: allowed on a damaged table too.
  if (mode_ == OpenMode::ReadOnly) throw XbaseError(xbReadOnly, path_ + " is open read-only");
  unsigned char flags = 0;
  file_.ReadAt(28, &flags, 1);
  flags = on ? (flags | kStructuralIndexFlag) : (flags & ~kStructuralIndexFlag);
  file_.WriteAt(28, &flags, 1);
  structuralFlag_ = on;
}

void DbfTable::Refresh() { ReadHeader(); }

void DbfTable::Pack(const ProgressHook& progress) {
  CheckWritable();
  if (mode_ != OpenMode::Exclusive) throw XbaseError(xbTableInUse, "packing " + path_ + " needs an exclusive open");
  Flush();
  TableFile packed = TableFile::CreateReplacement(path_);
  std::vector<char> header(static_cast<std::size_t>(headerLength_));
  file_.ReadAt(0, header.data(), header.size());
  std::vector<char> buffer;
  std::vector<char> record(static_cast<std::size_t>(recordLength_));
  std::uint32_t kept = 0;
  std::uint64_t offset = static_cast<std::uint64_t>(headerLength_);
  int lastPercent = -1;
  for (std::uint32_t r = 1; r <= count_; ++r) {
    Read(r, record.data());
    if (record[0] != kDeletedFlag) {
      record[0] = kLiveFlag;
      buffer.insert(buffer.end(), record.begin(), record.end());
      ++kept;
    }
    if (buffer.size() >= kReadBlockBytes || r == count_) {
      packed.WriteAt(offset, buffer.data(), buffer.size());
      offset += buffer.size();
      buffer.clear();
    }
    const int percent = static_cast<int>(static_cast<std::uint64_t>(r) * 100 / count_);
    if (progress && percent != lastPercent) progress(lastPercent = percent);
  }
  const char eof = kEndOfFile;
  packed.WriteAt(offset, &eof, 1);
  PutLe32(reinterpret_cast<unsigned char*>(header.data()) + 4, kept);
  packed.WriteAt(0, header.data(), header.size());
  // Locked before it takes the table's place, so that no other program gets
  // in between.
  if (flock(packed.Descriptor(), LOCK_EX | LOCK_NB) != 0)
    throw XbaseError(xbFileError, "cannot lock the packed " + path_ + ": " + std::strerror(errno));
  packed.CommitReplacement();
  file_ = std::move(packed);
  lockedRecords_.clear();
  ReadHeader();
}

void DbfTable::AcceptLength() {
  if (mode_ != OpenMode::Exclusive) throw XbaseError(xbTableInUse, "repairing " + path_ + " needs an exclusive open");
  if (damage_.empty()) return;
  // The whole records stay, with an end marker after them and their number
  // in the header; the bytes of a partial record go.
  const std::uint64_t end = RecordOffset(count_ + 1);
  file_.Truncate(end);
  const char eof = kEndOfFile;
  file_.WriteAt(end, &eof, 1);
  damage_.clear();
  WriteCount();
  file_.Sync();
  DropCache();
}

bool DbfTable::TryLockRecord(std::uint32_t recno) {
  if (IsRecordLockedHere(recno)) return true;
  struct flock lock {};
  lock.l_type = mode_ == OpenMode::ReadOnly ? F_RDLCK : F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kLockBase + static_cast<off_t>(recno);
  lock.l_len = 1;
  if (fcntl(file_.Descriptor(), F_OFD_SETLK, &lock) != 0) return false;
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
  fcntl(file_.Descriptor(), F_OFD_SETLK, &lock);
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
  while (fcntl(file_.Descriptor(), F_OFD_SETLK, &lock) != 0) {
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
  fcntl(file_.Descriptor(), F_OFD_SETLK, &lock);
}

}  // namespace tv
