// Session descriptions from the network: the input is a far end's SDP, read
// as an offer and as an answer against ours (G.711 and T.38). Whatever the
// text, reading it picks one of our media or none, an unreadable one says
// why, and the answer written after an offer is a description again.
#include <re.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "line/sip_sdp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sa local{};
  sa_set_str(&local, "127.0.0.1", 0);
  for (const bool offer : {true, false}) {
    tv::SipDescription ours(local, 4000, 4002);
    mbuf* input = mbuf_alloc(size + 1);
    mbuf_write_mem(input, data, size);
    input->pos = 0;
    std::string problem;
    const tv::SipMedium medium = ours.Read(input, offer, false, problem);
    mem_deref(input);
    if (!problem.empty() && medium != tv::SipMedium::kNone) std::abort();
    if (medium == tv::SipMedium::kNone) continue;
    if (!ours.RemoteAddress(medium)) std::abort();
    mbuf* answer = ours.Write(medium != tv::SipMedium::kT38, medium == tv::SipMedium::kT38, !offer);
    if (!answer || mbuf_get_left(answer) == 0) std::abort();
    mem_deref(answer);
  }
  return 0;
}
