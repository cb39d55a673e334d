#include "line/fax_line.h"

// The modem's buffers and modes are read to see whether it waits for the
// program and when the program starves it.
#define SPANDSP_EXPOSE_INTERNAL_STRUCTURES
#include <spandsp.h>

#include <algorithm>
#include <cmath>
#include <string_view>
#include <utility>
#include <vector>

namespace tv {

namespace {

// After the program hangs up in the middle of a call the far end hears
// silence for at most this long (15 s) before it is made to end the call.
constexpr int kFarEndGraceSteps = 750;
// A far end that hangs up in a page sends 3 s of it first.
constexpr int kHangUpInPageSteps = 150;

}  // namespace

struct FaxLine::State {
  t31_state_t* modem = nullptr;
  fax_state_t* farEnd = nullptr;
  awgn_state_t* noise = nullptr;
  std::vector<logging_state_t*> logs;

  // spandsp's callbacks, handed on to the line.
  static int AtTx(at_state_t*, void* user, const uint8_t* bytes, size_t len);
  static int ModemControl(t31_state_t* modem, void* user, int op, const char* num);
  static int PhaseD(t30_state_t* t30, void* user, int result);
  static void PhaseE(t30_state_t* t30, void* user, int completion);
};

FaxLine::FaxLine(FaxLineOptions options, Output output)
    : options_(std::move(options)), output_(std::move(output)), state_(std::make_unique<State>()) {
  state_->modem = t31_init(nullptr, &State::AtTx, this, &State::ModemControl, this, nullptr, nullptr);
  t31_set_transmit_on_idle(state_->modem, 1);
  if (options_.log) EnableLog(t31_get_logging_state(state_->modem), "modem");
  // A frame of error correction is about 260 bytes on the line.
  if (options_.frameLoss > 0) byteLoss_ = 1 - std::pow(1 - options_.frameLoss, 1.0 / 260);
  if (options_.noiseDbm0 != 0) {
    state_->noise = awgn_init_dbm0(nullptr, 1234567, static_cast<float>(options_.noiseDbm0));
  }
}

FaxLine::~FaxLine() {
  if (state_->noise) awgn_free(state_->noise);
  if (state_->farEnd) fax_free(state_->farEnd);
  t31_free(state_->modem);
}

void FaxLine::EnableLog(void* logging, const char* tag) {
  auto* log = static_cast<logging_state_t*>(logging);
  state_->logs.push_back(log);
  span_log_set_level(log, SPAN_LOG_SHOW_SEVERITY | SPAN_LOG_SHOW_PROTOCOL | SPAN_LOG_SHOW_TAG |
                              SPAN_LOG_SHOW_SAMPLE_TIME | SPAN_LOG_FLOW);
  span_log_set_tag(log, tag);
}

void FaxLine::FromProgram(const char* bytes, std::size_t n) {
  if (byteLoss_ <= 0) {
    t31_at_rx(state_->modem, bytes, static_cast<int>(n));
    return;
  }
  if (state_->modem->at_state.at_rx_mode == AT_MODE_STUFFED) {
    std::vector<std::uint8_t> copy(bytes, bytes + n);
    toFarEnd_.inData = true;
    SpoilData(copy.data(), copy.size(), toFarEnd_);
    t31_at_rx(state_->modem, reinterpret_cast<const char*>(copy.data()), static_cast<int>(n));
    return;
  }
  WatchCommand(bytes, n);
  t31_at_rx(state_->modem, bytes, static_cast<int>(n));
}

// Which way page data goes next: to the program after AT+FRM.
void FaxLine::WatchCommand(const char* bytes, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (bytes[i] != '\r') {
      command_ += bytes[i];
      continue;
    }
    // Frames the program sent leave their bytes ahead of the next command.
    programReceives_ = command_.find("AT+FRM=") != std::string::npos;
    toProgram_ = DataSpoiler{};
    command_.clear();
  }
}

// Spoils bytes of page data in calls with error correction, never the DLE
// escapes (the modem's own framing): the HDLC frames they carry fail their
// check sequence.
void FaxLine::SpoilData(std::uint8_t* bytes, std::size_t n, DataSpoiler& spoiler) {
  static constexpr std::string_view kConnect = "CONNECT\r\n";
  constexpr std::uint8_t kDle = 0x10;
  constexpr std::uint8_t kEtx = 0x03;
  const bool spoil = ErrorCorrectingCall();
  for (std::size_t i = 0; i < n; ++i) {
    std::uint8_t& b = bytes[i];
    if (!spoiler.inData) {
      spoiler.text += static_cast<char>(b);
      if (spoiler.text.size() > kConnect.size()) spoiler.text.erase(0, spoiler.text.size() - kConnect.size());
      spoiler.inData = spoiler.text == kConnect;
      continue;
    }
    if (spoiler.afterDle) {
      spoiler.afterDle = false;
      if (b == kEtx) spoiler.inData = false;
      continue;
    }
    if (b == kDle) {
      spoiler.afterDle = true;
      continue;
    }
    lossState_ = lossState_ * 1664525u + 1013904223u;
    if (spoil && (lossState_ >> 8) / double(1u << 24) < byteLoss_) b = b == 0x4A ? 0xB5 : static_cast<std::uint8_t>(b ^ 0x5A);
  }
}

