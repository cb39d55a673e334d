// One page of an APF file as the sender puts it on the line (before DLE
// doubling): every coded scan line at least as long as the far end's
// minimum scan-line time asks, and a fine page the far end cannot take
// reduced to standard resolution.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/apf_file.h"
#include "image/t4_coding.h"

namespace tv {

// Lengthens coded lines to a minimum by fill: zero bits before the EOL that
// closes each line with data in it (T.4 puts fill only there). EOLs with no
// data before them, as at the start and the end of a page, get none.
// Compacting, it first drops the fill the data came with: of the zeros
// before each EOL's one it keeps the eleven of the EOL and the three the
// line's last code may end with (no Modified Huffman code ends with more).
class ScanLineFill {
 public:
  explicit ScanLineFill(int minimumBytes, bool compact = false)
      : minimumBits_(minimumBytes * 8), compact_(compact) {}
  // Appends the filled bits of `in` to `out`; a part byte waits for the next call.
  void Process(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out);
  // Appends the part byte left, its unused bits zero.
  void Flush(std::vector<std::uint8_t>& out);

 private:
  void Put(unsigned bit, std::vector<std::uint8_t>& out);
  void PutZeros(int count, std::vector<std::uint8_t>& out);

  int minimumBits_;
  bool compact_;
  int zeroRun_ = 0;
  int zerosSent_ = 0;  // of the zero run, sent ahead to end the output on a byte
  int lineBits_ = 0;
  bool lineHasData_ = false;
  std::uint8_t pending_ = 0;
  int pendingBits_ = 0;
};

class OutgoingPage {
 public:
  // Opens page `page` (from 1) of an APF file; 0 or an error code.
  int Open(const std::string& file, int page);
  void Close() { reader_.Close(); }
  const TApfPageHeader& Header() const { return reader_.PageHeader(); }
  // Bytes of the stored page used so far, for the progress figures.
  std::uint32_t BytesRead() const { return reader_.BytesRead(); }

  // How the page goes out: each coded line at least minimumBytes long, and
  // (for a fine page) every two lines made one, a black pixel in either
  // staying black. Set before the first Next. Pages this program coded
  // (line blocks, reduced pages) go without the fill they were stored with;
  // a stream page (a fax received) goes as it came, with fill added where
  // the minimum asks for it.
  void SetLineMinimum(int minimumBytes) { minimumBytes_ = minimumBytes; }
  void SetReduceToStandard(bool on) { reduce_ = on && Header().Fine(); }
  bool Reduced() const { return reduce_; }

  // The next piece of the page into `out` (replacing what it held): > 0
  // bytes, 0 at the end of the page, or a negative error code.
  long Next(std::vector<std::uint8_t>& out);

 private:
  void NextReduced(std::span<const std::uint8_t> block, std::vector<std::uint8_t>& out);
  void CodeLine(const std::uint8_t* raster, std::size_t bytes, std::vector<std::uint8_t>& out);
  void FinishReduced(std::vector<std::uint8_t>& out);

  ApfPageReader reader_;
  int minimumBytes_ = 0;
  bool reduce_ = false;
  bool ended_ = false;
  std::optional<ScanLineFill> fill_;  // made at the first Next, when the page's form is known
  std::vector<std::uint8_t> coded_;
  T4Decoder decoder_;
  T4LineCoder coder_;
  std::vector<std::uint8_t> upperLine_;  // the first line of a pair, waiting for the second
};

}  // namespace tv
