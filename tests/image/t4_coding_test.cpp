#include "image/t4_coding.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/error_codes.h"
#include "tests/image/image_test_util.h"

namespace tv {
namespace {

using test::BitStream;
using test::DecodeAll;
using test::Raster;

T4LineCoder Coder(int width, int margin, bool doubling = false) {
  T4LineCoder coder;
  coder.SetWidth(width);
  coder.SetMargin(margin);
  coder.SetDoubling(doubling);
  return coder;
}

// Codes lines, appends the end-of-page codes and decodes them again.
std::vector<Raster> RoundTrip(T4LineCoder& coder, const std::vector<Raster>& lines) {
  std::vector<std::uint8_t> data;
  for (const Raster& line : lines) {
    auto coded = coder.CodeLine(line.data());
    data.insert(data.end(), coded.begin(), coded.end());
  }
  data.insert(data.end(), kEndOfPageCodes.begin(), kEndOfPageCodes.end());
  T4Decoder decoder;
  return DecodeAll(decoder, data);
}

Raster RandomLine(std::mt19937& random, int bytes, int density) {
  Raster line(static_cast<std::size_t>(bytes));
  std::uniform_int_distribution<int> percent(0, 99);
  bool black = false;
  for (int x = 0; x < bytes * 8; ++x) {
    if (percent(random) < density) black = !black;
    if (black) test::SetBlack(line, x);
  }
  return line;
}

TEST(T4Coding, BlankLineHasTheDocumentedBytes) {
  T4LineCoder coder = Coder(kStandardWidth, 50);
  const Raster blank(kStandardLineBytes);
  auto coded = coder.CodeLine(blank.data());
  EXPECT_EQ(std::vector<std::uint8_t>(coded.begin(), coded.end()),
            (std::vector<std::uint8_t>{0x00, 0x80, 0xB2, 0x59, 0x01, 0x00}));
}

TEST(T4Coding, RunsAreMakeUpThenTerminatingCodes) {
  const T4CodeTables& t = T4Codes();
  auto codeRuns = [](std::initializer_list<std::pair<T4Colour, int>> runs) {
    T4LineCoder coder;
    coder.BeginLine();
    for (auto [colour, length] : runs) coder.CodeRun(colour, length);
    auto out = coder.EndLine();
    return std::vector<std::uint8_t>(out.begin(), out.end());
  };
  auto expect = [](std::initializer_list<T4Code> codes) {
    BitStream bits;
    bits.Add(T4Codes().eolWithFill);
    for (T4Code c : codes) bits.Add(c);
    // The coder closes every line with the partly filled byte and a 0 byte.
    std::vector<std::uint8_t> out = bits.Bytes();
    out.resize(bits.BitCount() / 8 + 2, 0);
    return out;
  };
  EXPECT_EQ(codeRuns({{T4Colour::kWhite, 64}}), expect({t.whiteMakeUp[0], t.whiteTerminating[0]}));
  EXPECT_EQ(codeRuns({{T4Colour::kWhite, 63}}), expect({t.whiteTerminating[63]}));
  EXPECT_EQ(codeRuns({{T4Colour::kBlack, 2560}}), expect({t.blackMakeUp[39], t.blackTerminating[0]}));
  EXPECT_EQ(codeRuns({{T4Colour::kWhite, 1800}}), expect({t.whiteMakeUp[27], t.whiteTerminating[8]}));
}

TEST(T4Coding, EndOfPageIsEolWithFillAndSixEols) {
  BitStream bits;
  bits.Add(T4Codes().eolWithFill);
  for (int i = 0; i < 6; ++i) bits.Eol();
  bits.Add("00000000");
  EXPECT_EQ(bits.Bytes(), std::vector<std::uint8_t>(kEndOfPageCodes.begin(), kEndOfPageCodes.end()));
}

TEST(T4Coding, DecodeTreesReachEveryCode) {
  const T4CodeTables& t = T4Codes();
  for (T4Colour colour : {T4Colour::kWhite, T4Colour::kBlack}) {
    const T4DecodeTree tree = BuildDecodeTree(colour);
    EXPECT_LE(tree.nodeCount, T4DecodeTree::kMaxNodes);
    const bool white = colour == T4Colour::kWhite;
    auto walk = [&](T4Code code) {
      int node = 0;
      for (int i = 0; i < code.bits; ++i) node = tree.nodes[node][(code.value >> i) & 1];
      return tree.nodes[node];
    };
    for (int run = 0; run < 64; ++run) {
      const auto leaf = walk(white ? t.whiteTerminating[run] : t.blackTerminating[run]);
      EXPECT_EQ(leaf[0], T4DecodeTree::kRunLeaf);
      EXPECT_EQ(leaf[1], run);
    }
    for (int i = 0; i < 40; ++i) {
      const auto leaf = walk(white ? t.whiteMakeUp[i] : t.blackMakeUp[i]);
      EXPECT_EQ(leaf[0], T4DecodeTree::kRunLeaf);
      EXPECT_EQ(leaf[1], (i + 1) * 64);
    }
    EXPECT_EQ(walk(t.eol)[0], T4DecodeTree::kEolLeaf);
    EXPECT_EQ(walk(t.eolWithFill)[0], T4DecodeTree::kEolLeaf);
    EXPECT_EQ(tree.nodes[11][0], 11);
  }
}

TEST(T4Coding, LinesRoundTripAtBothWidths) {
  std::mt19937 random(7);
  for (int width : {kStandardWidth, kWideWidth}) {
    T4LineCoder coder = Coder(width, 0);
    std::vector<Raster> lines;
    for (int density : {0, 1, 5, 30, 50, 100}) lines.push_back(RandomLine(random, width / 8, density));
    Raster edges(static_cast<std::size_t>(width / 8));
    test::SetBlack(edges, 0);
    test::SetBlack(edges, width - 1);  // a black last pixel still gives a whole line
    lines.push_back(edges);
    EXPECT_EQ(RoundTrip(coder, lines), lines) << width;
  }
}

TEST(T4Coding, MarginShiftsThePictureAndClipsAtTheLineEnd) {
  T4LineCoder coder = Coder(kStandardWidth, 50);
  Raster line(kStandardLineBytes);
  test::SetBlack(line, 0);
  test::SetBlack(line, 10);
  test::SetBlack(line, kStandardWidth - 51);  // lands on the last pixel
  test::SetBlack(line, kStandardWidth - 20);  // falls past the line end
  const auto decoded = RoundTrip(coder, {line});
  ASSERT_EQ(decoded.size(), 1u);
  Raster expected(kStandardLineBytes);
  test::SetBlack(expected, 50);
  test::SetBlack(expected, 60);
  test::SetBlack(expected, kStandardWidth - 1);
  EXPECT_EQ(decoded[0], expected);
}

TEST(T4Coding, FirstBlackPixelWithoutMarginStartsWithWhiteZero) {
  T4LineCoder coder = Coder(kStandardWidth, 0);
  Raster line(kStandardLineBytes);
  test::SetBlack(line, 0);
  auto coded = coder.CodeLine(line.data());
  BitStream expected;
  expected.Add(T4Codes().eolWithFill).Run(T4Colour::kWhite, 0).Run(T4Colour::kBlack, 1);
  // The first 16 + 8 + 3 bits are EOL with fill, white 0 and black 1.
  ASSERT_GE(coded.size(), 4u);
  EXPECT_EQ(coded[0], expected.Bytes()[0]);
  EXPECT_EQ(coded[1], expected.Bytes()[1]);
  EXPECT_EQ(coded[2], expected.Bytes()[2]);
  EXPECT_EQ(coded[3] & 0x07, expected.Bytes()[3] & 0x07);
}

TEST(T4Coding, DoublingCodesEveryPixelTwiceAfterTheMargin) {
  T4LineCoder coder = Coder(kStandardWidth, 50, true);
  Raster line(kStandardLineBytes);
  test::SetBlack(line, 0);
  test::SetBlack(line, 3);
  test::SetBlack(line, 4);
  const auto decoded = RoundTrip(coder, {line});
  ASSERT_EQ(decoded.size(), 1u);
  Raster expected(kStandardLineBytes);
  for (int x : {50, 51, 56, 57, 58, 59}) test::SetBlack(expected, x);
  EXPECT_EQ(decoded[0], expected);
}

// The line coding rules applied pixel by pixel, each run coded from the
// tables through BitStream: the coder must give the same bytes.
std::vector<std::uint8_t> ReferenceCodeLine(const Raster& raster, int width, int margin, bool doubling) {
  BitStream bits;
  bits.Add(T4Codes().eolWithFill);
  const int scale = doubling ? 2 : 1;
  const int limit = (width - margin + scale - 1) / scale;
  std::vector<std::pair<T4Colour, int>> runs = {{T4Colour::kWhite, margin}};
  for (int x = 0; x < limit; ++x) {
    const T4Colour colour = test::PixelBlack(raster, x) ? T4Colour::kBlack : T4Colour::kWhite;
    if (runs.back().first != colour) runs.emplace_back(colour, 0);
    runs.back().second += scale;
  }
  runs.back().second -= margin + limit * scale - width;  // the last pixel may be doubled past the end
  if (runs.back().first == T4Colour::kBlack) runs.emplace_back(T4Colour::kWhite, 0);
  for (auto [colour, length] : runs) bits.Run(colour, length);
  std::vector<std::uint8_t> out = bits.Bytes();
  out.resize(static_cast<std::size_t>(bits.BitCount() / 8 + 2), 0);
  return out;
}

TEST(T4Coding, LineCodingMatchesThePixelByPixelRules) {
  std::mt19937 random(7);
  for (int round = 0; round < 400; ++round) {
    const int width = round % 2 ? kWideWidth : kStandardWidth;
    const int margin = std::vector<int>{0, 1, 50, 63, 64, 333, width}[static_cast<std::size_t>(round % 7)];
    const bool doubling = round % 3 == 0;
    Raster line = RandomLine(random, width / 8, static_cast<int>(random() % 60));
    if (round % 5 == 0) test::SetBlack(line, 0);
    if (round % 11 == 0) std::fill(line.begin(), line.end(), round % 22 ? 0x00 : 0xFF);
    T4LineCoder coder = Coder(width, margin, doubling);
    const auto coded = coder.CodeLine(line.data());
    ASSERT_EQ(std::vector<std::uint8_t>(coded.begin(), coded.end()), ReferenceCodeLine(line, width, margin, doubling))
        << "round " << round;
  }
}

TEST(T4Decoding, OnlyWholeLinesAreGivenOut) {
  BitStream bits;
  bits.Eol().Run(T4Colour::kWhite, 1728);                                                    // good
  bits.Eol().Run(T4Colour::kWhite, 1000);                                                    // short: dropped
  bits.Eol().Run(T4Colour::kWhite, 2000).Run(T4Colour::kBlack, 48).Run(T4Colour::kWhite, 0);  // wide: kept
  bits.Eol().Run(T4Colour::kWhite, 1736);  // 217 bytes: dropped
  bits.Eol().Eol().Eol();
  T4Decoder decoder;
  const auto lines = DecodeAll(decoder, bits.Bytes());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 216u);
  EXPECT_EQ(lines[1].size(), 256u);
  EXPECT_EQ(lines[1][249], 0x00);
  EXPECT_EQ(lines[1][250], 0xFF);
  EXPECT_EQ(lines[1][255], 0xFF);
  EXPECT_EQ(decoder.InvalidCodes(), 0);
}

TEST(T4Decoding, MakeUpCodesKeepTheColour) {
  BitStream bits;
  const T4CodeTables& t = T4Codes();
  // white 64 + 8 = 72, black 64 + 0 = 64, white rest.
  bits.Eol().Add(t.whiteMakeUp[0]).Add(t.whiteTerminating[8]);
  bits.Add(t.blackMakeUp[0]).Add(t.blackTerminating[0]);
  bits.Run(T4Colour::kWhite, 1728 - 136).Eol().Eol().Eol();
  T4Decoder decoder;
  const auto lines = DecodeAll(decoder, bits.Bytes());
  ASSERT_EQ(lines.size(), 1u);
  for (int x = 0; x < 1728; ++x) EXPECT_EQ(test::PixelBlack(lines[0], x), x >= 72 && x < 136) << x;
}

TEST(T4Decoding, FillBitsRunsBeforeTheFirstEolAndDeadEnds) {
  BitStream bits;
  bits.Run(T4Colour::kWhite, 1728);  // before the first EOL: ignored
  bits.Add("0000000000000000000000000000001");                  // long fill, one EOL
  // Nine 0 bits and a 1 lead nowhere (found at the 13th bit): one invalid
  // code, then 1 bits are skipped until the next 0 bit.
  bits.Add("0000000001000").Add("1111");
  bits.Run(T4Colour::kWhite, 1728).Eol();
  bits.Run(T4Colour::kWhite, 1728).Add("0000").Eol();
  bits.Eol().Eol();
  bits.Add("10101010101010101010");  // after the page end: not read
  T4Decoder decoder;
  std::size_t consumed = 0;
  const auto lines = DecodeAll(decoder, bits.Bytes(), &consumed);
  EXPECT_EQ(lines.size(), 2u);
  EXPECT_EQ(decoder.InvalidCodes(), 1);
  EXPECT_TRUE(decoder.PageEnded());
  EXPECT_LT(consumed, bits.Bytes().size());
}

TEST(T4Decoding, OverlongRunsAreDroppedWithoutOverrun) {
  BitStream bits;
  bits.Eol();
  for (int i = 0; i < 40; ++i) bits.Run(T4Colour::kWhite, 2560).Run(T4Colour::kBlack, 2560);
  bits.Eol().Eol().Eol();
  T4Decoder decoder;
  EXPECT_TRUE(DecodeAll(decoder, bits.Bytes()).empty());
  EXPECT_TRUE(decoder.PageEnded());
}

// The decoding rules applied one bit at a time, straight from the trees,
// fed in the same chunks: the decoder must give the same lines, invalid-code
// count and bytes used.
struct ReferenceDecoder {
  T4DecodeTree white = BuildDecodeTree(T4Colour::kWhite);
  T4DecodeTree black = BuildDecodeTree(T4Colour::kBlack);
  bool isBlack = false, beforeFirstEol = true, ignoreOnes = false;
  int node = 0, eols = 0, invalid = 0, bitPos = 0;
  Raster line = Raster(520);
  std::vector<Raster> lines;