bool FaxLine::ErrorCorrectingCall() const {
  if (!callUp_ || !state_->farEnd) return false;
  t30_stats_t stats{};
  t30_get_transfer_statistics(fax_get_t30_state(state_->farEnd), &stats);
  return stats.error_correcting_mode != 0;
}

void FaxLine::DropCall() {
  offHook_ = false;
  if (callUp_) lineDropped_ = true;
}

void FaxLine::Ring() { t31_call_event(state_->modem, AT_CALL_EVENT_ALERTING); }

bool FaxLine::WaitsForProgram() const {
  const t31_state_t* m = state_->modem;
  switch (m->at_state.at_rx_mode) {
    case AT_MODE_ONHOOK_COMMAND:
    case AT_MODE_OFFHOOK_COMMAND:
      return true;
    case AT_MODE_HDLC:
      return m->hdlc_tx.len == 0 && !m->hdlc_tx.final;
    case AT_MODE_STUFFED:
      return m->tx.in_bytes == m->tx.out_bytes && !m->tx.final;
    default:
      return false;
  }
}

void FaxLine::Step() {
  samples_ += kBlockSamples;
  for (logging_state_t* log : state_->logs) span_log_bump_samples(log, kBlockSamples);
  MeasureStarvation();

  int16_t toFarEnd[kBlockSamples];
  int16_t toModem[kBlockSamples];
  int made = t31_tx(state_->modem, toFarEnd, kBlockSamples);
  std::fill(toFarEnd + made, toFarEnd + kBlockSamples, 0);
  if (callUp_) {
    if (lineDropped_) std::fill(toFarEnd, toFarEnd + kBlockSamples, 0);
    AddNoise(toFarEnd);
    fax_rx(state_->farEnd, toFarEnd, kBlockSamples);
    made = fax_tx(state_->farEnd, toModem, kBlockSamples);
    std::fill(toModem + made, toModem + kBlockSamples, 0);
    AddNoise(toModem);
  } else {
    std::fill(toModem, toModem + kBlockSamples, 0);
  }
  t31_rx(state_->modem, toModem, kBlockSamples);

  HangUpWhenDue();
  // A far end the program left alone ends the call by its own timers; one
  // that takes too long is made to.
  if (callUp_ && lineDropped_ && ++stepsSinceHangup_ > kFarEndGraceSteps) {
    t30_terminate(fax_get_t30_state(state_->farEnd));
    callUp_ = false;
    callDone_ = true;
  }
  if (callDone_ && (lineDropped_ || !offHook_)) EndFarEnd();
}

// The far end told to hang up in a page goes quiet for good; the call ends
// once the program hangs up too.
void FaxLine::HangUpWhenDue() {
  if (stepsToHangUp_ < 0 || --stepsToHangUp_ > 0) return;
  stepsToHangUp_ = -1;
  result_.completion = FaxLineResult::kFarEndHungUp;
  result_.pages = pagesSent_;
  result_.text = "far end hung up";
  callUp_ = false;
  callDone_ = true;
}

// Each step sends 20 ms of data; what the modem's buffer lacks for it is
// sent as fill, unless the program has already ended the data. Counted from
// the first data byte of a transmission, so the fill sent while the modem
// trains is not.
void FaxLine::MeasureStarvation() {
  const t31_state_t* m = state_->modem;
  if (m->modem != FAX_MODEM_V17_TX && m->modem != FAX_MODEM_V29_TX && m->modem != FAX_MODEM_V27TER_TX) {
    dataEnded_ = false;
    return;
  }
  // The modem forgets the end mark once it has sent the last byte.
  if (m->tx.final) dataEnded_ = true;
  const int buffered = m->tx.in_bytes - m->tx.out_bytes;
  if (!m->tx.data_started || (dataEnded_ && buffered == 0)) return;
  dataMs_ += kStepMs;
  const double needed = m->bit_rate / 8.0 * kBlockSamples / kSampleRate;
  if (!dataEnded_ && buffered < needed) starvedMs_ += (needed - buffered) / needed * kStepMs;
}

void FaxLine::AddNoise(int16_t* samples) {
  if (!state_->noise) return;
  for (int i = 0; i < kBlockSamples; ++i) {
    const int mixed = samples[i] + awgn(state_->noise);
    samples[i] = static_cast<int16_t>(std::clamp(mixed, -32768, 32767));
  }
}

