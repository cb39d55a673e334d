#include "image/apf_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "image/t4_coding.h"
#include "platform/error_codes.h"
#include "platform/files.h"
#include "platform/text.h"

namespace tv {

int TApfPageHeader::WidthPixels() const { return Wide() ? kWideWidth : kStandardWidth; }

TApfFileHeader NewApfFileHeader() {
  TApfFileHeader header;
  header.signature = kApfSignature;
  header.firstPageOffset = kApfFirstPageOffset;
  return header;
}

std::uint32_t PackApfStamp(const std::tm& local) {
  const int year = local.tm_year + 1900;
  if (year < 1980 || year > 2099) return 0;
  return static_cast<std::uint32_t>(year - 1980) << 25 | static_cast<std::uint32_t>(local.tm_mon + 1) << 21 |
         static_cast<std::uint32_t>(local.tm_mday) << 16 | static_cast<std::uint32_t>(local.tm_hour) << 11 |
         static_cast<std::uint32_t>(local.tm_min) << 5 | static_cast<std::uint32_t>(local.tm_sec / 2);
}

std::uint32_t ApfStampNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return PackApfStamp(local);
}

std::tm UnpackApfStamp(std::uint32_t stamp) {
  std::tm t{};
  t.tm_year = static_cast<int>(stamp >> 25) + 80;
  t.tm_mon = static_cast<int>((stamp >> 21) & 0x0F) - 1;
  t.tm_mday = static_cast<int>((stamp >> 16) & 0x1F);
  t.tm_hour = static_cast<int>((stamp >> 11) & 0x1F);
  t.tm_min = static_cast<int>((stamp >> 5) & 0x3F);
  t.tm_sec = static_cast<int>(stamp & 0x1F) * 2;
  return t;
}

void SetApfStationId(TApfFileHeader& header, const std::string& id) {
  const std::size_t n = std::min<std::size_t>(id.size(), kApfMaxStationId);
  header.stationId.fill(' ');
  std::memcpy(header.stationId.data(), id.data(), n);
  header.stationIdLength = static_cast<std::uint8_t>(n);
}

std::string ApfStationId(const TApfFileHeader& header) {
  const std::size_t n = std::min<std::size_t>(header.stationIdLength, kApfMaxStationId);
  return std::string(header.stationId.data(), n);
}

// ---------------------------------------------------------------------------
// Reading

namespace {

// A read that ends early means the file is damaged, not that the disk failed.
int BadFormatIfShort(int code) { return code == ecReadBeyondEnd ? ecFaxBadFormat : code; }

int ReadFileHeader(FaxFile& file, TApfFileHeader& header) {
  const int rc = file.ReadExact(&header, sizeof header);
  if (rc != ecOK) return BadFormatIfShort(rc);
  return header.signature == kApfSignature ? ecOK : ecFaxBadFormat;
}

int OpenAndReadHeader(FaxFile& file, const std::string& fileName, TApfFileHeader& header) {
  if (fileName.empty()) return ecFileNotFound;
  const int rc = file.OpenRead(fileName);
  return rc != ecOK ? rc : ReadFileHeader(file, header);
}

// Walks from the first page to the header of `page` (1-based) and leaves the
// file at that page's data.
int WalkToPage(FaxFile& file, const TApfFileHeader& fileHeader, int page, TApfPageHeader& pageHeader,
               std::int64_t& headerOffset) {
  if (page > fileHeader.pageCount || page < 0) return ecFaxBadFormat;
  std::int64_t offset = fileHeader.firstPageOffset;
  for (int k = 1; k <= page; ++k) {
    if (int rc = file.Seek(offset); rc != ecOK) return rc;
    if (int rc = file.ReadExact(&pageHeader, sizeof pageHeader); rc != ecOK) return BadFormatIfShort(rc);
    headerOffset = offset;
    offset += static_cast<std::int64_t>(sizeof(TApfPageHeader)) + pageHeader.dataLength;
  }
  return ecOK;
}

}  // namespace

bool ApfIsFaxFile(const std::string& fileName) {
  FaxFile file;
  std::array<char, 6> signature{};
  return file.OpenRead(fileName) == ecOK && file.ReadExact(signature.data(), signature.size()) == ecOK &&
         signature == kApfSignature;
}

int ApfReadFileHeader(const std::string& fileName, TApfFileHeader& header) {
  FaxFile file;
  return OpenAndReadHeader(file, fileName, header);
}

