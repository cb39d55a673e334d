// A FoxPro 2.x table file (.DBF, version byte 0x03, no memo): header, field
// descriptors and fixed-length records, each led by its deletion flag.
//
// The file is opened with a whole-file lock that enforces the open mode
// against every other open (in this or another process): exclusive opens take
// it exclusively, shared and read-only opens take it shared. Record locks and
// the table-wide write lock are byte-range locks owned by the open file, far
// beyond any real record offset.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "store/table_file.h"

namespace tv {

struct DbfField {
  std::string name;  // upper case, at most 10 characters
  char type = 'C';   // C, D, L or N
  int width = 0;
  int decimals = 0;
  int offset = 0;    // in the record, after the deletion flag byte
};

enum class OpenMode { Shared = 0, ReadOnly = 1, Exclusive = 2 };

using ProgressHook = std::function<void(int percent)>;

class DbfTable {
 public:
  static constexpr char kLiveFlag = ' ';
  static constexpr char kDeletedFlag = '*';
  // Records a table may hold: a larger one takes too long to open and index
  // to be a fax list, and is refused.
  static constexpr std::uint32_t kMaxRecords = 1'000'000;

  // Writes an empty table. Field names are upper-cased; widths and decimals
  // are checked against the type (C 1..254, N 1..20, D 8, L 1).
  static void Create(const std::string& path, std::vector<DbfField> fields, bool hasStructuralIndex);

  // Opens and checks a table. A header count beyond the file's end (the file
  // was cut short) gives every complete record and marks the table damaged;
  // otherwise a count that disagrees with the file's length (a writer stopped
  // between a record and its count) gives every complete record.
  static std::unique_ptr<DbfTable> Open(const std::string& path, OpenMode mode);

  ~DbfTable();
  DbfTable(const DbfTable&) = delete;
  DbfTable& operator=(const DbfTable&) = delete;

  const std::string& Path() const { return path_; }
  OpenMode Mode() const { return mode_; }
  const std::vector<DbfField>& Fields() const { return fields_; }
  int FieldIndex(std::string_view name) const;  // any letter case; -1 if none
  std::uint32_t RecordCount() const { return count_; }
  int RecordLength() const { return recordLength_; }
  bool HasStructuralIndexFlag() const { return structuralFlag_; }
  // What is wrong with a damaged table (empty when nothing is); a damaged
  // table is read but not written until AcceptLength repairs it.
  const std::string& Damage() const { return damage_; }
  // Repairs a table cut short: the whole records stay and the header counts
  // them; the bytes of a partial record go. Needs an exclusive open.
  void AcceptLength();

  // Copies record `recno` (1-based, flag byte first) into `out`.
  void Read(std::uint32_t recno, char* out) const;
  bool IsDeleted(std::uint32_t recno) const;

  // Writes a whole record (flag byte first) in place.
  void Write(std::uint32_t recno, const char* record);
  // Appends a record and returns its number.
  std::uint32_t Append(const char* record);
  void SetStructuralIndexFlag(bool on);

  // Re-reads the record count written by other programs (shared opens).
  void Refresh();
  // Writes the header's record count when appends left it behind.
  void Flush();
  // Waits until the disk holds what was written.
  void SyncToDisk() { file_.Sync(); }

  // Rewrites the table without its deleted records (through a new file that
  // replaces the old one in one step).
  void Pack(const ProgressHook& progress);

  // Record locks and the table-wide write lock. TryLockRecord fails at once
  // when another open holds the record.
  bool TryLockRecord(std::uint32_t recno);
  void UnlockRecord(std::uint32_t recno);
  void UnlockAllRecords();
  bool IsRecordLockedHere(std::uint32_t recno) const;
  // Waits up to timeoutSeconds for the write lock (a read-only open takes
  // it shared, to wait for a writer to finish).
  bool LockForWrite(int timeoutSeconds);
  void UnlockForWrite();

 private:
  DbfTable(std::string path, OpenMode mode, TableFile file);
  void ReadHeader();
  void WriteCount();
  void StampDate();
  void CheckWritable() const;
  std::uint64_t RecordOffset(std::uint32_t recno) const;

  std::string path_;
  OpenMode mode_;
  TableFile file_;
  std::vector<DbfField> fields_;
  std::uint32_t count_ = 0;
  int headerLength_ = 0;
  int recordLength_ = 0;
  bool structuralFlag_ = false;
  bool dateStamped_ = false;
  bool countBehind_ = false;
  std::string damage_;
  std::vector<std::uint32_t> lockedRecords_;

  // Chunks of the file read so far, so that walks in any order cost one
  // system call per chunk; written bytes go through to the chunks held.
  const char* CachedChunk(std::uint64_t index) const;
  void WriteThrough(std::uint64_t offset, const char* data, std::size_t size);
  void DropCache() const;
  mutable std::unordered_map<std::uint64_t, std::vector<char>> chunks_;
  mutable std::size_t cachedBytes_ = 0;
};

}  // namespace tv
