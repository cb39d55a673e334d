#include <charconv>
#include <iostream>

#include "cli/commands.h"
#include "platform/errors.h"

namespace tv::cli {

int ErrorCommand(const Args& args) {
  if (args.size() != 1) return UsageError("", "error");
  int code = 0;
  const std::string& text = args[0];
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), code);
  if (ec != std::errc() || end != text.data() + text.size()) return UsageError("not an error code: " + text);
  if (code >= 0) {
    std::cout << code << " " << ErrorMessageText(code) << "\n";
    return 0;
  }
  std::cout << code << " " << ExceptionClassName(code) << " " << ErrorMessageText(code) << "\n";
  return 0;
}

}  // namespace tv::cli
