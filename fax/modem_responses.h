// What a fax modem says, as both state machines read it: response lines and
// Class 1 frames, and the answer to AT+FRH=3 as T.31 gives it.
#pragma once

#include <cstdint>
#include <string>

#include "fax/class1_frames.h"

namespace tv {

// Turns received bytes into response lines and frames. A line ends at LF
// (CR and other control characters are dropped; empty lines are skipped; the
// last 128 characters are kept). A frame starts with its address byte 0xFF
// and ends with DLE ETX; inside it CR and LF are data, DLE DLE is one DLE and
// DLE SUB two.
class ResponseCollector {
 public:
  enum class Got { kNothing, kLine, kFrame };

  // Reads what the port has until a line or a frame is complete, and returns
  // it in text; kNothing when the port ran dry first.
  Got Next(int port, std::string& text);
  // Forgets a partly read line or frame.
  void Clear();

 private:
  std::string buffer_;
  DleDecoder dle_;
};

// The answer to AT+FRH=3. The modem says CONNECT when it hears a frame
// start, passes the frame on, and then says OK when its check sequence was
// right and ERROR when it was not; a frame counts only once its OK has come,
// so a damaged one never acts. NO CARRIER means no frame came; a bare OK
// answers a reception given up.
class FrameReception {
 public:
  enum class Result {
    kWaiting,    // nothing decided yet: read on
    kFrame,      // a frame with a good check sequence (see frame)
    kBadFrame,   // a frame with a bad one: ask for it again
    kNoCarrier,  // no frame came
    kEnded,      // OK without a frame: the reception was given up
    kOther,      // any other line, for the state to judge
  };

  // Called when AT+FRH=3 goes out.
  void Start();
  Result Take(ResponseCollector::Got got, const std::string& text);
  // CONNECT has come and the frame's result not yet.
  bool Arriving() const { return arriving_; }
  const ReceivedFrame& Frame() const { return frame_; }

 private:
  bool arriving_ = false;
  bool framePending_ = false;
  ReceivedFrame frame_;
};

}  // namespace tv
