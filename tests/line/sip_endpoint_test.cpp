// SIP endpoints calling each other on 127.0.0.1 through libre, on the SIP
// thread as in the program: which medium a call takes, and what an
// endpoint refuses without harm to the call it has.
#include <gtest/gtest.h>

#include <chrono>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "line/sip_endpoint.h"
#include "line/sip_thread.h"

namespace tv {
namespace {

using namespace std::chrono_literals;

// One endpoint and what it saw.
struct Party {
  std::unique_ptr<SipEndpoint> endpoint;
  std::mutex mutex;
  int rings = 0;
  int answers = 0;
  std::vector<SipCallEnd> ends;
  std::vector<SipMedium> changes;
  std::vector<std::string> log;

  int Rings() {
    std::lock_guard lock(mutex);
    return rings;
  }
  int Answers() {
    std::lock_guard lock(mutex);
    return answers;
  }
  std::vector<SipCallEnd> Ends() {
    std::lock_guard lock(mutex);
    return ends;
  }
  // The first line of its log that holds `text`; empty when none does.
  std::string Logged(const std::string& text) {
    std::lock_guard lock(mutex);
    for (const auto& line : log) {
      if (line.find(text) != std::string::npos) return line;
    }
    return {};
  }
  SipMedium Medium() {
    SipMedium medium{};
    RunOnSipThread([&] { medium = endpoint->Medium(); });
    return medium;
  }
};

class SipEndpointTest : public ::testing::Test {
 protected:
  void TearDown() override {
    RunOnSipThread([&] {
      for (auto& party : parties_) party->endpoint.reset();
    });
  }

  // An endpoint whose calls go to `callee` (or nowhere), its account as
  // `adjust` leaves it.
  Party& Make(bool t38, Party* callee = nullptr, const std::function<void(SipAccount&)>& adjust = {}) {
    auto& party = *parties_.emplace_back(std::make_unique<Party>());
    RunOnSipThread([&] {
      SipAccount account;
      account.user = "u" + std::to_string(parties_.size());
      account.domain = "127.0.0.1";
      if (callee) account.domain += ":" + std::to_string(callee->endpoint->SipPort());
      account.registers = false;
      account.localPort = 0;
      account.t38 = t38;
      if (adjust) adjust(account);
      SipEndpoint::Handlers handlers;
      handlers.ringing = [&party] {
        std::lock_guard lock(party.mutex);
        ++party.rings;
      };
      handlers.answered = [&party] {
        std::lock_guard lock(party.mutex);
        ++party.answers;
      };
      handlers.ended = [&party](const SipCallEnd& end) {
        std::lock_guard lock(party.mutex);
        party.ends.push_back(end);
      };
      handlers.mediumChanged = [&party](SipMedium medium) {
        std::lock_guard lock(party.mutex);
        party.changes.push_back(medium);
      };
      handlers.log = [&party](const std::string& line) {
        std::lock_guard lock(party.mutex);
        party.log.push_back(line);
      };
      party.endpoint = std::make_unique<SipEndpoint>(account, std::string(), std::move(handlers));
      std::string problem;
      EXPECT_TRUE(party.endpoint->Start(problem)) << problem;
    });
    return party;
  }

