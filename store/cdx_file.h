// A FoxPro compound index file (.CDX): a tag directory whose entries point at
// the tags' 1024-byte headers, and per tag a B+tree. The page format lives in
// cdx_page, the file itself behind the pager, the tree algorithms in
// cdx_tree; this is the index as its table sees it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/cdx_pager.h"
#include "store/cdx_tree.h"

namespace tv {

class CdxFile {
 public:
  // A new file holding an empty tag directory; it takes `path`'s place at
  // Commit, until then any file there stays as it is.
  static std::unique_ptr<CdxFile> Create(const std::string& path);
  // Opens and reads the tag directory and headers. Throws xbBadIndex for a
  // damaged file and xbStaleIndex for one a stopped writer left behind.
  static std::unique_ptr<CdxFile> Open(const std::string& path, bool readOnly);

  const std::string& Path() const { return pager_->Path(); }
  // Tags in creation order (the order of their headers in the file).
  const std::vector<CdxTagInfo>& Tags() const { return tags_; }
  CdxTree& Tree(std::size_t tag) { return *trees_[tag]; }
  // Character keys end in blanks, all others in 0x00 bytes; the trailing
  // counts in the leaves compress that filler. Set from the compiled key
  // expression before the tag's pages are read.
  void SetCharacterKey(std::size_t tag, bool characterKey);

  // Adds a tag holding `keys` (sorted); returns its position in Tags().
  std::size_t AddTag(const CdxTagInfo& info, const CdxKeyList& keys);

  // The table's record count recorded at the last flush, when this program
  // wrote the file; -1 otherwise.
  std::int64_t RecordedCount() const;
  // The letter-case rule the keys were built with (kCdxCollation now).
  std::uint8_t Collation() const { return pager_->Header().collation; }

  // Marks the file as being changed (once until the next Flush).
  void BeginChange() { pager_->BeginChange(); }
  // Writes every changed page and header, then clears the mark.
  void Flush(std::uint32_t recordCount);
  // Flushes a new file and puts it in its path's place.
  void Commit(std::uint32_t recordCount);
  // Waits until the disk holds what was written.
  void SyncToDisk() { pager_->SyncToDisk(); }
  std::size_t DirtyPages() const { return pager_->DirtyPages(); }
  bool Changing() const { return pager_->Changing(); }

  // True when another program changed the file since it was read or last
  // flushed here, or put another file in its place; the caller then reopens
  // it.
  bool ChangedElsewhere() const { return pager_->ChangedElsewhere(); }
  bool ReplacedOnDisk() const { return pager_->ReplacedOnDisk(); }

  // Forgets decoded pages that match the file, down to half of maxPages,
  // once more than maxPages are held. Only between operations: it
  // invalidates references to entries.
  void TrimCache(std::size_t maxPages) { pager_->TrimCache(maxPages); }

 private:
  explicit CdxFile(std::unique_ptr<CdxPager> pager) : pager_(std::move(pager)) {}
  void ReadTags();

  std::unique_ptr<CdxPager> pager_;
  std::unique_ptr<CdxTree> directory_;
  std::vector<CdxTagInfo> tags_;
  std::vector<std::unique_ptr<CdxTree>> trees_;
};

}  // namespace tv
