// APF fax files: a 64-byte file header and a chain of pages, each a 16-byte
// page header followed by the page's Modified Huffman code data. All numbers
// are little-endian.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <vector>

#include "image/byte_reader.h"
#include "image/file_io.h"

namespace tv {

static_assert(std::endian::native == std::endian::little, "the APF headers are read in place");

inline constexpr std::array<char, 6> kApfSignature = {'A', 'P', 'F', '1', '0', '\x1A'};
inline constexpr std::uint32_t kApfFirstPageOffset = 64;
inline constexpr int kApfMaxStationId = 20;
inline constexpr std::size_t kApfMaxBlock = 4096;
// Coded lines a page holds at most: the longest paper scanned at 600 dpi,
// and some. Longer pages are neither made by the converter nor unpacked.
inline constexpr int kApfMaxPageLines = 16384;
// Pages a file can count: the header keeps the count in 16 bits.
inline constexpr int kApfMaxPages = 0xFFFF;

// Page flags.
inline constexpr std::uint16_t kApfFine = 1;        // fine vertical resolution
inline constexpr std::uint16_t kApfWide = 2;        // 2048 pixels per line
inline constexpr std::uint16_t kApfLineBlocks = 4;  // data stored as counted line blocks

#pragma pack(push, 1)
struct TApfFileHeader {
  std::array<char, 6> signature{};
  std::uint32_t creationStamp = 0;  // packed local date and time, see PackApfStamp
  std::uint8_t stationIdLength = 0;
  std::array<char, kApfMaxStationId> stationId{};
  std::uint8_t reserved1 = 0;
  std::uint16_t pageCount = 0;
  std::uint32_t firstPageOffset = 0;
  std::array<std::uint8_t, 26> reserved2{};
};

struct TApfPageHeader {
  std::uint32_t dataLength = 0;  // bytes of page data after this header
  std::uint16_t pageFlags = 0;
  std::array<std::uint8_t, 10> reserved{};

  bool Fine() const { return (pageFlags & kApfFine) != 0; }
  bool Wide() const { return (pageFlags & kApfWide) != 0; }
  bool LineBlocks() const { return (pageFlags & kApfLineBlocks) != 0; }
  int WidthPixels() const;
};
#pragma pack(pop)

static_assert(sizeof(TApfFileHeader) == 64);
static_assert(sizeof(TApfPageHeader) == 16);

// A header with the signature and first page offset 64, all else 0.
TApfFileHeader NewApfFileHeader();

// Bits 0-4 seconds / 2, 5-10 minutes, 11-15 hours, 16-20 day, 21-24 month,
// 25-31 year - 1980; 0 when the year lies outside 1980..2099.
std::uint32_t PackApfStamp(const std::tm& local);
std::uint32_t ApfStampNow();
std::tm UnpackApfStamp(std::uint32_t stamp);

// Stores at most 20 characters with their length; the other positions hold
// spaces.
void SetApfStationId(TApfFileHeader& header, const std::string& id);
std::string ApfStationId(const TApfFileHeader& header);

// False on any failure or when the first six bytes are not the signature.
bool ApfIsFaxFile(const std::string& fileName);
// 0, ecFileNotFound for an empty name, ecFaxBadFormat, or a negated I/O error.
int ApfReadFileHeader(const std::string& fileName, TApfFileHeader& header);
// Page numbers start at 1; 0 only checks the file header. A page beyond the
// page count is ecFaxBadFormat.
int ApfReadPageHeader(const std::string& fileName, int page, TApfPageHeader& header);

// Reads the data of one page, block by block: a line block in line-block
// form, up to 4096 bytes in stream form. For the unpacker and the sender.
class ApfPageReader {
 public:
  // Checks the file, walks to `page` and stands at its data.
  int Open(const std::string& fileName, int page);
  void Close() { data_.Close(); }

