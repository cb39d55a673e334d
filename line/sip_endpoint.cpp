#include "line/sip_endpoint.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <re.h>
#include <spandsp.h>

#include <algorithm>
#include <cstring>

namespace tv {

namespace {

constexpr int kRtpLow = 16384;  // where RTP goes when MediaPorts is empty
constexpr int kRtpHigh = 32767;
constexpr std::uint32_t kRegisterSeconds = 3600;
// The jitter buffer plays from eight packets on (160 ms, which T.30's
// timers bear) and keeps at most fifty: a modem's audio has no gaps to
// spare, so a late packet must find the buffer still playing.
constexpr std::size_t kAudioStartSamples = 8 * SipEndpoint::kAudioSamples;
constexpr std::size_t kAudioMostSamples = 50 * SipEndpoint::kAudioSamples;
constexpr char kContentType[] = "application/sdp";
// Packets waiting behind a gap are handed on once the line has been quiet
// this long: no later datagram will fill the gap.
constexpr std::uint64_t kUdptlQuietMs = 200;

// The address of ours that packets to `host` leave from (127.0.0.1 for a
// host on this computer); empty when the host has no address.
std::string RouteAddress(const std::string& host, std::string& problem) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (const int error = getaddrinfo(host.c_str(), "5060", &hints, &found); error != 0) {
    problem = host + ": " + gai_strerror(error);
    return {};
  }
  std::string address;
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
    char text[INET_ADDRSTRLEN];
    address = inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
  } else {
    problem = host + ": no route to it";
  }
  if (fd >= 0) close(fd);
  freeaddrinfo(found);
  return address;
}

std::string Text(const pl& text) { return std::string(text.p, text.l); }

// Whether a request's offer holds T.38: an image medium with a port (port 0
// declines it).
bool OffersT38(const sip_msg* msg) {
  const std::string_view body(reinterpret_cast<const char*>(mbuf_buf(msg->mb)), mbuf_get_left(msg->mb));
  const auto image = body.find("m=image ");
  return image != std::string_view::npos && body.substr(image + 8, 2) != "0 ";
}

// The reason phrase of a refusal of T.38.
const char* RefusalReason(int status) { return status == 488 ? "Not Acceptable Here" : "Not Acceptable"; }

bool IsMethod(const sip_msg* msg, const char* method) { return pl_strcmp(&msg->met, method) == 0; }

}  // namespace

struct SipEndpoint::Native {
  tmr noAnswer{};
  tmr reap{};
  tmr udptlQuiet{};
  tmr retry{};
  tmr keepAlive{};
  sa registrar{};  // where the registrar's answer came from
  sa remote{};  // where our media go
};

SipEndpoint::SipEndpoint(SipAccount account, std::string password, Handlers handlers)
    : account_(std::move(account)), password_(std::move(password)), handlers_(std::move(handlers)),
      native_(std::make_unique<Native>()) {
  tmr_init(&native_->noAnswer);
  tmr_init(&native_->reap);
  tmr_init(&native_->udptlQuiet);
  tmr_init(&native_->retry);
  tmr_init(&native_->keepAlive);
}

SipEndpoint::~SipEndpoint() {
  tmr_cancel(&native_->noAnswer);
  tmr_cancel(&native_->reap);
  tmr_cancel(&native_->udptlQuiet);
  tmr_cancel(&native_->retry);
  tmr_cancel(&native_->keepAlive);
  mem_deref(call_);  // sends BYE or CANCEL for a call still up
  mem_deref(callRequests_);
  mem_deref(ending_);
  mem_deref(registration_);
  mem_deref(sessions_);
  if (sip_) sip_close(sip_, true);
  mem_deref(sip_);
  mem_deref(rtp_);
  mem_deref(udptl_);
  mem_deref(dns_);
}

void SipEndpoint::Log(const std::string& line) const {
  if (handlers_.log) handlers_.log(line);
}

