#include "fax/outgoing_page.h"

#include <algorithm>
#include <array>

namespace tv {

namespace {

constexpr int kEolZeros = 11;  // an EOL is eleven zeros and a one; fill makes the zeros more

}  // namespace

void ScanLineFill::Put(unsigned bit, std::vector<std::uint8_t>& out) {
  pending_ = static_cast<std::uint8_t>(pending_ | (bit << pendingBits_));
  if (++pendingBits_ == 8) {
    out.push_back(pending_);
    pending_ = 0;
    pendingBits_ = 0;
  }
}

void ScanLineFill::Process(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out) {
  for (std::uint8_t byte : in) {
    for (int i = 0; i < 8; ++i) {
      const unsigned bit = (byte >> i) & 1u;  // the first bit on the line is bit 0
      if (bit == 0) {
        ++zeroRun_;
        ++lineBits_;
        Put(0, out);
        continue;
      }
      if (zeroRun_ >= kEolZeros) {
        // This one closes an EOL, and with it a line: data, fill and EOL
        // together must last the minimum time.
        if (lineHasData_) {
          for (int fill = lineBits_ + 1; fill < minimumBits_; ++fill) Put(0, out);
        }
        lineBits_ = 0;
        lineHasData_ = false;
      } else {
        ++lineBits_;
        lineHasData_ = true;
      }
      zeroRun_ = 0;
      Put(1, out);
    }
  }
}

void ScanLineFill::Flush(std::vector<std::uint8_t>& out) {
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
  upperLine_.clear();
  decoder_.StartPage();
  coder_.SetMargin(0);
  return reader_.Open(file, page);
}

long OutgoingPage::Next(std::vector<std::uint8_t>& out) {
  out.clear();
  if (ended_) return 0;
  std::array<std::uint8_t, kApfMaxBlock> block{};
  while (out.empty()) {
    const long n = reader_.NextBlock(block);
    if (n < 0) return n;
    const std::span<const std::uint8_t> data(block.data(), static_cast<std::size_t>(n));
    if (n == 0) {
      ended_ = true;
      if (reduce_) {
        FinishReduced(out);
      } else if (fill_) {
        fill_->Flush(out);
      }
      return static_cast<long>(out.size());
    }
    if (reduce_) {
      NextReduced(data, out);
    } else {
      NextStored(data, out);
    }
  }
  return static_cast<long>(out.size());
}

void OutgoingPage::NextStored(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out) {
  if (Header().LineBlocks()) {
    // A block is one coded line: zeros after its data are its fill.
    out.assign(data.begin(), data.end());
    if (out.size() < static_cast<std::size_t>(minimumBytes_)) out.resize(static_cast<std::size_t>(minimumBytes_), 0);
  } else if (minimumBytes_ > 0) {
    if (!fill_) fill_.emplace(minimumBytes_);
    fill_->Process(data, out);
  } else {
    out.assign(data.begin(), data.end());
  }
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
    CodeLine(merged.data(), bytes, out);
    return true;
  });
}

void OutgoingPage::CodeLine(const std::uint8_t* raster, int bytes, std::vector<std::uint8_t>& out) {
  coder_.SetWidth(bytes * 8);
  const std::span<const std::uint8_t> coded = coder_.CodeLine(raster);
  out.insert(out.end(), coded.begin(), coded.end());
  if (coded.size() < static_cast<std::size_t>(minimumBytes_)) {
    out.resize(out.size() + static_cast<std::size_t>(minimumBytes_) - coded.size(), 0);
  }
}

// A line left without its pair goes out alone, and the page ends as every
// page does.
void OutgoingPage::FinishReduced(std::vector<std::uint8_t>& out) {
  if (!upperLine_.empty()) {
    CodeLine(upperLine_.data(), static_cast<int>(upperLine_.size()), out);
    upperLine_.clear();
  }
  out.insert(out.end(), kEndOfPageCodes.begin(), kEndOfPageCodes.end());
}

}  // namespace tv
