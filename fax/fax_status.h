// Fax status codes with their texts, fax log codes, and the numbers of the
// messages a session sends to its component.
#pragma once

#include <cstdint>
#include <string>

namespace tv {

enum FaxStatus : int {
  fsNone = 0,
  fsInitializing = 1,
  fsDialing = 2,
  fsBusyWaiting = 3,
  fsSendingPage = 4,
  fsSendingEOP = 5,
  fsPageError = 6,
  fsPageAccepted = 7,
  fsReducingResolution = 8,
  fsNoAnswerWaiting = 9,
  fsWaitingForCall = 20,
  fsNoConnect = 21,
  fsAnswering = 22,
  fsCallIsFax = 23,
  fsGettingPage = 24,
  fsGettingPageEnd = 25,
  fsGettingDocumentEnd = 26,
  fsGettingHangup = 27,
  fsGotHangupCode = 28,
  fsGettingParams = 40,
  fsGotRemoteId = 41,
  fsUserAbort = 42,
  fsFinished = 43,
  fsGotTransmittingId = 44,  // the caller's TSI, on the receiving side
};

// The text of a status code (string table entry 13000 + code); empty
// outside 1..44.
std::string FaxStatusText(int status);

enum class TFaxLogCode : std::uint8_t {
  lfaxTransmitStart = 1,
  lfaxTransmitOk = 2,
  lfaxTransmitFail = 3,
  lfaxReceiveStart = 4,
  lfaxReceiveOk = 5,
  lfaxReceiveSkip = 6,
  lfaxReceiveFail = 7,
};

// Messages between a session and its component, by their numbers.
enum FaxMessage : int {
  FaxMsgAbort = 32416,
  FaxMsgNextFax = 32417,
  FaxMsgStatus = 32418,
  FaxMsgLog = 32419,
  FaxMsgName = 32420,
  FaxMsgAccept = 32421,
  FaxMsgError = 32422,
  FaxMsgFinish = 32423,
  FaxMsgDeviceGone = 32424,  // to the machine: the modem's device has gone
};

}  // namespace tv