bool SipEndpoint::Start(std::string& problem) {
  localIp_ = RouteAddress(account_.Host(), problem);
  if (localIp_.empty()) return false;
  sa local{};
  sa_set_str(&local, localIp_.c_str(), static_cast<std::uint16_t>(account_.localPort));

  sa servers[4];
  std::uint32_t serverCount = 4;
  char domain[64] = "";
  if (dns_srv_get(domain, sizeof domain, servers, &serverCount) != 0) serverCount = 0;
  if (int error = dnsc_alloc(&dns_, nullptr, servers, serverCount); error != 0) {
    problem = std::string("DNS client: ") + std::strerror(error);
    return false;
  }
  if (int error = sip_alloc(&sip_, dns_, 32, 32, 32, "Tessivane", nullptr, this); error != 0) {
    problem = std::string("SIP stack: ") + std::strerror(error);
    return false;
  }
  if (int error = sip_transp_add(sip_, SIP_TRANSP_UDP, &local); error != 0) {
    problem = "SIP port " + localIp_ + ":" + std::to_string(account_.localPort) + ": " + std::strerror(error);
    return false;
  }
  sip_set_trace_handler(sip_, [](bool sent, sip_transp, const sa*, const sa*, const std::uint8_t* bytes,
                                 std::size_t length, void* arg) {
    if (!sent) static_cast<SipEndpoint*>(arg)->SeeMessage(bytes, length);
  });
  // Ahead of libre's sessions, which answer UPDATE with 501.
  if (int error = sip_listen(&callRequests_, sip_, true, &OnCallRequest, this); error != 0) {
    problem = std::string("SIP listener: ") + std::strerror(error);
    return false;
  }
  if (int error = sipsess_listen(&sessions_, sip_, 32, &OnIncoming, this); error != 0) {
    problem = std::string("SIP sessions: ") + std::strerror(error);
    return false;
  }
  if (!BindMedia(localIp_, problem)) return false;
  if (account_.registers && !Register(problem)) return false;
  Log("SIP on " + localIp_ + ":" + std::to_string(SipPort()) + " as " + account_.Uri());
  return true;
}

bool SipEndpoint::Register(std::string& problem) {
  const std::string registrar = "sip:" + (account_.registrar.empty() ? account_.domain : account_.registrar);
  const std::string uri = account_.Uri();
  const std::string route = "sip:" + account_.proxy + ";lr";
  const char* routes[] = {route.c_str()};
  registration_ = static_cast<sipreg*>(mem_deref(registration_));
  if (int error = sipreg_register(&registration_, sip_, registrar.c_str(), uri.c_str(), nullptr, uri.c_str(),
                                  kRegisterSeconds, account_.user.c_str(), routes, account_.proxy.empty() ? 0 : 1, 0,
                                  &OnAuth, this, false, &OnRegistered, this, nullptr, nullptr);
      error != 0) {
    problem = "REGISTER to " + registrar + ": " + std::strerror(error);
    return false;
  }
  return true;
}

std::uint16_t SipEndpoint::SipPort() const {
  sa local{};
  if (!sip_ || sip_transp_laddr(sip_, &local, SIP_TRANSP_UDP, nullptr) != 0) return 0;
  return sa_port(&local);
}

bool SipEndpoint::BindMedia(const std::string& localIp, std::string& problem) {
  sa local{};
  sa_set_str(&local, localIp.c_str(), 0);
  const int low = account_.mediaLow ? account_.mediaLow : kRtpLow;
  const int high = account_.mediaLow ? account_.mediaHigh : kRtpHigh;
  if (int error = rtp_listen(&rtp_, IPPROTO_UDP, &local, static_cast<std::uint16_t>(low),
                             static_cast<std::uint16_t>(high - 2), false, &OnRtp, nullptr, this);
      error != 0) {
    problem = "RTP port: " + std::string(std::strerror(error));
    return false;
  }
  const std::uint16_t rtpPort = sa_port(rtp_local(rtp_));
  // UDPTL goes beside RTP (its RTCP port is left free).
  sa_set_port(&local, account_.mediaLow ? static_cast<std::uint16_t>(rtpPort + 2) : 0);
  if (int error = udp_listen(&udptl_, &local, &OnUdptl, this); error != 0) {
    problem = "UDPTL port: " + std::string(std::strerror(error));
    return false;
  }
  sa bound{};
  udp_local_get(udptl_, &bound);

  description_ = std::make_unique<SipDescription>(local, rtpPort, account_.t38 ? sa_port(&bound) : 0);
  return true;
}

