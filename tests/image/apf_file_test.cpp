#include "image/apf_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <filesystem>

#include "platform/error_codes.h"
#include "tests/image/image_test_util.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

using test::Raster;
using test::TempDir;

std::vector<std::vector<Raster>> Pages(int pages, int linesPerPage) {
  std::vector<std::vector<Raster>> out;
  for (int p = 0; p < pages; ++p) {
    std::vector<Raster> lines;
    for (int y = 0; y < linesPerPage; ++y) {
      Raster line(kStandardLineBytes);
      test::SetBlack(line, (p * 37 + y * 11) % 1600);
      lines.push_back(line);
    }
    out.push_back(lines);
  }
  return out;
}

T4LineCoder StandardCoder() { return T4LineCoder(); }

std::string PageBytes(const TempDir& dir, const std::string& name, int page) {
  const std::string all = dir.Read(name);
  TApfFileHeader header;
  std::memcpy(&header, all.data(), sizeof header);
  std::size_t at = header.firstPageOffset;
  for (int k = 1;; ++k) {
    TApfPageHeader ph;
    std::memcpy(&ph, all.data() + at, sizeof ph);
    const std::size_t next = at + sizeof ph + ph.dataLength;
    if (k == page) return all.substr(at, next - at);
    at = next;
  }
}

TEST(ApfFile, ConverterStyleLayout) {
  TempDir dir;
  const std::string file = dir.File("a.apf");
  ApfWriter writer;
  ASSERT_EQ(writer.Create(file), ecOK);
  ASSERT_EQ(writer.BeginPage(true, false), ecOK);
  const Raster blank(kStandardLineBytes);
  T4LineCoder coder;
  for (int i = 0; i < 3; ++i) {
    auto coded = coder.CodeLine(blank.data());
    ASSERT_EQ(writer.WriteLine(coded.data(), coded.size()), ecOK);
  }
  ASSERT_EQ(writer.EndPage(), ecOK);
  ASSERT_EQ(writer.BeginPage(false, true), ecOK);
  ASSERT_EQ(writer.EndPage(), ecOK);
  ASSERT_EQ(writer.Close("123"), ecOK);

  const std::string bytes = dir.Read("a.apf");
  ASSERT_EQ(bytes.size(), 64u + 16 + 3 * (6 + 2) + 14 + 16 + 14);
  EXPECT_EQ(bytes.substr(0, 6), std::string("APF10\x1A", 6));
  EXPECT_EQ(bytes[10], 3);
  EXPECT_EQ(bytes.substr(11, 20), "123" + std::string(17, ' '));
  TApfFileHeader header;
  ASSERT_EQ(ApfReadFileHeader(file, header), ecOK);
  EXPECT_EQ(header.pageCount, 2);
  EXPECT_EQ(header.firstPageOffset, 64u);
  EXPECT_NE(header.creationStamp, 0u);
  EXPECT_EQ(ApfStationId(header), "123");

  TApfPageHeader page;
  ASSERT_EQ(ApfReadPageHeader(file, 1, page), ecOK);
  EXPECT_EQ(page.pageFlags, kApfLineBlocks | kApfFine);
  EXPECT_EQ(page.dataLength, 3u * (6 + 2) + 14);  // counts included
  ASSERT_EQ(ApfReadPageHeader(file, 2, page), ecOK);
  EXPECT_EQ(page.pageFlags, kApfLineBlocks | kApfWide);
  EXPECT_EQ(page.dataLength, 14u);
  EXPECT_EQ(bytes.substr(bytes.size() - 12),
            std::string(reinterpret_cast<const char*>(kEndOfPageCodes.data()), 12));
}

