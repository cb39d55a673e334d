#include "platform/errors.h"

#include <cerrno>
#include <cstdlib>

#include "platform/string_resource.h"

namespace tv {

namespace {

std::uint16_t AbsoluteCode(int code) { return static_cast<std::uint16_t>(std::abs(code) & 0xFFFF); }

std::uint16_t RuleTwoOrThree(std::uint16_t a) {
  if (a >= 100 && a <= 199) return static_cast<std::uint16_t>(11800 + a);
  return static_cast<std::uint16_t>(11000 + a % 1000 + 100 * (a / 1000));
}

std::string MessageAt(std::uint16_t id) { return ProgramStrings().GetString(id); }

// Telephony codes whose numbering rule finds no text carry the text kept at
// their absolute value.
bool UsesAbsoluteNumber(int code) { return code <= -13928 && code >= -13933; }

template <class E>
[[noreturn]] void Raise(int code) {
  throw E(code, UsesAbsoluteNumber(code) ? EQaException::MessageNumber::kAbsoluteCode
                                         : EQaException::MessageNumber::kByRule);
}

}  // namespace

EQaException::EQaException(int code, MessageNumber number)
    : Exception(MessageAt(number == MessageNumber::kAbsoluteCode ? AbsoluteCode(code) : ErrorMessageId(code))),
      code_(code) {}

std::uint16_t ErrorMessageId(int code) {
  const std::uint16_t a = AbsoluteCode(code);
  if (a >= 13800 && a <= 13900) return a;
  return RuleTwoOrThree(a);
}

std::string ErrorMessageText(int code) { return MessageAt(RuleTwoOrThree(AbsoluteCode(code))).substr(0, 79); }

std::string ExceptionClassName(int code) {
  if (code >= 0) return {};
  if (code == ecOutOfMemory) return "EOutOfMemory";
  if (code >= -162 && code <= -2) return "EInOutError";
  switch (code) {
#define TV_NAME_CASE(c, Name, ...) \
  case c:                          \
    return #Name;
    TV_EXCEPTION_CODES(TV_NAME_CASE)
    TV_EXCEPTION_EXTRA_CODES(TV_NAME_CASE)
#undef TV_NAME_CASE
    default:
      return "EQaException";
  }
}

void RaiseErrorCode(int code) {
  if (code >= -162 && code <= -2) {
    const std::string text = MessageAt(ErrorMessageId(code));
    if (code == ecOutOfMemory) throw EOutOfMemory(text);
    throw EInOutError(text, -code);
  }
  switch (code) {
#define TV_RAISE_CASE(c, Name, ...) \
  case c:                           \
    Raise<Name>(code);
    TV_EXCEPTION_CODES(TV_RAISE_CASE)
    TV_EXCEPTION_EXTRA_CODES(TV_RAISE_CASE)
#undef TV_RAISE_CASE
    default:
      throw EQaException(std::string("Qarn exception"));
  }
}

int IoErrorFromErrno(int errnoValue, bool creating) {
  switch (errnoValue) {
    case ENOENT:
      // Creating a file, a missing entry can only be a missing folder.
      return creating ? ecPathNotFound : ecFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
      return ecPathNotFound;
    case EMFILE:
    case ENFILE:
      return ecTooManyFiles;
    case EACCES:
    case EPERM:
    case EISDIR:
    case ETXTBSY:
      return ecAccessDenied;
    case EBADF:
      return ecInvalidFileHandle;
    case ENOMEM:
      return ecOutOfMemory;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ecDiskFull;
    case EROFS:
      return ecWriteProtected;
    case EINVAL:
    case ESPIPE:
      return ecReadBeyondEnd;
    default:
      return ecGeneralFailure;
  }
}

int ExceptionToErrorCode(const std::exception& error) {
  if (const auto* qa = dynamic_cast<const EQaException*>(&error)) return qa->ErrorCode();
  if (const auto* io = dynamic_cast<const EInOutError*>(&error)) return -io->ErrorCode();
  if (dynamic_cast<const EOutOfMemory*>(&error)) return ecOutOfMemory;
  return ecUnknownException;
}

}  // namespace tv
