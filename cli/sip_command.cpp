// tvfax sip register: tests a SIP account by registering it once.
#include <iostream>
#include <vector>

#include "cli/commands.h"
#include "cli/options.h"
#include "line/sip_line.h"
#include "platform/paths.h"

namespace tv::cli {

int SipCommand(const Args& args) {
  std::string home;
  std::string device = kSipDevice;
  int timeout = 10;
  std::vector<std::string> operands;
  const std::string problem = OptionReader()
                                  .Text("--home", home)
                                  .Text("--device", device)
                                  .Number("--timeout", timeout, 1, 300, "a number of seconds")
                                  .Read(args, operands);
  if (!problem.empty()) return UsageError(problem, "sip");
  if (operands != std::vector<std::string>{"register"}) return UsageError("give the action: register", "sip");
  if (!IsSipDevice(device)) return UsageError("not a SIP line: " + device, "sip");
  if (!home.empty()) InitProgramFolder(home);
  const SipRegistration result = TestSipAccount(device, timeout * 1000);
  (result.registered ? std::cout : std::cerr) << (result.registered ? "" : "tvfax: ") << result.text << "\n";
  return result.registered ? 0 : 1;
}

}  // namespace tv::cli