// ------------------------------------------------------------ calls

bool SipEndpoint::Call(const std::string& number) {
  if (state_ != CallState::kIdle || !sessions_) return false;
  return Invite(number, description_->HasT38() && !t38Later_);
}

bool SipEndpoint::Invite(const std::string& number, bool withT38) {
  const std::string to = account_.CallUri(number);
  const std::string from = account_.Uri();
  const std::string route = "sip:" + account_.proxy + ";lr";
  const char* routes[] = {route.c_str()};
  mbuf* offer = Describe(true, withT38, true);
  const int error =
      sipsess_connect(&call_, sessions_, to.c_str(), nullptr, from.c_str(), ContactUser().c_str(), routes,
                      account_.proxy.empty() ? 0 : 1, kContentType, offer, &OnAuth, this, false, &OnOffer,
                      &OnAnswer, nullptr, &OnEstablished, nullptr, nullptr, &OnClosed, this, nullptr);
  mem_deref(offer);
  if (error != 0) {
    Log("INVITE " + to + ": " + std::strerror(error));
    return false;
  }
  Log("INVITE " + to + (withT38 ? "" : " (G.711 alone)"));
  number_ = number;
  invitedWithT38_ = withT38;
  state_ = CallState::kCalling;
  tmr_start(&native_->noAnswer, kNoAnswerMs, &OnNoAnswer, this);
  return true;
}

bool SipEndpoint::Answer() {
  if (state_ != CallState::kRinging) return false;
  mbuf* answer = Describe(offered_ != SipMedium::kT38, offered_ == SipMedium::kT38, false);
  const int error = sipsess_answer(call_, 200, "OK", answer, nullptr);
  mem_deref(answer);
  if (error != 0) {
    Log(std::string("answering: ") + std::strerror(error));
    return false;
  }
  state_ = CallState::kUp;
  UseMedium(offered_);
  return true;
}

void SipEndpoint::HangUp() {
  tmr_cancel(&native_->noAnswer);
  tmr_cancel(&native_->retry);
  if (call_) Log(state_ == CallState::kUp ? "BYE" : state_ == CallState::kCalling ? "CANCEL" : "refused");
  if (state_ == CallState::kRinging) sipsess_reject(call_, 486, "Busy Here", nullptr);
  call_ = static_cast<sipsess*>(mem_deref(call_));
  state_ = CallState::kIdle;
  UseMedium(SipMedium::kNone);
}

void SipEndpoint::OfferT38() {
  if (state_ != CallState::kUp || !description_->HasT38() || medium_ == SipMedium::kT38) return;
  awaitingT38_ = true;
  Reinvite(false, true, "re-INVITE to T.38");
}

void SipEndpoint::Refresh(bool byUpdate) {
  if (state_ != CallState::kUp) return;
  const bool t38 = medium_ == SipMedium::kT38;
  if (!byUpdate) {
    Reinvite(!t38, t38, "re-INVITE to refresh the session");
    return;
  }
  mbuf* offer = Describe(!t38, t38, true);
  const int error = sip_drequestf(nullptr, sip_, true, "UPDATE", sipsess_dialog(call_), 0, nullptr, nullptr,
                                  &OnUpdateAnswer, this,
                                  "Contact: <%s>\r\nContent-Type: %s\r\nContent-Length: %zu\r\n\r\n%b",
                                  ContactUri().c_str(), kContentType, mbuf_get_left(offer), mbuf_buf(offer),
                                  mbuf_get_left(offer));
  mem_deref(offer);
  Log(error ? std::string("UPDATE to refresh the session: ") + std::strerror(error)
            : "UPDATE to refresh the session");
}

std::string SipEndpoint::ContactUri() const {
  return "sip:" + account_.user + "@" +
         (publicAddress_.empty() ? localIp_ + ":" + std::to_string(SipPort()) : publicAddress_);
}