  std::size_t Decode(const std::uint8_t* data, std::size_t size, std::size_t stopAfterLines) {
    std::size_t used = 0;
    while (used < size && eols < 3) {
      const unsigned byte = data[used++];
      bool stop = false;
      for (int b = 0; b < 8 && eols < 3; ++b) {
        const T4DecodeTree& tree = isBlack ? black : white;
        if ((byte >> b) & 1) {
          if (!ignoreOnes) node = tree.nodes[node][1];
        } else {
          ignoreOnes = false;
          node = tree.nodes[node][0];
        }
        const auto n = tree.nodes[node];
        if (n[0] == T4DecodeTree::kEolLeaf) {
          if (bitPos / 8 == 216 || bitPos / 8 == 256) {
            lines.emplace_back(line.begin(), line.begin() + bitPos / 8);
            stop = stop || lines.size() == stopAfterLines;
          }
          std::fill(line.begin(), line.end(), 0);
          bitPos = 0;
          node = 0;
          isBlack = false;
          ++eols;
          beforeFirstEol = false;
        } else if (n[0] == T4DecodeTree::kRunLeaf) {
          node = 0;
          eols = 0;
          if (!beforeFirstEol && n[1] / 8 + bitPos / 8 < 512) {
            for (int i = 0; i < n[1] && isBlack; ++i) test::SetBlack(line, bitPos + i);
            bitPos += n[1];
            if (n[1] < 64) isBlack = !isBlack;
          }
        } else if (n[0] == 0 && n[1] == 0) {
          ++invalid;
          ignoreOnes = true;
          node = 0;
        }
      }
      if (stop) break;
    }
    return used;
  }
};

TEST(T4Decoding, LookupDecodingMatchesTheBitByBitRules) {
  std::mt19937 random(99);
  T4LineCoder coder = Coder(kStandardWidth, 0);
  for (int round = 0; round < 300; ++round) {
    std::vector<std::uint8_t> data;
    if (round % 3 == 0) {
      data.resize(static_cast<std::size_t>(random() % 3000));
      for (auto& b : data) b = static_cast<std::uint8_t>(random() & (round % 2 ? random() : 0xFF));
    } else {
      for (int y = 0; y < 12; ++y) {
        const Raster l = RandomLine(random, kStandardLineBytes, static_cast<int>(random() % 40));
        auto coded = coder.CodeLine(l.data());
        data.insert(data.end(), coded.begin(), coded.end());
      }
      data.insert(data.end(), kEndOfPageCodes.begin(), kEndOfPageCodes.end());
      for (int flips = static_cast<int>(random() % 6); flips > 0; --flips) {
        data[random() % data.size()] ^= static_cast<std::uint8_t>(1u << (random() % 8));
      }
    }
    const std::size_t stopAfter = round % 5 == 0 ? 3 : 0;
    ReferenceDecoder reference;
    T4Decoder decoder;
    std::vector<Raster> lines;
    std::size_t at = 0;
    while (at < data.size()) {
      const std::size_t chunk = std::min<std::size_t>(data.size() - at, 1 + random() % 700);
      const std::size_t expected = reference.Decode(data.data() + at, chunk, stopAfter);
      const std::size_t used = decoder.Decode(data.data() + at, chunk, [&](const std::uint8_t* line, int n) {
        lines.emplace_back(line, line + n);
        return lines.size() != stopAfter;
      });
      ASSERT_EQ(used, expected) << "round " << round << " at " << at;
      if (used < chunk) break;
      at += chunk;
    }
    ASSERT_EQ(lines, reference.lines) << "round " << round;
    ASSERT_EQ(decoder.InvalidCodes(), reference.invalid) << "round " << round;
    ASSERT_EQ(decoder.PageEnded(), reference.eols >= 3) << "round " << round;
  }
}

}  // namespace
}  // namespace tv
