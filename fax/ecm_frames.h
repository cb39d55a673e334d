// Error correction (T.30 Annex A, T.4 Annex A): a page's coded data goes in
// numbered frames of 256 (or 64) octets, up to 256 frames a block (a partial
// page). After each block the sender asks with PPS whether the block is
// whole; the receiver answers MCF, or PPR with a bit map of the frames it
// lacks, and only those go again.
//
// The sender's side cuts a page into blocks and keeps which frames are still
// to go; the receiver's side gathers a block's frames and says which are
// missing. Neither touches the modem: the state machines do.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tv {

inline constexpr int kEcmFramesPerBlock = 256;
// A PPR's bit map: one bit a frame, frame n in bit n % 8 of octet n / 8.
inline constexpr std::size_t kPprMapOctets = kEcmFramesPerBlock / 8;
// T.30: after the fourth PPR for one block the sender steps the rate down
// (CTC) or gives the block up as it is (EOR).
inline constexpr int kPprsBeforeCtc = 4;

// The information field of a PPS: the command that ends the block (PPS-NULL
// in the middle of a page), page and block counters, frames less one.
struct PpsField {
  std::uint8_t command = 0;  // without the X bit
  std::uint8_t page = 0;
  std::uint8_t block = 0;
  int frames = 0;            // 1..256
};
std::optional<PpsField> ReadPpsField(std::string_view info);

class EcmOutgoingPage {
 public:
  // `data`: the page's coded data, whole; frameBytes 256 or 64.
  EcmOutgoingPage() = default;
  EcmOutgoingPage(std::vector<std::uint8_t> data, int frameBytes);

  bool Empty() const { return data_.empty(); }
  int Block() const { return block_; }
  int Blocks() const;
  bool LastBlock() const { return block_ + 1 >= Blocks(); }
  int FramesInBlock() const;

  // The frames of the next burst: every frame of a new block, then the
  // ones the last PPR asked for.
  const std::vector<int>& Burst() const { return burst_; }
  // The body of a frame of this block after its address and control
  // octets: FCD, the frame number, the data (the page's last frame filled
  // up with zero octets).
  std::vector<std::uint8_t> FrameBody(int frame) const;
  // The PPS information for the burst just sent.
  PpsField Pps(std::uint8_t command, int page) const;

  // A PPR's map: the frames it names (of this block) make the next burst;
  // false when it names none, which a sound receiver never does.
  bool TakePpr(std::string_view map);
  int Pprs() const { return pprs_; }
  // The block was confirmed (MCF, or ERR after EOR): on to the next one.
  void NextBlock();

 private:
  void StartBurst();

  std::vector<std::uint8_t> data_;
  int frameBytes_ = 256;
  int block_ = 0;
  int pprs_ = 0;
  bool resent_ = false;  // the burst holds frames asked for again
  std::vector<int> burst_;
};

// A burst as the page modulation carries it: flags, the burst's frames,
// three RCP frames, flags, framed by HDLC.
std::vector<std::uint8_t> EcmBurst(const EcmOutgoingPage& page);

// One page as error-correction frames come in.
class EcmIncomingPage {
 public:
  void Start(int frameBytes);
  // An FCD frame's information field (frame number, data); false when it
  // is not one this page can hold (a frame number beyond the block or data
  // longer than a frame).
  bool TakeFrame(std::string_view info);
  // A PPS for the block: true when every frame of it has come (the block's
  // data joins the page), else the PPR map of the missing ones in `map`.
  // The first PPS of a block fixes its frame count.
  bool BlockWhole(const PpsField& pps, std::array<std::uint8_t, kPprMapOctets>& map);
  // EOR: the block is given up as it is; frames missing are left out.
  void TakeBlockAsIs();
  // The page's data, in order (the blocks confirmed so far).
  const std::vector<std::uint8_t>& Data() const { return data_; }
  int FramesReceived() const { return framesReceived_; }
  int Pprs() const { return pprs_; }

 private:
  void JoinBlock();

  int frameBytes_ = 256;
  int blockFrames_ = 0;  // 0 until the block's first PPS
  std::array<std::optional<std::string>, kEcmFramesPerBlock> frames_{};
  std::vector<std::uint8_t> data_;
  int framesReceived_ = 0;
  int pprs_ = 0;  // for the current block
};

}  // namespace tv
