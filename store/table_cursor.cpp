#include "store/table_cursor.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "store/field_codec.h"
#include "store/xb_engine.h"

namespace tv {

namespace {

struct CursorRecord {
  int driver = kDriverCdx;
  std::vector<CursorField> fields;
  int recordSize = 0;
};

std::map<int, CursorRecord>& Cursors() {
  static std::map<int, CursorRecord> cursors;
  return cursors;
}

// The path with the extension, in the letter case of a file there.
std::string IndexBeside(const std::string& table, std::string_view extension) {
  const std::string_view name = BaseName(table);
  return FindNoCase(table.substr(0, table.size() - name.size()), ChangeExtension(name, extension));
}

// The driver number a table type names, or the one the file's first byte
// and its index files suggest.
int DriverFor(const CursorOpenRequest& request) {
  static const std::map<std::string, int> kTypes = {{"XBNTX", 1}, {"XBFOX", 2}, {"XBNSX", 3}, {"XANTX", 11}, {"XAFOX", 12}};
  if (!request.tableType.empty()) {
    const auto it = kTypes.find(request.tableType);
    return it == kTypes.end() ? kDriverCdx : it->second;
  }
  unsigned char first = 0;
  const int fd = OpenRegularFile(request.path, O_RDONLY);
  if (fd >= 0) {
    if (read(fd, &first, 1) != 1) first = 0;
    close(fd);
  }
  switch (first) {
    case 0x03: case 0x06:
      if (FileExists(IndexBeside(request.path, ".CDX"))) return 2;
      return FileExists(IndexBeside(request.path, ".NSX")) ? 3 : 2;
    case 0x83: case 0x86: return 1;
    case 0xE5: case 0xE6: return 3;
    default: return 2;
  }
}

// Selects a work area for the length of one call.
class AreaScope {
 public:
  explicit AreaScope(int area) : previous_(xb_Select(area)) {}
  ~AreaScope() { xb_Select(previous_); }

