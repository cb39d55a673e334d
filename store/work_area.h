// An open table with its structural compound index: the record pointer, the
// controlling order, the filter and the deleted-record setting, and every
// change kept in step across all tags.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/cdx_file.h"
#include "store/dbf_table.h"
#include "store/xbase_error.h"
#include "store/xbase_expression.h"

namespace tv {

// Process-wide settings every work area follows.
struct XbaseSettings {
  XSettings expression;
  bool deleted = false;   // records marked deleted are invisible everywhere
  bool softSeek = false;  // a failed seek stops on the next key instead of the end
  int lockTimeout = 1;    // seconds to wait for a table-wide write lock
};

struct XbTag {
  std::string name;
  ExpressionPtr key;
  ExpressionPtr condition;  // null when the tag has no FOR clause
  bool descending = false;
  bool unique = false;
  int keyLength = 0;
};

// A tag as a table's definition requires it.
struct TagDefinition {
  std::string name;
  std::string key;
  std::string condition;  // empty: none
  bool descending = false;
  bool unique = false;
};

// The index key of a value of the given type, as FoxPro stores it: texts
// blank-padded or cut to keyLength, numbers and dates (as Julian day
// numbers) as order-preserving big-endian doubles, logicals as T or F.
std::string EncodeKey(XValue value, int keyLength);

class WorkArea {
 public:
  // Opens a table and, when it has one, its structural .CDX (same name,
  // extension .CDX in either letter case), checking every tag against the
  // table while no other program is changing it. Throws xbBadIndex or
  // xbStaleIndex when the index cannot be trusted, unless `required` names
  // the tags the table needs and the open may write: then an index that is
  // missing, unsound, built by an older letter-case rule or without one of
  // those tags is built again whole, from `required`.
  static std::unique_ptr<WorkArea> Open(const std::string& path, OpenMode mode, const XbaseSettings& settings,
                                        const std::vector<TagDefinition>* required = nullptr);
  ~WorkArea();
  // Why the index was built again at open; empty when it was sound (or
  // simply missing).
  const std::string& IndexRepair() const { return indexRepair_; }
  // True while a progress report of a rebuild runs; the table refuses every
  // change and closing meanwhile (xbTableBusy).
  bool Reporting() const { return reporting_ > 0; }

  DbfTable& Table() { return *table_; }
  const DbfTable& Table() const { return *table_; }
  std::string IndexPath() const;  // the structural index's path, existing or not
  bool HasIndex() const { return index_ != nullptr; }
  const std::vector<XbTag>& Tags() const { return tags_; }

  // Orders: 0 natural, n the n-th tag in creation order.
  int Order() const { return order_; }
  void SetOrder(int order);
  int TagOrder(const std::string& name) const;  // 0 when there is no such tag

  // Creates a tag in the structural index (creating the .CDX when missing)
  // and returns its order.
  int CreateTag(const std::string& name, const std::string& keyExpression, const std::string& forExpression,
                bool descending, bool unique, const ProgressHook& progress = {});
  // Throws away the index file and builds every tag again.
  void Reindex(const ProgressHook& progress = {});
  // Makes `tags` the whole index, in a new file that takes the old one's
  // place in one step; natural order follows.
  void BuildIndex(const std::vector<TagDefinition>& tags, const ProgressHook& progress = {});
  // Closes the structural index (the file stays); natural order follows.
  void CloseIndex();
  // Removes deleted records and rebuilds the index; the order is kept.
  void Pack(const ProgressHook& progress = {});
  // Writes every pending change to the files.
  void Commit();
  // Commits, then waits until the disk holds the table and its index.
  void CommitToDisk();

  // Filter (empty text removes it).
  void SetFilter(const std::string& expression);
  const std::string& FilterText() const { return filterText_; }
  std::uint32_t FilterCount();

  // Navigation in the controlling order, with the filter and the deleted
  // setting applied. Go positions on any existing record.
  void GoTop();
  void GoBottom();
  void Go(std::uint32_t recno);
  void Skip(std::int64_t count);
  // Looks a key up in the controlling tag (texts may be a leading part of
  // the key); true when found.
  bool Seek(const XValue& key);
  // Limits the controlling order to keys from `top` to `bottom` (texts
  // compare as leading parts; nullopt leaves that end open). Selecting an
  // order clears the range.
  void SetScope(const std::optional<XValue>& top, const std::optional<XValue>& bottom);
  // The current record's key in the controlling order (empty in natural order).
  std::string KeyData() const;
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  // The current record number; record count + 1 past the end.
  std::uint32_t RecNo() const { return eof_ ? table_->RecordCount() + 1 : recno_; }
  std::uint32_t RecCount() { return table_->RecordCount(); }
  bool Deleted() const { return !eof_ && record_[0] == DbfTable::kDeletedFlag; }
  const std::vector<char>& Record() const { return record_; }
  // Re-reads the current record (for programs sharing the table).
  void Refresh();

