// The exception classes raised for failing error codes.
//
// Exception (a text) <- EQaException (adds the code) <- nine family classes
// <- one leaf class per condition. EInOutError and EOutOfMemory stand beside
// EQaException for the file and device errors.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tv {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  std::string Message() const { return what(); }
};

class EQaException : public Exception {
 public:
  enum class MessageNumber { kByRule, kAbsoluteCode };
  // From a code: the message is the string-table entry ErrorMessageId finds,
  // or with kAbsoluteCode the entry numbered |code|.
  explicit EQaException(int code, MessageNumber number = MessageNumber::kByRule);
  // From a text: the code is 0.
  explicit EQaException(const std::string& message) : Exception(message) {}

  std::int32_t ErrorCode() const { return code_; }

 private:
  std::int32_t code_ = 0;
};

class EInOutError : public Exception {
 public:
  EInOutError(const std::string& message, int ioErrorCode) : Exception(message), ioErrorCode_(ioErrorCode) {}
  int ErrorCode() const { return ioErrorCode_; }

 private:
  int ioErrorCode_;
};

class EOutOfMemory : public Exception {
 public:
  using Exception::Exception;
};

class EQaStringResourceError : public Exception {
 public:
  using Exception::Exception;
};

#define TV_DECLARE_EXCEPTION(Name, Base) \
  class Name : public Base {             \
   public:                               \
    using Base::Base;                    \
  };

// Family classes.
#define TV_EXCEPTION_FAMILIES(X) \
  X(EGeneral, EQaException)      \
  X(EOpenComm, EQaException)     \
  X(ESerialIO, EQaException)     \
  X(EModem, EQaException)        \
  X(ETrigger, EQaException)      \
  X(EProtocol, EQaException)     \
  X(EINI, EQaException)          \
  X(EFax, EQaException)          \
  X(ETapi, EQaException)

TV_EXCEPTION_FAMILIES(TV_DECLARE_EXCEPTION)

