// A scripted fax modem for the engine's tests: a SimModem that gathers each
// command line the program writes and answers it from a list of rules.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "comm/sim_modem.h"

namespace tv::test {

class ScriptedModem {
 public:
  // Answers a command: a rule for exactly that command, else the first rule
  // whose prefix the command starts with.
  struct Rule {
    std::string prefix;
    std::function<std::string(const std::string& command)> answer;
    bool exact = false;
  };

  explicit ScriptedModem(const std::string& name) : modem_(name) {
    guard_->owner = this;
    modem_.OnWrite([guard = guard_](std::string_view bytes) {
      std::lock_guard lock(guard->mutex);
      if (guard->owner) guard->owner->Take(bytes);
    });
  }

  // A port may still be open on the modem, its output thread still writing
  // (a test ends when the program has finished, not when its port has):
  // what it writes from now on goes nowhere.
  ~ScriptedModem() {
    std::lock_guard lock(guard_->mutex);
    guard_->owner = nullptr;
  }

  ScriptedModem(const ScriptedModem&) = delete;
  ScriptedModem& operator=(const ScriptedModem&) = delete;

  SimModem& Modem() { return modem_; }
  const std::string& Name() const { return modem_.DeviceName(); }

  void SetEcho(bool on) { echo_ = on; }
  void Answer(const std::string& prefix, const std::string& reply) {
    Answer(prefix, [reply](const std::string&) { return reply; });
  }
  void Answer(const std::string& prefix, std::function<std::string(const std::string&)> answer) {
    std::lock_guard lock(mutex_);
    rules_.push_back({prefix, std::move(answer)});
  }

  // Answers the commands that start with `prefix` with the replies in turn,
  // and with nothing once they have run out.
  void AnswerInTurn(const std::string& prefix, std::vector<std::string> replies) {
    auto next = std::make_shared<std::size_t>(0);
    Answer(prefix, [next, replies = std::move(replies)](const std::string&) {
      return *next < replies.size() ? replies[(*next)++] : std::string();
    });
  }

  // What a modem says when a bare CR ends a frame reception it was waiting in.
  void AnswerBareCr(const std::string& reply) { bareCrReply_ = reply; }

  void AnswerExactly(const std::string& command, const std::string& reply) {
    std::lock_guard lock(mutex_);
    rules_.push_back({command, [reply](const std::string&) { return reply; }, true});
  }

  std::vector<std::string> Commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
  }

  // After a command that starts with `command` and is answered with CONNECT
  // the program sends data (training, a page) up to DLE and one of the
  // characters of `ends`, DLE DLE standing for one DLE of the data. The
  // block as written, its end included, is kept (DataBlocks) and answered by
  // `answer` after DataAnswerDelay: a modem gives its result only once the
  // data has gone out on the line, well after the port wrote its last byte.
  void AnswerData(const std::string& command, const std::string& ends,
                  std::function<std::string(const std::string& block)> answer) {
    std::lock_guard lock(mutex_);
    dataRules_.push_back({command, ends, std::move(answer)});
  }
  void AnswerData(const std::string& command, const std::string& ends, const std::string& reply) {
    AnswerData(command, ends, [reply](const std::string&) { return reply; });
  }
  void SetDataAnswerDelay(int ms) { dataAnswerDelayMs_ = ms; }

  // The line drops once the program has written `bytes` bytes of data
  // blocks in all: the modem takes nothing more and says NO CARRIER.
  void DropLineAfterData(std::size_t bytes) { dropAfterData_ = bytes; }
  // The device disappears at that point instead (a USB modem unplugged).
  void VanishAfterData(std::size_t bytes) {
    dropAfterData_ = bytes;
    lineEnd_ = LineEnd::kVanish;
  }
  // Or the modem just stops taking data, without a word.
  void StallAfterData(std::size_t bytes) {
    dropAfterData_ = bytes;
    lineEnd_ = LineEnd::kStall;
  }

  std::vector<std::string> DataBlocks() const {
    std::lock_guard lock(mutex_);
    return dataBlocks_;
  }

  // For each data block, whether the port obeyed XON/XOFF as it began.
  std::vector<bool> DataBlockSoftwareFlow() const {
    std::lock_guard lock(mutex_);
    return dataBlockFlow_;
  }

