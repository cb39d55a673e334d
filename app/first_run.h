// The first start on a machine: a quick look for a modem, the demo line
// when none answers, and a sample fax to send.
//
// Every device a modem may sit on (the six COM numbers' devices and the USB
// serial devices) gets an "AT" at once; within two seconds the answer is in,
// on a worker thread, so the window stays live. When nothing answers, COM1 is
// mapped to the demo line. A device that is there but cannot be opened (no
// dialout membership, held by ModemManager) counts as a modem: that machine
// keeps its ports, and the user learns what is in the way.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "comm/serial_devices.h"

namespace tv {

inline constexpr int kModemProbeMs = 2000;

struct ModemFinding {
  enum class Kind { kModem, kHeldPort, kNoModem };
  Kind kind = Kind::kNoModem;
  std::string device;  // the modem's or the held port's device
};

// The devices to probe: the COM numbers' devices (the demo line left out)
// and the USB serial devices under devFolder, each once.
std::vector<std::string> ModemCandidates(const std::string& devFolder = "/dev");
// A modem answering beats a held port, which beats nothing.
ModemFinding JudgeProbes(const std::vector<ProbeResult>& results);

// Probes the candidates on a worker thread and calls done on context's
// thread with the finding (not at all when context is gone by then).
void LookForModem(QObject* context, std::function<void(const ModemFinding&)> done);

// Acts on the finding: with no modem COM1 becomes the demo line in TV.INI and
// the port chosen in the settings (saved when Preferences is accepted). Returns the sentence the first-run message adds (empty when a modem
// answered).
QString ApplyModemFinding(const ModemFinding& finding);

// Puts the sample fax, with its description, in the send folder, where the
// outgoing list takes it in as it takes the printer driver's faxes. Whether
// it could.
bool PutSampleFax(const std::string& sendFolder);

}  // namespace tv