std::string SipEndpoint::ContactUser() const { return publicAddress_.empty() ? account_.user : ContactUri(); }

void SipEndpoint::Reinvite(bool audio, bool t38, const char* what) {
  mbuf* offer = Describe(audio, t38, true);
  const int error = sipsess_modify(call_, offer);
  mem_deref(offer);
  Log(error ? std::string(what) + ": " + std::strerror(error) : std::string(what));
}

void SipEndpoint::EndCall(const SipCallEnd& end) {
  tmr_cancel(&native_->noAnswer);
  awaitingT38_ = false;
  ending_ = static_cast<sipsess*>(mem_deref(ending_));
  ending_ = call_;
  call_ = nullptr;
  tmr_start(&native_->reap, 0, &OnReap, this);
  state_ = CallState::kIdle;
  UseMedium(SipMedium::kNone);
  if (handlers_.ended) handlers_.ended(end);
}

void SipEndpoint::OnRetry(void* arg) {
  auto* self = static_cast<SipEndpoint*>(arg);
  if (!self->Invite(self->number_, false) && self->handlers_.ended) {
    self->handlers_.ended({488, "the far end refused our offer"});
  }
}

void SipEndpoint::OnReap(void* arg) {
  auto* self = static_cast<SipEndpoint*>(arg);
  self->ending_ = static_cast<sipsess*>(mem_deref(self->ending_));
}

void SipEndpoint::OnNoAnswer(void* arg) {
  auto* self = static_cast<SipEndpoint*>(arg);
  self->Log("no answer");
  self->call_ = static_cast<sipsess*>(mem_deref(self->call_));  // CANCEL
  self->EndCall({408, "no answer"});
}

// ------------------------------------------------------------ descriptions

mbuf* SipEndpoint::Describe(bool audio, bool t38, bool offer) { return description_->Write(audio, t38, offer); }

SipMedium SipEndpoint::TakeDescription(mbuf* description, bool offer, bool audioFirst) {
  std::string problem;
  const SipMedium medium = description_->Read(description, offer, audioFirst, problem);
  if (!problem.empty()) Log(problem);
  return medium;
}

void SipEndpoint::UseMedium(SipMedium medium) {
  const bool changed = medium != medium_;
  if (medium != SipMedium::kNone) sa_cpy(&native_->remote, description_->RemoteAddress(medium));
  if (!changed) return;
  medium_ = medium;
  udptlOut_.reset();
  udptlIn_.reset();
  tmr_cancel(&native_->udptlQuiet);
  if (medium == SipMedium::kT38) {
    udptlOut_ = std::make_unique<UdptlSender>(account_.redundancy);
    udptlIn_ = std::make_unique<UdptlReceiver>([this](std::uint16_t sequence, const IfpPacket& ifp) {
      if (handlers_.ifp) handlers_.ifp(sequence, ifp);
    });
  }
  badDatagrams_ = sequenceJumps_ = wrongPayloads_ = 0;
  audioIn_.clear();
  audioPlaying_ = false;
  rtpFirst_ = true;
  if (medium != SipMedium::kNone) {
    char address[64];
    sa_ntop(&native_->remote, address, sizeof address);
    Log(std::string("medium ") + SipMediumName(medium) + " to " + address + ":" +
        std::to_string(sa_port(&native_->remote)));
  }
}

// ------------------------------------------------------------ libre's handlers

