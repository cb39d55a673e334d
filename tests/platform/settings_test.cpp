#include <gtest/gtest.h>

#include "platform/app_settings.h"
#include "platform/text.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

TEST(AppSettings, MissingFileGivesTheDefaults) {
  test::TempDir dir;
  const AppSettings s = LoadSettings(dir.File("TV.INI"));
  EXPECT_EQ(s.ComPort, -1);
  EXPECT_EQ(s.DialAttempts, 3);
  EXPECT_EQ(s.RetryWait, 60);
  EXPECT_EQ(s.MaximumBPS, 14400);
  EXPECT_EQ(s.ResetString, "AT&F");
  EXPECT_EQ(s.AnswerOnRing, 1);
  EXPECT_TRUE(s.HintsOn);
  EXPECT_FALSE(std::filesystem::exists(dir.File("TV.INI")));
}

TEST(AppSettings, SaveWritesEveryKeyInOrderAndRoundTrips) {
  test::TempDir dir;
  dir.Write("TV.INI", "[Ports]\nCOM1=/dev/pts/9\n");
  AppSettings s;
  s.Fax = "+1 555 0100";
  s.Name = "Ann";
  s.ComPort = 2;
  s.FaxClass = 3;
  s.BlindDial = true;
  s.HintsOn = false;
  s.Wav = "/usr/share/sounds/done.wav";
  s.StartReceiving = true;
  SaveSettings(s, dir.File("TV.INI"));

  EXPECT_EQ(dir.Read("TV.INI"),
            "[Ports]\nCOM1=/dev/pts/9\n\n"
            "[User]\nFax=+1 555 0100\nName=Ann\nVoice=\nCompany=\n\n"
            "[Dialing]\nDialPrefix=\nDialAttempts=3\nRetryWait=60\nBlindDial=1\nIgnoreBusy=0\nToneOrPulse=0\nTimeout=60\n\n"
            "[Modem]\nInitString=\nComPort=2\nFaxClass=3\nMaximumBPS=14400\nECM=1\nCoding=MMR\n\n"
            "[Resetting]\nString=AT&F\nAlways=0\n\n"
            "[Receive]\nWav=/usr/share/sounds/done.wav\nAnswerOnRing=1\nStartReceiving=1\n\n"
            "[Hints]\nOn=0\n");
  const AppSettings back = LoadSettings(dir.File("TV.INI"));
  EXPECT_EQ(back.Fax, s.Fax);
  EXPECT_EQ(back.ComPort, 2);
  EXPECT_EQ(back.FaxClass, 3);
  EXPECT_TRUE(back.BlindDial);
  EXPECT_FALSE(back.HintsOn);
  EXPECT_TRUE(back.StartReceiving);
  EXPECT_EQ(ComDevicePath(IniFile(dir.File("TV.INI")), 1), "/dev/pts/9");
  EXPECT_EQ(ComDevicePath(IniFile(dir.File("TV.INI")), 3), "/dev/ttyS2");
}

TEST(FormPlacement, SectionNamesAndScreenClamp) {
  EXPECT_EQ(PlacementSection("TMainScreen", 96), "TMainScreen_Placement");
  EXPECT_EQ(PlacementSection("TMainScreen", 120), "TMainScreen_Placement120");

  test::TempDir dir;
  IniFile ini(dir.File("TV.INI"));
  WriteFormPlacement(ini, "TFaxViewer", 96, {100, 50, 2100, 900, true});
  ini.Save();
  const FormPlacement p = ReadFormPlacement(IniFile(dir.File("TV.INI")), "TFaxViewer", 96, false);
  EXPECT_EQ(p.Right, 2100);
  EXPECT_TRUE(p.Maximized);
  EXPECT_FALSE(ReadFormPlacement(ini, "TFaxViewer", 144, false).Maximized);
  EXPECT_TRUE(ReadFormPlacement(ini, "TFaxViewer", 144, true).Maximized);

  const FormPlacement clamped = ClampPlacementToScreen(p, 1920, 1080);
  EXPECT_EQ(clamped.Left, -80);
  EXPECT_EQ(clamped.Right, 1920);
  EXPECT_EQ(clamped.Top, 50);
  EXPECT_EQ(clamped.Bottom, 900);
}

TEST(Rates, IndexAndBitsPerSecond) {
  EXPECT_EQ(RateIndexToBps(0), 2400);
  EXPECT_EQ(RateIndexToBps(5), 14400);
  EXPECT_EQ(RateIndexToBps(6), 9600);
  EXPECT_EQ(RateIndexToBps(-1), 9600);
  EXPECT_EQ(BpsToRateIndex(12000), 4);
  EXPECT_EQ(BpsToRateIndex(9600), 3);
  EXPECT_EQ(BpsToRateIndex(33600), 3);
}

TEST(Text, TrimTextRemovesOnlyBlanks) {
  EXPECT_EQ(TrimText("  a b \t "), "a b \t");
  EXPECT_EQ(TrimText("   "), "");
  EXPECT_TRUE(EqualsNoCase("Receive", "RECEIVE"));
  EXPECT_FALSE(EqualsNoCase("Receive", "Receiver"));
}

}  // namespace
}  // namespace tv
