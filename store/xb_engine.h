// The table engine's operations, in the xb_ calling style the table layer is
// written against: process-wide state, a current work area (1..255) that
// most operations act on, results as plain values, and failures reported
// through the last error (xb_LastError, xb_LastErrorText).
//
// Conventions: operations returning an area or an order return 0 on failure;
// operations that only act return 0 on success and an XbaseCode on failure.
// Only the user-interface thread calls the engine.
#pragma once

#include <cstdint>
#include <string>

#include "store/dbf_table.h"
#include "store/work_area.h"
#include "store/xbase_error.h"

namespace tv {

constexpr int kMaxWorkAreas = 255;
constexpr int kDriverCdx = 2;  // FoxPro-style tables with .CDX compound indexes

// Open modes of xb_Use.
constexpr int kOpenShared = 0;
constexpr int kOpenReadOnly = 1;
constexpr int kOpenExclusive = 2;

// Numbered system properties the layer reads or sets.
enum XbSystemProperty : int {
  spFilterActive = 1006,
  spLayerOption = 1009,
  spIndexTagCount = 3000,
  spRecordBuffer = 65000,
  spAreaInUse = 65002,
  spCleanupAtClose = 65005,
  spOrderByTagName = 65006,
  spRecordBuffer2 = 65008,
  spWorkBufferSize = 65010,
  spFieldIsVariable = 65012,
};

// Replace value types of xb_Replace.
enum XbReplaceType : int {
  rtLogical = 128,
  rtDouble = 8,
  rtText = 1024,
  rtDateText = 1056,  // "mm/dd/yy"
};

std::string xb_Version();
int xb_SetStringType(int type);
int xb_ErrorLevel(int level);
int xb_LastError();
const std::string& xb_LastErrorText();
int xb_SysProp(int code, int value);

// `requiredTags` (when not empty): the tags the table needs, built again
// when its index is missing, unsound or lacks one (WorkArea::Open).
int xb_Use(const std::string& path, const std::string& alias, int openMode, int driver,
           const std::vector<TagDefinition>& requiredTags = {});
int xb_WorkArea(const std::string& alias = {});
int xb_Select(int area);
int xb_Close();
int xb_CloseAll();
int xb_CloseIndexes();

int xb_CreateNew(const std::string& path, const std::string& alias, int driver, int fieldCount);
int xb_CreateField(const std::string& name, char type, int width, int decimals);
int xb_CreateExec();

int xb_IndexOpen(const std::string& indexFile);
int xb_IndexTag(const std::string& indexFile, const std::string& tag, const std::string& key, int option,
                bool descending, const std::string& condition);
int xb_SetOrder(int order);
int xb_IndexOrd();
int xb_TagArea(const std::string& tag);
std::string xb_TagName(int order);
std::string xb_IndexName();
std::string xb_IndexKey(int order);
int xb_Reindex();

int xb_GoTop();
int xb_GoBottom();
int xb_Go(std::uint32_t recno);
int xb_Skip(std::int64_t count);
bool xb_Bof();
bool xb_Eof();
std::uint32_t xb_RecNo();
std::uint32_t xb_RecCount();
bool xb_Deleted();

int xb_GetRecord(char* buffer);
int xb_PutRecord(const char* buffer);
int xb_AppendBlank();
// Appends the buffer as a new record in one write (what AppendBlank followed
// by PutRecord does, without the blank record a stop in between would leave).
int xb_AppendRecord(const char* buffer);
int xb_Replace(const std::string& field, int type, const std::string& text, double number, bool logical);
std::string xb_GetString(const std::string& field);
std::string xb_GetTrimString(const std::string& field);
std::string xb_GetDateString(const std::string& field);
bool xb_GetLogical(const std::string& field);

int xb_FieldCount();
std::string xb_FieldName(int number);
int xb_FieldNum(const std::string& name);
char xb_FieldType(int number);
int xb_FieldWidth(int number);
int xb_FieldDecimals(int number);
int xb_FieldOffset(int number);
int xb_RecSize();

bool xb_Rlock(std::uint32_t recno);
int xb_Unlock(std::uint32_t recno);
int xb_Delete();
int xb_Recall();
int xb_Pack();
// Writes every pending change and waits until the disk holds it.
int xb_Commit();

int xb_Query(const std::string& expression);
std::uint32_t xb_QueryRecCount();
std::string xb_DBFilter();
bool xb_Seek(const std::string& key);
// Limits the controlling order to keys from top to bottom (empty: open end);
// both empty removes the range.
int xb_SetScope(const std::string& top, const std::string& bottom);
// The current record's key in the controlling order.
std::string xb_KeyData();
std::string xb_EvalString(const std::string& expression);
bool xb_EvalLogical(const std::string& expression);
bool xb_EvalTest(const std::string& expression);

int xb_SetTurboRead(bool on);
int xb_SetSoftSeek(bool on);
int xb_SetExact(bool on);
int xb_SetDeleted(bool on);
int xb_SetCentury(bool on);
int xb_SetDateFormat(int format);
int xb_SetLockTimeout(int seconds);
int xb_SetMemoBlockSize(int size);
int xb_SetGaugeHook(ProgressHook hook);

// The current area's open table, or null; for the layers above the engine
// that need more than the flat operations (the grids' ordered reads).
WorkArea* xb_CurrentArea();
const XbaseSettings& xb_Settings();

}  // namespace tv