int ApfReadPageHeader(const std::string& fileName, int page, TApfPageHeader& header) {
  FaxFile file;
  TApfFileHeader fileHeader;
  if (int rc = OpenAndReadHeader(file, fileName, fileHeader); rc != ecOK) return rc;
  std::int64_t offset = 0;
  return WalkToPage(file, fileHeader, page, header, offset);
}

int ApfReadPageTable(FaxFile& file, TApfFileHeader& header, std::vector<ApfPageLocation>& pages) {
  pages.clear();
  if (int rc = file.Seek(0); rc != ecOK) return rc;
  if (int rc = ReadFileHeader(file, header); rc != ecOK) return rc;
  const std::int64_t size = file.Size();
  if (size < 0) return static_cast<int>(size);
  std::int64_t offset = header.firstPageOffset;
  if (offset < static_cast<std::int64_t>(sizeof header)) return ecFaxBadFormat;
  for (int k = 1; k <= header.pageCount; ++k) {
    ApfPageLocation at;
    at.headerOffset = offset;
    if (int rc = file.Seek(offset); rc != ecOK) return rc;
    if (int rc = file.ReadExact(&at.header, sizeof at.header); rc != ecOK) return BadFormatIfShort(rc);
    offset += static_cast<std::int64_t>(sizeof(TApfPageHeader)) + at.header.dataLength;
    if (offset > size) return ecFaxBadFormat;
    pages.push_back(at);
  }
  return ecOK;
}

int ApfCheckFile(const std::string& fileName) {
  FaxFile file;
  TApfFileHeader header;
  std::vector<ApfPageLocation> pages;
  if (int rc = OpenAndReadHeader(file, fileName, header); rc != ecOK) return rc;
  if (int rc = ApfReadPageTable(file, header, pages); rc != ecOK) return rc;
  return pages.empty() ? ecFaxBadFormat : ecOK;
}

int ApfPageReader::Open(const std::string& fileName, int page) {
  consumed_ = 0;
  FaxFile file;
  if (int rc = OpenAndReadHeader(file, fileName, fileHeader_); rc != ecOK) return rc;
  if (page < 1) return ecFaxBadFormat;
  std::int64_t offset = 0;
  if (int rc = WalkToPage(file, fileHeader_, page, pageHeader_, offset); rc != ecOK) return rc;
  // The page data is read through a buffer: line blocks are small.
  if (int rc = data_.Open(fileName); rc != ecOK) return rc;
  return data_.Seek(offset + static_cast<std::int64_t>(sizeof(TApfPageHeader)));
}

// A read that ends early means the page is cut short.
int ApfPageReader::ReadData(void* into, std::size_t n) {
  const int rc = data_.Read(into, n);
  return rc == ecDeviceReadError ? ecFaxBadFormat : rc;
}

long ApfPageReader::NextBlock(std::span<std::uint8_t, kApfMaxBlock> block) {
  for (;;) {
    const std::uint32_t left = pageHeader_.dataLength - consumed_;
    if (left == 0) return 0;
    std::size_t want = std::min<std::size_t>(left, kApfMaxBlock);
    if (pageHeader_.LineBlocks()) {
      if (left < 2) {  // a dangling byte cannot hold a block count
        consumed_ = pageHeader_.dataLength;
        return 0;
      }
      std::uint16_t count = 0;
      if (int rc = ReadData(&count, sizeof count); rc != ecOK) return rc;
      consumed_ += 2;
      // Never read past the page, even when a count says so.
      want = std::min<std::size_t>({count, kApfMaxBlock, left - 2u});
      if (want == 0) continue;  // an empty block
    }
    if (int rc = ReadData(block.data(), want); rc != ecOK) return rc;
    consumed_ += static_cast<std::uint32_t>(want);
    return static_cast<long>(want);
  }
}

// ---------------------------------------------------------------------------
// Converter-style writer

ApfWriter::~ApfWriter() {
  if (file_.IsOpen()) Abort();
}

int ApfWriter::Fail(int code) {
  if (failure_ == 0) failure_ = code;
  Abort();
  return code;
}

void ApfWriter::Abort() {
  file_.Close();  // the new file goes; a file that was there stays as it was
  pageOpen_ = false;
  if (failure_ == 0) failure_ = ecNotOpen;
}

int ApfWriter::Create(const std::string& fileName) {
  failure_ = 0;
  fill_ = 0;
  pageOpen_ = false;
  try {
    buffer_.assign(kApfMaxBlock, 0);
  } catch (const std::bad_alloc&) {
    return failure_ = ecOutOfMemory;
  }
  if (int rc = file_.CreateReplacement(fileName); rc != ecOK) return failure_ = rc;
  header_ = NewApfFileHeader();
  if (int rc = Put(&header_, sizeof header_); rc != ecOK) return Fail(rc);
  return ecOK;
}

