#include "view/fax_pages.h"

#include <algorithm>

#include "image/apf_file.h"
#include "platform/error_codes.h"
#include "platform/files.h"

namespace tv {

// A page unpacks in a few milliseconds, so the viewer does not pump window
// messages in the middle of one (and so never re-enters itself from there).
FaxPages::FaxPages() { unpacker_.SetOptions(kUnpackDoubleHeight); }

int FaxPages::Open(const std::string& fileName) {
  if (fileName.empty() || !IsRegularFile(fileName)) return ecFileNotFound;
  TApfFileHeader header;
  if (int rc = ApfReadFileHeader(fileName, header); rc != ecOK) return rc;
  if (header.pageCount == 0) return ecFaxBadFormat;
  Close();
  fileName_ = fileName;
  pageCount_ = header.pageCount;
  return ecOK;
}

void FaxPages::Close() {
  DropKept();
  fileName_.clear();
  pageCount_ = 0;
}

void FaxPages::SetAutoScale(unsigned bits) {
  bits &= kUnpackDoubleHeight | kUnpackHalfWidth;
  if (bits == (unpacker_.Options() & (kUnpackDoubleHeight | kUnpackHalfWidth))) return;
  unpacker_.SetOptions(bits);
  DropKept();
}

int FaxPages::SetWhitespace(int from, int to) {
  if (int rc = unpacker_.SetWhitespaceCompression(from, to); rc != ecOK) return rc;
  DropKept();
  return ecOK;
}

void FaxPages::SetKeep(int pages) {
  keep_ = std::max(pages, 1);
  while (static_cast<int>(kept_.size()) > keep_) kept_.pop_back();
}

bool FaxPages::IsKept(int n) const {
  return std::any_of(kept_.begin(), kept_.end(), [n](const KeptPage& k) { return k.number == n; });
}

int FaxPages::Page(int n, const MonoBitmap*& page) {
  page = nullptr;
  if (!IsOpen() || n < 1 || n > pageCount_) return ecBadArgument;
  auto found = std::find_if(kept_.begin(), kept_.end(), [n](const KeptPage& k) { return k.number == n; });
  if (found == kept_.end()) {
    MonoBitmap bitmap;
    if (int rc = unpacker_.UnpackPageToBitmap(fileName_, n, bitmap); rc != ecOK) return rc;
    if (static_cast<int>(kept_.size()) >= keep_) kept_.pop_back();
    kept_.push_front({n, std::move(bitmap)});
  } else if (found != kept_.begin()) {
    kept_.splice(kept_.begin(), kept_, found);
  }
  page = &kept_.front().bitmap;
  return ecOK;
}

int FaxPages::PageFlags(int n, std::uint16_t& flags) const {
  if (!IsOpen() || n < 1 || n > pageCount_) return ecBadArgument;
  TApfPageHeader header;
  if (int rc = ApfReadPageHeader(fileName_, n, header); rc != ecOK) return rc;
  flags = header.pageFlags;
  return ecOK;
}

}  // namespace tv
