// The sender's times, limits and sizes, shared by its phases.
#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace tv::sender {

// Ticks.
inline constexpr std::int32_t kFdtTicks = SecsToTicks(30);  // the answer to AT+FDT
inline constexpr std::int32_t kPageStartTicks = 18;         // Class 2: wait for XON, or send after this
inline constexpr std::int32_t kHangupTicks = 26;            // the answer to ATH
inline constexpr std::int32_t kCancelTicks = 18;            // the modem's answer to a reception given up
// The modem's own no-answer result (S7) comes first when it keeps to it.
inline constexpr std::int32_t kDialGraceTicks = SecsToTicks(2);

// T.30 sends a command three times at most when no answer comes.
inline constexpr int kMaxCommandTries = 3;
// DCS and training without an answer at one rate before the next lower one.
inline constexpr int kTrainingTriesPerRate = 2;
inline constexpr int kMaxPageRetries = 2;  // Class 2: a page the far end refused, sent again

inline constexpr int kOutputSpaceBytes = 4096;
inline constexpr int kFlowTransmit = 1;  // the transmit-side option of SwFlowOn: obey the modem's XOFF
inline constexpr std::uint8_t kXON = 0x11;

}  // namespace tv::sender
