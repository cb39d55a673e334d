// The table-cursor layer: every open table presented as a cursor (its work
// area number) with field descriptors, record buffers, navigation with
// outcome codes, record locks, append, modify, delete and filters, the
// interface the data-aware windows are written against.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "store/work_area.h"
#include "store/xbase_date.h"
#include "store/xbase_error.h"

namespace tv {

enum class FieldKind { String, Date, Boolean, SmallInt, Float };

struct CursorField {
  int number = 0;  // from 1, in table order
  std::string name;
  int offset = 0;  // in the record buffer (the deletion flag is byte 0)
  FieldKind kind = FieldKind::String;
  int subType = 0;
  int length = 0;  // bytes the value takes in a typed field buffer
  int width = 0;   // bytes in the record
  int decimals = 0;
};

using FieldData = std::variant<std::string, CivilDate, bool, int, double>;

struct CursorOpenRequest {
  std::string path;
  std::string tableType;  // "XBFOX" and the rest; empty: decided by the file
  std::string indexName;  // a tag to select after opening; empty for none
  bool readOnly = false;
  bool exclusive = false;
  // The tags the table needs; a writable open builds its index again when
  // it is missing, unsound or lacks one of them (see WorkArea::Open).
  std::vector<TagDefinition> requiredTags;
};

// Starts the layer once before the first open (checks the engine version);
// returns 0 or xbEngineTooOld with xb_LastErrorText set.
int LayerStart();
void LayerEnd();

// The alias a table gets: its file name without folder and extension, with
// "~", "-" and blanks among the first eight characters made "_"; while that
// is taken, the name cut to eight characters followed by "_1", "_2" ...
std::string AliasForTable(const std::string& path);

// Opens a table; on success `cursor` is its work area. Returns 0, or
// xbOpenFailed with the engine's reason in xb_LastErrorText.
int CursorOpen(const CursorOpenRequest& request, int& cursor);
int CursorClose(int cursor);
// The cursor's field descriptors; throws XbaseError(xbInvalidCursor).
const std::vector<CursorField>& CursorFields(int cursor);
int CursorRecordSize(int cursor);

int CursorNext(int cursor, char* buffer, bool lock);
int CursorPrior(int cursor, char* buffer, bool lock);
int CursorCurrent(int cursor, char* buffer, bool lock);
void CursorNewRecord(int cursor, char* buffer);
int CursorAppend(int cursor, const char* buffer, bool lock);
int CursorModify(int cursor, const char* buffer);
int CursorDelete(int cursor);
int CursorReleaseLocks(int cursor, bool all);
int CursorClearFilter(int cursor);
int CursorSynchronise(int cursor, int other);
// The scroll-bar range: record count (a position at count + 1 is past the end).
std::uint32_t CursorRecordCount(int cursor);

// Operations of the cursor interface the program never needs.
[[noreturn]] void CursorNotSupported(const std::string& operation);

// Typed field access on a record buffer; a field of blanks reads as null.
std::optional<FieldData> ReadCursorField(const CursorField& field, const char* buffer);
void WriteCursorField(const CursorField& field, char* buffer, const FieldData& value);

}  // namespace tv