TEST(ApfFile, SignatureAndPageChecks) {
  TempDir dir;
  dir.Write("bad.apf", std::string("APF10\x1B", 6) + std::string(58, '\0'));
  EXPECT_FALSE(ApfIsFaxFile(dir.File("bad.apf")));
  EXPECT_FALSE(ApfIsFaxFile(dir.File("missing.apf")));
  TApfFileHeader header;
  EXPECT_EQ(ApfReadFileHeader(dir.File("bad.apf"), header), ecFaxBadFormat);
  EXPECT_EQ(ApfReadFileHeader("", header), ecFileNotFound);
  EXPECT_EQ(ApfReadFileHeader(dir.File("missing.apf"), header), ecFileNotFound);
  dir.Write("short.apf", "APF10\x1A");
  EXPECT_TRUE(ApfIsFaxFile(dir.File("short.apf")));
  EXPECT_EQ(ApfReadFileHeader(dir.File("short.apf"), header), ecFaxBadFormat);

  const std::string file = dir.File("two.apf");
  ASSERT_EQ(test::WriteApf(file, Pages(2, 5), false, StandardCoder()), ecOK);
  // Bytes after the last page do not make a third page.
  std::filesystem::resize_file(file, std::filesystem::file_size(file) + 500);
  TApfPageHeader page;
  EXPECT_EQ(ApfReadPageHeader(file, 0, page), ecOK);
  EXPECT_EQ(ApfReadPageHeader(file, 1, page), ecOK);
  EXPECT_EQ(ApfReadPageHeader(file, 2, page), ecOK);
  EXPECT_EQ(ApfReadPageHeader(file, 3, page), ecFaxBadFormat);
}

TEST(ApfFile, StampPacking) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 7;
  t.tm_hour = 13;
  t.tm_min = 45;
  t.tm_sec = 31;
  const std::uint32_t stamp = PackApfStamp(t);
  EXPECT_EQ(stamp, (46u << 25) | (12u << 21) | (7u << 16) | (13u << 11) | (45u << 5) | 15u);
  const std::tm back = UnpackApfStamp(stamp);
  EXPECT_EQ(back.tm_year, t.tm_year);
  EXPECT_EQ(back.tm_mon, t.tm_mon);
  EXPECT_EQ(back.tm_sec, 30);
  t.tm_year = 1979 - 1900;
  EXPECT_EQ(PackApfStamp(t), 0u);
  t.tm_year = 2100 - 1900;
  EXPECT_EQ(PackApfStamp(t), 0u);
}

