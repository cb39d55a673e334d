// The demo fax line: a fax modem on a phone line with a fax machine at the
// other end, all inside the program, for trying it without hardware.
//
// A port opens it by the device name "demo" (the line runs at its real speed,
// so a fax takes as long as on a phone line) or "demo:fast" (as fast as the
// machine allows, for tests); COMn maps to it in [Ports] of TV.INI like to any
// device. Behind the name runs the fax line engine (a spandsp Class 1 modem
// and a spandsp fax machine), plugged into the simulated device layer, so
// everything above the device layer works as with a real modem.
//
// The far end answers as "DEMO FAX" and keeps each fax it receives as an APF
// file in Demo/ of the program folder. When the port waits on hook without
// dialling, the far end calls once and sends the welcome fax. [Demo] of
// TV.INI can make the line busy, unanswered or noisy.
#pragma once

#include <string>

#include "platform/ini_file.h"

namespace tv {

inline constexpr char kDemoDevice[] = "demo";
inline constexpr char kDemoFastDevice[] = "demo:fast";
inline constexpr char kDemoFarEndIdent[] = "DEMO FAX";

// How the demo line behaves: key Line of [Demo] (answers, busy, no-answer,
// noisy; anything else answers).
enum class DemoLineMode { kAnswers, kBusy, kNoAnswer, kNoisy };
DemoLineMode ReadDemoLineMode(const IniFile& ini);

// Whether a device name means the demo line (with any option, valid or not).
bool IsDemoDevice(const std::string& name);

// Where the far end keeps what it receives: the program folder's Demo/.
std::string DemoFolder();

// Lets ports open the demo line by its names. Call once at start-up.
void InstallDemoLine();

// Write the welcome fax (two text pages: what the program is, how to connect
// a real modem) and the sample fax (a page about the demo line) as APF files;
// 0 or an error code.
int MakeWelcomeFax(const std::string& apfFile);
int MakeSampleFax(const std::string& apfFile);

}  // namespace tv
