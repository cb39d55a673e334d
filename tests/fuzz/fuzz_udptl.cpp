// UDPTL datagrams from the network: the input is cut into datagrams (each
// led by a one-byte length) and fed to a receiver. Whatever the bytes, no
// packet is larger than allowed and a refused datagram says why.
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <span>

#include "line/udptl.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tv::UdptlReceiver receiver([](std::uint16_t, const tv::IfpPacket& ifp) {
    if (ifp.size() > tv::kMaxIfpPacket) std::abort();
  });
  const std::span<const std::uint8_t> input(data, size);
  for (std::size_t at = 0; at < input.size();) {
    const std::size_t length = std::min<std::size_t>(input[at], input.size() - at - 1);
    const auto datagram = input.subspan(at + 1, length);
    std::string problem;
    if (!receiver.Take(datagram, &problem) && problem.empty()) std::abort();
    // What decodes encodes back to a datagram that decodes the same.
    if (const auto packet = tv::DecodeUdptl(datagram)) {
      const auto again = tv::DecodeUdptl(tv::EncodeUdptl(*packet));
      if (!again || again->primary != packet->primary || again->secondaries != packet->secondaries) std::abort();
    }
    at += 1 + length;
  }
  receiver.Flush();
  return 0;
}
