// One end of fax calls over SIP: signalling, the offer and answer of media,
// and the media themselves (T.38 in UDPTL datagrams, G.711 in RTP packets).
// The SIP line puts a Class 1 modem behind it, the tests' far end a fax
// machine. Lives on the thread that runs libre's loop, like all its handlers.
//
// Media: a call offers G.711 (PCMU, PCMA) and, when T.38 is on, T.38 over
// UDPTL; the answer takes T.38 when both sides have it, else G.711. During a
// call either end may offer T.38 again (a re-INVITE): taken when we have it,
// refused with 488 (or 606) when not, and the call goes on as it was. A
// session refresh by re-INVITE or UPDATE on the call's own medium leaves the
// media alone. An offer
// without any medium we have is refused with 488 too. A far end that
// refuses our first offer (G.711 and T.38) with 488 is called again with
// G.711 alone.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "line/sip_account.h"
#include "line/sip_sdp.h"
#include "line/udptl.h"

struct sip;
struct sipsess;
struct sipsess_sock;
struct sipreg;
struct sip_lsnr;
struct sip_msg;
struct udp_sock;
struct rtp_sock;
struct rtp_header;
struct dnsc;
struct mbuf;
struct sa;

namespace tv {

// How a call ended, from our side's view.
struct SipCallEnd {
  int status = 0;  // the SIP status of a refused or failed INVITE; 0 for a hang-up
  std::string text;
  bool Busy() const { return status == 486 || status == 600 || status == 603; }
  bool NoAnswer() const { return status == 408 || status == 480; }
};

class SipEndpoint {
 public:
  struct Handlers {
    std::function<void()> ringing;   // a call came in; Answer takes it
    std::function<void()> answered;  // our call was answered, its medium is set
    std::function<void(const SipCallEnd&)> ended;
    std::function<void(SipMedium)> mediumChanged;  // during a call, by a re-INVITE
    std::function<void(std::uint16_t sequence, const IfpPacket& ifp)> ifp;
    std::function<void(const std::string& line)> log;
    // The registrar's answer: its status (0 when none came) and in words.
    std::function<void(int status, const std::string& text)> registered;
  };

  static constexpr int kAudioSamples = 160;  // 20 ms at 8 kHz in each RTP packet
  // A call nobody answers is given up after this long.
  static constexpr int kNoAnswerMs = 60000;

  SipEndpoint(SipAccount account, std::string password, Handlers handlers);
  ~SipEndpoint();
  SipEndpoint(const SipEndpoint&) = delete;
  SipEndpoint& operator=(const SipEndpoint&) = delete;

  // Binds the SIP port and the media ports on the address that leads to the
  // account's domain, and registers when the account says so; false with
  // `problem` in words.
  bool Start(std::string& problem);
  std::uint16_t SipPort() const;
  // libre's SIP stack, for listening to requests beside the calls.
  struct sip* Stack() const { return sip_; }

  // INVITE sip:NUMBER@DOMAIN; false when a call is up already.
  bool Call(const std::string& number);
  // Takes the call that is ringing; false when none is.
  bool Answer();
  // BYE, CANCEL or a refusal, whichever the call needs; no `ended` follows.
  void HangUp();
  // Moves an answered call to T.38 (a re-INVITE offering T.38 alone). A
  // refusal is logged and the call stays on G.711.
  void OfferT38();
  // Refreshes the session: a re-INVITE (or an UPDATE) offering the medium
  // the call is on.
  void Refresh(bool byUpdate = false);
  // Calls and answers on G.711 only, leaving the move to T.38 to a
  // re-INVITE (as many providers do).
  void SetT38Later(bool later) { t38Later_ = later; }
  // Refuses with `status` (488, 606) an offer that holds T.38 when we have
  // none, rather than answering its G.711 (as some providers do; for
  // tests); 0 answers it.
  void RefuseT38With(int status) { t38Refusal_ = status; }

  bool InCall() const { return state_ != CallState::kIdle; }
  SipMedium Medium() const { return medium_; }

  // One IFP packet in a datagram, sent `copies` times (the same datagram:
  // the far end takes it once). Redundancy recovers a lost datagram from the
  // ones after it, but the last of a burst (a frame's end, an indicator) has
  // none soon after: spandsp asks for copies of those.
  void SendIfp(const std::uint8_t* bytes, int length, int copies = 1);
  // 20 ms of audio each way: what we send, and what came (silence while
  // the jitter buffer fills).
  void SendAudio(const std::int16_t* samples);
  void TakeAudio(std::int16_t* samples);