void SipEndpoint::OnIncoming(const sip_msg* msg, void* arg) {
  auto* self = static_cast<SipEndpoint*>(arg);
  const std::string from = Text(msg->from.auri);
  if (self->state_ != CallState::kIdle) {
    self->Log("INVITE from " + from + " while a call is up: 486");
    sip_treply(nullptr, self->sip_, msg, 486, "Busy Here");
    return;
  }
  if (self->t38Refusal_ && !self->description_->HasT38() && OffersT38(msg)) {
    self->Log("INVITE from " + from + " offers T.38, which we lack: " + std::to_string(self->t38Refusal_));
    sip_treply(nullptr, self->sip_, msg, static_cast<std::uint16_t>(self->t38Refusal_),
               RefusalReason(self->t38Refusal_));
    return;
  }
  const SipMedium medium = self->TakeDescription(msg->mb, true, self->t38Later_);
  if (medium == SipMedium::kNone) {
    self->Log("INVITE from " + from + " offers no medium of ours: 488");
    sip_treply(nullptr, self->sip_, msg, 488, "Not Acceptable Here");
    return;
  }
  const int error = sipsess_accept(&self->call_, self->sessions_, msg, 180, "Ringing", self->ContactUser().c_str(),
                                   kContentType, nullptr, &OnAuth, self, false, &OnOffer, &OnAnswer,
                                   &OnEstablished, nullptr, nullptr, &OnClosed, self, nullptr);
  if (error != 0) {
    self->Log(std::string("INVITE from " + from + ": ") + std::strerror(error));
    return;
  }
  self->Log("INVITE from " + from);
  self->offered_ = medium;
  self->state_ = CallState::kRinging;
  if (self->handlers_.ringing) self->handlers_.ringing();
}

// A re-INVITE: its offer is taken when it leaves us a medium, else refused
// (libre answers 488 to an error) and the call goes on unchanged.
int SipEndpoint::OnOffer(mbuf** description, const sip_msg* msg, void* arg) {
  auto* self = static_cast<SipEndpoint*>(arg);
  if (mbuf_get_left(msg->mb) == 0) {  // a refresh without an offer: ours, unchanged
    *description = self->Describe(self->medium_ != SipMedium::kT38, self->medium_ == SipMedium::kT38, true);
    return 0;
  }
  return self->TakeOffer(msg, "re-INVITE", description) ? 0 : EPROTO;
}

bool SipEndpoint::TakeOffer(const sip_msg* msg, const char* request, mbuf** answer) {
  const SipMedium medium = TakeDescription(msg->mb, true);
  if (medium == SipMedium::kNone) {
    Log(std::string(request) + " offers no medium of ours: 488");
    return false;
  }
  *answer = Describe(medium != SipMedium::kT38, medium == SipMedium::kT38, false);
  const bool changed = medium != medium_;
  if (!changed) Log(std::string(request) + ": the call stays on " + SipMediumName(medium));  // a session refresh
  UseMedium(medium);  // the media go on untouched when it stays
  if (changed && handlers_.mediumChanged) handlers_.mediumChanged(medium);
  return true;
}

bool SipEndpoint::OnCallRequest(const sip_msg* msg, void* arg) {
  auto* self = static_cast<SipEndpoint*>(arg);
  if (!self->call_ || self->state_ != CallState::kUp || !sip_dialog_cmp(sipsess_dialog(self->call_), msg)) {
    return false;
  }
  if (IsMethod(msg, "INVITE")) {
    if (!self->t38Refusal_ || self->description_->HasT38() || !OffersT38(msg)) return false;
    self->Log("re-INVITE offers T.38, which we lack: " + std::to_string(self->t38Refusal_));
    sip_treply(nullptr, self->sip_, msg, static_cast<std::uint16_t>(self->t38Refusal_),
               RefusalReason(self->t38Refusal_));
    return true;
  }
  if (!IsMethod(msg, "UPDATE")) return false;
  if (!sip_dialog_rseq_valid(sipsess_dialog(self->call_), msg)) {
    sip_reply(self->sip_, msg, 500, "Request Out Of Order");
    return true;
  }
  mbuf* answer = nullptr;
  if (mbuf_get_left(msg->mb) > 0 && !self->TakeOffer(msg, "UPDATE", &answer)) {
    sip_reply(self->sip_, msg, 488, "Not Acceptable Here");
    return true;
  }
  if (answer) {
    sip_treplyf(nullptr, nullptr, self->sip_, msg, true, 200, "OK",
                "Contact: <%s>\r\nContent-Type: %s\r\nContent-Length: %zu\r\n\r\n%b", self->ContactUri().c_str(),
                kContentType, mbuf_get_left(answer), mbuf_buf(answer), mbuf_get_left(answer));
  } else {
    sip_treplyf(nullptr, nullptr, self->sip_, msg, true, 200, "OK", "Contact: <%s>\r\nContent-Length: 0\r\n\r\n",
                self->ContactUri().c_str());
  }
  mem_deref(answer);
  return true;
}

