#include "store/xb_engine.h"

#include <sys/stat.h>

#include <array>
#include <map>
#include <memory>
#include <vector>

#include "platform/text.h"
#include "store/field_codec.h"
#include "store/xbase_date.h"

namespace tv {

namespace {

struct PendingTable {
  std::string path;
  std::string alias;
  int fieldCount = 0;
  std::vector<DbfField> fields;
};

struct Engine {
  XbaseSettings settings;
  std::array<std::unique_ptr<WorkArea>, kMaxWorkAreas + 1> areas;  // [0] unused
  std::array<std::string, kMaxWorkAreas + 1> aliases;
  int current = 1;
  std::unique_ptr<PendingTable> pending;
  ProgressHook gauge;
  std::map<int, int> properties;
  int lastError = xbOK;
  std::string lastErrorText;
  bool turboRead = false;
  int memoBlockSize = 64;
};

Engine& State() {
  static Engine engine;
  return engine;
}

void SetError(int code, const std::string& text) {
  State().lastError = code;
  State().lastErrorText = text;
}

// Runs one operation, turning an exception into the last error and the
// operation's failure value.
template <typename Result, typename Body>
Result Guard(Result failure, Body body) {
  try {
    SetError(xbOK, {});
    return body();
  } catch (const XbaseError& e) {
    SetError(e.Code(), e.what());
  } catch (const std::bad_alloc&) {
    SetError(xbFileError, "out of memory");
  } catch (const std::exception& e) {
    SetError(xbBadTable, e.what());
  }
  return failure;
}

WorkArea& Current() {
  Engine& e = State();
  if (e.current < 1 || e.current > kMaxWorkAreas || !e.areas[static_cast<std::size_t>(e.current)])
    throw XbaseError(xbNoTable, "no table is open in work area " + std::to_string(e.current));
  return *e.areas[static_cast<std::size_t>(e.current)];
}

const DbfField& FieldByNumber(int number) {
  const auto& fields = Current().Table().Fields();
  if (number < 1 || number > static_cast<int>(fields.size()))
    throw XbaseError(xbBadField, "field number " + std::to_string(number) + " does not exist");
  return fields[static_cast<std::size_t>(number - 1)];
}

int FieldIndexOf(const std::string& name) {
  const int index = Current().Table().FieldIndex(name);
  if (index < 0) throw XbaseError(xbBadField, "the table has no field " + name);
  return index;
}

void CheckDriver(int driver) {
  if (driver != kDriverCdx)
    throw XbaseError(xbBadArgument, "table driver " + std::to_string(driver) +
                                        " is not available; this engine reads and writes FoxPro tables with "
                                        ".CDX indexes (driver 2) only");
}

// A key typed as text, in the type of the controlling order's key.
XValue KeyValue(const WorkArea& area, const std::string& text) {
  if (area.Order() == 0) throw XbaseError(xbBadArgument, "keys need an index order");
  const XbTag& tag = area.Tags()[static_cast<std::size_t>(area.Order() - 1)];
  switch (tag.key->Type()) {
    case XType::Character: return XValue::Char(text);
    case XType::Numeric:
      return XValue::Num(ParseLeadingDecimal(text));
    case XType::Date: return XValue::Day(std::max(0, JulianFromDtos(text)));
    case XType::Logical: return XValue::Bool(text == "T" || text == ".T.");
  }
  return XValue{};
}

}  // namespace

std::string xb_Version() { return "2.40.00 Tessivane"; }
int xb_SetStringType(int) { return 0; }
int xb_ErrorLevel(int) { return 0; }
int xb_LastError() { return State().lastError; }
const std::string& xb_LastErrorText() { return State().lastErrorText; }

int xb_SysProp(int code, int value) {
  return Guard(0, [&] {
    Engine& e = State();
    switch (code) {
      case spAreaInUse:
        return value >= 1 && value <= kMaxWorkAreas && e.areas[static_cast<std::size_t>(value)] ? 1 : 0;
      case spIndexTagCount:
        return static_cast<int>(Current().Tags().size());
      case spFilterActive:
        return Current().FilterText().empty() ? 0 : 1;
      case spFieldIsVariable:
        return 0;  // FoxPro 2.x tables have fixed-width fields only
      default: {
        // Settings of the closed engine's memory and cleanup handling have no
        // equivalent here: remembered and answered, changing nothing.
        const int previous = e.properties[code];
        e.properties[code] = value;
        return previous;
      }
    }
  });
}

int xb_Use(const std::string& path, const std::string& alias, int openMode, int driver,
           const std::vector<TagDefinition>& requiredTags) {
  return Guard(0, [&] {
    CheckDriver(driver);
    Engine& e = State();
    const std::string name = UpperAscii(alias);
    for (int a = 1; a <= kMaxWorkAreas; ++a)
      if (e.areas[static_cast<std::size_t>(a)] && e.aliases[static_cast<std::size_t>(a)] == name)
        throw XbaseError(xbBadArgument, "the alias " + name + " is already in use");
    int area = 1;
    while (area <= kMaxWorkAreas && e.areas[static_cast<std::size_t>(area)]) ++area;
    if (area > kMaxWorkAreas) throw XbaseError(xbOpenFailed, "all work areas are in use");
    const OpenMode mode = openMode == kOpenExclusive ? OpenMode::Exclusive
                          : openMode == kOpenReadOnly ? OpenMode::ReadOnly
                                                      : OpenMode::Shared;
    e.areas[static_cast<std::size_t>(area)] =
        WorkArea::Open(path, mode, e.settings, requiredTags.empty() ? nullptr : &requiredTags);
    e.aliases[static_cast<std::size_t>(area)] = name;
    e.current = area;
    return area;
  });
}

int xb_WorkArea(const std::string& alias) {
  Engine& e = State();
  if (alias.empty()) return e.current;
  const std::string name = UpperAscii(alias);
  for (int a = 1; a <= kMaxWorkAreas; ++a)
    if (e.areas[static_cast<std::size_t>(a)] && e.aliases[static_cast<std::size_t>(a)] == name) return a;
  return 0;
}

int xb_Select(int area) {
  Engine& e = State();
  const int previous = e.current;
  if (area >= 1 && area <= kMaxWorkAreas) e.current = area;
  return previous;
}

int xb_Close() {
  return Guard(static_cast<int>(xbNoTable), [&] {
    Engine& e = State();
    if (Current().Reporting())
      throw XbaseError(xbTableBusy, Current().Table().Path() + " is being rebuilt; it closes when that is done");
    auto& slot = e.areas[static_cast<std::size_t>(e.current)];
    std::unique_ptr<WorkArea> closing = std::move(slot);
    e.aliases[static_cast<std::size_t>(e.current)].clear();
    closing->Commit();
    return 0;
  });
}

int xb_CloseAll() {
  Engine& e = State();
  int result = 0;
  for (int a = 1; a <= kMaxWorkAreas; ++a) {
    if (!e.areas[static_cast<std::size_t>(a)]) continue;
    const int previous = xb_Select(a);
    if (xb_Close() != 0) result = e.lastError;
    xb_Select(previous);
  }
  e.current = 1;
  return result;
}

int xb_CloseIndexes() {
  return Guard(static_cast<int>(xbNoTable), [&] {
    Current().CloseIndex();
    return 0;
  });
}

int xb_CreateNew(const std::string& path, const std::string& alias, int driver, int fieldCount) {
  return Guard(static_cast<int>(xbBadArgument), [&] {
    CheckDriver(driver);
    if (fieldCount < 1 || fieldCount > 255) throw XbaseError(xbBadField, "a table needs 1 to 255 fields");
    auto pending = std::make_unique<PendingTable>();
    pending->path = path;
    pending->alias = alias;
    pending->fieldCount = fieldCount;
    State().pending = std::move(pending);
    return 0;
  });
}

int xb_CreateField(const std::string& name, char type, int width, int decimals) {
  return Guard(static_cast<int>(xbBadField), [&] {
    PendingTable* pending = State().pending.get();
    if (!pending) throw XbaseError(xbBadArgument, "no table is being created");
    if (static_cast<int>(pending->fields.size()) >= pending->fieldCount)
      throw XbaseError(xbBadField, "more fields than the " + std::to_string(pending->fieldCount) + " announced");
    DbfField field;
    field.name = name;
    field.type = static_cast<char>(std::toupper(static_cast<unsigned char>(type)));
    field.width = width;
    field.decimals = decimals;
    pending->fields.push_back(field);
    return 0;
  });
}

int xb_CreateExec() {
  return Guard(static_cast<int>(xbBadArgument), [&] {
    std::unique_ptr<PendingTable> pending = std::move(State().pending);
    if (!pending) throw XbaseError(xbBadArgument, "no table is being created");
    if (static_cast<int>(pending->fields.size()) != pending->fieldCount)
      throw XbaseError(xbBadField, "the table was announced with " + std::to_string(pending->fieldCount) +
                                       " fields but " + std::to_string(pending->fields.size()) + " were given");
    DbfTable::Create(pending->path, pending->fields, false);
    return 0;
  });
}

int xb_IndexOpen(const std::string& indexFile) {
  return Guard(0, [&]() -> int {
    throw XbaseError(xbNotSupported, "cannot open " + indexFile +
                                         ": FoxPro tables use their structural .CDX, which opens with the table");
  });
}

int xb_IndexTag(const std::string& indexFile, const std::string& tag, const std::string& key, int option,
                bool descending, const std::string& condition) {
  return Guard(0, [&] {
    WorkArea& area = Current();
    if (!indexFile.empty() && !EqualsNoCase(indexFile, area.IndexPath()))
      throw XbaseError(xbNotSupported, "tags go into the table's structural index, not " + indexFile);
    const int order = area.CreateTag(tag, key, condition, descending, option == 1, State().gauge);
    area.SetOrder(order);
    return order;
  });
}

int xb_SetOrder(int order) {
  return Guard(-1, [&] {
    WorkArea& area = Current();
    const int previous = area.Order();
    area.SetOrder(order);
    return previous;
  });
}

int xb_IndexOrd() {
  return Guard(0, [&] { return Current().Order(); });
}

int xb_TagArea(const std::string& tag) {
  return Guard(0, [&] { return Current().TagOrder(tag); });
}

std::string xb_TagName(int order) {
  return Guard(std::string(), [&] {
    const auto& tags = Current().Tags();
    if (order < 1 || order > static_cast<int>(tags.size())) return std::string();
    return tags[static_cast<std::size_t>(order - 1)].name;
  });
}

std::string xb_IndexName() {
  return Guard(std::string(), [&] { return xb_TagName(Current().Order()); });
}

std::string xb_IndexKey(int order) {
  return Guard(std::string(), [&] {
    const auto& tags = Current().Tags();
    if (order < 1 || order > static_cast<int>(tags.size())) return std::string();
    return tags[static_cast<std::size_t>(order - 1)].key->Text();
  });
}

int xb_Reindex() {
  return Guard(static_cast<int>(xbNoTable), [&] {
    Current().Reindex(State().gauge);
    return 0;
  });
}

int xb_GoTop() {
  return Guard(static_cast<int>(xbNoTable), [&] {
    Current().GoTop();
    return 0;
  });
}

int xb_GoBottom() {
  return Guard(static_cast<int>(xbNoTable), [&] {
    Current().GoBottom();
    return 0;
  });
}

int xb_Go(std::uint32_t recno) {
  return Guard(static_cast<int>(xbNoTable), [&] {
    Current().Go(recno);
    return 0;
  });
}

int xb_Skip(std::int64_t count) {
  return Guard(static_cast<int>(xbNoTable), [&] {
    Current().Skip(count);
    return 0;
  });
}

bool xb_Bof() {
  return Guard(true, [&] { return Current().Bof(); });
}
bool xb_Eof() {
  return Guard(true, [&] { return Current().Eof(); });
}
std::uint32_t xb_RecNo() {
  return Guard(0u, [&] { return Current().RecNo(); });
}
std::uint32_t xb_RecCount() {
  return Guard(0u, [&] { return Current().RecCount(); });
}
bool xb_Deleted() {
  return Guard(false, [&] { return Current().Deleted(); });
}

int xb_GetRecord(char* buffer) {
  return Guard(static_cast<int>(xbNoTable), [&] {
    const auto& record = Current().Record();
    std::copy(record.begin(), record.end(), buffer);
    return 0;
  });
}

int xb_PutRecord(const char* buffer) {
  return Guard(static_cast<int>(xbNoTable), [&] {
    Current().PutRecord(buffer);
    return 0;
  });
}

int xb_AppendBlank() {
  return Guard(static_cast<int>(xbNoTable), [&] {
    Current().AppendBlank();
    return 0;
  });
}

int xb_AppendRecord(const char* buffer) {
  return Guard(static_cast<int>(xbNoTable), [&] {
    Current().Append(buffer);
    return 0;
  });
}

int xb_Replace(const std::string& field, int type, const std::string& text, double number, bool logical) {
  return Guard(static_cast<int>(xbBadField), [&] {
    WorkArea& area = Current();
    const int index = FieldIndexOf(field);
    XValue value;
    switch (type) {
      case rtText: value = XValue::Char(text); break;
      case rtDouble: value = XValue::Num(number); break;
      case rtLogical: value = XValue::Bool(logical); break;
      case rtDateText: {
        XSettings american = State().settings.expression;
        american.dateFormat = 0;
        const std::int32_t day = ParseDate(text, american);
        if (day == 0 && text.find_first_not_of(" /") != std::string::npos)
          throw XbaseError(xbBadField, "\"" + text + "\" is not a date");
        value = XValue::Day(day);
        break;
      }
      default:
        throw XbaseError(xbBadArgument, "replace type " + std::to_string(type) + " is unknown");
    }
    area.Replace(index, value);
    return 0;
  });
}

std::string xb_GetString(const std::string& field) {
  return Guard(std::string(), [&] {
    WorkArea& area = Current();
    const DbfField& f = area.Table().Fields()[static_cast<std::size_t>(FieldIndexOf(field))];
    return std::string(area.Record().data() + f.offset, static_cast<std::size_t>(f.width));
  });
}

std::string xb_GetTrimString(const std::string& field) {
  return Guard(std::string(), [&] {
    WorkArea& area = Current();
    return StoredText(area.Table().Fields()[static_cast<std::size_t>(FieldIndexOf(field))], area.Record().data());
  });
}

std::string xb_GetDateString(const std::string& field) {
  return Guard(std::string(), [&] {
    WorkArea& area = Current();
    const DbfField& f = area.Table().Fields()[static_cast<std::size_t>(FieldIndexOf(field))];
    return std::string(area.Record().data() + f.offset, 8);
  });
}

bool xb_GetLogical(const std::string& field) {
  return Guard(false, [&] {
    WorkArea& area = Current();
    const DbfField& f = area.Table().Fields()[static_cast<std::size_t>(FieldIndexOf(field))];
    return FieldValue(f, area.Record().data()).logical;
  });
}

int xb_FieldCount() {
  return Guard(0, [&] { return static_cast<int>(Current().Table().Fields().size()); });
}
std::string xb_FieldName(int number) {
  return Guard(std::string(), [&] { return FieldByNumber(number).name; });
}
int xb_FieldNum(const std::string& name) {
  return Guard(0, [&] { return Current().Table().FieldIndex(name) + 1; });
}
char xb_FieldType(int number) {
  return Guard('\0', [&] { return FieldByNumber(number).type; });
}
int xb_FieldWidth(int number) {
  return Guard(0, [&] { return FieldByNumber(number).width; });
}
int xb_FieldDecimals(int number) {
  return Guard(0, [&] { return FieldByNumber(number).decimals; });
}
int xb_FieldOffset(int number) {
  return Guard(0, [&] { return FieldByNumber(number).offset; });
}
int xb_RecSize() {
  return Guard(0, [&] { return Current().Table().RecordLength(); });
}

bool xb_Rlock(std::uint32_t recno) {
  return Guard(false, [&] { return Current().LockRecord(recno); });
}

int xb_Unlock(std::uint32_t recno) {
  // Releasing locks cannot fail, and it leaves the last error alone: a
  // failed change is reported after its record lock has been released.
  WorkArea* area = xb_CurrentArea();
  if (!area) return xbNoTable;
  area->Unlock(recno);
  return 0;
}

int xb_Delete() {
  return Guard(static_cast<int>(xbNoTable), [&] {
    Current().Delete();
    return 0;
  });
}

int xb_Recall() {
  return Guard(static_cast<int>(xbNoTable), [&] {
    Current().Recall();
    return 0;
  });
}

int xb_Pack() {
  return Guard(static_cast<int>(xbNoTable), [&] {
    Current().Pack(State().gauge);
    return 0;
  });
}

int xb_Commit() {
  return Guard(static_cast<int>(xbNoTable), [&] {
    Current().CommitToDisk();
    return 0;
  });
}

int xb_Query(const std::string& expression) {
  return Guard(static_cast<int>(xbBadExpression), [&] {
    Current().SetFilter(expression);
    return 0;
  });
}

std::uint32_t xb_QueryRecCount() {
  return Guard(0u, [&] { return Current().FilterCount(); });
}

std::string xb_DBFilter() {
  return Guard(std::string(), [&] { return Current().FilterText(); });
}

bool xb_Seek(const std::string& key) {
  return Guard(false, [&] {
    WorkArea& area = Current();
    return area.Seek(KeyValue(area, key));
  });
}

int xb_SetScope(const std::string& top, const std::string& bottom) {
  return Guard(static_cast<int>(xbBadArgument), [&] {
    WorkArea& area = Current();
    area.SetScope(top.empty() ? std::nullopt : std::optional<XValue>(KeyValue(area, top)),
                  bottom.empty() ? std::nullopt : std::optional<XValue>(KeyValue(area, bottom)));
    return 0;
  });
}

std::string xb_KeyData() {
  return Guard(std::string(), [&] { return Current().KeyData(); });
}

std::string xb_EvalString(const std::string& expression) {
  return Guard(std::string(), [&] {
    const XValue v = Current().Evaluate(expression);
    switch (v.type) {
      case XType::Character: return v.text;
      case XType::Date: return DtosFromJulian(v.date);
      case XType::Logical: return std::string(v.logical ? "T" : "F");
      case XType::Numeric:
        return FormatGeneral(v.number);
    }
    return std::string();
  });
}

bool xb_EvalLogical(const std::string& expression) {
  return Guard(false, [&] {
    const XValue v = Current().Evaluate(expression);
    if (v.type != XType::Logical) throw XbaseError(xbBadExpression, "\"" + expression + "\" is not logical");
    return v.logical;
  });
}

bool xb_EvalTest(const std::string& expression) {
  return Guard(false, [&] {
    Expression::Compile(expression, Current().Table().Fields());
    return true;
  });
}

int xb_SetTurboRead(bool on) {
  State().turboRead = on;  // reads are always served from a block cache
  return 0;
}
int xb_SetSoftSeek(bool on) {
  State().settings.softSeek = on;
  return 0;
}
int xb_SetExact(bool on) {
  State().settings.expression.exact = on;
  return 0;
}
int xb_SetDeleted(bool on) {
  State().settings.deleted = on;
  return 0;
}
int xb_SetCentury(bool on) {
  State().settings.expression.century = on;
  return 0;
}
int xb_SetDateFormat(int format) {
  State().settings.expression.dateFormat = format;
  return 0;
}
int xb_SetLockTimeout(int seconds) {
  State().settings.lockTimeout = seconds;
  return 0;
}
int xb_SetMemoBlockSize(int size) {
  State().memoBlockSize = size;  // no memo files in FoxPro 2.x tables without memo fields
  return 0;
}
int xb_SetGaugeHook(ProgressHook hook) {
  State().gauge = std::move(hook);
  return 0;
}

WorkArea* xb_CurrentArea() {
  Engine& e = State();
  if (e.current < 1 || e.current > kMaxWorkAreas) return nullptr;
  return e.areas[static_cast<std::size_t>(e.current)].get();
}

const XbaseSettings& xb_Settings() { return State().settings; }

}  // namespace tv
