// What happens after a page, for every class: what the page's sender said
// follows it (MPS, EOM, EOP), and what the receiver's answer to the page
// (MCF, RTP, PIP, RTN, PIN) means for it. Class 1 reads both from frames;
// a Class 2 or 2.0 modem reports them as numbers (+FET, +FPTS / +FPS).
#pragma once

#include <cstdint>
#include <optional>

#include "fax/t30.h"

namespace tv {

// What follows a page.
enum class AfterPage {
  kPage,      // MPS: another page of the same document
  kDocument,  // EOM: a new document, negotiated again (phase B)
  kEnd,       // EOP: the last page
};

// The post-page command of a frame type; nothing for any other frame.
constexpr std::optional<AfterPage> AfterPageOf(std::uint8_t frameType) {
  switch (frameType) {
    case kFcfMPS:
      return AfterPage::kPage;
    case kFcfEOM:
      return AfterPage::kDocument;
    case kFcfEOP:
      return AfterPage::kEnd;
    default:
      return std::nullopt;
  }
}

// The post-page command a +FET code reports: 0 MPS, 1 EOM, 2 EOP; 3 to 5
// are the same with an operator asked for, which this program has none of.
// Anything else ends the fax.
constexpr AfterPage AfterPageOfFet(char code) {
  switch (code) {
    case '0':
    case '3':
      return AfterPage::kPage;
    case '1':
    case '4':
      return AfterPage::kDocument;
    default:
      return AfterPage::kEnd;
  }
}
// The frame a sender sends for it.
constexpr std::uint8_t PostPageFrame(AfterPage after) {
  return after == AfterPage::kPage ? kFcfMPS : after == AfterPage::kDocument ? kFcfEOM : kFcfEOP;
}
// The +FET code a sender gives its modem, or the Class 2.0 page mark after DLE.
constexpr char Class2FetCode(AfterPage after) {
  return after == AfterPage::kPage ? '0' : after == AfterPage::kDocument ? '1' : '2';
}
constexpr char Class2_0PageMark(AfterPage after) {
  return after == AfterPage::kPage ? ',' : after == AfterPage::kDocument ? ';' : '.';
}

// The page-transfer status of a Class 2 or 2.0 modem (+FPTS / +FPS): the
// receiver's answer to the page.
enum class Class2PageResult : char {
  kMcf = '1',  // page good
  kRtn = '2',  // page bad, retrain
  kRtp = '3',  // page good, retrain
  kPin = '4',  // page bad, operator asked for
  kPip = '5',  // page good, operator asked for
};

// The response frame a page-result code stands for; 0 for an unknown code.
constexpr std::uint8_t PageResponseFrame(char code) {
  switch (static_cast<Class2PageResult>(code)) {
    case Class2PageResult::kMcf:
      return kFcfMCF;
    case Class2PageResult::kRtn:
      return kFcfRTN;
    case Class2PageResult::kRtp:
      return kFcfRTP;
    case Class2PageResult::kPin:
      return kFcfPIN;
    case Class2PageResult::kPip:
      return kFcfPIP;
  }
  return 0;
}

// What a response to a page means for it. This program has no operator:
// an interrupt request (PIP, PIN) counts as the answer without one (MCF, RTN).
struct PageVerdict {
  bool good;     // the page is kept; else it goes again
  bool retrain;  // the next page (or the page again) after a new training
};
constexpr std::optional<PageVerdict> PageVerdictOf(std::uint8_t responseFrame) {
  switch (responseFrame) {
    case kFcfMCF:
    case kFcfPIP:
      return PageVerdict{true, false};
    case kFcfRTP:
      return PageVerdict{true, true};
    case kFcfRTN:
    case kFcfPIN:
      return PageVerdict{false, true};
    default:
      return std::nullopt;
  }
}

}  // namespace tv
