// Error codes of the serial, fax and fax-image layers. 0 is success, every
// failure is negative; operations returning a count or handle return it as a
// non-negative value, so "result < 0" is the one test for failure.
#pragma once

namespace tv {

enum ErrorCode : int {
  ecOK = 0,

  // Operating-system and run-time file errors (negated I/O error numbers).
  ecFileNotFound = -2,
  ecPathNotFound = -3,
  ecTooManyFiles = -4,
  ecAccessDenied = -5,
  ecInvalidFileHandle = -6,
  ecOutOfMemory = -8,
  ecInvalidDrive = -15,
  ecNoMoreFiles = -18,
  ecReadBeyondEnd = -100,
  ecDiskFull = -101,
  ecNotAssigned = -102,
  ecNotOpen = -103,
  ecNotOpenInput = -104,
  ecNotOpenOutput = -105,
  ecWriteProtected = -150,
  ecDeviceWriteError = -160,
  ecDeviceReadError = -161,
  ecGeneralFailure = -162,

  // General.
  ecBadHandle = -1001,
  ecBadArgument = -1002,
  ecGotQuitMsg = -1003,
  ecBufferTooBig = -1004,
  ecPortNotAssigned = -1005,
  ecInternal = -1006,
  ecModemNotAssigned = -1007,
  ecPhonebookNotAssigned = -1008,
  ecCannotUseWithWinSock = -1009,

  // Opening a port.
  ecBadId = -2001,
  ecBaudRate = -2002,
  ecByteSize = -2003,
  ecDefault = -2004,
  ecHardware = -2005,
  ecMemory = -2006,
  ecCommNotOpen = -2007,
  ecAlreadyOpen = -2008,
  ecNoHandles = -2009,
  ecNoTimers = -2010,
  ecNoPortSelected = -2011,

  // Serial input and output, device layer, trace and log.
  ecNullApi = -3001,
  ecNotSupported = -3002,
  ecRegisterHandlerFailed = -3003,
  ecPutBlockFail = -3004,
  ecGetBlockFail = -3005,
  ecOutputBufferTooSmall = -3006,
  ecBufferIsEmpty = -3007,
  ecTracingNotEnabled = -3008,
  ecLoggingNotEnabled = -3009,
  ecDeviceGone = -3010,

  // Modem.
  ecModemNotStarted = -4001,
  ecModemBusy = -4002,
  ecModemNotDialing = -4003,
  ecNotDialing = -4004,
  ecAlreadyDialing = -4005,
  ecModemNotResponding = -4006,
  ecModemRejectedCommand = -4007,
  ecModemStatusMismatch = -4008,

  // Triggers.
  ecNoMoreTriggers = -5001,
  ecTriggerTooLong = -5002,
  ecBadTriggerHandle = -5003,

  // File-transfer protocol.
  ecCancelRequested = -6005,
  ecTimeout = -6006,
  ecTooManyErrors = -6008,
  ecSequenceError = -6009,
  ecNoFileName = -6010,
  ecFileRejected = -6011,
  ecAbortNoCarrier = -6014,

  // INI-file database.
  ecKeyTooLong = -7001,
  ecDataTooLarge = -7002,
  ecIniWrite = -7004,
  ecIniRead = -7005,
  ecRecordExists = -7007,
  ecRecordNotFound = -7008,
  ecDatabaseFull = -7010,
  ecDatabaseEmpty = -7011,

  // Fax files, viewer and fax session.
  ecFaxBadFormat = -8001,
  ecBadGraphicsFormat = -8002,
  ecConvertAbort = -8003,
  ecUnpackAbort = -8004,
  ecCantMakeBitmap = -8005,
  ecNoImageLoaded = -8050,
  ecNoImageBlockMarked = -8051,
  ecFaxBadMachine = -8070,
  ecFaxBadModemResult = -8071,
  ecFaxTrainError = -8072,
  ecFaxInitError = -8073,
  ecFaxBusy = -8074,
  ecFaxVoiceCall = -8075,
  ecFaxDataCall = -8076,
  ecFaxNoDialTone = -8077,
  ecFaxNoCarrier = -8078,
  ecFaxSessionError = -8079,
  ecFaxPageError = -8080,
  ecFaxNoAnswer = -8081,
  ecFaxMixedResolution = -8082,
  ecFaxAbnormalHangup = -8083,
  ecFaxRemoteEndedSetUp = -8084,
  ecFaxRemoteEndedAfterPage = -8085,
  ecFaxCommandRepeated = -8086,
  ecFaxReceiverNotReady = -8087,
  ecFaxEcmProtocol = -8088,

  // Returned by ExceptionToErrorCode for exceptions that carry no code.
  ecUnknownException = -9999,
};

}  // namespace tv
