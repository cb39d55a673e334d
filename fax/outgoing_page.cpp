#include "fax/outgoing_page.h"

#include <algorithm>
#include <array>

namespace tv {

namespace {

constexpr int kEolZeros = 11;  // an EOL is eleven zeros and a one; fill makes the zeros more
constexpr int kMaxCodeTrailingZeros = 3;  // white 20 (0001000), for one

}  // namespace

void ScanLineFill::Put(unsigned bit, std::vector<std::uint8_t>& out) {
  pending_ = static_cast<std::uint8_t>(pending_ | (bit << pendingBits_));
  if (++pendingBits_ == 8) {
    out.push_back(pending_);
    pending_ = 0;
    pendingBits_ = 0;
  }
}

void ScanLineFill::PutZeros(int count, std::vector<std::uint8_t>& out) {
  for (int i = 0; i < count; ++i) Put(0, out);
}

// Zeros wait for the bit after them: only then is it known whether they
// lead up to an EOL. At the end of the input, zeros pending go out up to
// the next byte boundary, so that the output ends among them: a modem that
// runs short of data between two pieces sends zeros, which do no harm
// there (a coded line ends with zeros before its EOL) and would break a
// code.
void ScanLineFill::Process(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out) {
  for (std::uint8_t byte : in) {
    for (int i = 0; i < 8; ++i) {
      const unsigned bit = (byte >> i) & 1u;  // the first bit on the line is bit 0
      if (bit == 0) {
        ++zeroRun_;
        continue;
      }
      if (zeroRun_ >= kEolZeros) {
        // This one closes an EOL, and with it a line: data, fill and EOL
        // together must last the minimum time.
        int zeros = compact_ ? std::min(zeroRun_, kEolZeros + kMaxCodeTrailingZeros) : zeroRun_;
        if (lineHasData_) zeros = std::max(zeros, minimumBits_ - lineBits_ - 1);
        PutZeros(zeros - zerosSent_, out);
        lineBits_ = 0;
        lineHasData_ = false;
      } else {
        PutZeros(zeroRun_ - zerosSent_, out);
        lineBits_ += zeroRun_ + 1;
        lineHasData_ = true;
      }
      zeroRun_ = 0;
      zerosSent_ = 0;
      Put(1, out);
    }
  }
  const int toBoundary = std::min((8 - pendingBits_) % 8, zeroRun_ - zerosSent_);
  PutZeros(toBoundary, out);
  zerosSent_ += toBoundary;
}

void ScanLineFill::Flush(std::vector<std::uint8_t>& out) {
  PutZeros(zeroRun_ - zerosSent_, out);
  zeroRun_ = 0;
  zerosSent_ = 0;
  if (pendingBits_ == 0) return;
  out.push_back(pending_);
  pending_ = 0;
  pendingBits_ = 0;
}

int OutgoingPage::Open(const std::string& file, int page) {
  reader_.Close();
  ended_ = false;
  reduce_ = false;
  fill_.reset();
  coded_.clear();
  upperLine_.clear();
  decoder_.StartPage();
  coder_.SetMargin(0);
  return reader_.Open(file, page);
}

long OutgoingPage::Next(std::vector<std::uint8_t>& out) {
  out.clear();
  if (ended_) return 0;
  if (!fill_) fill_.emplace(minimumBytes_, reduce_ || Header().LineBlocks());
  std::array<std::uint8_t, kApfMaxBlock> block{};
  while (out.empty()) {
    const long n = reader_.NextBlock(block);
    if (n < 0) return n;
    const std::span<const std::uint8_t> data(block.data(), static_cast<std::size_t>(n));
    coded_.clear();
    if (n == 0) {
      ended_ = true;
      if (reduce_) FinishReduced(coded_);
      fill_->Process(coded_, out);
      fill_->Flush(out);
      return static_cast<long>(out.size());
    }
    if (reduce_) {
      NextReduced(data, coded_);
      fill_->Process(coded_, out);
    } else {
      fill_->Process(data, out);
    }
  }
  return static_cast<long>(out.size());
}

void OutgoingPage::NextReduced(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out) {
  decoder_.Decode(data.data(), data.size(), [&](const std::uint8_t* line, int bytes) {
    if (upperLine_.empty()) {
      upperLine_.assign(line, line + bytes);
      return true;
    }
    std::vector<std::uint8_t> merged(line, line + bytes);
    for (std::size_t i = 0; i < merged.size() && i < upperLine_.size(); ++i) merged[i] |= upperLine_[i];
    upperLine_.clear();
    CodeLine(merged.data(), merged.size(), out);
    return true;
  });
}

void OutgoingPage::CodeLine(const std::uint8_t* raster, std::size_t bytes, std::vector<std::uint8_t>& out) {
  coder_.SetWidth(static_cast<int>(bytes) * 8);
  const std::span<const std::uint8_t> coded = coder_.CodeLine(raster);
  out.insert(out.end(), coded.begin(), coded.end());
}

// A line left without its pair goes out alone, and the page ends as every
// page does.
void OutgoingPage::FinishReduced(std::vector<std::uint8_t>& out) {
  if (!upperLine_.empty()) {
    CodeLine(upperLine_.data(), upperLine_.size(), out);
    upperLine_.clear();
  }
  out.insert(out.end(), kEndOfPageCodes.begin(), kEndOfPageCodes.end());
}

}  // namespace tv
