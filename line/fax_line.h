// A fax line in a box: a Class 1 fax modem (spandsp's T.31 modem) whose
// phone line ends at a fax machine (a spandsp T.30 terminal).
//
// The program's side of the modem is a byte stream: FromProgram takes what
// the program writes, the output handler gets what the modem answers. The
// owner moves the line's time on with Step, 20 ms of audio at a time, as fast
// as it likes: the virtual fax line tool paces it against the clock over a
// pseudo-terminal, the demo device runs it inside the program.
//
// When the program dials (ATD), the far end answers and stores the pages it
// receives in the answer file (a TIFF file); when the owner rings the modem
// and the program answers (ATA), the far end sends the call file. The line
// can be busy, ring out unanswered, or carry noise, and a calling far end can
// hang up in the middle of a page. One line serves any number of calls, one
// after the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tv {

struct FaxLineOptions {
  std::string ident = "VIRTUAL LINE";  // the far end's station identifier
  std::string answerFile;              // far end answers calls and stores here (empty: it never answers)
  std::string callFile;                // far end sends this when the program answers a ring
  double noiseDbm0 = 0;                // 0: a clean line
  bool busy = false;                   // every call the program dials finds the line busy
  bool noAnswer = false;               // every call rings out unanswered
  int dropOnPage = 0;                  // a calling far end hangs up a few seconds into this page (2 on; 0: never)
  bool errorCorrection = false;        // the far end offers error correction
  bool twoDimensional = false;         // and 2-D coding: MR, and MMR with error correction
  // The share of error-correction frames damaged on the line each way: in
  // calls with error correction, bytes of the page data are spoiled, about
  // that share of frames' worth. Drawn from a fixed seed.
  double frameLoss = 0;
  bool log = false;                    // spandsp's protocol log on stderr
};

// How the far end's last call ended.
struct FaxLineResult {
  int completion = kNoCall;  // spandsp's T.30 completion code, or one of the two below
  int pages = 0;        // pages the far end received or sent
  int bitRate = 0;
  int callMs = 0;           // line time from the call's start to the far end's end of it
  bool errorCorrection = false;
  std::string coding;       // "MH", "MR" or "MMR"
  std::string remoteIdent;  // the program's station identifier
  std::string text;         // the completion in words

  static constexpr int kNoCall = -1;
  static constexpr int kFarEndHungUp = -2;  // in the middle of a page, by dropOnPage

  bool Succeeded() const { return completion == 0; }
};

class FaxLine {
 public:
  static constexpr int kSampleRate = 8000;
  static constexpr int kBlockSamples = 160;
  static constexpr int kStepMs = kBlockSamples * 1000 / kSampleRate;

  // Bytes from the modem to the program; the handler may change them before
  // they go (the tool spoils trainings that way).
  using Output = std::function<void(std::uint8_t* bytes, std::size_t n)>;
  // A call the far end took part in has ended (the program hung up or the
  // far end did).
  using CallEnded = std::function<void(const FaxLineResult& result)>;

  FaxLine(FaxLineOptions options, Output output);
  ~FaxLine();
  FaxLine(const FaxLine&) = delete;
  FaxLine& operator=(const FaxLine&) = delete;

  void OnCallEnded(CallEnded handler) { callEnded_ = std::move(handler); }
  // The file the far end stores the next call in / sends on the next call.
  void SetAnswerFile(std::string file) { options_.answerFile = std::move(file); }
  void SetCallFile(std::string file) { options_.callFile = std::move(file); }

  // Program to modem. Give bytes only while ClearToSend: holding them back is
  // the program's flow control.
  void FromProgram(const char* bytes, std::size_t n);
  bool ClearToSend() const { return clearToSend_; }

  // The program has gone (its port closed): the far end hears silence from
  // now on and ends the call by its own timers.
  void DropCall();
  // One ring signal to the program's modem (the far end calling).
  void Ring();
  // 20 ms of line time.
  void Step();

  // Whether the modem now waits for the program: it is in command mode, or it
  // is to send data the program has not yet given. Line time may run ahead of
  // the clock while it does not.
  bool WaitsForProgram() const;
  // Whether the far end is on a call or the modem is off hook.
  bool InCall() const { return callUp_ || offHook_; }
  // Whether the program ever dialled.
  bool Dialled() const { return dialled_; }
  const FaxLineResult& LastResult() const { return result_; }

  // Page and training data the modem sent (ms), and how much of that it
  // lacked bytes from the program for, measured from the first data byte of
  // each transmission.
  int DataMs() const { return dataMs_; }
  double StarvedMs() const { return starvedMs_; }
  // Line time so far, in samples.
  std::int64_t Samples() const { return samples_; }

 private:
  struct State;  // spandsp's modem, far end and noise source
  void StartFarEnd(bool calling);
  void EndFarEnd();
  void HangUpWhenDue();
  void MeasureStarvation();
  void AddNoise(std::int16_t* samples);
  void ToProgram(const std::uint8_t* bytes, std::size_t n);
  // Page data one way: the modem's data mode (DLE escapes, DLE ETX at the
  // end), after a CONNECT where it comes from the modem.
  struct DataSpoiler {
    bool inData = false;
    bool afterDle = false;
    std::string text;  // the last characters before the data, to see CONNECT
  };
  void SpoilData(std::uint8_t* bytes, std::size_t n, DataSpoiler& spoiler);
  bool ErrorCorrectingCall() const;
  void WatchCommand(const char* bytes, std::size_t n);
  void EnableLog(void* logging, const char* tag);

  FaxLineOptions options_;
  Output output_;
  CallEnded callEnded_;
  std::unique_ptr<State> state_;
  bool clearToSend_ = true;
  bool offHook_ = false;
  bool callUp_ = false;       // the far end is on the line
  bool callDone_ = false;     // it has ended its part of the call
  bool lineDropped_ = false;  // the program hung up before the far end ended the call
  bool dialled_ = false;
  int stepsSinceHangup_ = 0;
  int pagesSent_ = 0;            // by the calling far end, this call
  int stepsToHangUp_ = -1;       // until the far end hangs up in its page (-1: it will not)
  std::int64_t callStart_ = 0;   // samples_ when the far end came on the line
  FaxLineResult result_;
  bool dataEnded_ = false;  // the program has ended the current transmission's data
  double starvedMs_ = 0;
  int dataMs_ = 0;
  std::int64_t samples_ = 0;
  // Frame loss: the data frame the program is sending, held until it is whole,
  // and the modem's report on a frame for the program, held until it is known.
  std::uint32_t lossState_ = 0x2545F491;
  double byteLoss_ = 0;             // the chance a byte of page data is spoiled
  DataSpoiler toFarEnd_;
  DataSpoiler toProgram_;
  std::string command_;             // the program's command being written
  bool programReceives_ = false;    // its last command was AT+FRM: page data comes to it
};

}  // namespace tv