int ApfWriter::Put(const void* data, std::size_t n) {
  if (failure_ != 0) return failure_;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  if (fill_ + n < kApfMaxBlock) {
    std::memcpy(buffer_.data() + fill_, bytes, n);
    fill_ += n;
    return ecOK;
  }
  // Top the buffer up and flush it, write whole buffers straight through, and
  // keep the rest.
  const std::size_t topUp = kApfMaxBlock - fill_;
  std::memcpy(buffer_.data() + fill_, bytes, topUp);
  if (int rc = file_.Write(buffer_.data(), kApfMaxBlock); rc != ecOK) return Fail(rc);
  bytes += topUp;
  n -= topUp;
  const std::size_t direct = n / kApfMaxBlock * kApfMaxBlock;
  if (direct > 0) {
    if (int rc = file_.Write(bytes, direct); rc != ecOK) return Fail(rc);
  }
  fill_ = n - direct;
  std::memcpy(buffer_.data(), bytes + direct, fill_);
  return ecOK;
}

int ApfWriter::Flush() {
  if (failure_ != 0) return failure_;
  if (fill_ > 0) {
    if (int rc = file_.Write(buffer_.data(), fill_); rc != ecOK) return Fail(rc);
  }
  fill_ = 0;
  return ecOK;
}

int ApfWriter::SeekTo(std::int64_t offset) {
  if (int rc = Flush(); rc != ecOK) return rc;
  if (int rc = file_.Seek(offset); rc != ecOK) return Fail(rc);
  return ecOK;
}

std::int64_t ApfWriter::LogicalPosition() const { return file_.Position() + static_cast<std::int64_t>(fill_); }

int ApfWriter::BeginPage(bool fine, bool wide) {
  if (failure_ != 0) return failure_;
  if (header_.pageCount == kApfMaxPages) return Fail(ecBadArgument);
  pageHeaderAt_ = LogicalPosition();
  if (pageHeaderAt_ < 0) return Fail(static_cast<int>(pageHeaderAt_));
  page_ = TApfPageHeader{};
  page_.pageFlags = static_cast<std::uint16_t>(kApfLineBlocks | (fine ? kApfFine : 0) | (wide ? kApfWide : 0));
  pageOpen_ = true;
  return Put(&page_, sizeof page_);
}

int ApfWriter::WriteLine(const std::uint8_t* data, std::size_t n) {
  if (failure_ != 0) return failure_;
  if (n > 0xFFFF) return ecBadArgument;
  const auto count = static_cast<std::uint16_t>(n);
  if (int rc = Put(&count, sizeof count); rc != ecOK) return rc;
  if (int rc = Put(data, n); rc != ecOK) return rc;
  page_.dataLength += static_cast<std::uint32_t>(n + 2);
  return ecOK;
}

int ApfWriter::EndPage() {
  if (int rc = WriteLine(kEndOfPageCodes.data(), kEndOfPageCodes.size()); rc != ecOK) return rc;
  ++header_.pageCount;
  const std::int64_t resume = LogicalPosition();
  if (int rc = SeekTo(pageHeaderAt_); rc != ecOK) return rc;
  if (int rc = file_.Write(&page_, sizeof page_); rc != ecOK) return Fail(rc);
  if (int rc = file_.Seek(resume); rc != ecOK) return Fail(rc);
  pageOpen_ = false;
  return ecOK;
}

int ApfWriter::Close(const std::string& stationId) {
  if (failure_ != 0) return failure_;
  SetApfStationId(header_, stationId);
  header_.creationStamp = ApfStampNow();
  const std::int64_t resume = LogicalPosition();
  if (int rc = SeekTo(0); rc != ecOK) return rc;
  if (int rc = file_.Write(&header_, sizeof header_); rc != ecOK) return Fail(rc);
  if (int rc = file_.Seek(resume); rc != ecOK) return Fail(rc);
  if (int rc = file_.CommitReplacement(); rc != ecOK) return Fail(rc);
  return ecOK;
}

// ---------------------------------------------------------------------------
// Receiver-style writer

namespace {

int ReceiveWriteAt(FaxFile& file, std::int64_t offset, const void* data, std::size_t n) {
  if (int rc = file.Seek(offset); rc != ecOK) return rc;
  return file.Write(data, n);
}

}  // namespace

int ApfReceiveWriter::Create(const std::string& fileName, const std::string& remoteStationId) {
  if (int rc = file_.Create(fileName); rc != ecOK) return rc;
  header_ = NewApfFileHeader();
  header_.creationStamp = ApfStampNow();
  // The caller's ID as it reads, without the blanks that filled its frame.
  SetApfStationId(header_, TrimText(remoteStationId));
  pageOpen_ = false;
  return file_.Write(&header_, sizeof header_);
}

