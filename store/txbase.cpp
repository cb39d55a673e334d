#include "store/txbase.h"

#include <cstring>

#include "platform/text.h"
#include "store/xb_engine.h"

namespace tv {

TXbaseEnv::TXbaseEnv() {
  xb_SetExact(exact_);
  xb_SetCentury(century_);
  xb_SetDateFormat(dateFormat_);
  xb_SetLockTimeout(lockTimeout_);
  xb_SetMemoBlockSize(memoBlockSize_);
  xb_SetSoftSeek(softSeek_);
  xb_SetDeleted(deleted_);
}

void TXbaseEnv::SetExact(bool value) { xb_SetExact(exact_ = value); }
void TXbaseEnv::SetCentury(bool value) { xb_SetCentury(century_ = value); }
void TXbaseEnv::SetDateFormat(int value) { xb_SetDateFormat(dateFormat_ = value); }
void TXbaseEnv::SetLockTimeout(int value) { xb_SetLockTimeout(lockTimeout_ = value); }
void TXbaseEnv::SetMemoBlockSize(int value) { xb_SetMemoBlockSize(memoBlockSize_ = value); }
void TXbaseEnv::SetSoftSeek(bool value) { xb_SetSoftSeek(softSeek_ = value); }
void TXbaseEnv::SetDeleted(bool value) { xb_SetDeleted(deleted_ = value); }

// Selects the bound table's work area for one operation.
class TXbase::Scope {
 public:
  explicit Scope(const TXbase& table) {
    if (!table.Active()) throw XbaseError(xbNoTable, "the table is not open");
    previous_ = xb_Select(table.cursor_);
  }
  ~Scope() { xb_Select(previous_); }