// Leaf classes with the code each is raised for. EInternal is raised for
// several codes; it is declared with the first.
#define TV_EXCEPTION_CODES(X)                      \
  X(-1001, EBadHandle, EGeneral)                   \
  X(-1002, EBadArgument, EGeneral)                 \
  X(-1003, EGotQuitMsg, EGeneral)                  \
  X(-1004, EBufferTooBig, EGeneral)                \
  X(-1005, EPortNotAssigned, EGeneral)             \
  X(-1006, EInternal, EGeneral)                    \
  X(-1007, EModemNotAssigned, EGeneral)            \
  X(-1008, EPhonebookNotAssigned, EGeneral)        \
  X(-1009, ECannotUseWithWinSock, EGeneral)        \
  X(-2001, EBadId, EOpenComm)                      \
  X(-2002, EBaudRate, EOpenComm)                   \
  X(-2003, EByteSize, EOpenComm)                   \
  X(-2004, EDefault, EOpenComm)                    \
  X(-2005, EHardware, EOpenComm)                   \
  X(-2006, EMemory, EOpenComm)                     \
  X(-2007, ECommNotOpen, EOpenComm)                \
  X(-2008, EAlreadyOpen, EOpenComm)                \
  X(-2009, ENoHandles, EOpenComm)                  \
  X(-2010, ENoTimers, EOpenComm)                   \
  X(-2011, ENoPortSelected, EOpenComm)             \
  X(-3001, ENullApi, ESerialIO)                    \
  X(-3002, ENotSupported, ESerialIO)               \
  X(-3003, ERegisterHandlerFailed, ESerialIO)      \
  X(-3004, EPutBlockFail, ESerialIO)               \
  X(-3005, EGetBlockFail, ESerialIO)               \
  X(-3006, EOutputBufferTooSmall, ESerialIO)       \
  X(-3007, EBufferIsEmpty, ESerialIO)              \
  X(-3008, ETracingNotEnabled, ESerialIO)          \
  X(-3009, ELoggingNotEnabled, ESerialIO)          \
  X(-4001, EModemNotStarted, EModem)               \
  X(-4002, EModemBusy, EModem)                     \
  X(-4003, EModemNotDialing, EModem)               \
  X(-4004, ENotDialing, EModem)                    \
  X(-4005, EAlreadyDialing, EModem)                \
  X(-4006, EModemNotResponding, EModem)            \
  X(-4007, EModemRejectedCommand, EModem)          \
  X(-4008, EModemStatusMismatch, EModem)           \
  X(-5001, ENoMoreTriggers, ETrigger)              \
  X(-5002, ETriggerTooLong, ETrigger)              \
  X(-5003, EBadTriggerHandle, ETrigger)            \
  X(-7001, EKeyTooLong, EINI)                      \
  X(-7002, EDataTooLarge, EINI)                    \
  X(-7004, EIniWrite, EINI)                        \
  X(-7005, EIniRead, EINI)                         \
  X(-7007, ERecordExists, EINI)                    \
  X(-7008, ERecordNotFound, EINI)                  \
  X(-7010, EDatabaseFull, EINI)                    \
  X(-7011, EDatabaseEmpty, EINI)                   \
  X(-7013, EBadFieldList, EINI)                    \
  X(-7014, EBadFieldForIndex, EINI)                \
  X(-8001, EFaxBadFormat, EFax)                    \
  X(-8002, EBadGraphicsFormat, EFax)               \
  X(-8003, EConvertAbort, EFax)                    \
  X(-8004, EUnpackAbort, EFax)                     \
  X(-8005, ECantMakeBitmap, EFax)                  \
  X(-8070, EFaxBadMachine, EFax)                   \
  X(-8071, EFaxBadModemResult, EFax)               \
  X(-8072, EFaxTrainError, EFax)                   \
  X(-8073, EFaxInitError, EFax)                    \
  X(-8074, EFaxBusy, EFax)                         \
  X(-8075, EFaxVoiceCall, EFax)                    \
  X(-8076, EFaxDataCall, EFax)                     \
  X(-8077, EFaxNoDialTone, EFax)                   \
  X(-8078, EFaxNoCarrier, EFax)                    \
  X(-8079, EFaxSessionError, EFax)                 \
  X(-8080, EFaxPageError, EFax)                    \
  X(-8081, EFaxNoAnswer, EFax)                     \
  X(-8083, EFaxAbnormalHangup, EFax)               \
  X(-13801, ETapiAllocated, ETapi)                 \
  X(-13802, ETapiBadDeviceID, ETapi)               \
  X(-13803, ETapiBearerModeUnavail, ETapi)         \
  X(-13805, ETapiCallUnavail, ETapi)               \
  X(-13806, ETapiCompletionOverrun, ETapi)         \
  X(-13807, ETapiConferenceFull, ETapi)            \
  X(-13808, ETapiDialBilling, ETapi)               \
  X(-13809, ETapiDialDialtone, ETapi)              \
  X(-13810, ETapiDialPrompt, ETapi)                \
  X(-13811, ETapiDialQuiet, ETapi)                 \
  X(-13812, ETapiIncompatibleApiVersion, ETapi)    \
  X(-13813, ETapiIncompatibleExtVersion, ETapi)    \
  X(-13814, ETapiIniFileCorrupt, ETapi)            \
  X(-13815, ETapiInUse, ETapi)                     \
  X(-13816, ETapiInvalAddress, ETapi)              \
  X(-13817, ETapiInvalAddressID, ETapi)            \
  X(-13818, ETapiInvalAddressMode, ETapi)          \
  X(-13819, ETapiInvalAddressState, ETapi)         \
  X(-13820, ETapiInvalAppHandle, ETapi)            \
  X(-13821, ETapiInvalAppName, ETapi)              \
  X(-13822, ETapiInvalBearerMode, ETapi)           \
  X(-13823, ETapiInvalCallComplMode, ETapi)        \
  X(-13824, ETapiInvalCallHandle, ETapi)           \
  X(-13825, ETapiInvalCallParams, ETapi)           \
  X(-13826, ETapiInvalCallPrivilege, ETapi)        \
  X(-13827, ETapiInvalCallSelect, ETapi)           \
  X(-13828, ETapiInvalCallState, ETapi)            \
  X(-13829, ETapiInvalCallStatelist, ETapi)        \
  X(-13830, ETapiInvalCard, ETapi)                 \
  X(-13831, ETapiInvalCompletionID, ETapi)         \
  X(-13832, ETapiInvalConfCallHandle, ETapi)       \
  X(-13833, ETapiInvalConsultCallHandle, ETapi)    \
  X(-13834, ETapiInvalCountryCode, ETapi)          \
  X(-13835, ETapiInvalDeviceClass, ETapi)          \
  X(-13836, ETapiInvalDeviceHandle, ETapi)         \
  X(-13837, ETapiInvalDialParams, ETapi)           \
  X(-13838, ETapiInvalDigitList, ETapi)            \
  X(-13839, ETapiInvalDigitMode, ETapi)            \
  X(-13840, ETapiInvalDigits, ETapi)               \
  X(-13841, ETapiInvalExtVersion, ETapi)           \
  X(-13842, ETapiInvalGroupID, ETapi)              \
  X(-13843, ETapiInvalLineHandle, ETapi)           \
  X(-13844, ETapiInvalLineState, ETapi)            \
  X(-13845, ETapiInvalLocation, ETapi)             \
  X(-13846, ETapiInvalMediaList, ETapi)            \
  X(-13847, ETapiInvalMediaMode, ETapi)            \
  X(-13848, ETapiInvalMessageID, ETapi)            \
  X(-13850, ETapiInvalParam, ETapi)                \
  X(-13851, ETapiInvalParkID, ETapi)               \
  X(-13852, ETapiInvalParkMode, ETapi)             \
  X(-13853, ETapiInvalPointer, ETapi)              \
  X(-13854, ETapiInvalPrivSelect, ETapi)           \
  X(-13855, ETapiInvalRate, ETapi)                 \
  X(-13856, ETapiInvalRequestMode, ETapi)          \
  X(-13857, ETapiInvalTerminalID, ETapi)           \
  X(-13858, ETapiInvalTerminalMode, ETapi)         \
  X(-13859, ETapiInvalTimeout, ETapi)              \
  X(-13860, ETapiInvalTone, ETapi)                 \
  X(-13861, ETapiInvalToneList, ETapi)             \
  X(-13862, ETapiInvalToneMode, ETapi)             \
  X(-13863, ETapiInvalTransferMode, ETapi)         \
  X(-13864, ETapiLineMapperFailed, ETapi)          \
  X(-13865, ETapiNoConference, ETapi)              \
  X(-13866, ETapiNoDevice, ETapi)                  \
  X(-13867, ETapiNoDriver, ETapi)                  \
  X(-13868, ETapiNoMem, ETapi)                     \
  X(-13869, ETapiNoRequest, ETapi)                 \
  X(-13870, ETapiNotOwner, ETapi)                  \
  X(-13871, ETapiNotRegistered, ETapi)             \
  X(-13872, ETapiOperationFailed, ETapi)           \
  X(-13873, ETapiOperationUnavail, ETapi)          \
  X(-13874, ETapiRateUnavail, ETapi)               \
  X(-13875, ETapiResourceUnavail, ETapi)           \
  X(-13876, ETapiRequestOverrun, ETapi)            \
  X(-13877, ETapiStructureTooSmall, ETapi)         \
  X(-13878, ETapiTargetNotFound, ETapi)            \
  X(-13879, ETapiTargetSelf, ETapi)                \
  X(-13880, ETapiUninitialized, ETapi)             \
  X(-13881, ETapiUserUserInfoTooBig, ETapi)        \
  X(-13882, ETapiReinit, ETapi)                    \
  X(-13883, ETapiAddressBlocked, ETapi)            \
  X(-13884, ETapiBillingRejected, ETapi)           \
  X(-13885, ETapiInvalFeature, ETapi)              \
  X(-13886, ETapiNoMultipleInstance, ETapi)        \
  X(-13928, ETapiBusy, ETapi)                      \
  X(-13929, ETapiNotSet, ETapi)                    \
  X(-13930, ETapiNoSelect, ETapi)                  \
  X(-13931, ETapiLoadFail, ETapi)                  \
  X(-13932, ETapiGetAddrFail, ETapi)               \
  X(-13933, ETapi16Disabled, ETapi)

#define TV_DECLARE_LEAF(code, Name, Base) TV_DECLARE_EXCEPTION(Name, Base)
TV_EXCEPTION_CODES(TV_DECLARE_LEAF)
#undef TV_DECLARE_LEAF

// Codes raised as a class declared above for another code, or as a family
// class itself.
#define TV_EXCEPTION_EXTRA_CODES(X) \
  X(-6006, EProtocol)               \
  X(-6008, EProtocol)               \
  X(-6009, EProtocol)               \
  X(-7003, EInternal)               \
  X(-7006, EInternal)               \
  X(-7012, EInternal)

}  // namespace tv
