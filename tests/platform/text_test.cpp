#include "platform/text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

#include "platform/code_page.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

TEST(CodePage, EveryByteSurvivesTheRoundTripAndUnfitCharactersAreNamed) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
  EXPECT_EQ(Utf8ToCp1252("Müller €"), std::string("M\xFCller \x80"));
  EXPECT_EQ(Cp1252ToUtf8("\x8A\x9F\xE9"), "ŠŸé");
  std::string unfit;
  EXPECT_EQ(Utf8ToCp1252("Ωmega", &unfit), std::nullopt);
  EXPECT_EQ(unfit, "Ω");
  EXPECT_EQ(Utf8ToCp1252("bad \xC3", &unfit), std::nullopt);  // cut-off UTF-8
  EXPECT_EQ(Utf8ToCp1252("\xC0\xAF", &unfit), std::nullopt);  // overlong '/'
}

TEST(CodePage, LetterCaseCoversTheCodePagesLetters) {
  const std::string lower = *Utf8ToCp1252("abzàéöøþšœžÿ");
  const std::string upper = *Utf8ToCp1252("ABZÀÉÖØÞŠŒŽŸ");
  std::string up = lower;
  std::string down = upper;
  for (char& c : up) c = UpperCp1252(c);
  for (char& c : down) c = LowerCp1252(c);
  EXPECT_EQ(up, upper);
  EXPECT_EQ(down, lower);
  for (const char* same : {"ß", "µ", "÷", "×", "1"}) {
    const char c = (*Utf8ToCp1252(same))[0];
    EXPECT_EQ(UpperCp1252(c), c) << same;
    EXPECT_EQ(LowerCp1252(c), c) << same;
  }
}

// Compiles a German locale (comma as decimal point) into a scratch folder.
bool UseCommaLocale(const test::TempDir& dir) {
  const std::string command = "localedef -i de_DE -f UTF-8 " + dir.File("de_DE.UTF-8") + " 2>/dev/null";
  if (std::system(command.c_str()) != 0) return false;
  setenv("LOCPATH", dir.Path().c_str(), 1);
  return std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
}

TEST(Numbers, ThePointStaysAPointInAnyLocale) {
  test::TempDir dir;
  ASSERT_TRUE(UseCommaLocale(dir)) << "localedef could not build de_DE.UTF-8";
  EXPECT_EQ(FormatFixed(12.5, 2), "12.50");
  EXPECT_EQ(FormatFixed(-3, 0), "-3");
  EXPECT_EQ(FormatGeneral(0.5), "0.5");
  EXPECT_EQ(ParseDecimal("12.50"), 12.5);
  EXPECT_EQ(ParseDecimal("+7"), 7.0);
  EXPECT_EQ(ParseDecimal("12,50"), std::nullopt);
  EXPECT_EQ(ParseDecimal(""), std::nullopt);
  EXPECT_EQ(ParseLeadingDecimal("   -1.5e2xyz"), -150.0);
  EXPECT_EQ(ParseLeadingDecimal("abc"), 0.0);
  std::setlocale(LC_ALL, "C");
  unsetenv("LOCPATH");
}

}  // namespace
}  // namespace tv
