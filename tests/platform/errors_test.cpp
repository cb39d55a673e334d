#include "platform/errors.h"

#include <gtest/gtest.h>

namespace tv {
namespace {

TEST(ErrorMessageId, NumberingRules) {
  EXPECT_EQ(ErrorMessageId(-1001), 11101);
  EXPECT_EQ(ErrorMessageId(-2), 11002);
  EXPECT_EQ(ErrorMessageId(-150), 11950);
  EXPECT_EQ(ErrorMessageId(-8070), 11870);
  EXPECT_EQ(ErrorMessageId(0), 11000);
  EXPECT_EQ(ErrorMessageId(-13806), 13806);
  EXPECT_EQ(ErrorMessageId(-13928), 13228);
}

TEST(ErrorMessageText, UsesTheLastTwoRulesOnly) {
  EXPECT_EQ(ErrorMessageText(0), "OK");
  EXPECT_EQ(ErrorMessageText(-8074), "Called fax number was busy");
  EXPECT_EQ(ErrorMessageText(-100), "Attempt to read beyond end of file");
  EXPECT_EQ(ErrorMessageText(-7), "");
  EXPECT_EQ(ErrorMessageText(-13801), "");  // 13101 has no text
  EXPECT_EQ(ErrorMessageText(-2011), "The ComNumber property of the TQaComPort has not been set");
}

TEST(CheckErrorCode, SuccessAndLoadingPassThrough) {
  EXPECT_EQ(CheckErrorCode(0), 0);
  EXPECT_EQ(CheckErrorCode(42), 42);
  EXPECT_EQ(CheckErrorCode(-1001, true), -1001);
}

TEST(CheckErrorCode, RaisesTheClassOfTheCodeWithItsMessage) {
  try {
    CheckErrorCode(-1001);
    FAIL();
  } catch (const EBadHandle& e) {
    EXPECT_STREQ(e.what(), "Bad handle passed to com function");
    EXPECT_EQ(e.ErrorCode(), -1001);
  }
  EXPECT_THROW(CheckErrorCode(-8074), EFaxBusy);
  EXPECT_THROW(CheckErrorCode(-8074), EFax);
  EXPECT_THROW(CheckErrorCode(-2008), EOpenComm);
  EXPECT_THROW(CheckErrorCode(-5002), ETriggerTooLong);
  EXPECT_THROW(CheckErrorCode(-6006), EProtocol);
  EXPECT_THROW(CheckErrorCode(-13806), ETapiCompletionOverrun);
  try {
    CheckErrorCode(-13806);
  } catch (const ETapi& e) {
    EXPECT_STREQ(e.what(), " completion overrun");
  }
  try {
    CheckErrorCode(-13930);
  } catch (const ETapiNoSelect& e) {
    EXPECT_STREQ(e.what(), "No TAPI device selected");
  }
}

TEST(CheckErrorCode, InternalErrorsShareAClassButKeepTheirMessages) {
  for (auto [code, text] : {std::pair{-7003, "No fields defined in database"},
                            std::pair{-7006, "No index defined for database"},
                            std::pair{-7012, "iPrepareIniDatabase not called"},
                            std::pair{-1006, "Internal error creating window class"}}) {
    try {
      CheckErrorCode(code);
      FAIL() << code;
    } catch (const EInternal& e) {
      EXPECT_STREQ(e.what(), text);
      EXPECT_EQ(e.ErrorCode(), code);
      EXPECT_NE(dynamic_cast<const EGeneral*>(&e), nullptr);
    }
  }
}

TEST(CheckErrorCode, FileErrorsRaiseInOutErrorOrOutOfMemory) {
  try {
    CheckErrorCode(-2);
    FAIL();
  } catch (const EInOutError& e) {
    EXPECT_STREQ(e.what(), "File not found");
    EXPECT_EQ(e.ErrorCode(), 2);
  }
  EXPECT_THROW(CheckErrorCode(-8), EOutOfMemory);
  try {
    CheckErrorCode(-7);
    FAIL();
  } catch (const EInOutError& e) {
    EXPECT_STREQ(e.what(), "");
    EXPECT_EQ(e.ErrorCode(), 7);
  }
}

TEST(CheckErrorCode, DefaultRuleLosesTheCode) {
  for (int code : {-1, -6001, -8082, -8050, -12345}) {
    try {
      CheckErrorCode(code);
      FAIL() << code;
    } catch (const EQaException& e) {
      EXPECT_EQ(typeid(e), typeid(EQaException)) << code;
      EXPECT_STREQ(e.what(), "Qarn exception");
      EXPECT_EQ(e.ErrorCode(), 0);
    }
  }
}

TEST(ExceptionToErrorCode, MapsEachKind) {
  EXPECT_EQ(ExceptionToErrorCode(EFaxBusy(-8074)), -8074);
  EXPECT_EQ(ExceptionToErrorCode(EInOutError("x", 103)), -103);
  EXPECT_EQ(ExceptionToErrorCode(EOutOfMemory("x")), -8);
  EXPECT_EQ(ExceptionToErrorCode(std::runtime_error("x")), -9999);
  EXPECT_EQ(ExceptionToErrorCode(EQaException(std::string("text"))), 0);
}

TEST(ExceptionClassName, NamesTheRaisedClass) {
  EXPECT_EQ(ExceptionClassName(-8074), "EFaxBusy");
  EXPECT_EQ(ExceptionClassName(-7003), "EInternal");
  EXPECT_EQ(ExceptionClassName(-6008), "EProtocol");
  EXPECT_EQ(ExceptionClassName(-2), "EInOutError");
  EXPECT_EQ(ExceptionClassName(-8), "EOutOfMemory");
  EXPECT_EQ(ExceptionClassName(-6001), "EQaException");
}

}  // namespace
}  // namespace tv