  // Changes. AppendBlank positions on the new record; PutRecord writes the
  // fields of a whole record buffer (its deletion flag byte is ignored).
  std::uint32_t AppendBlank();
  // Appends a whole record (its deletion flag byte is ignored) in one write,
  // so that a stop cannot leave a blank record behind; positions on it.
  std::uint32_t Append(const char* record);
  void PutRecord(const char* record);
  void Replace(int field, const XValue& value);
  void Delete();
  void Recall();

  bool LockRecord(std::uint32_t recno);
  void Unlock(std::uint32_t recno);  // 0: all

  // Evaluates an expression against the current record.
  XValue Evaluate(const std::string& expression);

  const XbaseSettings& Settings() const { return settings_; }

 private:
  WorkArea(std::unique_ptr<DbfTable> table, const XbaseSettings& settings);
  void OpenIndex(const std::vector<TagDefinition>* required);
  // Opens the index file and checks it whole; the problem when it is not
  // sound or lacks a required tag.
  std::optional<XbaseError> CheckIndex(const std::vector<TagDefinition>* required);
  void LoadTags();
  XbTag CompileTag(const TagDefinition& definition) const;
  // Makes `tags` the index's whole content, in a new file.
  void BuildTags(std::vector<XbTag> tags, const ProgressHook& progress);
  // The sorted keys of each tag, read in one pass over the table.
  std::vector<CdxKeyList> CollectKeys(const std::vector<const XbTag*>& tags, const ProgressHook& progress);
  // The keys of every tag as they will be after a pack, taken in order from
  // the current trees; nullopt when some tag cannot be carried over that way.
  std::optional<std::vector<CdxKeyList>> KeysAfterPack();
  // Writes a new index file holding `keys` for the current tags and puts it
  // in the old one's place in one step.
  void WriteIndexFile(const std::vector<CdxKeyList>& keys);
  // Progress reports, during which the table refuses changes.
  void Report(const ProgressHook& progress, int percent);
  ProgressHook GuardedHook(const ProgressHook& progress);
  void CheckNotReporting() const;
  std::string KeyOf(const XbTag& tag, const char* record, std::uint32_t recno) const;
  bool InTag(const XbTag& tag, const char* record, std::uint32_t recno) const;
  bool Visible(const char* record, std::uint32_t recno) const;
  void Load(std::uint32_t recno);
  void SetEof();
  void CheckEntry(std::size_t tag, const CdxEntry& entry);

  // Index walking in the controlling tag's direction.
  CdxTree& OrderTree();
  CdxTree::Position WalkFirst(bool fromEnd);
  CdxTree::Position WalkStep(CdxTree::Position p, bool forward);
  CdxTree::Position CurrentPosition(bool forward);
  std::string ScopeKey(const XValue& value) const;
  bool BeforeScope(std::string_view key, bool forward) const;
  bool PastScope(std::string_view key, bool forward) const;
  bool SettleIndex(CdxTree::Position p, bool forward);
  bool SettleNatural(std::uint32_t recno, bool forward);

  // The table-wide lock of a shared (or read-only) open; nests.
  void Lock();
  void Unlock();
  void BeginWrite();
  void EndWrite();
  void UpdateKeys(const std::vector<char>& before, const std::vector<char>& after, std::uint32_t recno, bool isNew);
  void Sync();

  std::unique_ptr<DbfTable> table_;
  std::unique_ptr<CdxFile> index_;
  std::vector<XbTag> tags_;
  const XbaseSettings& settings_;
  int order_ = 0;
  ExpressionPtr filter_;
  std::string filterText_;
  std::optional<std::string> scopeTop_;
  std::optional<std::string> scopeBottom_;

  std::uint32_t recno_ = 0;
  bool bof_ = true;
  bool eof_ = true;
  std::vector<char> record_;

  // The current record's place in the controlling tag; trusted only while
  // the index has not changed since it was found.
  CdxTree::Position position_;
  std::uint64_t positionGeneration_ = 0;
  std::uint64_t generation_ = 1;
  int writeDepth_ = 0;
  int lockDepth_ = 0;
  int reporting_ = 0;
  std::string indexRepair_;
};

}  // namespace tv