 private:
  int previous_;
};

CursorRecord* Find(int cursor) {
  if (cursor < 1 || cursor > kMaxWorkAreas || xb_SysProp(spAreaInUse, cursor) == 0) return nullptr;
  const auto it = Cursors().find(cursor);
  return it == Cursors().end() ? nullptr : &it->second;
}

std::vector<CursorField> DescribeFields() {
  std::vector<CursorField> fields;
  const int count = xb_FieldCount();
  for (int i = 1; i <= count; ++i) {
    CursorField f;
    f.number = i;
    f.name = xb_FieldName(i);
    f.offset = xb_FieldOffset(i);
    f.width = xb_FieldWidth(i);
    f.decimals = xb_FieldDecimals(i);
    const char type = xb_FieldType(i);
    switch (type) {
      case 'C': f.kind = FieldKind::String; f.length = f.width + 1; break;
      case 'D': f.kind = FieldKind::Date; f.length = 4; break;
      case 'L': f.kind = FieldKind::Boolean; f.length = 2; break;
      case 'N':
        if (f.decimals == 0 && f.width < 5) {
          f.kind = FieldKind::SmallInt;
          f.length = 2;
        } else {
          f.kind = FieldKind::Float;
          f.length = 8;
        }
        break;
      default:
        throw XbaseError(xbBadField, "Invalid Field Type " + std::string(1, type));
    }
    fields.push_back(f);
  }
  return fields;
}

void CopyRecord(char* buffer) {
  if (buffer) xb_GetRecord(buffer);
}

bool LockCurrent(bool lock) { return !lock || xb_Rlock(xb_RecNo()); }

}  // namespace

int LayerStart() {
  if (xb_Version().empty()) {
    throw XbaseError(xbEngineTooOld, "The table layer requires table engine version 2.40.00 or later.");
  }
  xb_SetStringType(1);
  xb_ErrorLevel(1);
  return 0;
}

void LayerEnd() {
  xb_CloseAll();
  Cursors().clear();
  xb_SysProp(spCleanupAtClose, 0);
  xb_SysProp(spWorkBufferSize, 0);
}

std::string AliasForTable(const std::string& path) {
  std::string name = ChangeExtension(BaseName(path), "");
  for (std::size_t i = 0; i < name.size() && i < 8; ++i)
    if (name[i] == '~' || name[i] == '-' || name[i] == ' ') name[i] = '_';
  std::string alias = name;
  for (int n = 1; xb_WorkArea(alias) != 0; ++n) alias = name.substr(0, 8) + "_" + std::to_string(n);
  return alias;
}

int CursorOpen(const CursorOpenRequest& request, int& cursor) {
  cursor = 0;
  const int driver = DriverFor(request);
  const int mode = request.readOnly ? kOpenReadOnly : request.exclusive ? kOpenExclusive : kOpenShared;
  const int previous = xb_WorkArea();
  const int area = xb_Use(request.path, AliasForTable(request.path), mode, driver, request.requiredTags);
  if (area == 0) {
    xb_Select(previous);
    return xbOpenFailed;
  }
  CursorRecord record;
  record.driver = driver;
  try {
    record.fields = DescribeFields();
  } catch (const XbaseError&) {
    xb_Close();
    xb_Select(previous);
    return xbOpenFailed;
  }
  record.recordSize = xb_RecSize();
  if (!request.indexName.empty()) {
    const int order = xb_TagArea(request.indexName);
    if (order > 0) xb_SetOrder(order);
  }
  Cursors()[area] = std::move(record);
  cursor = area;
  xb_Select(previous);
  return xbOK;
}

int CursorClose(int cursor) {
  if (!Find(cursor)) return xbInvalidCursor;
  AreaScope scope(cursor);
  const int result = xb_Close();
  // A table busy with a rebuild stays open; one whose last writes failed is
  // closed all the same, and the failure reported.
  if (xb_SysProp(spAreaInUse, cursor) == 0) Cursors().erase(cursor);
  return result;
}

const std::vector<CursorField>& CursorFields(int cursor) {
  CursorRecord* c = Find(cursor);
  if (!c) throw XbaseError(xbInvalidCursor, "invalid cursor " + std::to_string(cursor));
  return c->fields;
}

int CursorRecordSize(int cursor) {
  CursorRecord* c = Find(cursor);
  return c ? c->recordSize : 0;
}

int CursorNext(int cursor, char* buffer, bool lock) {
  if (!Find(cursor)) return xbInvalidCursor;
  AreaScope scope(cursor);
  if (xb_Bof()) xb_GoTop();
  else xb_Skip(1);
  if (xb_Eof()) return xbEndOfFile;
  if (!LockCurrent(lock)) return xbRecordLocked;
  CopyRecord(buffer);
  return xbOK;
}

int CursorPrior(int cursor, char* buffer, bool lock) {
  if (!Find(cursor)) return xbInvalidCursor;
  AreaScope scope(cursor);
  xb_Skip(-1);
  if (xb_Bof()) {
    xb_GoTop();
    return xbBeginOfFile;
  }
  if (!LockCurrent(lock)) return xbRecordLocked;
  CopyRecord(buffer);
  return xbOK;
}

int CursorCurrent(int cursor, char* buffer, bool lock) {
  if (!Find(cursor)) return xbInvalidCursor;
  AreaScope scope(cursor);
  if (xb_Eof()) return xbEndOfFile;
  if (xb_Bof() && xb_RecCount() == 0) return xbBeginOfFile;
  if (!LockCurrent(lock)) return xbRecordLocked;
  if (!xb_DBFilter().empty() || xb_SysProp(spFilterActive, 0) == 1) {
    // A record changed so that it fails the filter is no longer visible:
    // one step forward and one back then land on another record. The
    // cursor moves on to the record after it.
    const std::uint32_t here = xb_RecNo();
    xb_Skip(1);
    const std::uint32_t next = xb_RecNo();
    xb_Skip(-1);
    if (xb_RecNo() != here) {
      xb_Go(next <= xb_RecCount() ? next : xb_RecCount() + 1);
      return xbRecordNotVisible;
    }
  }
  CopyRecord(buffer);
  return xbOK;
}

void CursorNewRecord(int cursor, char* buffer) {
  const int size = CursorRecordSize(cursor);
  std::memset(buffer, ' ', static_cast<std::size_t>(size));
}

int CursorAppend(int cursor, const char* buffer, bool lock) {
  if (!Find(cursor)) return xbInvalidCursor;
  AreaScope scope(cursor);
  // One write for blank record and contents: the record lock that guards
  // the gap between the two in the classic sequence has nothing to guard,
  // but the caller still gets the lock semantics it asked for.
  if (int result = xb_AppendRecord(buffer); result != 0) return result;
  if (lock && !xb_Rlock(xb_RecNo())) return xbRecordLocked;
  if (lock) xb_Unlock(xb_RecNo());
  return xbOK;
}

int CursorModify(int cursor, const char* buffer) {
  if (!Find(cursor)) return xbInvalidCursor;
  AreaScope scope(cursor);
  const std::uint32_t recno = xb_RecNo();
  const int result = xb_PutRecord(buffer);
  xb_Unlock(recno);  // keeps the write's error for the caller
  return result;
}

int CursorDelete(int cursor) {
  if (!Find(cursor)) return xbInvalidCursor;
  AreaScope scope(cursor);
  return xb_Delete();
}

int CursorReleaseLocks(int cursor, bool all) {
  if (!Find(cursor)) return xbInvalidCursor;
  AreaScope scope(cursor);
  return xb_Unlock(all ? 0 : xb_RecNo());
}

int CursorClearFilter(int cursor) {
  if (!Find(cursor)) return xbInvalidCursor;
  AreaScope scope(cursor);
  return xb_Query("");
}

int CursorSynchronise(int cursor, int other) {
  if (!Find(cursor) || !Find(other)) return xbInvalidCursor;
  std::uint32_t recno = 0;
  {
    AreaScope scope(other);
    recno = xb_RecNo();
  }
  AreaScope scope(cursor);
  return xb_Go(recno);
}

std::uint32_t CursorRecordCount(int cursor) {
  if (!Find(cursor)) return 0;
  AreaScope scope(cursor);
  return xb_RecCount();
}

void CursorNotSupported(const std::string& operation) {
  throw XbaseError(xbNotSupported, "This function not supported in the table layer : " + operation);
}

std::optional<FieldData> ReadCursorField(const CursorField& field, const char* buffer) {
  const std::string_view raw(buffer + field.offset, static_cast<std::size_t>(field.width));
  if (raw.find_first_not_of(' ') == std::string_view::npos) return std::nullopt;
  switch (field.kind) {
    case FieldKind::String: {
      std::string text(raw);
      text.erase(text.find_last_not_of(' ') + 1);
      return text;
    }
    case FieldKind::Date: {
      const std::int32_t jd = JulianFromDtos(raw);
      if (jd <= 0) return std::nullopt;
      return CivilFromJulian(jd);
    }
    case FieldKind::Boolean:
      return raw[0] == 'T';
    case FieldKind::SmallInt:
      return static_cast<int>(std::strtol(std::string(raw).c_str(), nullptr, 10));
    case FieldKind::Float:
      return ParseLeadingDecimal(raw);
  }
  return std::nullopt;
}

void WriteCursorField(const CursorField& field, char* buffer, const FieldData& value) {
  DbfField f;
  f.name = field.name;
  f.offset = field.offset;
  f.width = field.width;
  f.decimals = field.decimals;
  XValue v;
  switch (field.kind) {
    case FieldKind::String:
      f.type = 'C';
      v = XValue::Char(std::get<std::string>(value));
      break;
    case FieldKind::Date: {
      f.type = 'D';
      const CivilDate& d = std::get<CivilDate>(value);
      if (!IsValidCivil(d)) throw XbaseError(xbBadField, "field " + field.name + ": not a valid date");
      v = XValue::Day(JulianDay(d));
      break;
    }
    case FieldKind::Boolean:
      f.type = 'L';
      v = XValue::Bool(std::get<bool>(value));
      break;
    case FieldKind::SmallInt:
      f.type = 'N';
      v = XValue::Num(std::holds_alternative<int>(value) ? std::get<int>(value) : std::round(std::get<double>(value)));
      break;
    case FieldKind::Float:
      f.type = 'N';
      v = XValue::Num(std::holds_alternative<double>(value) ? std::get<double>(value) : std::get<int>(value));
      break;
  }
  WriteField(f, buffer, v);
}

}  // namespace tv
