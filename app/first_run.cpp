#include "app/first_run.h"

#include <QTimer>
#include <future>
#include <memory>

#include "app/modem_tools.h"
#include "line/demo_line.h"
#include "platform/app_settings.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "ui/window_helpers.h"

namespace tv {

namespace {

constexpr char kSampleFaxName[] = "SAMPLE.APF";
constexpr char kSampleDescription[] = "SAMPLE.ZPD";
// Phone, recipient and subject of the sample fax's row.
constexpr char kSampleDescriptionText[] = "5550100\nDemo line\nSample fax\n";

}  // namespace

std::vector<std::string> ModemCandidates(const std::string& devFolder) {
  const IniFile ini(SettingsFilePath());
  std::vector<std::string> devices;
  auto add = [&](const std::string& device) {
    if (IsDemoDevice(device)) return;
    for (const std::string& known : devices) {
      if (known == device || SameDevice(known, device)) return;
    }
    devices.push_back(device);
  };
  for (int n = 1; n <= kComPorts; ++n) add(ComDevicePath(ini, n));
  for (const SerialDevice& usb : UsbSerialDevices(devFolder)) add(usb.path);
  return devices;
}

ModemFinding JudgeProbes(const std::vector<ProbeResult>& results) {
  ModemFinding finding;
  for (const ProbeResult& r : results) {
    if (r.outcome == ProbeOutcome::kAnswered) return {ModemFinding::Kind::kModem, r.device};
    if (r.outcome == ProbeOutcome::kHeld && finding.kind == ModemFinding::Kind::kNoModem) {
      finding = {ModemFinding::Kind::kHeldPort, r.device};
    }
  }
  return finding;
}

void LookForModem(QObject* context, std::function<void(const ModemFinding&)> done) {
  auto probe = std::make_shared<std::future<ModemFinding>>(std::async(
      std::launch::async, [devices = ModemCandidates()] { return JudgeProbes(ProbeModems(devices, kModemProbeMs)); }));
  // Polled from the window's thread: the worker never touches a widget.
  auto* poll = new QTimer(context);
  QObject::connect(poll, &QTimer::timeout, context, [poll, probe, done = std::move(done)] {
    if (probe->wait_for(std::chrono::seconds(0)) != std::future_status::ready) return;
    poll->stop();
    poll->deleteLater();
    done(probe->get());
  });
  poll->start(50);
}

QString ApplyModemFinding(const ModemFinding& finding) {
  switch (finding.kind) {
    case ModemFinding::Kind::kModem:
      return {};
    case ModemFinding::Kind::kHeldPort:
      return QString(
                 "%1 is there but could not be opened: if it is your fax modem, add yourself to the \"dialout\" "
                 "group (and log in again), and keep ModemManager away from it.")
          .arg(QString::fromStdString(finding.device));
    case ModemFinding::Kind::kNoModem:
      break;
  }
  try {
    MapComDevice(SettingsFilePath(), 1, kDemoDevice);
  } catch (const std::exception&) {
    return {};  // TV.INI cannot be written; the user chooses a port as before
  }
  Settings().ComPort = 0;  // saved with the rest when Preferences is accepted
  return "No fax modem answered, so Com1 is set to the demo line, a fax line inside Tessivane: press Find Modem "
         "here once a modem is connected.";
}

bool PutSampleFax(const std::string& sendFolder) {
  const std::string apf = sendFolder + kSampleFaxName;
  if (FileExists(apf) || MakeSampleFax(apf) != 0) return false;
  if (ReplaceFileContents(sendFolder + kSampleDescription, kSampleDescriptionText) != 0) {
    std::remove(apf.c_str());
    return false;
  }
  return true;
}

}  // namespace tv