TEST(ApfFile, PageReaderReadsBlocksAndStreams) {
  TempDir dir;
  const std::string file = dir.File("r.apf");
  ApfReceiveWriter receiver;
  ASSERT_EQ(receiver.Create(file, "+49 30 1234"), ecOK);
  std::vector<std::uint8_t> stream(10000);
  for (std::size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_EQ(receiver.BeginPage(true, true), ecOK);
  ASSERT_EQ(receiver.Write(stream.data(), 6000), ecOK);
  ASSERT_EQ(receiver.Write(stream.data() + 6000, 4000), ecOK);
  ASSERT_EQ(receiver.EndPage(), ecOK);
  // The file is whole after every page.
  TApfFileHeader header;
  ASSERT_EQ(ApfReadFileHeader(file, header), ecOK);
  EXPECT_EQ(header.pageCount, 1);
  EXPECT_EQ(header.stationIdLength, 11);
  EXPECT_EQ(ApfStationId(header), "+49 30 1234");
  ASSERT_EQ(receiver.BeginPage(false, false), ecOK);
  ASSERT_EQ(receiver.Write(stream.data(), 100), ecOK);
  ASSERT_EQ(receiver.EndPage(), ecOK);
  receiver.Close();

  ApfPageReader reader;
  ASSERT_EQ(reader.Open(file, 1), ecOK);
  EXPECT_EQ(reader.PageHeader().pageFlags, kApfFine | kApfWide);
  std::array<std::uint8_t, kApfMaxBlock> block{};
  std::vector<std::uint8_t> got;
  std::vector<long> sizes;
  for (long n; (n = reader.NextBlock(block)) > 0;) {
    sizes.push_back(n);
    got.insert(got.end(), block.begin(), block.begin() + n);
  }
  EXPECT_EQ(sizes, (std::vector<long>{4096, 4096, 1808}));
  EXPECT_EQ(got, stream);
  ASSERT_EQ(reader.Open(file, 2), ecOK);
  EXPECT_EQ(reader.NextBlock(block), 100);
  EXPECT_EQ(reader.NextBlock(block), 0);
  EXPECT_EQ(reader.Open(file, 3), ecFaxBadFormat);

  // A page whose data ends early.
  std::filesystem::resize_file(file, std::filesystem::file_size(file) - 50);
  ASSERT_EQ(reader.Open(file, 2), ecOK);
  EXPECT_EQ(reader.NextBlock(block), ecFaxBadFormat);

  // Line blocks come one at a time.
  const std::string blocks = dir.File("b.apf");
  ASSERT_EQ(test::WriteApf(blocks, Pages(1, 3), false, StandardCoder()), ecOK);
  ASSERT_EQ(reader.Open(blocks, 1), ecOK);
  int count = 0;
  long last = 0;
  for (long n; (n = reader.NextBlock(block)) > 0; ++count) last = n;
  EXPECT_EQ(count, 4);
  EXPECT_EQ(last, 12);
  EXPECT_EQ(reader.BytesRead(), reader.PageHeader().dataLength);

  // Empty blocks are skipped, however many there are, and a count that
  // reaches past the page is cut at the page end.
  TApfFileHeader fileHeader = NewApfFileHeader();
  fileHeader.pageCount = 1;
  TApfPageHeader pageHeader;
  pageHeader.pageFlags = kApfLineBlocks;
  const std::string empties(4'000'000, '\0');
  pageHeader.dataLength = static_cast<std::uint32_t>(empties.size() + 2 + 3);
  std::string bytes(reinterpret_cast<const char*>(&fileHeader), sizeof fileHeader);
  bytes.append(reinterpret_cast<const char*>(&pageHeader), sizeof pageHeader);
  bytes += empties + std::string("\x10\x00" "abc", 5) + "next page";
  dir.Write("empty_blocks.apf", bytes);
  ASSERT_EQ(reader.Open(dir.File("empty_blocks.apf"), 1), ecOK);
  EXPECT_EQ(reader.NextBlock(block), 3);
  EXPECT_EQ(std::string(block.begin(), block.begin() + 3), "abc");
  EXPECT_EQ(reader.NextBlock(block), 0);
}

TEST(ApfFile, AppendJoinsPagesUnchanged) {
  TempDir dir;
  const std::string dest = dir.File("dest.apf");
  const std::string src = dir.File("src.apf");
  ASSERT_EQ(test::WriteApf(dest, Pages(3, 4), false, StandardCoder(), "DEST"), ecOK);
  T4LineCoder wide;
  wide.SetWidth(kWideWidth);
  auto srcPages = Pages(2, 6);
  for (auto& page : srcPages) {
    for (auto& line : page) line.resize(kWideLineBytes);
  }
  ASSERT_EQ(test::WriteApf(src, srcPages, true, wide, "SRC"), ecOK);
  const std::string destBefore = dir.Read("dest.apf");

  ASSERT_EQ(ApfAppendFile(dest, src), ecOK);
  TApfFileHeader header;
  ASSERT_EQ(ApfReadFileHeader(dest, header), ecOK);
  EXPECT_EQ(header.pageCount, 5);
  EXPECT_EQ(ApfStationId(header), "DEST");
  EXPECT_EQ(PageBytes(dir, "dest.apf", 4), PageBytes(dir, "src.apf", 1));
  EXPECT_EQ(PageBytes(dir, "dest.apf", 5), PageBytes(dir, "src.apf", 2));
  EXPECT_EQ(dir.Read("dest.apf").substr(64, destBefore.size() - 64), destBefore.substr(64));
  TApfPageHeader page;
  ASSERT_EQ(ApfReadPageHeader(dest, 3, page), ecOK);
  EXPECT_EQ(page.pageFlags, kApfLineBlocks);
  ASSERT_EQ(ApfReadPageHeader(dest, 5, page), ecOK);
  EXPECT_EQ(page.pageFlags, kApfLineBlocks | kApfFine | kApfWide);
}

TEST(ApfFile, AppendRefusesDamagedOrMissingFilesAndWritesNothing) {
  TempDir dir;
  const std::string dest = dir.File("dest.apf");
  const std::string src = dir.File("src.apf");
  ASSERT_EQ(test::WriteApf(dest, Pages(1, 4), false, StandardCoder()), ecOK);
  ASSERT_EQ(test::WriteApf(src, Pages(2, 4), false, StandardCoder()), ecOK);
  const std::string destBefore = dir.Read("dest.apf");

  EXPECT_EQ(ApfAppendFile(dest, dir.File("none.apf")), ecFileNotFound);
  EXPECT_EQ(ApfAppendFile(dir.File("none.apf"), src), ecFileNotFound);
  std::filesystem::resize_file(src, std::filesystem::file_size(src) - 20);  // last page cut short
  EXPECT_EQ(ApfAppendFile(dest, src), ecFaxBadFormat);
  dir.Write("junk.apf", "not a fax file at all, really not");
  EXPECT_EQ(ApfAppendFile(dest, dir.File("junk.apf")), ecFaxBadFormat);
  EXPECT_EQ(dir.Read("dest.apf"), destBefore);
}

// The header counts pages in 16 bits: neither writing nor appending goes past
// that, and both leave nothing behind when they stop there.
TEST(ApfFile, NoFileHoldsMorePagesThanItsHeaderCounts) {
  TempDir dir;
  const std::string full = dir.File("full.apf");
  T4LineCoder coder;
  const Raster blank(kStandardLineBytes);
  const auto coded = coder.CodeLine(blank.data());
  for (const bool oneMore : {true, false}) {
    ApfWriter writer;
    ASSERT_EQ(writer.Create(full), ecOK);
    for (int p = 0; p < kApfMaxPages; ++p) {
      ASSERT_EQ(writer.BeginPage(false, false), ecOK);
      ASSERT_EQ(writer.WriteLine(coded.data(), coded.size()), ecOK);
      ASSERT_EQ(writer.EndPage(), ecOK);
    }
    if (oneMore) {
      EXPECT_EQ(writer.BeginPage(false, false), ecBadArgument);
      EXPECT_FALSE(std::filesystem::exists(full));
    } else {
      ASSERT_EQ(writer.Close(""), ecOK);
    }
  }
  const std::string before = dir.Read("full.apf");
  EXPECT_EQ(ApfAppendFile(full, full), ecBadArgument);
  EXPECT_EQ(dir.Read("full.apf"), before);
  TApfFileHeader header;
  ASSERT_EQ(ApfReadFileHeader(full, header), ecOK);
  EXPECT_EQ(header.pageCount, kApfMaxPages);
}

TEST(ApfFile, WriterLeavesTheTargetAsItWasWhenWritingFails) {
  TempDir dir;
  ApfWriter writer;
  EXPECT_EQ(writer.Create(dir.File("no/such/folder.apf")), ecPathNotFound);

  // A file size limit makes the writes fail part way through; the file of
  // that name keeps what it held, and nothing else is left behind.
  const std::string file = dir.File("big.apf");
  dir.Write("big.apf", "the old fax");
  struct rlimit old {};
  getrlimit(RLIMIT_FSIZE, &old);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 20000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  int rc = writer.Create(file);
  ASSERT_EQ(writer.BeginPage(false, false), ecOK);
  std::vector<std::uint8_t> data(1000, 0x55);
  for (int i = 0; i < 100 && rc == ecOK; ++i) rc = writer.WriteLine(data.data(), data.size());
  if (rc == ecOK) rc = writer.EndPage();
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(rc, ecDiskFull);
  EXPECT_EQ(dir.Read("big.apf"), "the old fax");
  EXPECT_EQ(writer.Close("X"), ecDiskFull);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

}  // namespace
}  // namespace tv
