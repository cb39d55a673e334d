// SIP endpoints calling each other on 127.0.0.1 through libre, on the SIP
// thread as in the program: which medium a call takes, and what an
// endpoint refuses without harm to the call it has.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

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

  // An endpoint whose calls go to `callee` (or nowhere).
  Party& Make(bool t38, Party* callee = nullptr) {
    auto& party = *parties_.emplace_back(std::make_unique<Party>());
    RunOnSipThread([&] {
      SipAccount account;
      account.user = "u" + std::to_string(parties_.size());
      account.domain = "127.0.0.1";
      if (callee) account.domain += ":" + std::to_string(callee->endpoint->SipPort());
      account.registers = false;
      account.localPort = 0;
      account.t38 = t38;
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

}  // namespace
}  // namespace tv
