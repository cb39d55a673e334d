// Reading a sub-command's arguments: "--name VALUE" options, "--name" flags
// and the words that are neither (its operands), in one pass shared by every
// command.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace tv::cli {

// A whole number of at least `least`, written with nothing else around it.
std::optional<int> WholeNumber(const std::string& text, int least = 0);

class OptionReader {
 public:
  // Takes an option's value: empty, or what is wrong with the value.
  using Take = std::function<std::string(const std::string& value)>;

  OptionReader& Value(const std::string& name, Take take);
  // Any text.
  OptionReader& Text(const std::string& name, std::string& into);
  // A file name, kept absolute.
  OptionReader& Path(const std::string& name, std::string& into);
  // A whole number from `least` to `most`; `what` names it in the problem
  // ("not a number of seconds: x").
  OptionReader& Number(const std::string& name, int& into, int least, int most, const std::string& what);
  OptionReader& Flag(const std::string& name, std::function<void()> set);
  OptionReader& Flag(const std::string& name, bool& into);
  // Operands end at the first word that is no option (for commands whose
  // operands may look like options themselves).
  OptionReader& OperandsLast() {
    operandsLast_ = true;
    return *this;
  }

  // Empty, or what is wrong: a value missing or refused, an unknown option.
  std::string Read(const Args& args, std::vector<std::string>& operands) const;

 private:
  std::map<std::string, Take> values_;
  std::map<std::string, std::function<void()>> flags_;
  bool operandsLast_ = false;
};

}  // namespace tv::cli
