// The two table components of the main window: TXbase, one per table, and
// TXbaseEnv, the process-wide engine settings.
//
// TXbase is bound to one open table (its cursor). Each operation selects the
// table's work area and restores the previously selected one afterwards.
// Failures raise XbaseError, the table layer's database error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/dbf_table.h"
#include "store/table_cursor.h"

namespace tv {

class TXbaseEnv {
 public:
  TXbaseEnv();
  bool Exact() const { return exact_; }
  void SetExact(bool value);
  bool Century() const { return century_; }
  void SetCentury(bool value);
  int DateFormat() const { return dateFormat_; }
  void SetDateFormat(int value);
  int LockTimeout() const { return lockTimeout_; }
  void SetLockTimeout(int value);
  int MemoBlockSize() const { return memoBlockSize_; }
  void SetMemoBlockSize(int value);
  bool SoftSeek() const { return softSeek_; }
  void SetSoftSeek(bool value);
  bool Deleted() const { return deleted_; }
  void SetDeleted(bool value);

 private:
  bool exact_ = false;
  bool century_ = false;
  int dateFormat_ = 0;
  int lockTimeout_ = 1;
  int memoBlockSize_ = 64;
  bool softSeek_ = false;
  bool deleted_ = false;
};

class TXbase {
 public:
  TXbase() = default;
  ~TXbase();
  TXbase(const TXbase&) = delete;
  TXbase& operator=(const TXbase&) = delete;

  // Opening and closing the bound table. Open re-applies Filter and
  // ExtraIndexes and allocates the record buffer; `requiredTags`: see
  // WorkArea::Open.
  void Open(const std::string& path, bool exclusive, bool readOnly = false, const std::string& indexName = {},
            const std::vector<TagDefinition>& requiredTags = {});
  void Close();
  // The open table as the engine holds it.
  WorkArea& Area() const;
  bool Active() const { return cursor_ != 0; }
  int Cursor() const { return cursor_; }
  const std::string& Path() const { return path_; }

  // Creating a table: CreateTable, AddField for each field, FinishCreate.
  bool CreateTable(const std::string& path, int driver, int fieldCount);
  void AddField(const std::string& name, char typeLetter, int decimals, int width);
  bool FinishCreate();

  int OpenIndexFile(const std::string& name);
  int CreateTag(const std::string& indexFile, const std::string& tag, const std::string& keyExpression, int option,
                bool descending, const std::string& condition);
  int CurrentOrder();
  int TagOrder(const std::string& tagName);
  std::string TagNameOf(int order);
  // Order 0 is natural record order; returns the previous order.
  int SelectOrder(int order);
  // The tag name of the current order ("" in natural order).
  const std::string& IndexName() const { return indexName_; }

  const std::string& Filter() const { return filter_; }
  void SetFilter(const std::string& expression) { SetQuery(expression); }
  void SetQuery(const std::string& expression);
  std::uint32_t QueryCount();

  std::uint32_t RecordCount();
  // The current record's number, or RecordCount + 1 with no current record.
  std::uint32_t RecordNumber();
  int RecordSize();
  void GoToRecord(std::uint32_t recno);
  void Pack();
  void Reindex();
  // Makes `tags` the whole index, in a new file that replaces the old one.
  void BuildIndex(const std::vector<TagDefinition>& tags);
  void CloseIndexes();
  int SystemProperty(int code, int value);
  const std::vector<std::string>& ExtraIndexes() const { return extraIndexes_; }
  void SetExtraIndexes(const std::vector<std::string>& names);
  bool TurboRead() const { return turboRead_; }
  void SetTurboRead(bool value);
  // Progress of pack and index building, 0..100 (the rebuild dialog's gauge).
  void SetProgressHook(ProgressHook hook) { progress_ = std::move(hook); }

  // Navigation and record access through the cursor layer; each returns the
  // cursor outcome (0, 8705, 8706, 8709, 10245). Record() is the buffer.
  int First();
  int Last();
  int Next(bool lock = false);
  int Prior(bool lock = false);
  int Current(bool lock = false);
  bool Eof();
  bool Bof();
  const std::vector<char>& Record() const { return buffer_; }
  std::optional<FieldData> Field(const std::string& name) const;
  void SetField(const std::string& name, const FieldData& value);
  void ClearField(const std::string& name);
  // Fills the buffer with blanks for a new record; Append writes it.
  void NewRecord();
  // Writes a new record, the changed current record, or marks the current
  // record deleted; a failure raises XbaseError and the record stays as it
  // was on disk.
  std::uint32_t Append();
  void Modify();
  void Delete();

  // Positioned reads for a grid: the row-th visible record (0-based) in the
  // current order and filter; false past the end. Consecutive and nearby
  // rows cost a short walk from the last row read.
  bool GoToRow(std::uint32_t row);
  // Visible records in the current order and filter.
  std::uint32_t RowCount();

 private:
  class Scope;
  const CursorField& FieldNamed(const std::string& name) const;
  void Check(int result);
  void Changed();
  void ReadCurrent();

  int cursor_ = 0;
  std::string path_;
  std::string filter_;
  std::vector<std::string> extraIndexes_;
  bool turboRead_ = false;
  std::string indexName_;
  std::vector<char> buffer_;
  ProgressHook progress_;
  std::vector<std::string> pendingFields_;

  // Row cache for GoToRow / RowCount, dropped on every change.
  std::optional<std::uint32_t> rowCount_;
  std::optional<std::uint32_t> lastRow_;
};

}  // namespace tv