 private:
  int previous_ = 0;
};

TXbase::~TXbase() {
  if (Active()) CursorClose(cursor_);
}

void TXbase::Check(int result) {
  if (result == 0) return;
  throw XbaseError(xb_LastError() != 0 ? xb_LastError() : result,
                   xb_LastErrorText().empty() ? "table operation failed" : xb_LastErrorText());
}

void TXbase::Changed() {
  rowCount_.reset();
  lastRow_.reset();
}

void TXbase::Open(const std::string& path, bool exclusive, bool readOnly, const std::string& indexName,
                  const std::vector<TagDefinition>& requiredTags) {
  if (Active()) Close();
  CursorOpenRequest request;
  request.path = path;
  request.exclusive = exclusive;
  request.readOnly = readOnly;
  request.indexName = indexName;
  request.requiredTags = requiredTags;
  int cursor = 0;
  if (CursorOpen(request, cursor) != 0) throw XbaseError(xb_LastError() ? xb_LastError() : xbOpenFailed, xb_LastErrorText());
  cursor_ = cursor;
  path_ = path;
  Changed();
  {
    Scope scope(*this);
    indexName_ = xb_IndexName();
    if (!filter_.empty()) Check(xb_Query(filter_));
  }
  if (!extraIndexes_.empty()) SetExtraIndexes(extraIndexes_);
  buffer_.assign(static_cast<std::size_t>(CursorRecordSize(cursor_)), ' ');
  ReadCurrent();
}

void TXbase::Close() {
  if (!Active()) return;
  const int result = CursorClose(cursor_);
  if (xb_SysProp(spAreaInUse, cursor_) == 0) {
    cursor_ = 0;
    indexName_.clear();
    Changed();
  }
  Check(result);
}

WorkArea& TXbase::Area() const {
  if (!Active()) throw XbaseError(xbNoTable, "the table is not open");
  const int previous = xb_Select(cursor_);
  WorkArea* area = xb_CurrentArea();
  xb_Select(previous);
  return *area;
}

bool TXbase::CreateTable(const std::string& path, int driver, int fieldCount) {
  pendingFields_.clear();
  return xb_CreateNew(path, "XXXXXXXXXX", driver, fieldCount) == 0;
}

void TXbase::AddField(const std::string& name, char typeLetter, int decimals, int width) {
  Check(xb_CreateField(name, typeLetter, width, decimals));
}

bool TXbase::FinishCreate() { return xb_CreateExec() == 0; }

int TXbase::OpenIndexFile(const std::string& name) {
  Scope scope(*this);
  const int order = xb_IndexOpen(name);
  if (order == 0) Check(xb_LastError());
  indexName_ = xb_TagName(order);
  return order;
}

int TXbase::CreateTag(const std::string& indexFile, const std::string& tag, const std::string& keyExpression,
                      int option, bool descending, const std::string& condition) {
  Scope scope(*this);
  xb_SetGaugeHook(progress_);
  const int order = xb_IndexTag(indexFile, tag, keyExpression, option, descending, condition);
  xb_SetGaugeHook({});
  if (order == 0) Check(xb_LastError());
  indexName_ = xb_TagName(order);
  Changed();
  ReadCurrent();
  return order;
}

int TXbase::CurrentOrder() {
  Scope scope(*this);
  return xb_IndexOrd();
}

int TXbase::TagOrder(const std::string& tagName) {
  Scope scope(*this);
  return xb_TagArea(tagName);
}

std::string TXbase::TagNameOf(int order) {
  Scope scope(*this);
  return xb_TagName(order);
}

int TXbase::SelectOrder(int order) {
  Scope scope(*this);
  const int previous = xb_SetOrder(order);
  if (previous < 0) Check(xb_LastError());
  indexName_ = order == 0 ? std::string() : xb_TagName(order);
  Changed();
  return previous;
}

void TXbase::SetQuery(const std::string& expression) {
  if (Active()) {
    Scope scope(*this);
    Check(xb_Query(expression));
    Changed();
  }
  filter_ = expression;
}

std::uint32_t TXbase::QueryCount() {
  Scope scope(*this);
  return xb_QueryRecCount();
}

std::uint32_t TXbase::RecordCount() {
  Scope scope(*this);
  return xb_RecCount();
}

std::uint32_t TXbase::RecordNumber() {
  Scope scope(*this);
  if (xb_Eof() || xb_RecCount() == 0) return xb_RecCount() + 1;
  return xb_RecNo();
}

int TXbase::RecordSize() {
  Scope scope(*this);
  return xb_RecSize();
}

void TXbase::GoToRecord(std::uint32_t recno) {
  Scope scope(*this);
  Check(xb_Go(recno));
  lastRow_.reset();
  ReadCurrent();
}

void TXbase::Pack() {
  Scope scope(*this);
  xb_SetGaugeHook(progress_);
  const int result = xb_Pack();
  xb_SetGaugeHook({});
  Check(result);
  Changed();
  ReadCurrent();
}

void TXbase::Reindex() {
  Scope scope(*this);
  xb_SetGaugeHook(progress_);
  const int result = xb_Reindex();
  xb_SetGaugeHook({});
  Check(result);
  Changed();
}

void TXbase::BuildIndex(const std::vector<TagDefinition>& tags) {
  Scope scope(*this);
  try {
    xb_CurrentArea()->BuildIndex(tags, progress_);
  } catch (...) {
    Changed();
    throw;
  }
  indexName_ = xb_TagName(xb_IndexOrd());
  Changed();
  ReadCurrent();
}

void TXbase::CloseIndexes() {
  Scope scope(*this);
  Check(xb_CloseIndexes());
  indexName_.clear();
  Changed();
}

int TXbase::SystemProperty(int code, int value) {
  Scope scope(*this);
  return xb_SysProp(code, value);
}

void TXbase::SetExtraIndexes(const std::vector<std::string>& names) {
  extraIndexes_ = names;
  if (!Active() || names.empty()) return;
  Scope scope(*this);
  const int remembered = xb_IndexOrd();
  xb_SetOrder(0);
  int first = 0;
  for (const std::string& name : names) {
    const int order = xb_IndexOpen(name);
    if (order == 0) {
      xb_SetOrder(remembered);
      Check(xb_LastError());
    }
    if (first == 0) first = order;
  }
  xb_SetOrder(remembered != 0 ? remembered : first);
}

void TXbase::SetTurboRead(bool value) {
  turboRead_ = value;
  xb_SetTurboRead(value);
}

void TXbase::ReadCurrent() {
  if (!Active()) return;
  Scope scope(*this);
  xb_GetRecord(buffer_.data());
}

int TXbase::First() {
  {
    Scope scope(*this);
    Check(xb_GoTop());
  }
  lastRow_ = 0;
  ReadCurrent();
  return Eof() ? xbEndOfFile : xbOK;
}

int TXbase::Last() {
  {
    Scope scope(*this);
    Check(xb_GoBottom());
  }
  lastRow_.reset();
  ReadCurrent();
  return Eof() ? xbEndOfFile : xbOK;
}

int TXbase::Next(bool lock) {
  const int result = CursorNext(cursor_, buffer_.data(), lock);
  if (lastRow_) ++*lastRow_;
  return result;
}

int TXbase::Prior(bool lock) {
  lastRow_.reset();
  return CursorPrior(cursor_, buffer_.data(), lock);
}

int TXbase::Current(bool lock) { return CursorCurrent(cursor_, buffer_.data(), lock); }

bool TXbase::Eof() {
  Scope scope(*this);
  return xb_Eof();
}

bool TXbase::Bof() {
  Scope scope(*this);
  return xb_Bof();
}

const CursorField& TXbase::FieldNamed(const std::string& name) const {
  for (const CursorField& f : CursorFields(cursor_))
    if (EqualsNoCase(f.name, name)) return f;
  throw XbaseError(xbBadField, "the table has no field " + name);
}

std::optional<FieldData> TXbase::Field(const std::string& name) const {
  return ReadCursorField(FieldNamed(name), buffer_.data());
}

void TXbase::SetField(const std::string& name, const FieldData& value) {
  WriteCursorField(FieldNamed(name), buffer_.data(), value);
}

void TXbase::ClearField(const std::string& name) {
  const CursorField& f = FieldNamed(name);
  std::memset(buffer_.data() + f.offset, ' ', static_cast<std::size_t>(f.width));
}

void TXbase::NewRecord() { CursorNewRecord(cursor_, buffer_.data()); }

std::uint32_t TXbase::Append() {
  Check(CursorAppend(cursor_, buffer_.data(), false));
  Changed();
  Scope scope(*this);
  return xb_RecNo();
}

void TXbase::Modify() {
  const int result = CursorModify(cursor_, buffer_.data());
  Changed();
  Check(result);
}

void TXbase::Delete() {
  const int result = CursorDelete(cursor_);
  Changed();
  Check(result);
}

bool TXbase::GoToRow(std::uint32_t row) {
  Scope scope(*this);
  const std::uint32_t here = lastRow_.value_or(0);
  const bool nearHere = lastRow_ && !xb_Eof() && (row >= here ? row - here : here - row) <= row;
  if (nearHere) {
    xb_Skip(static_cast<std::int64_t>(row) - static_cast<std::int64_t>(here));
  } else {
    xb_GoTop();
    if (row > 0) xb_Skip(row);
  }
  if (xb_Eof()) {
    lastRow_.reset();
    return false;
  }
  lastRow_ = row;
  xb_GetRecord(buffer_.data());
  return true;
}

std::uint32_t TXbase::RowCount() {
  if (!rowCount_) {
    Scope scope(*this);
    WorkArea* area = xb_CurrentArea();
    const int order = area->Order();
    if (order == 0 || !area->Tags()[static_cast<std::size_t>(order - 1)].condition) {
      // Every visible record is in the order: a sequential scan counts them.
      rowCount_ = area->FilterCount();
    } else {
      const std::uint32_t recno = area->RecNo();
      std::uint32_t rows = 0;
      for (area->GoTop(); !area->Eof(); area->Skip(1)) ++rows;
      area->Go(recno);
      lastRow_.reset();
      rowCount_ = rows;
    }
  }
  return *rowCount_;
}

}  // namespace tv
