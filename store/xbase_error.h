// Result codes and the exception of the table engine and its cursor layer.
#pragma once

#include <stdexcept>
#include <string>

namespace tv {

// Outcomes of the cursor operations (0 = done) and the engine's failures.
// The cursor outcomes and the open failure keep the numbers the data-aware
// windows test for; the rest are the engine's own.
enum XbaseCode : int {
  xbOK = 0,
  xbEngineTooOld = 99,
  xbBeginOfFile = 8705,
  xbEndOfFile = 8706,
  xbRecordNotVisible = 8709,
  xbInvalidCursor = 9990,
  xbRecordLocked = 10245,
  xbOpenFailed = 11011,

  xbFileError = 20001,       // the operating system refused a read, write or create
  xbBadTable = 20002,        // a .DBF that is damaged or of an unsupported variant
  xbTableInUse = 20003,      // another program holds a lock that forbids this open
  xbBadIndex = 20004,        // a .CDX that is damaged or does not match its table
  xbStaleIndex = 20005,      // a .CDX to build again that nothing damaged: a stopped writer's mark, old rules
  xbBadExpression = 20006,   // an xBase expression that does not compile
  xbBadField = 20007,        // unknown field or a value that does not fit it
  xbBadRecordNumber = 20008, // a record number outside 1..record count
  xbNoTable = 20009,         // no table open in the current work area
  xbBadArgument = 20010,     // an unknown tag, driver, order or other argument
  xbNotSupported = 20011,    // a cursor operation this layer does not provide
  xbLockTimeout = 20012,     // a table-wide write lock was not granted in time
  xbReadOnly = 20013,        // writing to a table opened read-only
  xbTableBusy = 20014,       // a change asked for while the table is being rebuilt
};

class XbaseError : public std::runtime_error {
 public:
  XbaseError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int Code() const { return code_; }

 private:
  int code_;
};

}  // namespace tv
