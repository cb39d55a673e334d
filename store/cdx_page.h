// The byte layout of a FoxPro compound index (.CDX): 512-byte pages
// addressed by byte offset, compact leaves and interior pages of a B+tree,
// and the 1024-byte headers of the tags and of the file. Coding and decoding
// only: nothing here touches a file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tv {

constexpr std::uint32_t kCdxNone = 0xFFFFFFFF;
constexpr int kCdxPageSize = 512;
constexpr int kCdxHeaderBytes = 1024;  // a tag header: two pages
constexpr int kCdxMaxKeyLength = 240;
constexpr int kCdxDirectoryKeyLength = 10;  // tag names, blank-padded
constexpr int kCdxMaxDepth = 40;

// An entry as the trees and the page coders see it; the key points into the
// page (or list) that holds it, and lasts while that is unchanged.
struct CdxEntry {
  std::string_view key;  // exactly the tree's key length
  std::uint32_t recno = 0;
  std::uint32_t child = 0;  // interior entries: the page the entry stands for
};

// Key order: the key bytes, then the record number.
int CompareEntries(std::string_view keyA, std::uint32_t recnoA, std::string_view keyB, std::uint32_t recnoB);

// The entries of a decoded page in key order: the keys side by side in one
// block, so that searching and inserting touch contiguous memory.
class CdxEntries {
 public:
  explicit CdxEntries(int keyLength) : keyLength_(static_cast<std::size_t>(keyLength)) {}

  std::size_t Size() const { return recnos_.size(); }
  bool Empty() const { return recnos_.empty(); }
  std::string_view Key(std::size_t i) const { return {keys_.data() + i * keyLength_, keyLength_}; }
  std::uint32_t Recno(std::size_t i) const { return recnos_[i]; }
  std::uint32_t Child(std::size_t i) const { return children_[i]; }
  CdxEntry operator[](std::size_t i) const { return {Key(i), recnos_[i], children_[i]}; }
  CdxEntry Back() const { return (*this)[Size() - 1]; }

  // The first position whose entry is not below (key, recno).
  std::size_t LowerBound(std::string_view key, std::uint32_t recno) const;
  // `entry` must not point into these entries.
  void Insert(std::size_t i, const CdxEntry& entry);
  void Append(const CdxEntry& entry) { Insert(Size(), entry); }
  void Erase(std::size_t i);
  // Gives entry i another key and record number (the child stays).
  void Set(std::size_t i, std::string_view key, std::uint32_t recno);
  // Moves the entries from position `from` on to the end of `into`.
  void MoveTail(std::size_t from, CdxEntries& into);
  void Reserve(std::size_t count);

 private:
  std::size_t keyLength_;
  std::string keys_;
  std::vector<std::uint32_t> recnos_;
  std::vector<std::uint32_t> children_;  // 0 in leaves
};

// A decoded page.
struct CdxNode {
  explicit CdxNode(int keyLength) : entries(keyLength) {}
  std::uint32_t offset = 0;
  bool leaf = true;
  bool root = false;
  std::uint32_t left = kCdxNone;
  std::uint32_t right = kCdxNone;
  CdxEntries entries;
  // Leaves: the key bytes the entries take once compressed, and the highest
  // record number (which decides the entry width); -1 until counted.
  int keyBytes = -1;
  std::uint32_t maxRecno = 0;
  bool dirty = false;  // differs from the file
};

// Room in a page for entries and keys.
constexpr int kCdxLeafSpace = kCdxPageSize - 24;      // after the leaf's 24-byte header
constexpr int kCdxInteriorSpace = kCdxPageSize - 12;  // after the interior page's 12-byte header

// Bytes one leaf entry takes in a page whose highest record number is
// maxRecno, the key bytes aside.
int CdxLeafEntryBytes(int keyLength, std::uint32_t maxRecno);
// Filler bytes at the end of a key (blank for character keys, 0x00 for the rest).
int CdxTrailingCount(std::string_view key, char filler);
// Leading bytes a key shares with the previous one in a leaf, never reaching
// into either key's trailing filler, so that readers rebuilding the previous
// key with any filler decode the same bytes.
int CdxDuplicateCount(std::string_view prev, int prevTrail, std::string_view key, int trail);
// Key bytes `key` takes in a leaf after `prev` (none for a page's first entry).
int CdxStoredKeyBytes(const std::string_view* prev, std::string_view key, char filler);

void EncodeCdxLeaf(const CdxEntry* entries, std::size_t count, int keyLength, char filler, bool root,
                   std::uint32_t left, std::uint32_t right, std::uint8_t* page);
void EncodeCdxInterior(const CdxEntry* entries, std::size_t count, int keyLength, bool root, std::uint32_t left,
                       std::uint32_t right, std::uint8_t* page);
void EncodeCdxNode(const CdxNode& node, int keyLength, char filler, std::uint8_t* page);
// Throws XbaseError(xbBadIndex) naming `path` for a page that cannot be a
// page of this tree (child pointers must lie below fileSize).
CdxNode DecodeCdxPage(const std::uint8_t* page, std::uint32_t offset, int keyLength, char filler,
                      std::uint64_t fileSize, const std::string& path);

// An index fault: XbaseError(xbBadIndex) saying the file is damaged.
[[noreturn]] void CdxFault(const std::string& path, const std::string& what);

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

// A tag's header (kCdxHeaderBytes); the name comes from the tag directory.
CdxTagInfo DecodeCdxTagHeader(const std::uint8_t* head, std::uint32_t offset, std::uint32_t& root,
                              const std::string& path);
void EncodeCdxTagHeader(const CdxTagInfo& info, std::uint32_t root, std::uint8_t* head);

// The file header: the tag directory's header, whose free-list head and
// change counter belong to the whole file, and in its reserved bytes this
// program's own bookkeeping (other readers ignore those bytes).
struct CdxFileHeader {
  std::uint32_t directoryRoot = 0;
  std::uint32_t freeListHead = 0;  // 0 or kCdxNone: none
  std::uint32_t changeCounter = 0;
  bool ownMark = false;           // written by this program, so the fields below hold
  bool changing = false;          // a writer was part-way through a change
  std::uint32_t recordCount = 0;  // the table's records at the last complete change
  std::uint8_t collation = 0;     // the letter-case rule the keys were built with
};

// The letter-case rule of UPPER() and LOWER() that keys are built with:
// 0 folded ASCII letters only, 1 folds the letters of the 1252 code page.
constexpr std::uint8_t kCdxCollation = 1;

CdxFileHeader DecodeCdxFileHeader(const std::uint8_t* head, const std::string& path);
void EncodeCdxFileHeader(const CdxFileHeader& header, std::uint8_t* head);
// Where BeginChange rewrites the counter and the changing mark in place.
constexpr int kCdxCounterOffset = 8;
constexpr int kCdxOwnMarkOffset = 24;  // the mark, then the changing flag
void EncodeCdxChangingMark(std::uint8_t* mark5);

}  // namespace tv
