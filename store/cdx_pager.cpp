#include "store/cdx_pager.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "platform/bytes.h"
#include "store/xbase_error.h"

namespace tv {

CdxNode& CdxPageCache::Put(std::uint32_t offset, std::unique_ptr<CdxNode> node) {
  const std::size_t page = offset / kCdxPageSize;
  if (page >= pages_.size()) pages_.resize(page + 1 + page / 4);
  if (!pages_[page]) ++count_;
  pages_[page] = std::move(node);
  return *pages_[page];
}

void CdxPageCache::Erase(std::uint32_t offset) {
  const std::size_t page = offset / kCdxPageSize;
  if (page < pages_.size() && pages_[page]) {
    pages_[page].reset();
    --count_;
  }
}

void CdxPageCache::Clear() {
  pages_.clear();
  count_ = 0;
}

void CdxPageCache::DropClean(std::size_t keep) {
  for (std::size_t page = 0; page < pages_.size() && count_ > keep; ++page) {
    if (pages_[page] && !pages_[page]->dirty) {
      pages_[page].reset();
      --count_;
    }
  }
}

std::unique_ptr<CdxPager> CdxPager::Create(const std::string& path) {
  std::unique_ptr<CdxPager> pager(new CdxPager(TableFile::CreateReplacement(path), false));
  pager->fileSize_ = kCdxHeaderBytes;
  pager->header_.ownMark = true;
  pager->header_.changing = true;  // nothing on disk yet: the first FinishChange writes it all
  pager->header_.collation = kCdxCollation;
  return pager;
}

std::unique_ptr<CdxPager> CdxPager::Open(const std::string& path, bool readOnly) {
  // A link, a pipe or a device under the index's name is no damaged index to
  // build again over it: it is refused as it is.
  std::unique_ptr<CdxPager> pager(new CdxPager(TableFile::Open(path, !readOnly, xbFileError), readOnly));
  const std::uint64_t size = pager->file_.Size();
  if (size < kCdxHeaderBytes + kCdxPageSize || size > 0xFFFFFE00u) CdxFault(path, "wrong file length");
  pager->fileSize_ = size - size % kCdxPageSize;
  std::uint8_t head[kCdxHeaderBytes];
  pager->ReadPage(0, head);
  pager->ReadPage(kCdxPageSize, head + kCdxPageSize);
  pager->header_ = DecodeCdxFileHeader(head, path);
  std::copy_n(head, kCdxPageSize, pager->headPage_.begin());
  if (pager->header_.changing)
    throw XbaseError(xbStaleIndex, path + " was left half-updated by a program that stopped; rebuild the indexes");
  // Another program's file: its keys are taken as built by the rule in use.
  if (!pager->header_.ownMark) pager->header_.collation = kCdxCollation;
  pager->ReadFreeList();
  return pager;
}

void CdxPager::ReadFreeList() {
  // Each free page starts with the offset of the next one; 0 or -1 ends the
  // list. Followed with a guard against loops.
  std::set<std::uint32_t> seen;
  for (std::uint32_t page = header_.freeListHead; page != 0 && page != kCdxNone;) {
    if (page % kCdxPageSize != 0 || page < kCdxHeaderBytes || page >= fileSize_ || !seen.insert(page).second)
      CdxFault(Path(), "broken free-page list");
    freePages_.push_back(page);
    std::uint8_t bytes[kCdxPageSize];
    ReadPage(page, bytes);
    page = Le32(bytes);
  }
  std::reverse(freePages_.begin(), freePages_.end());  // allocation pops from the back: head first
}

void CdxPager::ReadPage(std::uint32_t offset, std::uint8_t* page) const {
  if (offset % kCdxPageSize != 0 || static_cast<std::uint64_t>(offset) + kCdxPageSize > fileSize_)
    CdxFault(Path(), "page offset " + std::to_string(offset) + " outside the file");
  if (file_.ReadAt(offset, page, kCdxPageSize) != kCdxPageSize)
    CdxFault(Path(), "file ends inside page " + std::to_string(offset));
}

void CdxPager::WritePage(std::uint32_t offset, const std::uint8_t* page) { file_.WriteAt(offset, page, kCdxPageSize); }

void CdxPager::WriteHeader(std::uint32_t offset, const std::uint8_t* head) {
  file_.WriteAt(offset, head, kCdxHeaderBytes);
}

void CdxPager::WriteRun(std::uint32_t offset, const std::vector<std::uint8_t>& bytes) {
  file_.WriteAt(offset, bytes.data(), bytes.size());
}

std::uint32_t CdxPager::AllocatePage() {
  if (!freePages_.empty()) {
    const std::uint32_t page = freePages_.back();
    freePages_.pop_back();
    freeListDirty_ = true;
    return page;
  }
  const auto page = static_cast<std::uint32_t>(fileSize_);
  fileSize_ += kCdxPageSize;
  return page;
}

std::uint32_t CdxPager::AllocateHeader() {
  const auto offset = static_cast<std::uint32_t>(fileSize_);
  fileSize_ += kCdxHeaderBytes;
  return offset;
}

void CdxPager::FreePage(std::uint32_t offset) {
  cache_.Erase(offset);
  dirty_.erase(offset);
  freePages_.push_back(offset);
  freeListDirty_ = true;
}

CdxNode& CdxPager::Load(std::uint32_t offset, int keyLength, char filler) {
  if (CdxNode* cached = cache_.Find(offset)) return *cached;
  std::uint8_t page[kCdxPageSize];
  ReadPage(offset, page);
  return cache_.Put(offset,
                    std::make_unique<CdxNode>(DecodeCdxPage(page, offset, keyLength, filler, fileSize_, Path())));
}

void CdxPager::MarkDirty(std::uint32_t offset, int keyLength, char filler) {
  CdxNode& node = *cache_.Find(offset);
  if (node.dirty) return;
  node.dirty = true;
  dirty_[offset] = Encoding{keyLength, filler};
}

void CdxPager::TrimCache(std::size_t maxPages) {
  if (cache_.Size() <= maxPages) return;
  // Down to half, so that the cost of trimming spreads over the many page
  // reads it takes to fill the cache again.
  cache_.DropClean(maxPages / 2);
}

void CdxPager::BeginChange() {
  if (readOnly_) throw XbaseError(xbReadOnly, Path() + " is open read-only");
  if (header_.changing) return;
  header_.changing = true;
  ++header_.changeCounter;
  // Only the change counter and the mark with its flag change; the bytes
  // between belong to the directory's header and go back as they were.
  std::uint8_t* head = headPage_.data();
  PutBe32(head + kCdxCounterOffset, header_.changeCounter);
  EncodeCdxChangingMark(head + kCdxOwnMarkOffset);
  constexpr int kEnd = kCdxOwnMarkOffset + 5;
  file_.WriteAt(kCdxCounterOffset, head + kCdxCounterOffset, kEnd - kCdxCounterOffset);
}

void CdxPager::WriteChanges() {
  std::vector<std::pair<std::uint32_t, Encoding>> pages(dirty_.begin(), dirty_.end());
  std::sort(pages.begin(), pages.end(), [](const auto& a, const auto& b) { return a.first < b.first; });  // file order
  std::vector<std::uint8_t> run;
  std::uint32_t runStart = 0;
  for (const auto& [offset, encoding] : pages) {
    if (!run.empty() && runStart + run.size() != offset) {
      WriteRun(runStart, run);
      run.clear();
    }
    if (run.empty()) runStart = offset;
    run.resize(run.size() + kCdxPageSize);
    CdxNode& node = *cache_.Find(offset);
    EncodeCdxNode(node, encoding.keyLength, encoding.filler, run.data() + run.size() - kCdxPageSize);
    node.dirty = false;
  }
  if (!run.empty()) WriteRun(runStart, run);
  dirty_.clear();
  if (freeListDirty_) {
    std::uint8_t page[kCdxPageSize];
    for (std::size_t i = 0; i < freePages_.size(); ++i) {
      std::memset(page, 0, kCdxPageSize);
      if (i > 0) PutLe32(page, freePages_[i - 1]);
      WritePage(freePages_[i], page);
    }
    freeListDirty_ = false;
  }
}

void CdxPager::FinishChange(std::uint32_t directoryRoot, std::uint32_t recordCount) {
  header_.directoryRoot = directoryRoot;
  header_.freeListHead = freePages_.empty() ? 0 : freePages_.back();
  header_.ownMark = true;
  header_.changing = false;
  header_.recordCount = recordCount;
  std::uint8_t head[kCdxHeaderBytes];
  EncodeCdxFileHeader(header_, head);
  WriteHeader(0, head);
  std::copy_n(head, kCdxPageSize, headPage_.begin());
}

void CdxPager::Commit() { file_.CommitReplacement(); }

bool CdxPager::ChangedElsewhere() const {
  std::uint8_t bytes[4];
  if (file_.ReadAt(kCdxCounterOffset, bytes, 4) != 4) return true;
  return Be32(bytes) != header_.changeCounter || file_.ReplacedOnDisk();
}

}  // namespace tv
