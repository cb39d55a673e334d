// A FoxPro compound index file (.CDX): 512-byte pages addressed by byte
// offset, a tag directory whose entries point at the tags' 1024-byte
// headers, and per tag a B+tree of interior pages and compact leaf pages.
//
// Pages are decoded into a cache and written back by Flush. While decoded
// pages differ from the file, the file header carries an "update in
// progress" mark, so a writer stopped at any moment leaves an index that the
// next open recognises as stale instead of trusting half of it.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tv {

constexpr std::uint32_t kCdxNone = 0xFFFFFFFF;
constexpr int kCdxPageSize = 512;
constexpr int kCdxMaxKeyLength = 240;

struct CdxEntry {
  std::string key;  // exactly the tree's key length
  std::uint32_t recno = 0;
  std::uint32_t child = 0;  // interior entries: the page the entry stands for
};

int CompareEntries(const std::string& keyA, std::uint32_t recnoA, const std::string& keyB, std::uint32_t recnoB);

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
    return std::string_view(bytes_).substr(i * static_cast<std::size_t>(keyLength_), static_cast<std::size_t>(keyLength_));
  }
  std::uint32_t Recno(std::size_t i) const { return recnos_[i]; }

 private:
  int keyLength_;
  std::string bytes_;
  std::vector<std::uint32_t> recnos_;
};

struct CdxNode {
  std::uint32_t offset = 0;
  bool leaf = true;
  bool root = false;
  std::uint32_t left = kCdxNone;
  std::uint32_t right = kCdxNone;
  std::vector<CdxEntry> entries;
  // Leaves: the key bytes the entries take once compressed, and the highest
  // record number (which decides the entry width); -1 until counted.
  int keyBytes = -1;
  std::uint32_t maxRecno = 0;
  bool dirty = false;  // differs from the file
};

class CdxFile;

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

// One B+tree: a tag's keys or the tag directory. Keys are kept ascending by
// (key bytes, record number); descending tags are walked from the right.
class CdxTree {
 public:
  struct Position {
    std::uint32_t leaf = kCdxNone;
    int index = 0;
    bool Valid() const { return leaf != kCdxNone; }
  };

  CdxTree(CdxFile& file, std::uint32_t headerOffset, std::uint32_t root, int keyLength, char filler);

  int KeyLength() const { return keyLength_; }
  char Filler() const { return filler_; }
  std::uint32_t Root() const { return root_; }
  std::uint32_t HeaderOffset() const { return headerOffset_; }

  // False when the entry was already present (Insert) or absent (Remove).
  bool Insert(const std::string& key, std::uint32_t recno);
  bool Remove(const std::string& key, std::uint32_t recno);

  Position First();
  Position Last();
  Position Next(Position p);
  Position Prior(Position p);
  // The first entry at or after (key, recno); invalid when there is none.
  Position LowerBound(const std::string& key, std::uint32_t recno);
  const CdxEntry& At(Position p);
  // Calls visit for every entry in ascending order, a leaf at a time.
  template <typename Visit>
  void ForEach(Visit visit) {
    Position p = First();
    for (std::uint32_t leaf = p.leaf; leaf != kCdxNone;) {
      const CdxNode& node = Load(leaf);
      for (const CdxEntry& entry : node.entries) visit(entry);
      leaf = node.right;
    }
  }

  // Walks every page without caching it and checks the tree's shape, order,
  // sibling links and record numbers; returns the number of keys. Throws
  // XbaseError(xbBadIndex) naming the fault.
  std::uint64_t Verify(std::uint32_t recordCount) const;

 private:
  friend class CdxFile;
  struct Split {
    std::uint32_t newNode = kCdxNone;
  };
  CdxNode& Load(std::uint32_t offset);
  // Moves `entry` into its leaf.
  Split InsertInto(std::uint32_t offset, CdxEntry& entry, bool& inserted);
  bool RemoveFrom(std::uint32_t offset, const std::string& key, std::uint32_t recno, bool& nowEmpty);
  std::uint32_t SplitNode(CdxNode& node);
  bool Fits(CdxNode& node) const;
  void Unlink(CdxNode& node);
  void SetRoot(std::uint32_t root);
  std::uint64_t VerifyNode(std::uint32_t offset, int depth, bool isRoot, std::set<std::uint32_t>& seen,
                           std::vector<std::uint32_t>& leaves, CdxEntry& last, bool& haveLast,
                           std::uint32_t recordCount) const;

