// The session description of a fax call: ours, offering G.711 (PCMU, PCMA)
// in RTP and, when T.38 is on, T.38 in UDPTL; and which of them the far
// end's description leaves us. libre reads and writes the SDP text.
#pragma once

#include <cstdint>
#include <string>

struct sa;
struct mbuf;
struct sdp_session;
struct sdp_media;

namespace tv {

enum class SipMedium { kNone, kT38, kPcmu, kPcma };
const char* SipMediumName(SipMedium medium);  // "T.38", "G.711"

inline constexpr std::uint8_t kPayloadPcmu = 0;
inline constexpr std::uint8_t kPayloadPcma = 8;

// Our media in one description, released with the object.
class SipDescription {
 public:
  // Media at `local` (its port unused): audio on rtpPort, T.38 on udptlPort
  // when udptlPort is not 0.
  SipDescription(const sa& local, std::uint16_t rtpPort, std::uint16_t udptlPort);
  ~SipDescription();
  SipDescription(const SipDescription&) = delete;
  SipDescription& operator=(const SipDescription&) = delete;

  bool HasT38() const { return image_ != nullptr; }
  // The address our media are at for the far end (the public one behind NAT).
  void SetAddress(const sa& address);
  // Our description (an offer, or an answer) with G.711, T.38 or both.
  mbuf* Write(bool audio, bool t38, bool offer);
  // Reads the far end's description and picks the medium it allows, T.38
  // before G.711 unless `audioFirst`; kNone, with `problem` when the text
  // is unreadable, when it allows none of ours.
  SipMedium Read(mbuf* description, bool offer, bool audioFirst, std::string& problem);
  // Where the far end wants a medium (valid after Read).
  const sa* RemoteAddress(SipMedium medium) const;

 private:
  sdp_session* session_ = nullptr;
  sdp_media* audio_ = nullptr;
  sdp_media* image_ = nullptr;
};

}  // namespace tv
