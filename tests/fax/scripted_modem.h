// A scripted fax modem for the engine's tests: a SimModem that gathers each
// command line the program writes and answers it from a list of rules.
#pragma once

#include <algorithm>
#include <functional>
#include <utility>
#include <mutex>
#include <string>
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
    modem_.OnWrite([this](std::string_view bytes) { Take(bytes); });
  }

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

  void AnswerExactly(const std::string& command, const std::string& reply) {
    std::lock_guard lock(mutex_);
    rules_.push_back({command, [reply](const std::string&) { return reply; }, true});
  }

  std::vector<std::string> Commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
  }

 private:
  // Besides CR-terminated commands the program writes Class 1 frames (from
  // the address byte 0xFF to DLE ETX) and the single DC2 that asks a Class 2
  // modem for page data; each of them counts as one command too.
  void Take(std::string_view bytes) {
    for (char c : bytes) {
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
      // A bare CR is no command: modems say nothing to it.
      if (!pending_.empty()) Dispatch(std::exchange(pending_, std::string()), echo_);
    }
  }

  void Dispatch(const std::string& command, bool echo) {
    std::string reply = echo ? command + "\r\n" : std::string();
    {
      std::lock_guard lock(mutex_);
      commands_.push_back(command);
      auto rule = std::find_if(rules_.begin(), rules_.end(), [&](const Rule& r) { return r.exact && r.prefix == command; });
      if (rule == rules_.end()) {
        rule = std::find_if(rules_.begin(), rules_.end(),
                            [&](const Rule& r) { return !r.exact && command.rfind(r.prefix, 0) == 0; });
      }
      reply += rule == rules_.end() ? "\r\nERROR\r\n" : rule->answer(command);
    }
    if (!reply.empty()) modem_.Receive(reply);
  }

  SimModem modem_;
  mutable std::mutex mutex_;
  std::vector<Rule> rules_;
  std::vector<std::string> commands_;
  std::string pending_;
  bool echo_ = false;
  bool frameDle_ = false;
};

}  // namespace tv::test
