#include "cli/options.h"

#include <charconv>
#include <filesystem>

namespace tv::cli {

std::optional<int> WholeNumber(const std::string& text, int least) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value < least) return std::nullopt;
  return value;
}

OptionReader& OptionReader::Value(const std::string& name, Take take) {
  values_[name] = std::move(take);
  return *this;
}

OptionReader& OptionReader::Text(const std::string& name, std::string& into) {
  return Value(name, [&into](const std::string& value) {
    into = value;
    return std::string();
  });
}

OptionReader& OptionReader::Path(const std::string& name, std::string& into) {
  return Value(name, [&into](const std::string& value) {
    into = std::filesystem::absolute(value).string();
    return std::string();
  });
}

OptionReader& OptionReader::Number(const std::string& name, int& into, int least, int most, const std::string& what) {
  return Value(name, [&into, least, most, what](const std::string& value) {
    const auto number = WholeNumber(value, least);
    if (!number || *number > most) return "not " + what + ": " + value;
    into = *number;
    return std::string();
  });
}

OptionReader& OptionReader::Flag(const std::string& name, std::function<void()> set) {
  flags_[name] = std::move(set);
  return *this;
}

OptionReader& OptionReader::Flag(const std::string& name, bool& into) {
  return Flag(name, [&into] { into = true; });
}

std::string OptionReader::Read(const Args& args, std::vector<std::string>& operands) const {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!arg.starts_with("--")) {
      if (operandsLast_) {
        operands.insert(operands.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
        return {};
      }
      operands.push_back(arg);
    } else if (const auto flag = flags_.find(arg); flag != flags_.end()) {
      flag->second();
    } else if (const auto value = values_.find(arg); value != values_.end()) {
      if (i + 1 >= args.size()) return arg + " needs a value";
      if (std::string problem = value->second(args[++i]); !problem.empty()) return problem;
    } else {
      return "unknown option " + arg;
    }
  }
  return {};
}

}  // namespace tv::cli
