#include "line/sip_sdp.h"

#include <re.h>

#include <cstring>

#include "line/udptl.h"

namespace tv {

const char* SipMediumName(SipMedium medium) {
  switch (medium) {
    case SipMedium::kT38: return "T.38";
    case SipMedium::kPcmu:
    case SipMedium::kPcma: return "G.711";
    case SipMedium::kNone: break;
  }
  return "none";
}

SipDescription::SipDescription(const sa& local, std::uint16_t rtpPort, std::uint16_t udptlPort) {
  sdp_session_alloc(&session_, &local);
  sdp_media_add(&audio_, session_, "audio", rtpPort, "RTP/AVP");
  sdp_format_add(nullptr, audio_, false, "0", "PCMU", 8000, 1, nullptr, nullptr, nullptr, false, nullptr);
  sdp_format_add(nullptr, audio_, false, "8", "PCMA", 8000, 1, nullptr, nullptr, nullptr, false, nullptr);
  if (udptlPort == 0) return;
  sdp_media_add(&image_, session_, "image", udptlPort, "udptl");
  sdp_format_add(nullptr, image_, false, "t38", nullptr, 0, 0, nullptr, nullptr, nullptr, false, nullptr);
  sdp_media_set_lattr(image_, true, "T38FaxVersion", "0");
  sdp_media_set_lattr(image_, true, "T38MaxBitRate", "14400");
  sdp_media_set_lattr(image_, true, "T38FaxRateManagement", "transferredTCF");
  sdp_media_set_lattr(image_, true, "T38FaxMaxBuffer", "%zu", kMaxIfpPacket);
  sdp_media_set_lattr(image_, true, "T38FaxMaxDatagram", "%zu", kMaxUdptlDatagram);
  sdp_media_set_lattr(image_, true, "T38FaxUdpEC", "t38UDPRedundancy");
}

SipDescription::~SipDescription() { mem_deref(session_); }

void SipDescription::SetAddress(const sa& address) { sdp_session_set_laddr(session_, &address); }

mbuf* SipDescription::Write(bool audio, bool t38, bool offer) {
  sdp_media_set_disabled(audio_, !audio);
  if (image_) sdp_media_set_disabled(image_, !t38);
  mbuf* description = nullptr;
  sdp_encode(&description, session_, offer);
  return description;
}

SipMedium SipDescription::Read(mbuf* description, bool offer, bool audioFirst, std::string& problem) {
  if (image_) sdp_media_set_disabled(image_, false);
  sdp_media_set_disabled(audio_, false);
  if (const int error = sdp_decode(session_, description, offer); error != 0) {
    problem = std::string("unreadable SDP: ") + std::strerror(error);
    return SipMedium::kNone;
  }
  const bool t38 = image_ && sdp_media_rformat(image_, nullptr);
  if (t38 && !audioFirst) return SipMedium::kT38;
  if (const sdp_format* format = sdp_media_rformat(audio_, nullptr)) {
    return format->pt == kPayloadPcma ? SipMedium::kPcma : SipMedium::kPcmu;
  }
  return t38 ? SipMedium::kT38 : SipMedium::kNone;
}

const sa* SipDescription::RemoteAddress(SipMedium medium) const {
  return sdp_media_raddr(medium == SipMedium::kT38 ? image_ : audio_);
}

}  // namespace tv
