// What the tests of the fax components over a scripted modem share: the
// pieces of a fax modem's answers, and a fixture that runs one component on
// a port to the scripted modem and records what it reports.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "comm/sim_modem.h"
#include "fax/fax_components.h"
#include "platform/clock.h"
#include "platform/ui_thread.h"
#include "tests/fax/scripted_modem.h"
#include "tests/support/temp_dir.h"

namespace tv::test {

inline const std::string kOk = "\r\nOK\r\n";
inline const std::string kConnect = "\r\nCONNECT\r\n";
inline const std::string kError = "\r\nERROR\r\n";
inline const std::string kNoCarrier = "\r\nNO CARRIER\r\n";
inline const std::string kDataEnd = "\x10\x03";

inline std::string DleDoubled(const std::string& bytes) {
  std::string out;
  for (char c : bytes) {
    out += c;
    if (c == '\x10') out += c;
  }
  return out;
}

// An HDLC frame as a Class 1 modem passes it on, and as the program writes it.
inline std::string Frame(std::uint8_t fcf, const std::string& info, bool final) {
  const std::string body = {'\xFF', final ? '\x13' : '\x03', static_cast<char>(fcf)};
  return DleDoubled(body + info) + kDataEnd;
}

template <class Component>
class ScriptedFaxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The scripted modem needs hardly any of the pauses a real one is given.
    // Not none: a hang-up flushes the port's output after its guard times;
    // with no time at all the flush drops the last command or frame unsent.
    SetPauseScale(1);
    UiThread::Install(&ui_);
    SetOtherDeviceLayerProvider([] { return SimDeviceLayer(); });
    NewFax();
  }

  void TearDown() override {
    fax_.reset();
    port_.SetOpen(false);
    SetOtherDeviceLayerProvider(nullptr);
    UiThread::Install(nullptr);
    SetPauseScale(100);
  }

  // A fresh component on a closed port, its reports recorded from now on.
  void NewFax() {
    fax_.reset();
    port_.SetOpen(false);
    logs_.clear();
    errors_.clear();
    finished_ = false;
    fax_ = std::make_unique<Component>();
    fax_->OnFaxLog = [this](TQaAbstractFax& f, TFaxLogCode code) {
      logs_.push_back(code);
      if (code == TFaxLogCode::lfaxReceiveStart) fileName_ = f.FaxFile();
    };
    fax_->OnFaxError = [this](TQaAbstractFax&, int code) { errors_.push_back(code); };
    fax_->OnFaxFinish = [this](TQaAbstractFax&, int code) {
      finishCode_ = code;
      finished_ = true;
    };
  }

  // Puts the component on a port to the modem, in the class given.
  void Attach(ScriptedModem& modem, TFaxClass faxClass) {
    port_.SetDeviceLayer(dlOther);
    port_.SetComNumber(1);
    port_.SetDevicePath(modem.Name());
    fax_->SetComPort(&port_);
    fax_->SetFaxClass(faxClass);
  }

  // Pumps the session's messages until it finishes.
  bool RunToFinish(int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!finished_ && std::chrono::steady_clock::now() < deadline) ui_.WaitForMessages(20);
    return finished_;
  }

  HeadlessUiThread ui_;
  TempDir dir_;
  TQaComPort port_;
  std::unique_ptr<Component> fax_;
  std::vector<TFaxLogCode> logs_;
  std::vector<int> errors_;
  std::string fileName_;  // the file a receiver opened
  bool finished_ = false;
  int finishCode_ = 1;
};

}  // namespace tv::test
