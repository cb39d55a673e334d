// A fax session's length: the engine sending through the virtual fax line at
// 14400 bit/s, against two spandsp fax terminals connected directly that
// exchange the same pages (the TIFF the line's far end stored) with the same
// coding: a letter in one-dimensional coding, and a dense fine page in
// one-dimensional coding and in MMR with error correction. The line runs
// in real time, so the engine's figure is wall-clock time; the direct pair's
// is the audio time it exchanged (20 ms per step). Compare the two per page
// count: ratio = engine / direct. The engine's run also gives the time the
// line's modem had page data to send but none from the engine (starved_ms)
// out of the time it sent data (data_ms), and the call's own length on the
// line (call_s), from the dial: the session less the modem's preparation.
//
// Over a SIP account: `tvfax send` through a SIP line to tools/sip_fax_peer
// on 127.0.0.1 over T.38, a ten-page fine letter at real line speed, against
// two spandsp T.38 terminals that pass their packets to each other directly,
// sending the pages the peer stored. Counters: tvfax's CPU per page.
#include <benchmark/benchmark.h>
#include <spandsp.h>

#include <sys/resource.h>

#include <chrono>
#include <deque>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "comm/device_layer.h"
#include "comm/native_layer.h"
#include "comm/qa_port.h"
#include "fax/fax_components.h"
#include "image/fax_converter.h"
#include "image/t4_2d_coding.h"
#include "line/fax_line.h"
#include "platform/child_process.h"
#include "platform/ui_thread.h"
#include "tests/support/virtual_line.h"

