// One B+tree of a compound index: a tag's keys or the tag directory. Keys
// are kept ascending by (key bytes, record number); descending tags are
// walked from the right. The tree knows the page format and the algorithms;
// its pages come from, and go back to, the pager.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "store/cdx_pager.h"

namespace tv {

// The keys of one tag in a single block of memory, sorted once and written
// as a whole tree in one pass when a tag is built.
class CdxKeyList {
 public:
  explicit CdxKeyList(int keyLength) : keyLength_(keyLength) {}
  void Reserve(std::size_t count);
  // `key` is exactly the key length.
  void Add(std::string_view key, std::uint32_t recno);
  // Ascending by key, then record number; `unique` keeps the first record of
  // each key only.
  void Sort(bool unique);
  std::size_t Size() const { return recnos_.size(); }
  std::string_view Key(std::size_t i) const {
    return std::string_view(bytes_).substr(i * static_cast<std::size_t>(keyLength_),
                                           static_cast<std::size_t>(keyLength_));
  }
  std::uint32_t Recno(std::size_t i) const { return recnos_[i]; }

 private:
  int keyLength_;
  std::string bytes_;
  std::vector<std::uint32_t> recnos_;
};

class CdxTree {
 public:
  struct Position {
    std::uint32_t leaf = kCdxNone;
    int index = 0;
    bool Valid() const { return leaf != kCdxNone; }
  };

  CdxTree(CdxPager& pager, std::uint32_t headerOffset, std::uint32_t root, int keyLength, char filler);

  // Writes a whole tree for `keys` into newly allocated pages; returns its root.
  static std::uint32_t Build(CdxPager& pager, const CdxKeyList& keys, int keyLength, char filler);

  int KeyLength() const { return keyLength_; }
  char Filler() const { return filler_; }
  // Character keys end in blanks, all others in 0x00 bytes. Set before the
  // tree's pages are read.
  void SetFiller(char filler) { filler_ = filler; }
  std::uint32_t Root() const { return root_; }
  std::uint32_t HeaderOffset() const { return headerOffset_; }
  // The root moved since the tag's header was last written.
  bool RootMoved() const { return rootMoved_; }
  void HeaderWritten() { rootMoved_ = false; }

  // False when the entry was already present (Insert) or absent (Remove).
  bool Insert(std::string_view key, std::uint32_t recno);
  bool Remove(std::string_view key, std::uint32_t recno);

  Position First();
  Position Last();
  Position Next(Position p);
  Position Prior(Position p);
  // The first entry at or after (key, recno); invalid when there is none.
  Position LowerBound(std::string_view key, std::uint32_t recno);
  // The entry at p; its key lasts until the tree changes or drops pages.
  CdxEntry At(Position p);
  // Calls visit for every entry in ascending order, a leaf at a time.
  template <typename Visit>
  void ForEach(Visit visit) {
    Position p = First();
    for (std::uint32_t leaf = p.leaf; leaf != kCdxNone;) {
      const CdxNode& node = Load(leaf);
      for (std::size_t i = 0; i < node.entries.Size(); ++i) visit(node.entries[i]);
      leaf = node.right;
    }
  }

  // Walks every page without caching it and checks the tree's shape, order,
  // sibling links and record numbers (none above recordCount, unless that is
  // kCdxNone); returns the number of keys. Throws XbaseError(xbBadIndex)
  // naming the fault.
  std::uint64_t Verify(std::uint32_t recordCount) const;

 private:
  struct Split {
    std::uint32_t newNode = kCdxNone;
  };
  CdxNode& Load(std::uint32_t offset) { return pager_.Load(offset, keyLength_, filler_); }
  void MarkDirty(std::uint32_t offset) { pager_.MarkDirty(offset, keyLength_, filler_); }
  CdxNode Decode(std::uint32_t offset) const;
  Split InsertInto(std::uint32_t offset, const CdxEntry& entry, bool& inserted);
  bool RemoveFrom(std::uint32_t offset, std::string_view key, std::uint32_t recno, bool& nowEmpty);
  std::uint32_t SplitNode(CdxNode& node);
  bool Fits(CdxNode& node) const;
  void Unlink(CdxNode& node);
  void SetRoot(std::uint32_t root);
  std::uint64_t VerifyNode(std::uint32_t offset, int depth, bool isRoot, std::set<std::uint32_t>& seen,
                           std::vector<std::uint32_t>& leaves, std::string& lastKey, std::uint32_t& lastRecno,
                           bool& haveLast, std::uint32_t recordCount) const;

  CdxPager& pager_;
  std::uint32_t headerOffset_;
  std::uint32_t root_;
  int keyLength_;
  char filler_;
  bool rootMoved_ = false;
};

}  // namespace tv
