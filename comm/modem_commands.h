// The modem checks the windows share: one AT command, a factory reset, and
// opening a port with a message the user can act on.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "comm/qa_port.h"

namespace tv {

// The command with "AT" put in front when it has none (in any letter case).
std::string WithAtPrefix(const std::string& command);

// Sends WithAtPrefix(command) with a carriage return and waits up to 36 ticks (about two seconds) for
// "OK" in any letter case, without processing window messages. True only
// when it came; any failure on the way gives false.
bool SendModemCommand(TQaCustomComPort& port, const std::string& command);

// Sends "AT&F" and waits for "OK" the same way.
bool ModemFactoryReset(TQaCustomComPort& port);

// Opens the port. On failure returns false with a message for the user built
// from the failure's error code and the port's number.
bool OpenComPortChecked(TQaCustomComPort& port, std::string& message);

// The modem check of the command-line tool: sends each command followed by a
// carriage return and writes every line the modem sends back to out, until
// the line "OK" or "ERROR" or timeoutSecs without one (then a note goes to
// err and the remaining commands are not sent). Trigger delivery is off
// meanwhile. True when every command got "OK".
bool RunAtCommands(TQaCustomComPort& port, const std::vector<std::string>& commands, int timeoutSecs,
                   std::ostream& out, std::ostream& err);

}  // namespace tv
