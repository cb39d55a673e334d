// A page as the sender puts it on the line: stored data with minimum
// scan-time fill, and fine pages reduced to standard.
#include "fax/outgoing_page.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/fax/apf_pages.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

using test::Rows;

// Rows of a 1728-pixel page: blank ones (the shortest coded lines there
// are) and ones with a black bar.
Rows SourceRows(int count) {
  Rows rows;
  for (int y = 0; y < count; ++y) {
    std::vector<std::uint8_t> row(kStandardLineBytes, 0);
    if (y % 3 == 1) std::fill(row.begin() + 10 + y, row.begin() + 40 + y, 0xFF);
    rows.push_back(row);
  }
  return rows;
}

// A stream page: the rows coded one after another, then the end of the page.
std::string StreamPage(const Rows& rows) {
  T4LineCoder coder;
  coder.SetMargin(0);
  std::string page;
  for (const auto& row : rows) {
    const auto coded = coder.CodeLine(row.data());
    page.append(coded.begin(), coded.end());
  }
  page.append(kEndOfPageCodes.begin(), kEndOfPageCodes.end());
  return page;
}

std::string WholePage(OutgoingPage& page) {
  std::string out;
  std::vector<std::uint8_t> piece;
  for (long n; (n = page.Next(piece)) > 0;) out.append(piece.begin(), piece.end());
  return out;
}

// The lengths in bits of the coded lines with data in them: from one EOL
// (eleven or more zeros and a one) to the next, that EOL included.
std::vector<int> DataLineBits(const std::string& coded) {
  std::string bits;
  for (char c : coded) {
    for (int i = 0; i < 8; ++i) bits += ((static_cast<unsigned char>(c) >> i) & 1) ? '1' : '0';
  }
  std::vector<int> lengths;
  std::size_t lineStart = std::string::npos;
  for (std::size_t eol = bits.find("000000000001"); eol != std::string::npos;
       eol = bits.find("000000000001", eol + 12)) {
    std::size_t end = eol + 11;  // the one that closes the EOL
    if (lineStart != std::string::npos) {
      const std::string line = bits.substr(lineStart, end - lineStart + 1);
      // Only zeros and the closing one: an EOL with no data before it.
      if (line.find('1') != line.size() - 1) lengths.push_back(static_cast<int>(line.size()));
    }
    lineStart = end + 1;
  }
  return lengths;
}

TEST(OutgoingPage, StreamPageLinesGetFillUpToTheMinimumBeforeTheirEol) {
  test::TempDir dir;
  const Rows rows = SourceRows(12);
  const std::string stored = StreamPage(rows);
  test::WriteStreamApf(dir.File("stream.apf"), {stored});
  const std::vector<int> storedLines = DataLineBits(stored);
  ASSERT_EQ(storedLines.size(), rows.size());
  EXPECT_LT(*std::min_element(storedLines.begin(), storedLines.end()), 12 * 8);  // the blank ones

  OutgoingPage page;
  ASSERT_EQ(page.Open(dir.File("stream.apf"), 1), 0);
  page.SetLineMinimum(12);  // 10 ms at 9600 bit/s
  const std::string sent = WholePage(page);
  const std::vector<int> lines = DataLineBits(sent);
  ASSERT_EQ(lines.size(), rows.size());
  for (int bits : lines) EXPECT_GE(bits, 12 * 8);
  EXPECT_TRUE(test::DecodedRows(sent) == rows);

  // Without a minimum the page goes as stored.
  ASSERT_EQ(page.Open(dir.File("stream.apf"), 1), 0);
  page.SetLineMinimum(0);
  EXPECT_EQ(WholePage(page), stored);
}

// A page this program coded (line blocks, as the converter stores them)
// goes without the fill it was stored with: every line shorter, the same
// rows, and with a minimum each line lasting it all the same.
TEST(OutgoingPage, LineBlockPagesGoWithoutTheirStoredFill) {
  test::TempDir dir;
  const Rows rows = SourceRows(12);
  {
    ApfWriter writer;
    ASSERT_EQ(writer.Create(dir.File("blocks.apf")), 0);
    T4LineCoder coder;
    coder.SetMargin(0);
    ASSERT_EQ(writer.BeginPage(false, false), 0);
    for (const auto& row : rows) {
      const auto coded = coder.CodeLine(row.data());
      ASSERT_EQ(writer.WriteLine(coded.data(), coded.size()), 0);
    }
    ASSERT_EQ(writer.EndPage(), 0);
    ASSERT_EQ(writer.Close(""), 0);
  }
  const std::string stored = test::StoredData(dir.File("blocks.apf"), 1);
  const std::vector<int> storedLines = DataLineBits(stored);
  ASSERT_EQ(storedLines.size(), rows.size());

  OutgoingPage page;
  ASSERT_EQ(page.Open(dir.File("blocks.apf"), 1), 0);
  page.SetLineMinimum(0);
  const std::string sent = WholePage(page);
  EXPECT_TRUE(test::DecodedRows(sent) == rows);
  const std::vector<int> lines = DataLineBits(sent);
  ASSERT_EQ(lines.size(), rows.size());
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_LE(lines[i], storedLines[i] - 8) << "line " << i;

  ASSERT_EQ(page.Open(dir.File("blocks.apf"), 1), 0);
  page.SetLineMinimum(12);
  const std::string filled = WholePage(page);
  EXPECT_TRUE(test::DecodedRows(filled) == rows);
  for (int bits : DataLineBits(filled)) EXPECT_GE(bits, 12 * 8);
}

// Every two fine lines become one standard line, black where either is;
// a line left over at the end goes alone.
TEST(OutgoingPage, FinePageReducedToStandardOrsLinePairs) {
  test::TempDir dir;
  const Rows rows = SourceRows(11);
  test::WriteStreamApf(dir.File("fine.apf"), {StreamPage(rows)}, kApfFine);
  OutgoingPage page;
  ASSERT_EQ(page.Open(dir.File("fine.apf"), 1), 0);
  page.SetLineMinimum(12);
  page.SetReduceToStandard(true);
  ASSERT_TRUE(page.Reduced());
  const std::string sent = WholePage(page);
  Rows expected;
  for (std::size_t y = 0; y < rows.size(); y += 2) {
    auto row = rows[y];
    if (y + 1 < rows.size()) {
      for (std::size_t x = 0; x < row.size(); ++x) row[x] |= rows[y + 1][x];
    }
    expected.push_back(row);
  }
  EXPECT_TRUE(test::DecodedRows(sent) == expected);
  for (int bits : DataLineBits(sent)) EXPECT_GE(bits, 12 * 8);

  // A standard page is never reduced.
  test::WriteStreamApf(dir.File("standard.apf"), {StreamPage(rows)});
  ASSERT_EQ(page.Open(dir.File("standard.apf"), 1), 0);
  page.SetReduceToStandard(true);
  EXPECT_FALSE(page.Reduced());
}

}  // namespace
}  // namespace tv
