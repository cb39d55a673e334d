// [SIP] of TV.INI: what an account section gives, and a plain word for
// every way it can be wrong.
#include <gtest/gtest.h>

#include "line/sip_account.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

class SipAccountTest : public ::testing::Test {
 protected:
  std::optional<SipAccount> Read(const std::string& section, const std::string& text) {
    home_.Write("TV.INI", text);
    problem_.clear();
    return ReadSipAccount(IniFile(home_.File("TV.INI")), section, problem_);
  }

  test::TempDir home_;
  std::string problem_;
};

TEST_F(SipAccountTest, ReadsAnAccountWithItsDefaults) {
  auto account = Read("SIP", "[SIP]\nAccount=sip:1001@pbx.example.org\n");
  ASSERT_TRUE(account) << problem_;
  EXPECT_EQ(account->Uri(), "sip:1001@pbx.example.org");
  EXPECT_EQ(account->CallUri("5550100"), "sip:5550100@pbx.example.org");
  EXPECT_EQ(account->Host(), "pbx.example.org");
  EXPECT_TRUE(account->registers);
  EXPECT_EQ(account->localPort, 5060);
  EXPECT_TRUE(account->t38);
  EXPECT_EQ(account->redundancy, 3);
  EXPECT_EQ(account->mediaLow, 0);
  EXPECT_EQ(account->speed, 1);

  account = Read("SIP:office",
                 "[SIP:office]\nAccount=sip:fax@127.0.0.1:5070\nRegistrar=reg.example.org\nProxy=proxy.example.org\n"
                 "Register=0\nLocalPort=0\nT38=0\nRedundancy=0\nMediaPorts=20000-20099\nSpeed=2.5\n");
  ASSERT_TRUE(account) << problem_;
  EXPECT_EQ(account->CallUri("42"), "sip:42@127.0.0.1:5070");
  EXPECT_EQ(account->Host(), "127.0.0.1");
  EXPECT_EQ(account->registrar, "reg.example.org");
  EXPECT_EQ(account->proxy, "proxy.example.org");
  EXPECT_FALSE(account->registers);
  EXPECT_EQ(account->localPort, 0);
  EXPECT_FALSE(account->t38);
  EXPECT_EQ(account->redundancy, 0);
  EXPECT_EQ(account->mediaLow, 20000);
  EXPECT_EQ(account->mediaHigh, 20099);
  EXPECT_EQ(account->speed, 2.5);
}

TEST_F(SipAccountTest, NamesWhatIsWrong) {
  const struct {
    const char* settings;
    const char* problem;
  } cases[] = {
      {"", "no SIP account: set Account=sip:USER@DOMAIN in [SIP]"},
      {"Account=1001@pbx", "Account is not sip:USER@DOMAIN"},
      {"Account=sip:@pbx", "Account is not sip:USER@DOMAIN"},
      {"Account=sip:1001@", "Account is not sip:USER@DOMAIN"},
      {"Account=sip:1001@pbx:99999", "Account has a bad port"},
      {"Account=sip:1001@pbx\nLocalPort=70000", "LocalPort is not a port"},
      {"Account=sip:1001@pbx\nTransport=tls", "Transport tls is not supported"},
      {"Account=sip:1001@pbx\nRedundancy=17", "Redundancy must be 0 to 16"},
      {"Account=sip:1001@pbx\nMediaPorts=20000", "MediaPorts is not a range"},
      {"Account=sip:1001@pbx\nMediaPorts=20000-20001", "MediaPorts is not a range"},
      {"Account=sip:1001@pbx\nSpeed=fast", "Speed must be 1 to 16"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(Read("SIP", std::string("[SIP]\n") + c.settings + "\n")) << c.settings;
    EXPECT_NE(problem_.find(c.problem), std::string::npos) << c.settings << ": " << problem_;
  }
}

TEST_F(SipAccountTest, DeviceNamesChooseTheirSection) {
  EXPECT_EQ(SipSection("sip"), "SIP");
  EXPECT_EQ(SipSection("sip:office"), "SIP:office");
}

}  // namespace
}  // namespace tv