void SipEndpoint::OnUpdateAnswer(int error, const sip_msg* msg, void* arg) {
  auto* self = static_cast<SipEndpoint*>(arg);
  if (error != 0 || !msg) {
    self->Log(std::string("UPDATE: ") + std::strerror(error));
  } else if (msg->scode >= 200) {
    self->Log("UPDATE: " + std::to_string(msg->scode) + " " + Text(msg->reason));
  }
}

// A final refusal of our re-INVITE to T.38 (488, 606) leaves the call as it
// was, on G.711; libre retries after a 491 itself.
void SipEndpoint::SeeMessage(const std::uint8_t* bytes, std::size_t length) {
  constexpr std::string_view kResponse = "SIP/2.0 ";
  if (!awaitingT38_ || !call_ || length <= kResponse.size() ||
      std::string_view(reinterpret_cast<const char*>(bytes), kResponse.size()) != kResponse) {
    return;
  }
  mbuf* copy = mbuf_alloc(length);
  mbuf_write_mem(copy, bytes, length);
  copy->pos = 0;
  sip_msg* msg = nullptr;
  const bool refused = sip_msg_decode(&msg, copy) == 0 && pl_strcmp(&msg->cseq.met, "INVITE") == 0 &&
                       pl_strcmp(&msg->callid, sip_dialog_callid(sipsess_dialog(call_))) == 0 && msg->scode >= 300 &&
                       msg->scode != 401 && msg->scode != 407 && msg->scode != 491;
  if (refused) {
    awaitingT38_ = false;
    Log(std::to_string(msg->scode) + " " + Text(msg->reason) + " to our re-INVITE to T.38: the fax goes on over " +
        SipMediumName(medium_));
  }
  mem_deref(copy);
  mem_deref(msg);
}

int SipEndpoint::OnAnswer(const sip_msg* msg, void* arg) {
  auto* self = static_cast<SipEndpoint*>(arg);
  const SipMedium medium = self->TakeDescription(msg->mb, false);
  if (self->state_ == CallState::kUp) {  // the answer to our re-INVITE
    self->awaitingT38_ = false;
    if (medium != SipMedium::kNone && medium != self->medium_) {
      self->UseMedium(medium);
      if (self->handlers_.mediumChanged) self->handlers_.mediumChanged(medium);
    }
    return 0;
  }
  self->offered_ = medium;
  return 0;
}

void SipEndpoint::OnEstablished(const sip_msg*, void* arg) {
  auto* self = static_cast<SipEndpoint*>(arg);
  if (self->state_ != CallState::kCalling) return;
  tmr_cancel(&self->native_->noAnswer);
  if (self->offered_ == SipMedium::kNone) {
    self->Log("the answer has no medium of ours");
    self->EndCall({488, "no medium in common"});  // BYE
    return;
  }
  self->Log("answered");
  self->state_ = CallState::kUp;
  self->UseMedium(self->offered_);
  if (self->handlers_.answered) self->handlers_.answered();
}

void SipEndpoint::OnClosed(int error, const sip_msg* msg, void* arg) {
  auto* self = static_cast<SipEndpoint*>(arg);
  if (self->state_ == CallState::kCalling && msg && msg->scode == 488 && self->invitedWithT38_) {
    self->Log("488 to our offer with T.38: calling again with G.711 alone");
    self->ending_ = static_cast<sipsess*>(mem_deref(self->ending_));
    self->ending_ = self->call_;
    self->call_ = nullptr;
    tmr_start(&self->native_->reap, 0, &OnReap, self);
    tmr_start(&self->native_->retry, 0, &OnRetry, self);
    return;
  }
  SipCallEnd end;
  if (msg && msg->scode >= 300) {
    end = {msg->scode, std::to_string(msg->scode) + " " + Text(msg->reason)};
  } else if (error == ECONNRESET || error == 0) {
    end.text = "the far end hung up";
  } else {
    end.text = std::strerror(error);
  }
  self->Log("call ended: " + end.text);
  self->EndCall(end);
}

