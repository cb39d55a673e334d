// The one part of the index that touches its file: page reads and writes,
// a cache of decoded pages, page allocation with the free-page list, and the
// file header's change protocol.
//
// Decoded pages are changed in the cache and written back by WriteChanges.
// While they differ from the file, the file header carries an "update in
// progress" mark and its change counter has moved on, so a writer stopped at
// any moment leaves an index the next open recognises as stale, and programs
// sharing the table see that they must read again.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "store/cdx_page.h"
#include "store/table_file.h"

namespace tv {

// Decoded pages, found by page number without hashing.
class CdxPageCache {
 public:
  CdxNode* Find(std::uint32_t offset) const {
    const std::size_t page = offset / kCdxPageSize;
    return page < pages_.size() ? pages_[page].get() : nullptr;
  }
  CdxNode& Put(std::uint32_t offset, std::unique_ptr<CdxNode> node);
  void Erase(std::uint32_t offset);
  void Clear();
  std::size_t Size() const { return count_; }
  // Drops pages that are not dirty until at most `keep` remain.
  void DropClean(std::size_t keep);

 private:
  std::vector<std::unique_ptr<CdxNode>> pages_;
  std::size_t count_ = 0;
};

class CdxPager {
 public:
  // Opens a file and reads its header: xbBadIndex for a damaged file, and
  // xbStaleIndex for one a writer left part-way through a change.
  static std::unique_ptr<CdxPager> Open(const std::string& path, bool readOnly);
  // A new, empty file that takes `path`'s place only at Commit.
  static std::unique_ptr<CdxPager> Create(const std::string& path);

  const std::string& Path() const { return file_.Path(); }
  std::uint64_t FileSize() const { return fileSize_; }
  const CdxFileHeader& Header() const { return header_; }

  void ReadPage(std::uint32_t offset, std::uint8_t* page) const;
  void WritePage(std::uint32_t offset, const std::uint8_t* page);
  // A tag's header (kCdxHeaderBytes) in one write.
  void WriteHeader(std::uint32_t offset, const std::uint8_t* head);
  // Consecutive pages in one write.
  void WriteRun(std::uint32_t offset, const std::vector<std::uint8_t>& bytes);

  std::uint32_t AllocatePage();
  std::uint32_t AllocateHeader();  // kCdxHeaderBytes at the end of the file
  void FreePage(std::uint32_t offset);

  // The decoded page at `offset`, read and decoded on first use.
  CdxNode& Load(std::uint32_t offset, int keyLength, char filler);
  CdxNode& Put(std::uint32_t offset, std::unique_ptr<CdxNode> node) { return cache_.Put(offset, std::move(node)); }
  // The page differs from the file; kept with what encoding it needs.
  void MarkDirty(std::uint32_t offset, int keyLength, char filler);
  std::size_t DirtyPages() const { return dirty_.size(); }
  // Forgets decoded pages that match the file, down to half of maxPages,
  // once more than maxPages are held. Only between operations: it
  // invalidates references to entries.
  void TrimCache(std::size_t maxPages);
  void DropCleanPages() { cache_.DropClean(0); }

  // Marks the file as being changed (once until FinishChange).
  void BeginChange();
  bool Changing() const { return header_.changing; }
  // Writes every changed page and the free-page list, pages that follow
  // each other in the file in one write.
  void WriteChanges();
  // Writes the file header with the directory's root, the table's record
  // count and the current letter-case rule, and clears the mark.
  void FinishChange(std::uint32_t directoryRoot, std::uint32_t recordCount);
  // Writes the file out to the disk and, for a new file, puts it in place.
  void Commit();
  // Waits until the disk holds what was written.
  void SyncToDisk() { file_.Sync(); }

  // True when another program changed the file since it was read or last
  // written here, or put another file in its place.
  bool ChangedElsewhere() const;
  bool ReplacedOnDisk() const { return file_.ReplacedOnDisk(); }

 private:
  CdxPager(TableFile file, bool readOnly) : file_(std::move(file)), readOnly_(readOnly) {}
  void ReadFreeList();

  struct Encoding {
    int keyLength;
    char filler;
  };

  TableFile file_;
  bool readOnly_;
  std::uint64_t fileSize_ = 0;
  CdxFileHeader header_;
  // The file header's first page as last read or written: BeginChange
  // rewrites its counter and mark in place with the bytes between them.
  std::array<std::uint8_t, kCdxPageSize> headPage_{};
  std::vector<std::uint32_t> freePages_;  // the list's head last
  bool freeListDirty_ = false;
  CdxPageCache cache_;
  std::unordered_map<std::uint32_t, Encoding> dirty_;
};

}  // namespace tv
