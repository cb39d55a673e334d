// From error codes to message texts and exceptions, and back.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "platform/error_codes.h"
#include "platform/qa_exceptions.h"

namespace tv {

// String-table number of a code's message: |code| itself for 13800..13900,
// 11800 + |code| for 100..199, else 11000 + |code| mod 1000 + 100 x (|code| div 1000),
// with |code| taken as an unsigned 16-bit value.
std::uint16_t ErrorMessageId(int code);

// The message of a code as the dialogs and the fax log show it (the last two
// numbering rules only), at most 79 characters; empty when the table has none.
std::string ErrorMessageText(int code);

// The exception class's name for a code ("EFaxBusy"), as the command-line
// tool prints it; "EQaException" for codes raised by the default rule.
std::string ExceptionClassName(int code);

// Raises the exception assigned to a failing code.
[[noreturn]] void RaiseErrorCode(int code);

// Returns code when it is not a failure or the component is still being
// loaded; otherwise raises the exception assigned to it.
inline int CheckErrorCode(int code, bool componentLoading = false) {
  if (code >= 0 || componentLoading) return code;
  RaiseErrorCode(code);
}

// The negated I/O error number of an errno value ("File not found" is -2,
// "Disk is full" -101, ...). When creating a file, a missing entry means a
// missing folder (-3).
int IoErrorFromErrno(int errnoValue, bool creating = false);

// The code an exception stands for: the code field of an EQaException, the
// negated I/O code of an EInOutError, -8 for EOutOfMemory, else -9999.
int ExceptionToErrorCode(const std::exception& error);

}  // namespace tv
