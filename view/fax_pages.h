// The pages of one fax file as the viewer needs them: the file is checked
// when it is opened, a page is unpacked the first time it is asked for, and
// only the last few pages asked for are kept, so a fax of any length opens
// at once and holds little memory.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "image/fax_unpacker.h"
#include "image/mono_bitmap.h"

namespace tv {

class FaxPages {
 public:
  static constexpr int kDefaultKeep = 4;

  FaxPages();

  // ecFileNotFound when the name is empty, the file is missing or is not a
  // regular file; ecFaxBadFormat when it is not an APF file or holds no
  // pages; else 0. On failure the fax open before stays open.
  int Open(const std::string& fileName);
  void Close();
  bool IsOpen() const { return !fileName_.empty(); }
  const std::string& FileName() const { return fileName_; }
  int PageCount() const { return pageCount_; }

  // Unpacker options for pages unpacked from now on (kUnpackDoubleHeight,
  // kUnpackHalfWidth or neither); kept pages are dropped when they change.
  void SetAutoScale(unsigned bits);
  // Blank-line compression as the unpacker has it; ecBadArgument when the
  // pair is not allowed.
  int SetWhitespace(int from, int to);
  // How many unpacked pages are kept (at least 1).
  void SetKeep(int pages);
  int Keep() const { return keep_; }

  // Page n (1..PageCount), unpacked unless kept. Returns 0 and points `page`
  // at the bitmap (valid until the next call), or the unpacker's error code
  // (ecBadArgument for a page outside the fax). A page that fails can be
  // asked for again; the other pages are not affected.
  int Page(int n, const MonoBitmap*& page);
  bool IsKept(int n) const;
  // The flags of page n's header (kApfFine, kApfWide, kApfLineBlocks).
  int PageFlags(int n, std::uint16_t& flags) const;

 private:
  struct KeptPage {
    int number;
    MonoBitmap bitmap;
  };

  void DropKept() { kept_.clear(); }

  FaxUnpacker unpacker_;
  std::string fileName_;
  int pageCount_ = 0;
  int keep_ = kDefaultKeep;
  std::list<KeptPage> kept_;  // most recently used first
};

}  // namespace tv