int ApfReceiveWriter::BeginPage(bool fine, bool wide) {
  if (header_.pageCount == kApfMaxPages) return ecBadArgument;
  const std::int64_t size = file_.Size();
  if (size < 0) return static_cast<int>(size);
  pageHeaderAt_ = size;
  page_ = TApfPageHeader{};
  page_.pageFlags = static_cast<std::uint16_t>((fine ? kApfFine : 0) | (wide ? kApfWide : 0));
  pageOpen_ = true;
  return ReceiveWriteAt(file_, pageHeaderAt_, &page_, sizeof page_);
}

int ApfReceiveWriter::Write(const std::uint8_t* data, std::size_t n) {
  if (!pageOpen_) return ecBadArgument;
  // The receiving side knows one failure: the bytes did not all get stored.
  if (file_.Write(data, n) != ecOK) return ecDeviceWriteError;
  page_.dataLength += static_cast<std::uint32_t>(n);
  return ecOK;
}

int ApfReceiveWriter::EndPage() {
  if (!pageOpen_) return ecBadArgument;
  pageOpen_ = false;
  ++header_.pageCount;
  header_.creationStamp = ApfStampNow();
  if (int rc = ReceiveWriteAt(file_, 0, &header_, sizeof header_); rc != ecOK) return rc;
  if (int rc = ReceiveWriteAt(file_, pageHeaderAt_, &page_, sizeof page_); rc != ecOK) return rc;
  const std::int64_t end = pageHeaderAt_ + static_cast<std::int64_t>(sizeof page_) + page_.dataLength;
  return file_.Seek(end);
}

int ApfReceiveWriter::DiscardPage() {
  if (!pageOpen_) return ecBadArgument;
  pageOpen_ = false;
  if (::ftruncate(file_.Descriptor(), pageHeaderAt_) != 0) return IoErrorFromErrno(errno);
  return file_.Seek(pageHeaderAt_);
}

// ---------------------------------------------------------------------------
// Appending

int ApfJoinFiles(const std::vector<std::string>& sources, const std::string& destination) {
  if (sources.empty()) return ecBadArgument;
  for (const std::string& source : sources)
    if (!IsRegularFile(source)) return ecFileNotFound;
  struct Part {
    FaxFile file;
    TApfFileHeader header;
    std::vector<ApfPageLocation> pages;
  };
  std::vector<Part> parts(sources.size());
  unsigned pageCount = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (int rc = parts[i].file.OpenRead(sources[i]); rc != ecOK) return rc;
    if (int rc = ApfReadPageTable(parts[i].file, parts[i].header, parts[i].pages); rc != ecOK) return rc;
    pageCount += parts[i].header.pageCount;
  }
  if (pageCount > kApfMaxPages) return ecBadArgument;
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(kApfMaxBlock);
  } catch (const std::bad_alloc&) {
    return ecOutOfMemory;
  }
  // The first file's header (its stamp and station identifier) with every
  // page counted, then each file's pages unchanged, mixed page flags kept.
  TApfFileHeader header = parts.front().header;
  header.pageCount = static_cast<std::uint16_t>(pageCount);
  header.firstPageOffset = kApfFirstPageOffset;
  FaxFile out;
  if (int rc = out.CreateReplacement(destination); rc != ecOK) return rc;
  if (int rc = out.Write(&header, sizeof header); rc != ecOK) return rc;
  for (Part& part : parts) {
    if (part.pages.empty()) continue;
    const std::int64_t start = part.pages.front().headerOffset;
    const ApfPageLocation& last = part.pages.back();
    const std::int64_t end =
        last.headerOffset + static_cast<std::int64_t>(sizeof(TApfPageHeader)) + last.header.dataLength;
    if (int rc = part.file.Seek(start); rc != ecOK) return rc;
    for (std::int64_t left = end - start; left > 0;) {
      const auto n = static_cast<std::size_t>(std::min<std::int64_t>(left, kApfMaxBlock));
      if (int rc = part.file.ReadExact(buffer.data(), n); rc != ecOK) return BadFormatIfShort(rc);
      if (int rc = out.Write(buffer.data(), n); rc != ecOK) return rc;
      left -= static_cast<std::int64_t>(n);
    }
  }
  return out.CommitReplacement();
}

int ApfAppendFile(const std::string& destination, const std::string& source) {
  return ApfJoinFiles({destination, source}, destination);
}

}  // namespace tv