int SipEndpoint::OnAuth(char** user, char** password, const char* realm, void* arg) {
  auto* self = static_cast<SipEndpoint*>(arg);
  if (self->password_.empty()) {
    self->Log(std::string("no password for ") + realm);
    return EAUTH;
  }
  const int error = str_dup(user, self->account_.user.c_str());
  return error ? error : str_dup(password, self->password_.c_str());
}

void SipEndpoint::OnRegistered(int error, const sip_msg* msg, void* arg) {
  auto* self = static_cast<SipEndpoint*>(arg);
  const int status = error == 0 && msg ? msg->scode : 0;
  const std::string text = status ? std::to_string(status) + " " + Text(msg->reason) : std::strerror(error);
  self->Log("REGISTER: " + text);
  if (status >= 200 && status < 300) {
    self->LearnPublicAddress(msg);
    const bool first = !sa_isset(&self->native_->registrar, SA_ALL);
    sa_cpy(&self->native_->registrar, &msg->src);
    if (first && self->account_.keepAliveSeconds > 0) {
      self->Log("keep-alive (CRLF) to the registrar every " + std::to_string(self->account_.keepAliveSeconds) + " s");
      tmr_start(&self->native_->keepAlive, self->account_.keepAliveSeconds * 1000ULL, &OnKeepAlive, self);
    }
  }
  if (self->handlers_.registered) self->handlers_.registered(status, text);
}

void SipEndpoint::LearnPublicAddress(const sip_msg* answer) {
  pl received{};
  pl rport{};
  if (msg_param_decode(&answer->via.params, "received", &received) != 0) return;
  const std::string port = msg_param_decode(&answer->via.params, "rport", &rport) == 0 && rport.l > 0
                               ? Text(rport)
                               : std::to_string(SipPort());
  const std::string address = Text(received) + ":" + port;
  sa media{};
  if (sa_set_str(&media, Text(received).c_str(), 0) != 0) {
    Log("the registrar's received= is no address: " + Text(received));
    return;
  }
  if (address == localIp_ + ":" + std::to_string(SipPort()) || address == publicAddress_) return;
  publicAddress_ = address;
  description_->SetAddress(media);
  Log("public address " + address + " (the registrar's answer): the Contact of our calls and our SDP take it");
}

// A CRLF keeps the NAT binding of our SIP port open between REGISTERs.
void SipEndpoint::OnKeepAlive(void* arg) {
  auto* self = static_cast<SipEndpoint*>(arg);
  mbuf* crlf = mbuf_alloc(4);
  mbuf_write_str(crlf, "\r\n\r\n");
  crlf->pos = 0;
  sip_send(self->sip_, nullptr, SIP_TRANSP_UDP, &self->native_->registrar, crlf);
  mem_deref(crlf);
  tmr_start(&self->native_->keepAlive, self->account_.keepAliveSeconds * 1000ULL, &OnKeepAlive, self);
}

void SipEndpoint::OnUdptl(const sa* source, mbuf* datagram, void* arg) {
  auto* self = static_cast<SipEndpoint*>(arg);
  if (!self->udptlIn_ || !sa_cmp(source, &self->native_->remote, SA_ADDR) || self->Lose()) return;
  tmr_start(&self->native_->udptlQuiet, kUdptlQuietMs, &OnUdptlQuiet, self);
  // A malformed datagram, or a sequence number far off the stream's: the
  // first of each in a call is logged.
  std::string problem;
  const bool taken = self->udptlIn_->Take({mbuf_buf(datagram), mbuf_get_left(datagram)}, &problem);
  if (!problem.empty() && (taken ? self->sequenceJumps_ : self->badDatagrams_)++ == 0) {
    self->Log(std::string(taken ? "UDPTL: " : "UDPTL datagram dropped: ") + problem);
  }
}