  const TApfFileHeader& FileHeader() const { return fileHeader_; }
  const TApfPageHeader& PageHeader() const { return pageHeader_; }
  // Page bytes used so far, block counts included.
  std::uint32_t BytesRead() const { return consumed_; }

  // The next block's bytes into `block` (4096 bytes): the count (> 0), 0 when
  // the page is used up, ecFaxBadFormat when the file ends early, or a
  // negated I/O error.
  long NextBlock(std::span<std::uint8_t, kApfMaxBlock> block);

 private:
  int ReadData(void* into, std::size_t n);

  ByteReader data_;
  TApfFileHeader fileHeader_{};
  TApfPageHeader pageHeader_{};
  std::uint32_t consumed_ = 0;
};

// Converter-style writer: pages of counted line blocks, output buffered
// through 4096 bytes, written beside the target and put in its place by
// Close, so a file of that name keeps its old contents until the new one is
// complete. Any write failure abandons the new file and is returned by that
// call and every later one.
class ApfWriter {
 public:
  ApfWriter() = default;
  ~ApfWriter();
  ApfWriter(const ApfWriter&) = delete;
  ApfWriter& operator=(const ApfWriter&) = delete;

  int Create(const std::string& fileName);
  int BeginPage(bool fine, bool wide);
  int WriteLine(const std::uint8_t* data, std::size_t n);  // n at most 65535
  int EndPage();  // writes the end-of-page block and completes the header
  int Close(const std::string& stationId);
  void Abort();  // abandons the new file

  bool PageOpen() const { return pageOpen_; }

 private:
  int Put(const void* data, std::size_t n);
  int Flush();
  int SeekTo(std::int64_t offset);
  std::int64_t LogicalPosition() const;
  int Fail(int code);

  FaxFile file_;
  TApfFileHeader header_{};
  TApfPageHeader page_{};
  std::int64_t pageHeaderAt_ = 0;
  bool pageOpen_ = false;
  int failure_ = 0;
  std::vector<std::uint8_t> buffer_;
  std::size_t fill_ = 0;
};

// Receiver-style writer: pages of the received code stream. The file header
// is written at creation and rewritten at every page end, so the file on disk
// is a complete fax after each page.
class ApfReceiveWriter {
 public:
  int Create(const std::string& fileName, const std::string& remoteStationId);
  int BeginPage(bool fine, bool wide);
  int Write(const std::uint8_t* data, std::size_t n);
  int EndPage();
  // Cuts the open page off the file (a page the far end will send again, or
  // one the call broke off): the file ends where the page header stood.
  int DiscardPage();
  void Close() { file_.Close(); }

  int PageCount() const { return header_.pageCount; }
  bool PageOpen() const { return pageOpen_; }

 private:
  FaxFile file_;
  TApfFileHeader header_{};
  TApfPageHeader page_{};
  std::int64_t pageHeaderAt_ = 0;
  bool pageOpen_ = false;
};

// Appends the pages of `source` to `destination`; the destination keeps its
// stamp and station identifier. Both files are checked whole first: a damaged
// file is ecFaxBadFormat and nothing is written. A missing file is
// ecFileNotFound. The joined file replaces the destination in one step.
int ApfAppendFile(const std::string& destination, const std::string& source);
// Writes the pages of every source, in order, as `destination` (which may
// be one of them), with the first source's header; the same checks.
int ApfJoinFiles(const std::vector<std::string>& sources, const std::string& destination);

// One page's place in a file.
struct ApfPageLocation {
  std::int64_t headerOffset = 0;
  TApfPageHeader header{};
};

// Reads the file header and walks the whole page chain, checking that every
// page lies inside the file. ecFaxBadFormat when it does not.
int ApfReadPageTable(FaxFile& file, TApfFileHeader& header, std::vector<ApfPageLocation>& pages);

// Checks a whole file the same way, and that it holds a page at all: 0, or
// the code of what is wrong with it.
int ApfCheckFile(const std::string& fileName);

}  // namespace tv