  CdxFile& file_;
  std::uint32_t headerOffset_;
  std::uint32_t root_;
  int keyLength_;
  char filler_;
};

struct CdxTagInfo {
  std::string name;
  std::string keyExpression;
  std::string forExpression;
  int keyLength = 0;
  bool unique = false;
  bool descending = false;
  bool characterKey = true;  // trailing filler is blank rather than 0x00
  std::uint32_t headerOffset = 0;
};

class CdxFile {
 public:
  // A new file holding an empty tag directory (replacing any file there).
  static std::unique_ptr<CdxFile> Create(const std::string& path);
  // Opens and reads the tag directory and headers. Throws xbBadIndex for a
  // damaged file and xbStaleIndex for one a stopped writer left behind.
  static std::unique_ptr<CdxFile> Open(const std::string& path, bool readOnly);

  ~CdxFile();
  CdxFile(const CdxFile&) = delete;
  CdxFile& operator=(const CdxFile&) = delete;

  const std::string& Path() const { return path_; }
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
  std::int64_t RecordedCount() const { return recordedCount_; }

  // Marks the file as being changed (once until the next Flush).
  void BeginChange();
  // Writes every changed page and header, then clears the mark.
  void Flush(std::uint32_t recordCount);
  std::size_t DirtyPages() const { return dirty_.size(); }
  bool Changing() const { return changing_; }

  // True when another program changed the file since it was read or last
  // flushed here; the caller then reopens it.
  bool ChangedElsewhere() const;

  // Forgets decoded pages that match the file, down to half of maxPages,
  // once more than maxPages are held. Only between operations: it
  // invalidates references to entries.
  void TrimCache(std::size_t maxPages);

 private:
  friend class CdxTree;
  CdxFile(std::string path, int fd, bool readOnly);
  void ReadAll();
  CdxTagInfo ReadTagHeader(std::uint32_t offset, std::uint32_t& root) const;
  void WriteTagHeader(const CdxTagInfo& info, std::uint32_t root, bool directory);
  void ReadPage(std::uint32_t offset, unsigned char* page) const;
  void WritePage(std::uint32_t offset, const unsigned char* page);
  void WriteRun(std::uint32_t offset, const std::vector<unsigned char>& bytes);
  CdxNode Decode(std::uint32_t offset, int keyLength, char filler) const;
  void Encode(const CdxNode& node, int keyLength, char filler, unsigned char* page) const;
  // Writes a whole tree for `keys` into newly allocated pages; returns its root.
  std::uint32_t WriteTree(const CdxKeyList& keys, int keyLength, char filler);
  std::uint32_t AllocatePage();
  std::uint32_t AllocateHeader();
  void FreePage(std::uint32_t offset);
  void MarkDirty(std::uint32_t offset, const CdxTree& tree);
  void WriteFileHeaderState(bool changing, std::uint32_t recordCount);

  std::string path_;
  int fd_;
  bool readOnly_;
  std::uint64_t fileSize_ = 0;
  std::uint32_t changeCounter_ = 0;
  bool changing_ = false;
  std::int64_t recordedCount_ = -1;
  std::vector<std::uint32_t> freePages_;
  bool freeListDirty_ = false;

  std::unique_ptr<CdxTree> directory_;
  std::vector<CdxTagInfo> tags_;
  std::vector<std::unique_ptr<CdxTree>> trees_;
  std::set<std::uint32_t> headersDirty_;  // offsets of tag headers whose root moved

  CdxPageCache cache_;
  std::unordered_map<std::uint32_t, const CdxTree*> dirty_;
};

}  // namespace tv