namespace {

constexpr int kBps = 14400;
constexpr int kStepSamples = 160;  // 20 ms at 8000 samples a second
constexpr const char* kEngineIdent = "BENCH";

// A scratch folder for the run, removed at exit.
struct ScratchDir {
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tv-fax-bench-XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

const std::string& WorkDir() {
  static const ScratchDir dir;
  return dir.path;
}

std::string Path(const std::string& name) { return WorkDir() + "/" + name; }

// The second argument of each measurement.
enum Kind { kLetter = 0, kDense = 1, kDenseMmrEcm = 2, kFineLetter = 3 };
bool Dense(Kind kind) { return kind == kDense || kind == kDenseMmrEcm; }
bool Fine(Kind kind) { return kind != kLetter; }
bool MmrEcm(Kind kind) { return kind == kDenseMmrEcm; }

// A text fax of the given pages: a letter has a dozen lines of text a page
// (at standard or fine resolution), a dense page fills an A4 sheet at fine.
std::string MakeFax(int pages, Kind kind) {
  const int linesPerPage = Dense(kind) ? 66 : 12;
  const std::string name = Path((Dense(kind) ? "dense" : Fine(kind) ? "fine" : "letter") + std::to_string(pages));
  std::ofstream out(name + ".txt");
  for (int line = 1; line <= pages * linesPerPage; ++line) {
    out << "Line " << line << " of the measured fax: the quick brown fox jumps over the lazy dog, 0123456789.\n";
  }
  out.close();
  tv::FaxConverter converter(tv::MakeTextInput(), "TXT");
  converter.SetLinesPerPage(linesPerPage);
  converter.SetFine(Fine(kind));
  converter.Convert(name + ".txt", name + ".apf");
  return name + ".apf";
}

// The TIFF the far end stored for each page count and kind, for the direct pair.
std::map<std::pair<int, int>, std::string>& Received() {
  static std::map<std::pair<int, int>, std::string> files;
  return files;
}

void BM_EngineThroughVirtualLine(benchmark::State& state) {
  const int pages = static_cast<int>(state.range(0));
  const auto kind = static_cast<Kind>(state.range(1));
  const std::string apf = MakeFax(pages, kind);
  const std::string tif = Path("received" + std::to_string(pages) + "-" + std::to_string(kind) + ".tif");
  tv::HeadlessUiThread ui;
  tv::UiThread::Install(&ui);
  tv::InstallDeviceLayer(tv::NativeDeviceLayer());
  for (auto _ : state) {
    std::vector<std::string> lineOptions = {"--answer", tif, "--timeout", "300"};
    if (MmrEcm(kind)) lineOptions.insert(lineOptions.end(), {"--ecm", "--2d"});
    tv::test::VirtualLine line(Path("modem"), lineOptions);
    if (!line.WaitReady()) {
      state.SkipWithError("the virtual line did not start");
      break;
    }
    tv::TQaComPort port;
    tv::TQaSendFax fax;
    fax.SetComPort(&port);
    port.SetComNumber(1);
    port.SetDevicePath(Path("modem"));
    fax.SetFaxClass(tv::TFaxClass::fcClass1);
    fax.SetDesiredBPS(kBps);
    fax.SetDesiredECM(MmrEcm(kind));
    fax.SetDesiredCoding(MmrEcm(kind) ? tv::T4Coding::kMmr : tv::T4Coding::kMh);
    fax.SetStationID(kEngineIdent);
    fax.SetHeaderLine("BENCH $P/$N");
    fax.SetPhoneNumber("1");
    fax.SetFaxFile(apf);
    bool finished = false;
    int code = 0;
    fax.OnFaxFinish = [&](tv::TQaAbstractFax&, int c) {
      code = c;
      finished = true;
    };
    const auto start = std::chrono::steady_clock::now();
    fax.BeginSending();
    while (!finished) ui.WaitForMessages(20);
    const auto end = std::chrono::steady_clock::now();
    port.SetOpen(false);
    // "result CODE pages N rate BPS starved A of B remote "ID" dcn D call C
    // ...": the milliseconds the modem sent data with none from the engine
    // to send, of all data time, and the call's length on the line (from
    // the dial, without the modem's preparation).
    double starvedMs = -1;
    double dataMs = -1;
    double callMs = -1;
    std::sscanf(line.ReadLine().c_str(), "result %*d pages %*d rate %*d starved %lf of %lf remote \"%*[^\"]\" dcn %*d call %lf",
                &starvedMs, &dataMs, &callMs);
    state.counters["starved_ms"] = starvedMs;
    state.counters["data_ms"] = dataMs;
    state.counters["call_s"] = callMs / 1000;
    line.Wait();
    if (code != 0) state.SkipWithError("the fax failed");
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  Received()[{pages, kind}] = tif;
  tv::InstallDeviceLayer(nullptr);
  tv::UiThread::Install(nullptr);
}

struct Terminal {
  fax_state_t* fax = nullptr;
  bool done = false;
};

void PhaseE(t30_state_t*, void* user, int) { static_cast<Terminal*>(user)->done = true; }

Terminal MakeTerminal(bool calling, const std::string& file, Kind kind) {
  Terminal t;
  t.fax = fax_init(nullptr, calling);
  fax_set_transmit_on_idle(t.fax, 1);
  t30_state_t* t30 = fax_get_t30_state(t.fax);
  t30_set_supported_modems(t30, T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17);
  // The pair names itself as the engine and the line's far end do, so both
  // runs exchange the same frames (TSI and CSI included).
  t30_set_tx_ident(t30, calling ? kEngineIdent : tv::FaxLineOptions().ident.c_str());
  // The pair codes as the engine did.
  t30_set_ecm_capability(t30, MmrEcm(kind) ? 1 : 0);
  t30_set_supported_compressions(t30, MmrEcm(kind) ? T30_SUPPORT_T4_1D_COMPRESSION | T30_SUPPORT_T6_COMPRESSION
                                                   : T30_SUPPORT_T4_1D_COMPRESSION);
  if (calling) {
    t30_set_tx_file(t30, file.c_str(), -1, -1);
  } else {
    t30_set_rx_file(t30, file.c_str(), -1);
  }
  return t;
}

void BM_SpandspTerminalsDirect(benchmark::State& state) {
  const int pages = static_cast<int>(state.range(0));
  const auto kind = static_cast<Kind>(state.range(1));
  const auto source = Received().find({pages, kind});
  if (source == Received().end()) {
    state.SkipWithError("run after the engine's measurement, which makes the pages");
    return;
  }
  for (auto _ : state) {
    Terminal caller = MakeTerminal(true, source->second, kind);
    Terminal answerer = MakeTerminal(false, Path("direct.tif"), kind);
    t30_set_phase_e_handler(fax_get_t30_state(caller.fax), PhaseE, &caller);
    t30_set_phase_e_handler(fax_get_t30_state(answerer.fax), PhaseE, &answerer);
    long steps = 0;
    int16_t toAnswerer[kStepSamples];
    int16_t toCaller[kStepSamples];
    while (!(caller.done && answerer.done) && steps < 300 * 50) {
      const int a = fax_tx(caller.fax, toAnswerer, kStepSamples);
      std::fill(toAnswerer + a, toAnswerer + kStepSamples, 0);
      const int b = fax_tx(answerer.fax, toCaller, kStepSamples);
      std::fill(toCaller + b, toCaller + kStepSamples, 0);
      fax_rx(answerer.fax, toAnswerer, kStepSamples);
      fax_rx(caller.fax, toCaller, kStepSamples);
      ++steps;
    }
    fax_free(caller.fax);
    fax_free(answerer.fax);
    state.SetIterationTime(static_cast<double>(steps) * kStepSamples / 8000.0);
  }
}

// --- Over a SIP account ------------------------------------------------------

double ChildrenCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  const auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return s(usage.ru_utime) + s(usage.ru_stime);
}

// The far end, answering into `tif`: its SIP port once it takes calls, 0
// when it did not come up.
int StartSipPeer(tv::ChildProcess& peer, const std::string& tif) {
  if (peer.Start({TV_SIP_FAX_PEER, "--answer", tif, "--ident", tv::FaxLineOptions().ident, "--timeout", "900"}) != 0) {
    return 0;
  }
  std::string said;
  char buffer[64];
  std::size_t got = 0;
  while (said.find('\n') == std::string::npos && peer.Read(buffer, sizeof buffer, 10000, got) == 0 && got > 0) {
    said.append(buffer, got);
  }
  return said.rfind("ready ", 0) == 0 ? std::atoi(said.c_str() + 6) : 0;
}

void BM_TvfaxOverSipT38(benchmark::State& state) {
  const int pages = static_cast<int>(state.range(0));
  const std::string apf = MakeFax(pages, kFineLetter);
  const std::string tif = Path("sip-received" + std::to_string(pages) + ".tif");
  const std::string home = Path("sip-home");
  std::filesystem::create_directories(home);
  for (auto _ : state) {
    tv::ChildProcess peer;
    const int port = StartSipPeer(peer, tif);
    if (port == 0) {
      state.SkipWithError("the SIP fax peer did not start");
      break;
    }
    std::ofstream(home + "/TV.INI") << "[SIP]\nAccount=sip:bench@127.0.0.1:" << port << "\nRegister=0\nLocalPort=0\n";
    const double cpuBefore = ChildrenCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    std::string output;
    tv::ChildProcess::Run({TV_TVFAX, "send", "--home", home, "--device", "sip", "--class", "1", "--bps",
                           std::to_string(kBps), "--station", kEngineIdent, "5551234", apf},
                          status, &output);
    const auto end = std::chrono::steady_clock::now();
    state.counters["cpu_s_page"] = (ChildrenCpuSeconds() - cpuBefore) / pages;
    peer.Wait();
    if (status != 0 || output.find("over T.38") == std::string::npos) {
      state.SkipWithError(("tvfax send failed: " + output).c_str());
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  Received()[{pages, kFineLetter}] = tif;
}

// Two T.38 terminals, each one's packets delivered to the other after
// every step of 20 ms.
struct T38Terminal {
  t38_terminal_state_t* t38 = nullptr;
  std::deque<std::vector<std::uint8_t>> sent;
  int sequence = 0;
  bool done = false;
};

int QueueIfp(t38_core_state_t*, void* user, const uint8_t* bytes, int length, int) {
  static_cast<T38Terminal*>(user)->sent.emplace_back(bytes, bytes + length);
  return 0;
}

void T38PhaseE(t30_state_t*, void* user, int) { static_cast<T38Terminal*>(user)->done = true; }

void MakeT38Terminal(T38Terminal& t, bool calling, const std::string& file, const char* ident) {
  t.t38 = t38_terminal_init(nullptr, calling, &QueueIfp, &t);
  t38_terminal_set_config(t.t38, 0);
  t38_set_t38_version(t38_terminal_get_t38_core_state(t.t38), 0);
  t30_state_t* t30 = t38_terminal_get_t30_state(t.t38);
  t30_set_tx_ident(t30, ident);
  t30_set_supported_modems(t30, T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17);
  t30_set_ecm_capability(t30, 0);
  t30_set_supported_compressions(t30, T30_SUPPORT_T4_1D_COMPRESSION | T30_SUPPORT_T4_2D_COMPRESSION);
  t30_set_phase_e_handler(t30, &T38PhaseE, &t);
  if (calling) {
    t30_set_tx_file(t30, file.c_str(), -1, -1);
  } else {
    t30_set_rx_file(t30, file.c_str(), -1);
  }
}

void Deliver(T38Terminal& from, T38Terminal& to) {
  for (; !from.sent.empty(); from.sent.pop_front()) {
    auto& packet = from.sent.front();
    t38_core_rx_ifp_packet(t38_terminal_get_t38_core_state(to.t38), packet.data(), static_cast<int>(packet.size()),
                           static_cast<uint16_t>(from.sequence++));
  }
}

void BM_SpandspT38TerminalsDirect(benchmark::State& state) {
  const int pages = static_cast<int>(state.range(0));
  const auto source = Received().find({pages, kFineLetter});
  if (source == Received().end()) {
    state.SkipWithError("run after tvfax's measurement, which makes the pages");
    return;
  }
  for (auto _ : state) {
    T38Terminal caller;
    T38Terminal answerer;
    MakeT38Terminal(caller, true, source->second, kEngineIdent);
    MakeT38Terminal(answerer, false, Path("direct-t38.tif"), tv::FaxLineOptions().ident.c_str());
    long steps = 0;
    while (!(caller.done && answerer.done) && steps < 900 * 50) {
      t38_terminal_send_timeout(caller.t38, kStepSamples);
      t38_terminal_send_timeout(answerer.t38, kStepSamples);
      Deliver(caller, answerer);
      Deliver(answerer, caller);
      ++steps;
    }
    t38_terminal_free(caller.t38);
    t38_terminal_free(answerer.t38);
    state.SetIterationTime(static_cast<double>(steps) * kStepSamples / 8000.0);
  }
}

void SipCases(benchmark::internal::Benchmark* b) {
  b->Arg(10)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);
}
BENCHMARK(BM_TvfaxOverSipT38)->Apply(SipCases);
BENCHMARK(BM_SpandspT38TerminalsDirect)->Apply(SipCases);

void Cases(benchmark::internal::Benchmark* b) {
  b->Args({1, kLetter})->Args({10, kLetter})->Args({1, kDense})->Args({1, kDenseMmrEcm});
  b->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);
}
BENCHMARK(BM_EngineThroughVirtualLine)->Apply(Cases);
BENCHMARK(BM_SpandspTerminalsDirect)->Apply(Cases);

}  // namespace

BENCHMARK_MAIN();