void SipEndpoint::OnUdptlQuiet(void* arg) {
  auto* self = static_cast<SipEndpoint*>(arg);
  if (self->udptlIn_) self->udptlIn_->Flush();
}

// Audio counts while the call is on G.711, in the payload type agreed;
// after a move to T.38 the far end's last packets are let go unsaid.
void SipEndpoint::OnRtp(const sa*, const rtp_header* header, mbuf* payload, void* arg) {
  auto* self = static_cast<SipEndpoint*>(arg);
  const bool ulaw = self->medium_ == SipMedium::kPcmu;
  if (!ulaw && self->medium_ != SipMedium::kPcma) return;
  if (header->pt != (ulaw ? kPayloadPcmu : kPayloadPcma)) {
    if (self->wrongPayloads_++ == 0) self->Log("RTP with payload type " + std::to_string(header->pt) + " dropped");
    return;
  }
  for (const std::uint8_t* p = mbuf_buf(payload); p < mbuf_buf(payload) + mbuf_get_left(payload); ++p) {
    self->audioIn_.push_back(ulaw ? ulaw_to_linear(*p) : alaw_to_linear(*p));
  }
  while (self->audioIn_.size() > kAudioMostSamples) self->audioIn_.pop_front();
}

// ------------------------------------------------------------ media

void SipEndpoint::SendIfp(const std::uint8_t* bytes, int length, int copies) {
  if (!udptlOut_) return;
  const std::vector<std::uint8_t> datagram = udptlOut_->Datagram(IfpPacket(bytes, bytes + length));
  for (int copy = 0; copy < std::max(copies, 1); ++copy) {
    if (Lose()) continue;
    mbuf* buffer = mbuf_alloc(datagram.size());
    mbuf_write_mem(buffer, datagram.data(), datagram.size());
    buffer->pos = 0;
    udp_send(udptl_, &native_->remote, buffer);
    mem_deref(buffer);
  }
}

void SipEndpoint::SimulateLoss(double share, unsigned seed) {
  lossShare_ = share;
  lossState_ = seed;
}

// A generator of its own (xorshift), so that a seed gives the same losses
// on every machine.
bool SipEndpoint::Lose() {
  if (lossShare_ <= 0) return false;
  lossState_ ^= lossState_ << 13;
  lossState_ ^= lossState_ >> 17;
  lossState_ ^= lossState_ << 5;
  return lossState_ < lossShare_ * 4294967296.0;
}

void SipEndpoint::SendAudio(const std::int16_t* samples) {
  if (medium_ != SipMedium::kPcmu && medium_ != SipMedium::kPcma) return;
  mbuf* buffer = mbuf_alloc(RTP_HEADER_SIZE + kAudioSamples);
  buffer->pos = buffer->end = RTP_HEADER_SIZE;
  const bool ulaw = medium_ == SipMedium::kPcmu;
  for (int i = 0; i < kAudioSamples; ++i) {
    mbuf_write_u8(buffer, ulaw ? linear_to_ulaw(samples[i]) : linear_to_alaw(samples[i]));
  }
  buffer->pos = RTP_HEADER_SIZE;
  rtp_send(rtp_, &native_->remote, false, rtpFirst_, ulaw ? kPayloadPcmu : kPayloadPcma, rtpTimestamp_, buffer);
  rtpTimestamp_ += kAudioSamples;
  rtpFirst_ = false;
  mem_deref(buffer);
}

void SipEndpoint::TakeAudio(std::int16_t* samples) {
  if (!audioPlaying_ && audioIn_.size() >= kAudioStartSamples) audioPlaying_ = true;
  if (!audioPlaying_ || audioIn_.size() < static_cast<std::size_t>(kAudioSamples)) {
    audioPlaying_ = false;  // ran dry: fill up again before playing on
    std::fill(samples, samples + kAudioSamples, 0);
    return;
  }
  std::copy_n(audioIn_.begin(), kAudioSamples, samples);
  audioIn_.erase(audioIn_.begin(), audioIn_.begin() + kAudioSamples);
}

}  // namespace tv