  static bool WaitFor(const std::function<bool()>& condition) {
    for (auto deadline = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < deadline;) {
      if (condition()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return condition();
  }

  // caller calls its callee, which answers.
  static void Connect(Party& caller, Party& callee) {
    bool called = false;
    RunOnSipThread([&] { called = caller.endpoint->Call("fax"); });
    ASSERT_TRUE(called);
    ASSERT_TRUE(WaitFor([&] { return callee.Rings() == 1; }));
    bool answered = false;
    RunOnSipThread([&] { answered = callee.endpoint->Answer(); });
    ASSERT_TRUE(answered);
    ASSERT_TRUE(WaitFor([&] { return caller.Answers() == 1; }));
  }

  std::vector<std::unique_ptr<Party>> parties_;
};

TEST_F(SipEndpointTest, CallsTakeT38WhenBothHaveItAndG711Otherwise) {
  Party& t38Callee = Make(true);
  Party& t38Caller = Make(true, &t38Callee);
  Connect(t38Caller, t38Callee);
  EXPECT_EQ(t38Caller.Medium(), SipMedium::kT38);
  EXPECT_EQ(t38Callee.Medium(), SipMedium::kT38);

  Party& audioCallee = Make(false);
  Party& caller = Make(true, &audioCallee);
  Connect(caller, audioCallee);
  EXPECT_EQ(caller.Medium(), SipMedium::kPcmu);
  EXPECT_EQ(audioCallee.Medium(), SipMedium::kPcmu);
}

TEST_F(SipEndpointTest, RefusalsLeaveTheCallUpAndAHangUpEndsItAtTheOtherEnd) {
  Party& callee = Make(false);
  Party& caller = Make(true, &callee);
  Connect(caller, callee);

  // A second call while one is up: 486, and the first goes on.
  Party& intruder = Make(true, &callee);
  RunOnSipThread([&] { intruder.endpoint->Call("fax"); });
  ASSERT_TRUE(WaitFor([&] { return intruder.Ends().size() == 1; }));
  EXPECT_TRUE(intruder.Ends()[0].Busy()) << intruder.Ends()[0].text;

  // A move to T.38 the callee cannot take: 488, and the call stays on G.711.
  RunOnSipThread([&] { caller.endpoint->OfferT38(); });
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(caller.Medium(), SipMedium::kPcmu);
  EXPECT_EQ(callee.Medium(), SipMedium::kPcmu);
  EXPECT_TRUE(caller.Ends().empty());
  EXPECT_TRUE(callee.Ends().empty());
  EXPECT_EQ(callee.Rings(), 1);

  RunOnSipThread([&] { caller.endpoint->HangUp(); });
  ASSERT_TRUE(WaitFor([&] { return callee.Ends().size() == 1; }));
  EXPECT_EQ(callee.Ends()[0].status, 0);
  EXPECT_EQ(callee.Medium(), SipMedium::kNone);
}

TEST_F(SipEndpointTest, AFarEndThatRefusesT38InTheFirstOfferIsCalledAgainOnG711) {
  Party& strictCallee = Make(false);
  RunOnSipThread([&] { strictCallee.endpoint->RefuseT38With(488); });
  Party& caller = Make(true, &strictCallee);
  Connect(caller, strictCallee);
  EXPECT_EQ(caller.Medium(), SipMedium::kPcmu);
  EXPECT_EQ(strictCallee.Medium(), SipMedium::kPcmu);
  EXPECT_TRUE(caller.Ends().empty());
}

TEST_F(SipEndpointTest, TheCalleeMovesAnAudioCallToT38) {
  Party& callee = Make(true);
  Party& caller = Make(true, &callee);
  RunOnSipThread([&] { caller.endpoint->SetT38Later(true); });
  Connect(caller, callee);
  ASSERT_EQ(callee.Medium(), SipMedium::kPcmu);
  RunOnSipThread([&] { callee.endpoint->OfferT38(); });
  ASSERT_TRUE(WaitFor([&] { return caller.Medium() == SipMedium::kT38 && callee.Medium() == SipMedium::kT38; }));
  std::lock_guard lock(caller.mutex);
  EXPECT_EQ(caller.changes, std::vector<SipMedium>{SipMedium::kT38});
}

// Sends each datagram to 127.0.0.1:port from a socket of its own.
void SendDatagrams(int port, const std::vector<std::vector<std::uint8_t>>& datagrams) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (const auto& datagram : datagrams) {
    sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
  close(fd);
}

TEST_F(SipEndpointTest, BadInputIsLoggedAndTheCallGoesOn) {
  Party& callee = Make(true);
  Party& caller = Make(true, &callee);
  Connect(caller, callee);
  ASSERT_EQ(callee.Medium(), SipMedium::kT38);

  // A flood of calls: each refused with 486.
  std::vector<Party*> intruders;
  for (int i = 0; i < 5; ++i) intruders.push_back(&Make(true, &callee));
  for (Party* intruder : intruders) RunOnSipThread([&] { intruder->endpoint->Call("fax"); });
  for (Party* intruder : intruders) {
    ASSERT_TRUE(WaitFor([&] { return intruder->Ends().size() == 1; }));
    EXPECT_EQ(intruder->Ends()[0].status, 486);
  }
  EXPECT_NE(callee.Logged("while a call is up: 486"), "");

  // UDPTL with a length past its end, then one far ahead of the stream, to
  // the callee's port (which the caller's log names).
  const std::string to = caller.Logged("medium T.38 to 127.0.0.1:");
  ASSERT_NE(to, "");
  const int port = std::stoi(to.substr(to.rfind(':') + 1));
  SendDatagrams(port, {{0x00, 0x05, 0x7f, 0x01}, {0x00, 0x00, 0x01, 0xaa, 0x00, 0x00}, {0x80, 0x00, 0x01, 0xbb, 0x00, 0x00}});
  ASSERT_TRUE(WaitFor([&] { return !callee.Logged("UDPTL datagram dropped: ").empty(); }));
  EXPECT_NE(callee.Logged("past the datagram"), "");
  ASSERT_TRUE(WaitFor([&] { return !callee.Logged("UDPTL: the sequence jumped ahead").empty(); }));

  EXPECT_TRUE(callee.Ends().empty());
  EXPECT_TRUE(caller.Ends().empty());
  EXPECT_EQ(callee.Medium(), SipMedium::kT38);
  EXPECT_EQ(callee.Rings(), 1);
}

// A registrar behind which we are at 127.0.0.2:40000: it takes every
// REGISTER and says so in the Via of its answer (received, rport).
class NatRegistrar {
 public:
  NatRegistrar() : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    socklen_t length = sizeof local;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    port_ = ntohs(local.sin_port);
    timeval wait{0, 100000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    thread_ = std::thread([this] { Serve(); });
  }
  ~NatRegistrar() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  int Port() const { return port_; }
  int KeepAlives() const { return keepAlives_; }
  std::vector<std::string> Registers() {
    std::lock_guard lock(mutex_);
    return registers_;
  }

 private:
  void Serve() {
    while (!stop_) {
      char buffer[4096];
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const auto got = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (got <= 0) continue;
      const std::string request(buffer, static_cast<std::size_t>(got));
      if (request.find_first_not_of("\r\n") == std::string::npos) {
        ++keepAlives_;
        continue;
      }
      if (request.rfind("REGISTER ", 0) != 0) continue;
      {
        std::lock_guard lock(mutex_);
        registers_.push_back(request);
      }
      std::string answer = "SIP/2.0 200 OK\r\n";
      for (const char* name : {"Via: ", "From: ", "To: ", "Call-ID: ", "CSeq: ", "Contact: "}) {
        const auto at = request.find(std::string("\r\n") + name);
        if (at == std::string::npos) continue;
        std::string header = request.substr(at + 2, request.find("\r\n", at + 2) - at - 2);
        if (header.rfind("Via: ", 0) == 0) header.replace(header.find(";rport"), 6, ";received=127.0.0.2;rport=40000");
        answer += header + "\r\n";
      }
      answer += "Content-Length: 0\r\n\r\n";
      sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&from), length);
    }
  }

  int fd_;
  int port_ = 0;
  std::atomic<bool> stop_ = false;
  std::atomic<int> keepAlives_ = 0;
  std::mutex mutex_;
  std::vector<std::string> registers_;
  std::thread thread_;
};

TEST_F(SipEndpointTest, BehindNatTheRegistrarsViewOfUsGoesInTheSdpAndKeepAlivesFlow) {
  NatRegistrar registrar;
  Party& callee = Make(true);
  Party& caller = Make(true, &callee, [&](SipAccount& account) {
    account.registers = true;
    account.registrar = "127.0.0.1:" + std::to_string(registrar.Port());
    account.keepAliveSeconds = 1;
  });
  ASSERT_TRUE(WaitFor([&] { return !caller.Logged("public address 127.0.0.2:40000").empty(); }));
  EXPECT_NE(registrar.Registers()[0].find(";rport"), std::string::npos) << registrar.Registers()[0];

  Connect(caller, callee);
  EXPECT_NE(callee.Logged("medium T.38 to 127.0.0.2:"), "");
  ASSERT_TRUE(WaitFor([&] { return registrar.KeepAlives() >= 1; }));
}

}  // namespace
}  // namespace tv