void FaxLine::StartFarEnd(bool calling) {
  state_->farEnd = fax_init(nullptr, calling);
  fax_set_transmit_on_idle(state_->farEnd, 1);
  t30_state_t* t30 = fax_get_t30_state(state_->farEnd);
  t30_set_tx_ident(t30, options_.ident.c_str());
  t30_set_supported_modems(t30, T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17);
  t30_set_supported_resolutions(t30, T30_SUPPORT_STANDARD_RESOLUTION | T30_SUPPORT_FINE_RESOLUTION);
  t30_set_ecm_capability(t30, options_.errorCorrection ? 1 : 0);
  int codings = T30_SUPPORT_T4_1D_COMPRESSION;
  if (options_.twoDimensional) codings |= T30_SUPPORT_T4_2D_COMPRESSION;
  if (options_.twoDimensional && options_.errorCorrection) codings |= T30_SUPPORT_T6_COMPRESSION;
  t30_set_supported_compressions(t30, codings);
  if (calling) {
    t30_set_tx_file(t30, options_.callFile.c_str(), -1, -1);
  } else {
    t30_set_rx_file(t30, options_.answerFile.c_str(), -1);
  }
  t30_set_phase_e_handler(t30, &State::PhaseE, this);
  if (calling && options_.dropOnPage > 0) t30_set_phase_d_handler(t30, &State::PhaseD, this);
  if (options_.log) EnableLog(t30_get_logging_state(t30), "far-end");
  result_ = FaxLineResult{};
  callUp_ = true;
  callDone_ = lineDropped_ = false;
  stepsSinceHangup_ = pagesSent_ = 0;
  stepsToHangUp_ = -1;
  callStart_ = samples_;
}

// Frees the far end (which closes its file) and reports the call.
void FaxLine::EndFarEnd() {
  if (state_->farEnd) {
    if (options_.log) std::erase(state_->logs, t30_get_logging_state(fax_get_t30_state(state_->farEnd)));
    fax_free(state_->farEnd);
    state_->farEnd = nullptr;
  }
  callUp_ = callDone_ = lineDropped_ = false;
  if (callEnded_) callEnded_(result_);
}

int FaxLine::State::AtTx(at_state_t*, void* user, const uint8_t* bytes, size_t len) {
  static_cast<FaxLine*>(user)->ToProgram(bytes, len);
  return static_cast<int>(len);
}

void FaxLine::ToProgram(const std::uint8_t* bytes, std::size_t n) {
  std::vector<std::uint8_t> copy(bytes, bytes + n);
  if (byteLoss_ > 0 && programReceives_) SpoilData(copy.data(), copy.size(), toProgram_);
  output_(copy.data(), copy.size());
}

int FaxLine::State::ModemControl(t31_state_t* t31, void* user, int op, const char* num) {
  auto* self = static_cast<FaxLine*>(user);
  switch (op) {
    case AT_MODEM_CONTROL_CALL:  // ATD: the far end answers
      self->dialled_ = true;
      self->offHook_ = true;
      if (self->options_.answerFile.empty() || self->callUp_ || self->options_.noAnswer) return 0;
      if (self->options_.busy) {
        t31_call_event(t31, AT_CALL_EVENT_BUSY);
        return 0;
      }
      self->StartFarEnd(false);
      t31_call_event(t31, AT_CALL_EVENT_CONNECTED);
      break;
    case AT_MODEM_CONTROL_ANSWER:  // ATA after ringing: the far end sends
      self->offHook_ = true;
      if (self->options_.callFile.empty() || self->callUp_) return 0;
      self->StartFarEnd(true);
      t31_call_event(t31, AT_CALL_EVENT_ANSWERED);
      break;
    case AT_MODEM_CONTROL_HANGUP:
    case AT_MODEM_CONTROL_ONHOOK:
      self->DropCall();
      break;
    case AT_MODEM_CONTROL_CTS:
      self->clearToSend_ = num != nullptr;
      break;
    default:
      break;
  }
  return 0;
}

// Each page the calling far end has sent; the page before the one it is to
// hang up in starts the count.
int FaxLine::State::PhaseD(t30_state_t*, void* user, int) {
  auto* self = static_cast<FaxLine*>(user);
  if (++self->pagesSent_ == self->options_.dropOnPage - 1) self->stepsToHangUp_ = kHangUpInPageSteps;
  return 0;
}

void FaxLine::State::PhaseE(t30_state_t* t30, void* user, int completion) {
  auto* self = static_cast<FaxLine*>(user);
  if (self->callDone_) return;  // it has already hung up
  t30_stats_t stats{};
  t30_get_transfer_statistics(t30, &stats);
  FaxLineResult& r = self->result_;
  r.completion = completion;
  r.pages = std::max(stats.pages_rx, stats.pages_tx);
  r.bitRate = stats.bit_rate;
  r.callMs = static_cast<int>((self->samples_ - self->callStart_) * 1000 / kSampleRate);
  r.errorCorrection = stats.error_correcting_mode != 0;
  r.coding = stats.encoding == T4_COMPRESSION_ITU_T6 ? "MMR" : stats.encoding == T4_COMPRESSION_ITU_T4_2D ? "MR" : "MH";
  if (const char* ident = t30_get_rx_ident(t30)) r.remoteIdent = ident;
  r.text = t30_completion_code_to_str(completion);
  // The far end has left the line; it is freed once the program hangs up.
  self->callUp_ = false;
  self->callDone_ = true;
}

}  // namespace tv