 private:
  // Besides CR-terminated commands the program writes Class 1 frames (from
  // the address byte 0xFF to DLE ETX) and the single DC2 that asks a Class 2
  // modem for page data; each of them counts as one command too.
  void Take(std::string_view bytes) {
    for (char c : bytes) {
      if (dataRule_) {
        TakeData(c);
        continue;
      }
      if (!pending_.empty() && pending_[0] == '\xFF') {
        pending_ += c;
        if (frameDle_) {
          frameDle_ = false;
          if (c == '\x03') Dispatch(std::exchange(pending_, std::string()), false);
        } else {
          frameDle_ = c == '\x10';
        }
        continue;
      }
      if (pending_.empty() && c == '\x12') {
        Dispatch(std::string(1, c), false);
        continue;
      }
      if (c != '\r') {
        pending_ += c;
        continue;
      }
      // A bare CR is no command: modems say nothing to it, unless it ends a reception.
      if (!pending_.empty()) {
        Dispatch(std::exchange(pending_, std::string()), echo_);
      } else if (!bareCrReply_.empty()) {
        modem_.Receive(bareCrReply_);
      }
    }
  }

  void Dispatch(const std::string& command, bool echo) {
    std::string reply = echo ? command + "\r\n" : std::string();
    {
      std::lock_guard lock(mutex_);
      commands_.push_back(command);
      auto rule =
          std::find_if(rules_.begin(), rules_.end(), [&](const Rule& r) { return r.exact && r.prefix == command; });
      if (rule == rules_.end()) {
        rule = std::find_if(rules_.begin(), rules_.end(),
                            [&](const Rule& r) { return !r.exact && command.rfind(r.prefix, 0) == 0; });
      }
      reply += rule == rules_.end() ? "\r\nERROR\r\n" : rule->answer(command);
      if (reply.find("CONNECT") != std::string::npos) {
        const auto data = std::find_if(dataRules_.begin(), dataRules_.end(),
                                       [&](const DataRule& r) { return command.rfind(r.command, 0) == 0; });
        if (data != dataRules_.end()) dataRule_ = *data;
      }
    }
    if (!reply.empty()) modem_.Receive(reply);
  }

  void TakeData(char c) {
    if (lineDropped_) return;
    if (block_.empty()) {
      const bool flow = modem_.State().outX;
      std::lock_guard lock(mutex_);
      dataBlockFlow_.push_back(flow);
    }
    block_ += c;
    if (dropAfterData_ > 0 && ++dataBytes_ >= dropAfterData_) {
      lineDropped_ = true;
      if (lineEnd_ == LineEnd::kVanish) {
        modem_.Vanish();
        return;
      }
      modem_.HoldOutput(true);
      if (lineEnd_ == LineEnd::kNoCarrier) modem_.Receive("\r\nNO CARRIER\r\n");
      return;
    }
    if (!blockDle_) {
      blockDle_ = c == '\x10';
      return;
    }
    blockDle_ = false;
    if (c == '\x10' || dataRule_->ends.find(c) == std::string::npos) return;
    std::string reply;
    {
      std::lock_guard lock(mutex_);
      dataBlocks_.push_back(block_);
      reply = dataRule_->answer(block_);
    }
    block_.clear();
    dataRule_.reset();
    if (reply.empty()) return;
    answers_.emplace_back([this, reply, delay = dataAnswerDelayMs_] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      modem_.Receive(reply);
    });
  }

  struct DataRule {
    std::string command;
    std::string ends;
    std::function<std::string(const std::string& block)> answer;
  };

  // The write handler reaches the modem only through this, and only while it lives.
  struct Guard {
    std::mutex mutex;
    ScriptedModem* owner = nullptr;
  };

  std::shared_ptr<Guard> guard_ = std::make_shared<Guard>();
  SimModem modem_;
  mutable std::mutex mutex_;
  std::vector<Rule> rules_;
  std::vector<std::string> commands_;
  std::string pending_;
  std::string bareCrReply_;
  bool echo_ = false;
  bool frameDle_ = false;
  std::vector<DataRule> dataRules_;
  std::optional<DataRule> dataRule_;  // taking a data block for this rule
  std::vector<std::string> dataBlocks_;
  std::vector<bool> dataBlockFlow_;
  std::string block_;
  bool blockDle_ = false;
  int dataAnswerDelayMs_ = 150;
  std::size_t dropAfterData_ = 0;
  enum class LineEnd { kNoCarrier, kVanish, kStall } lineEnd_ = LineEnd::kNoCarrier;
  std::size_t dataBytes_ = 0;
  bool lineDropped_ = false;
  // Declared last: joined before anything they use goes away.
  std::vector<std::jthread> answers_;
};

}  // namespace tv::test
