// Reading cover templates: every value encoding, templates cut short and
// damaged ones.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <random>

#include "cover/cover_template.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

std::vector<CoverElement> SampleElements() {
  CoverElement text{.kind = ckText, .x = 5, .y = -7, .width = 300, .height = 40, .text = "FAX",
                    .fontName = "Liberation Serif", .fontSize = 72, .bold = true};
  CoverElement field{.kind = ckDataField, .x = 1200, .y = 70000, .text = std::string(300, 'a'),
                     .fontName = "Arial", .fontSize = 22, .italic = true, .underline = true,
                     .fieldSelector = cfRecipientName};
  CoverElement shape{.kind = ckShape, .x = INT32_MIN, .y = INT32_MAX, .width = -1, .height = 128,
                     .shapeType = cstRoundRect, .fillStyle = cfsBlack, .penWidth = 3, .cornerPercent = 12};
  CoverElement line{.kind = ckLine, .width = 1532, .lineDirection = cldRising};
  CoverElement flags{.kind = ckFlagLine, .y = 660, .fontName = "Arial", .fontSize = 18};
  CoverElement message{.kind = ckMessage, .y = 790, .width = 1532, .height = 1000};
  CoverElement label{.kind = ckLabel, .text = "Re:"};
  return {text, field, shape, line, flags, message, label};
}

TEST(CoverTemplate, ReadsEveryValueEncoding) {
  // One element written by hand: integers in all three sizes, a short and a
  // long text, true, false and another byte read as false.
  std::string bytes = Bytes({1, 2, 5,             // kind: 8-bit
                             3, 0x2C, 0x01,       // X: 16-bit 300
                             4, 0xFE, 0xFF, 0xFF, 0xFF,  // Y: 32-bit -2
                             2, 0x80,             // width: -128
                             3, 0x00, 0x80,       // height: -32768
                             6, 3, 'A', 'b', 'c', // text
                             12, 5, 0, 0, 0, 'A', 'r', 'i', 'a', 'l',  // font name, four-byte length
                             2, 20,               // font size
                             9, 8, 0x42,          // bold, italic, underline
                             2, 0, 2, 1, 2, 2, 2, 3, 2, 50, 2, 4,  // shape .. field selector
                             0});
  const auto elements = DecodeCoverTemplate(bytes);
  ASSERT_EQ(elements.size(), 1u);
  const CoverElement& e = elements[0];
  EXPECT_EQ(e.kind, ckDataField);
  EXPECT_EQ(e.x, 300);
  EXPECT_EQ(e.y, -2);
  EXPECT_EQ(e.width, -128);
  EXPECT_EQ(e.height, -32768);
  EXPECT_EQ(e.text, "Abc");
  EXPECT_EQ(e.fontName, "Arial");
  EXPECT_EQ(e.fontSize, 20);
  EXPECT_TRUE(e.bold);
  EXPECT_FALSE(e.italic);
  EXPECT_FALSE(e.underline);
  EXPECT_EQ(std::vector<int>({e.shapeType, e.fillStyle, e.penWidth, e.lineDirection, e.cornerPercent, e.fieldSelector}),
            std::vector<int>({0, 1, 2, 3, 50, 4}));

  // What is written reads back, every kind and every range of values.
  EXPECT_EQ(DecodeCoverTemplate(EncodeCoverTemplate(SampleElements())), SampleElements());
}

TEST(CoverTemplate, CutShortKeepsTheCompleteElements) {
  const std::vector<CoverElement> all = SampleElements();
  std::vector<std::size_t> ends;  // where each element's record ends
  for (std::size_t n = 1; n <= all.size(); ++n) {
    ends.push_back(EncodeCoverTemplate({all.begin(), all.begin() + static_cast<long>(n)}).size());
  }
  const std::string bytes = EncodeCoverTemplate(all);
  for (std::size_t length = 0; length <= bytes.size(); ++length) {
    const auto complete = static_cast<std::size_t>(std::count_if(ends.begin(), ends.end(), [&](std::size_t end) {
      return end <= length;
    }));
    const auto read = DecodeCoverTemplate(std::string_view(bytes).substr(0, length));
    ASSERT_EQ(read.size(), complete) << "cut at " << length;
    EXPECT_TRUE(std::equal(read.begin(), read.end(), all.begin()));
  }
}

TEST(CoverTemplate, DamagedTemplatesEndTheListWithoutHarm) {
  const std::string good = EncodeCoverTemplate(SampleElements());
  // A record that does not start a list, an integer of the wrong type, and a
  // text claiming four gigabytes: the list ends before each.
  EXPECT_TRUE(DecodeCoverTemplate(Bytes({7}) + good).empty());
  std::string wrongType = good;
  wrongType[1] = 6;  // the first kind read as a text type
  EXPECT_TRUE(DecodeCoverTemplate(wrongType).empty());
  const std::string huge = Bytes({1, 2, 0, 2, 0, 2, 0, 2, 0, 2, 0, 12, -1, -1, -1, -1}) + std::string(64, 'x');
  EXPECT_EQ(DecodeCoverTemplate(good + huge).size(), SampleElements().size());

  // Random bytes, and good templates with bytes changed at random: reading
  // always ends, and no element is made from fewer bytes than a record
  // takes (33: the list marks, twelve 8-bit integers, two empty texts and
  // three booleans).
  std::mt19937 random(14);
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = good;
    if (round % 2 == 0) {
      bytes.assign(static_cast<std::size_t>(random() % 600), '\0');
      for (char& c : bytes) c = static_cast<char>(random() % 16);
    } else {
      for (int k = 0; k < 4; ++k) bytes[random() % bytes.size()] = static_cast<char>(random());
    }
    EXPECT_LE(DecodeCoverTemplate(bytes).size() * 33, bytes.size());
  }
}

TEST(CoverTemplate, FilesThatAreNoTemplates) {
  test::TempDir dir;
  EXPECT_FALSE(ReadCoverTemplate(dir.File("missing.fct")));
  EXPECT_FALSE(ReadCoverTemplate(dir.Path()));
  // A file longer than any template is read only to its limit.
  const std::string one = EncodeCoverTemplate({SampleElements()[6]});
  std::string many;
  while (many.size() <= kMaxTemplateBytes) many += one;
  dir.Write("big.fct", many);
  const auto read = ReadCoverTemplate(dir.File("big.fct"));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->size(), kMaxTemplateBytes / one.size());
}

}  // namespace
}  // namespace tv