  // A lossy network, for tests: this share of the UDPTL datagrams each way
  // is dropped, chosen by a generator seeded with `seed`.
  void SimulateLoss(double share, unsigned seed);

 private:
  enum class CallState { kIdle, kCalling, kRinging, kUp };

  static void OnIncoming(const sip_msg* msg, void* arg);
  // Requests within the call that libre's sessions leave to us (UPDATE,
  // and a re-INVITE to T.38 refused with a status of our choice).
  static bool OnCallRequest(const sip_msg* msg, void* arg);
  static void OnUpdateAnswer(int error, const sip_msg* msg, void* arg);
  // Every message that comes in: the only place libre shows the refusal of
  // our re-INVITE.
  void SeeMessage(const std::uint8_t* bytes, std::size_t length);
  static int OnOffer(mbuf** description, const sip_msg* msg, void* arg);
  static int OnAnswer(const sip_msg* msg, void* arg);
  static void OnEstablished(const sip_msg* msg, void* arg);
  static void OnClosed(int error, const sip_msg* msg, void* arg);
  static int OnAuth(char** user, char** password, const char* realm, void* arg);
  static void OnRegistered(int error, const sip_msg* msg, void* arg);
  bool Register(std::string& problem);
  // Behind NAT the registrar sees us at another address, which the Via of
  // its answer gives (received, rport): the Contact of our calls and our
  // SDP take it. (libre writes the REGISTER's own Contact from the local
  // address; the registrar has the public one from the datagram.)
  void LearnPublicAddress(const sip_msg* answer);
  static void OnKeepAlive(void* arg);
  // What libre puts in our Contact: the user at our address, or the whole
  // URI once the public address is known.
  std::string ContactUser() const;
  static void OnUdptl(const sa* source, mbuf* datagram, void* arg);
  static void OnRtp(const sa* source, const rtp_header* header, mbuf* payload, void* arg);
  static void OnNoAnswer(void* arg);
  static void OnReap(void* arg);
  static void OnUdptlQuiet(void* arg);
  bool Lose();

  bool Invite(const std::string& number, bool withT38);
  void Reinvite(bool audio, bool t38, const char* what);
  static void OnRetry(void* arg);
  // A re-INVITE's or UPDATE's offer: the medium it leaves us is taken and
  // our answer set; false when it leaves none.
  bool TakeOffer(const sip_msg* msg, const char* request, mbuf** answer);
  std::string ContactUri() const;
  bool BindMedia(const std::string& localIp, std::string& problem);
  // The far end's description read (see SipDescription::Read), and logged
  // when unreadable.
  SipMedium TakeDescription(mbuf* description, bool offer, bool audioFirst = false);
  mbuf* Describe(bool audio, bool t38, bool offer);
  void UseMedium(SipMedium medium);
  void EndCall(const SipCallEnd& end);
  void Log(const std::string& line) const;

  SipAccount account_;
  std::string password_;
  Handlers handlers_;
  std::string localIp_;
  dnsc* dns_ = nullptr;
  sip* sip_ = nullptr;
  sipsess_sock* sessions_ = nullptr;
  sipsess* call_ = nullptr;
  sipsess* ending_ = nullptr;  // freed on the next turn of the loop, outside libre's handler
  sipreg* registration_ = nullptr;
  std::unique_ptr<SipDescription> description_;
  udp_sock* udptl_ = nullptr;
  struct rtp_sock* rtp_ = nullptr;
  struct Native;  // libre's timers and the far end's media address
  std::unique_ptr<Native> native_;

  bool t38Later_ = false;
  int t38Refusal_ = 0;
  sip_lsnr* callRequests_ = nullptr;
  bool awaitingT38_ = false;
  std::string publicAddress_;  // HOST:PORT the registrar sees us at; empty: ours  // our re-INVITE to T.38 has had no final answer
  std::string number_;         // of the call we placed
  bool invitedWithT38_ = false;  // its offer held T.38
  CallState state_ = CallState::kIdle;
  SipMedium medium_ = SipMedium::kNone;
  SipMedium offered_ = SipMedium::kNone;  // what an incoming call's answer will take
  std::unique_ptr<UdptlSender> udptlOut_;
  std::unique_ptr<UdptlReceiver> udptlIn_;
  std::deque<std::int16_t> audioIn_;
  bool audioPlaying_ = false;
  std::uint32_t rtpTimestamp_ = 0;
  bool rtpFirst_ = true;
  double lossShare_ = 0;
  std::uint32_t lossState_ = 0;
  int wrongPayloads_ = 0;
  int badDatagrams_ = 0;
  int sequenceJumps_ = 0;
};

}  // namespace tv
