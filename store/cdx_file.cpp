#include "store/cdx_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "store/xbase_error.h"

namespace tv {

namespace {

// Page and header layout.
constexpr int kLeafHeader = 24;               // entry table starts here
constexpr int kLeafSpace = kCdxPageSize - kLeafHeader;  // 488 bytes for entries and keys
constexpr int kInteriorHeader = 12;
constexpr int kInteriorSpace = kCdxPageSize - kInteriorHeader;  // 500
constexpr std::uint16_t kAttrRoot = 1;
constexpr std::uint16_t kAttrLeaf = 2;
constexpr int kHeaderBytes = 1024;
constexpr int kDirectoryKeyLength = 10;
constexpr std::uint8_t kOptUnique = 0x01;
constexpr std::uint8_t kOptFor = 0x08;
constexpr std::uint8_t kOptCompact = 0x20;
constexpr std::uint8_t kOptCompound = 0x40;
constexpr std::uint8_t kOptDirectory = 0x80;
constexpr int kMaxDepth = 40;
// The file header's reserved area carries this program's own bookkeeping:
// a mark naming the writer, the update-in-progress flag and the table's
// record count at the last complete flush. Other readers ignore these bytes.
constexpr int kOwnMarkOffset = 24;
constexpr char kOwnMark[4] = {'T', 'V', 'i', 'x'};
constexpr int kChangingOffset = 28;
constexpr int kRecordCountOffset = 32;

std::uint16_t Get16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Get32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint32_t Get32Be(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[3]) | static_cast<std::uint32_t>(p[2]) << 8 |
         static_cast<std::uint32_t>(p[1]) << 16 | static_cast<std::uint32_t>(p[0]) << 24;
}
void Put16(unsigned char* p, unsigned v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
void Put32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void Put32Be(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[3 - i] = static_cast<unsigned char>(v >> (8 * i));
}

int BitsFor(int value) {
  int bits = 0;
  while (value > 0) {
    ++bits;
    value >>= 1;
  }
  return bits;
}

// Widths of a compact leaf's entry fields: the duplicate and trailing counts
// each get the bits needed for the key length, the record number the rest of
// a 3-, 4- or 5-byte entry, grown a byte at a time until it holds maxRecno.
struct LeafLayout {
  int bytes = 3;
  int recBits = 0;
  int countBits = 0;
};

LeafLayout LayoutFor(int keyLength, std::uint32_t maxRecno) {
  LeafLayout l;
  l.countBits = BitsFor(keyLength);
  l.bytes = 2 * l.countBits <= 8 ? 3 : 2 * l.countBits <= 12 ? 4 : 5;
  l.recBits = 8 * l.bytes - 2 * l.countBits;
  while (l.recBits < 32 && (maxRecno >> l.recBits) != 0) {
    ++l.bytes;
    l.recBits += 8;
  }
  return l;
}

int TrailingCount(std::string_view key, char filler) {
  const auto last = key.find_last_not_of(filler);
  return static_cast<int>(last == std::string_view::npos ? key.size() : key.size() - last - 1);
}

// Leading bytes shared with the previous key, never reaching into either
// key's trailing filler, so that readers rebuilding the previous key with
// any filler decode the same bytes.
int DuplicateCount(std::string_view prev, int prevTrail, std::string_view key, int trail) {
  const int limit = static_cast<int>(key.size()) - std::max(prevTrail, trail);
  int d = 0;
  while (d < limit && prev[static_cast<std::size_t>(d)] == key[static_cast<std::size_t>(d)]) ++d;
  return d;
}

// Key bytes `key` takes in a leaf after `prev` (none for a page's first entry).
int StoredKeyBytes(const std::string_view* prev, std::string_view key, char filler) {
  const int length = static_cast<int>(key.size());
  const int t = TrailingCount(key, filler);
  if (!prev) return length - t;
  return length - t - DuplicateCount(*prev, TrailingCount(*prev, filler), key, t);
}

int StoredKeyBytes(const CdxEntry* prev, const CdxEntry& entry, char filler) {
  if (!prev) return StoredKeyBytes(nullptr, entry.key, filler);
  const std::string_view before = prev->key;
  return StoredKeyBytes(&before, entry.key, filler);
}

// An entry as the page coders see it.
struct KeyRef {
  std::string_view key;
  std::uint32_t recno = 0;
  std::uint32_t child = 0;
};

void EncodeHeader(bool leaf, bool root, std::size_t count, std::uint32_t left, std::uint32_t right,
                  unsigned char* page) {
  std::memset(page, 0, kCdxPageSize);
  Put16(page, (leaf ? kAttrLeaf : 0) | (root ? kAttrRoot : 0));
  Put16(page + 2, static_cast<unsigned>(count));
  Put32(page + 4, left);
  Put32(page + 8, right);
}

void EncodeInterior(const KeyRef* entries, std::size_t count, int keyLength, bool root, std::uint32_t left,
                    std::uint32_t right, unsigned char* page) {
  EncodeHeader(false, root, count, left, right, page);
  const auto L = static_cast<std::size_t>(keyLength);
  for (std::size_t i = 0; i < count; ++i) {
    unsigned char* e = page + kInteriorHeader + i * (L + 8);
    std::memcpy(e, entries[i].key.data(), L);
    Put32Be(e + L, entries[i].recno);
    Put32Be(e + L + 4, entries[i].child);
  }
}

void EncodeLeaf(const KeyRef* entries, std::size_t count, int keyLength, char filler, bool root, std::uint32_t left,
                std::uint32_t right, unsigned char* page) {
  EncodeHeader(true, root, count, left, right, page);
  const auto L = static_cast<std::size_t>(keyLength);
  std::uint32_t maxRecno = 0;
  for (std::size_t i = 0; i < count; ++i) maxRecno = std::max(maxRecno, entries[i].recno);
  const LeafLayout layout = LayoutFor(keyLength, maxRecno);
  const std::uint64_t countMask = (1ull << layout.countBits) - 1;
  std::size_t keyEnd = kCdxPageSize;
  int prevTrail = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view key = entries[i].key;
    const int t = TrailingCount(key, filler);
    const int d = i == 0 ? 0 : DuplicateCount(entries[i - 1].key, prevTrail, key, t);
    prevTrail = t;
    const std::uint64_t value = static_cast<std::uint64_t>(entries[i].recno) |
                                static_cast<std::uint64_t>(d) << layout.recBits |
                                static_cast<std::uint64_t>(t) << (layout.recBits + layout.countBits);
    unsigned char* slot = page + kLeafHeader + i * static_cast<std::size_t>(layout.bytes);
    for (int b = 0; b < layout.bytes; ++b) slot[b] = static_cast<unsigned char>(value >> (8 * b));
    const std::size_t stored = L - static_cast<std::size_t>(d + t);
    keyEnd -= stored;
    std::memcpy(page + keyEnd, key.data() + d, stored);
  }
  const std::size_t used = count * static_cast<std::size_t>(layout.bytes) + (kCdxPageSize - keyEnd);
  Put16(page + 12, static_cast<unsigned>(kLeafSpace - static_cast<int>(used)));
  Put32(page + 14, layout.recBits >= 32 ? 0xFFFFFFFFu : (1u << layout.recBits) - 1);
  page[18] = static_cast<unsigned char>(countMask);
  page[19] = static_cast<unsigned char>(countMask);
  page[20] = static_cast<unsigned char>(layout.recBits);
  page[21] = static_cast<unsigned char>(layout.countBits);
  page[22] = static_cast<unsigned char>(layout.countBits);
  page[23] = static_cast<unsigned char>(layout.bytes);
}

[[noreturn]] void IndexFault(const std::string& path, const std::string& what) {
  throw XbaseError(xbBadIndex, path + " is damaged (" + what + "); rebuild the indexes");
}

}  // namespace

int CompareEntries(const std::string& keyA, std::uint32_t recnoA, const std::string& keyB, std::uint32_t recnoB) {
  const int c = keyA.compare(keyB);
  if (c != 0) return c < 0 ? -1 : 1;
  return recnoA < recnoB ? -1 : recnoA > recnoB ? 1 : 0;
}

// ---------------------------------------------------------------- CdxTree

CdxTree::CdxTree(CdxFile& file, std::uint32_t headerOffset, std::uint32_t root, int keyLength, char filler)
    : file_(file), headerOffset_(headerOffset), root_(root), keyLength_(keyLength), filler_(filler) {}

CdxNode& CdxTree::Load(std::uint32_t offset) {
  if (CdxNode* cached = file_.cache_.Find(offset)) return *cached;
  auto node = std::make_unique<CdxNode>(file_.Decode(offset, keyLength_, filler_));
  CdxNode& ref = *node;
  file_.cache_.Put(offset, std::move(node));
  return ref;
}

bool CdxTree::Fits(CdxNode& node) const {
  if (!node.leaf) return static_cast<int>(node.entries.size()) <= kInteriorSpace / (keyLength_ + 8);
  if (node.keyBytes < 0) {
    node.keyBytes = 0;
    node.maxRecno = 0;
    for (std::size_t i = 0; i < node.entries.size(); ++i) {
      node.keyBytes += StoredKeyBytes(i == 0 ? nullptr : &node.entries[i - 1], node.entries[i], filler_);
      node.maxRecno = std::max(node.maxRecno, node.entries[i].recno);
    }
  }
  const int entryBytes = LayoutFor(keyLength_, node.maxRecno).bytes;
  return static_cast<int>(node.entries.size()) * entryBytes + node.keyBytes <= kLeafSpace;
}

void CdxTree::SetRoot(std::uint32_t root) {
  root_ = root;
  file_.headersDirty_.insert(headerOffset_);
}

std::uint32_t CdxTree::SplitNode(CdxNode& node) {
  std::size_t k = node.entries.size() / 2;
  if (node.leaf) {
    // The split that leaves the fuller half as empty as possible; sizes are
    // reckoned with the whole page's entry width, an upper bound for each half.
    const std::size_t n = node.entries.size();
    std::uint32_t maxRecno = 0;
    for (const CdxEntry& e : node.entries) maxRecno = std::max(maxRecno, e.recno);
    const int entryBytes = LayoutFor(keyLength_, maxRecno).bytes;
    std::vector<int> stored(n);
    int total = 0;
    for (std::size_t i = 0; i < n; ++i) {
      stored[i] = StoredKeyBytes(i == 0 ? nullptr : &node.entries[i - 1], node.entries[i], filler_);
      total += stored[i];
    }
    int best = -1;
    int leftKeys = 0;
    for (std::size_t i = 1; i < n; ++i) {
      leftKeys += stored[i - 1];
      const int left = static_cast<int>(i) * entryBytes + leftKeys;
      const int right = static_cast<int>(n - i) * entryBytes + total - leftKeys - stored[i] +
                        StoredKeyBytes(nullptr, node.entries[i], filler_);
      if (left > kLeafSpace || right > kLeafSpace) continue;
      const int worst = std::max(left, right);
      if (best < 0 || worst < best) {
        best = worst;
        k = i;
      }
    }
  }
  const std::uint32_t offset = file_.AllocatePage();
  auto fresh = std::make_unique<CdxNode>();
  CdxNode& sibling = *fresh;
  file_.cache_.Put(offset, std::move(fresh));
  CdxNode& original = Load(node.offset);  // the cache insert above may not move nodes, but stay explicit
  sibling.offset = offset;
  sibling.leaf = original.leaf;
  sibling.entries.assign(std::make_move_iterator(original.entries.begin() + static_cast<std::ptrdiff_t>(k)),
                         std::make_move_iterator(original.entries.end()));
  original.entries.resize(k);
  original.keyBytes = -1;  // both halves are counted again on their next insert
  sibling.left = original.offset;
  sibling.right = original.right;
  if (original.right != kCdxNone) {
    Load(original.right).left = offset;
    file_.MarkDirty(original.right, *this);
  }
  original.right = offset;
  file_.MarkDirty(original.offset, *this);
  file_.MarkDirty(offset, *this);
  return offset;
}

CdxTree::Split CdxTree::InsertInto(std::uint32_t offset, CdxEntry& entry, bool& inserted) {
  CdxNode& node = Load(offset);
  auto after = [&](const CdxEntry& e) { return CompareEntries(e.key, e.recno, entry.key, entry.recno) < 0; };
  const auto it = std::partition_point(node.entries.begin(), node.entries.end(), after);
  if (node.leaf) {
    if (it != node.entries.end() && CompareEntries(it->key, it->recno, entry.key, entry.recno) == 0) {
      inserted = false;
      return {};
    }
    if (node.keyBytes >= 0) {
      // The new entry's own bytes, and what the next entry now shares with it
      // instead of with the previous one.
      const CdxEntry* prev = it == node.entries.begin() ? nullptr : &*(it - 1);
      const CdxEntry* next = it == node.entries.end() ? nullptr : &*it;
      const int length = keyLength_;
      const int tEntry = TrailingCount(entry.key, filler_);
      const int tPrev = prev ? TrailingCount(prev->key, filler_) : 0;
      node.keyBytes += length - tEntry - (prev ? DuplicateCount(prev->key, tPrev, entry.key, tEntry) : 0);
      if (next) {
        const int tNext = TrailingCount(next->key, filler_);
        const int sharedBefore = prev ? DuplicateCount(prev->key, tPrev, next->key, tNext) : 0;
        node.keyBytes += sharedBefore - DuplicateCount(entry.key, tEntry, next->key, tNext);
      }
      node.maxRecno = std::max(node.maxRecno, entry.recno);
    }
    node.entries.insert(it, std::move(entry));  // the caller is done with it
    inserted = true;
    file_.MarkDirty(offset, *this);
    return Fits(node) ? Split{} : Split{SplitNode(node)};
  }
  if (node.entries.empty()) IndexFault(file_.path_, "interior page without entries");
  const auto index = static_cast<std::size_t>(it == node.entries.end() ? node.entries.size() - 1 : it - node.entries.begin());
  const std::uint32_t childOffset = node.entries[index].child;
  const Split childSplit = InsertInto(childOffset, entry, inserted);
  if (!inserted) return {};
  CdxNode& self = Load(offset);
  const CdxNode& child = Load(childOffset);
  CdxEntry& bound = self.entries[index];
  const CdxEntry& highest = child.entries.back();
  // Each entry carries its subtree's highest key; most inserts leave it alone.
  if (childSplit.newNode == kCdxNone && bound.recno == highest.recno && bound.key == highest.key) return {};
  bound.key = highest.key;
  bound.recno = highest.recno;
  if (childSplit.newNode != kCdxNone) {
    const CdxNode& sibling = Load(childSplit.newNode);
    self.entries.insert(self.entries.begin() + static_cast<std::ptrdiff_t>(index + 1),
                        CdxEntry{sibling.entries.back().key, sibling.entries.back().recno, childSplit.newNode});
  }
  file_.MarkDirty(offset, *this);
  return Fits(self) ? Split{} : Split{SplitNode(self)};
}

bool CdxTree::Insert(const std::string& key, std::uint32_t recno) {
  file_.BeginChange();
  bool inserted = false;
  CdxEntry entry{key, recno, 0};
  const Split split = InsertInto(root_, entry, inserted);
  if (split.newNode != kCdxNone) {
    CdxNode& oldRoot = Load(root_);
    oldRoot.root = false;
    const CdxEntry left{oldRoot.entries.back().key, oldRoot.entries.back().recno, root_};
    const CdxNode& sibling = Load(split.newNode);
    const CdxEntry right{sibling.entries.back().key, sibling.entries.back().recno, split.newNode};
    const std::uint32_t offset = file_.AllocatePage();
    auto fresh = std::make_unique<CdxNode>();
    fresh->offset = offset;
    fresh->leaf = false;
    fresh->root = true;
    fresh->entries = {left, right};
    file_.cache_.Put(offset, std::move(fresh));
    file_.MarkDirty(offset, *this);
    SetRoot(offset);
  }
  return inserted;
}

void CdxTree::Unlink(CdxNode& node) {
  if (node.left != kCdxNone) {
    Load(node.left).right = node.right;
    file_.MarkDirty(node.left, *this);
  }
  if (node.right != kCdxNone) {
    Load(node.right).left = node.left;
    file_.MarkDirty(node.right, *this);
  }
}

bool CdxTree::RemoveFrom(std::uint32_t offset, const std::string& key, std::uint32_t recno, bool& nowEmpty) {
  CdxNode& node = Load(offset);
  const auto it = std::partition_point(node.entries.begin(), node.entries.end(), [&](const CdxEntry& e) {
    return CompareEntries(e.key, e.recno, key, recno) < 0;
  });
  if (it == node.entries.end()) return false;
  if (node.leaf) {
    if (CompareEntries(it->key, it->recno, key, recno) != 0) return false;
    node.entries.erase(it);
    node.keyBytes = -1;
    nowEmpty = node.entries.empty();
    file_.MarkDirty(offset, *this);
    return true;
  }
  const auto index = static_cast<std::size_t>(it - node.entries.begin());
  const std::uint32_t childOffset = it->child;
  bool childEmpty = false;
  if (!RemoveFrom(childOffset, key, recno, childEmpty)) return false;
  CdxNode& self = Load(offset);
  if (childEmpty) {
    CdxNode& child = Load(childOffset);
    Unlink(child);
    file_.FreePage(childOffset);
    self.entries.erase(self.entries.begin() + static_cast<std::ptrdiff_t>(index));
  } else {
    const CdxNode& child = Load(childOffset);
    self.entries[index].key = child.entries.back().key;
    self.entries[index].recno = child.entries.back().recno;
  }
  nowEmpty = self.entries.empty();
  file_.MarkDirty(offset, *this);
  return true;
}

bool CdxTree::Remove(const std::string& key, std::uint32_t recno) {
  file_.BeginChange();
  bool empty = false;
  if (!RemoveFrom(root_, key, recno, empty)) return false;
  CdxNode& root = Load(root_);
  if (empty && !root.leaf) {  // the last key went: the root becomes an empty leaf again
    root.leaf = true;
    root.left = root.right = kCdxNone;
  }
  // A root left with one child hands the root over to it, so the tree does
  // not keep levels it no longer needs.
  for (;;) {
    const CdxNode& top = Load(root_);
    if (top.leaf || top.entries.size() != 1) break;
    const std::uint32_t child = top.entries[0].child;
    file_.FreePage(root_);
    SetRoot(child);
    Load(child).root = true;
    file_.MarkDirty(child, *this);
  }
  return true;
}

CdxTree::Position CdxTree::First() {
  std::uint32_t offset = root_;
  for (int depth = 0; depth < kMaxDepth; ++depth) {
    const CdxNode& node = Load(offset);
    if (node.leaf) {
      Position p{offset, 0};
      return node.entries.empty() ? Next(Position{offset, -1}) : p;
    }
    if (node.entries.empty()) return {};
    offset = node.entries.front().child;
  }
  IndexFault(file_.path_, "tree too deep");
}

CdxTree::Position CdxTree::Last() {
  std::uint32_t offset = root_;
  for (int depth = 0; depth < kMaxDepth; ++depth) {
    const CdxNode& node = Load(offset);
    if (node.leaf) {
      if (node.entries.empty()) return Prior(Position{offset, 0});
      return Position{offset, static_cast<int>(node.entries.size()) - 1};
    }
    if (node.entries.empty()) return {};
    offset = node.entries.back().child;
  }
  IndexFault(file_.path_, "tree too deep");
}

CdxTree::Position CdxTree::Next(Position p) {
  if (!p.Valid()) return {};
  const CdxNode* node = &Load(p.leaf);
  if (p.index + 1 < static_cast<int>(node->entries.size())) return Position{p.leaf, p.index + 1};
  for (std::uint32_t next = node->right; next != kCdxNone; next = node->right) {
    node = &Load(next);
    if (!node->entries.empty()) return Position{next, 0};
  }
  return {};
}

CdxTree::Position CdxTree::Prior(Position p) {
  if (!p.Valid()) return {};
  const CdxNode* node = &Load(p.leaf);
  if (p.index > 0) return Position{p.leaf, std::min(p.index, static_cast<int>(node->entries.size())) - 1};
  for (std::uint32_t prev = node->left; prev != kCdxNone; prev = node->left) {
    node = &Load(prev);
    if (!node->entries.empty()) return Position{prev, static_cast<int>(node->entries.size()) - 1};
  }
  return {};
}

CdxTree::Position CdxTree::LowerBound(const std::string& key, std::uint32_t recno) {
  std::uint32_t offset = root_;
  for (int depth = 0; depth < kMaxDepth; ++depth) {
    const CdxNode& node = Load(offset);
    const auto it = std::partition_point(node.entries.begin(), node.entries.end(), [&](const CdxEntry& e) {
      return CompareEntries(e.key, e.recno, key, recno) < 0;
    });
    if (node.leaf) {
      const auto index = static_cast<int>(it - node.entries.begin());
      if (index < static_cast<int>(node.entries.size())) return Position{offset, index};
      return Next(Position{offset, index - 1});
    }
    if (it == node.entries.end()) return {};
    offset = it->child;
  }
  IndexFault(file_.path_, "tree too deep");
}

const CdxEntry& CdxTree::At(Position p) { return Load(p.leaf).entries.at(static_cast<std::size_t>(p.index)); }

std::uint64_t CdxTree::Verify(std::uint32_t recordCount) const {
  std::set<std::uint32_t> seen;
  std::vector<std::uint32_t> leaves;
  CdxEntry last;
  bool haveLast = false;
  const std::uint64_t keys = VerifyNode(root_, 0, true, seen, leaves, last, haveLast, recordCount);
  for (std::size_t i = 0; i < leaves.size(); ++i) {
    const CdxNode node = file_.Decode(leaves[i], keyLength_, filler_);
    const std::uint32_t expectLeft = i == 0 ? kCdxNone : leaves[i - 1];
    const std::uint32_t expectRight = i + 1 == leaves.size() ? kCdxNone : leaves[i + 1];
    if (node.left != expectLeft || node.right != expectRight)
      IndexFault(file_.path_, "broken sibling links at page " + std::to_string(leaves[i]));
  }
  return keys;
}

std::uint64_t CdxTree::VerifyNode(std::uint32_t offset, int depth, bool isRoot, std::set<std::uint32_t>& seen,
                                  std::vector<std::uint32_t>& leaves, CdxEntry& last, bool& haveLast,
                                  std::uint32_t recordCount) const {
  if (depth > kMaxDepth) IndexFault(file_.path_, "tree too deep");
  if (!seen.insert(offset).second) IndexFault(file_.path_, "page " + std::to_string(offset) + " is used twice");
  const CdxNode node = file_.Decode(offset, keyLength_, filler_);
  if (node.leaf) {
    leaves.push_back(offset);
    for (const CdxEntry& e : node.entries) {
      if (recordCount != kCdxNone && (e.recno < 1 || e.recno > recordCount))
        IndexFault(file_.path_, "key for record " + std::to_string(e.recno) + " beyond the table's " +
                                    std::to_string(recordCount) + " records");
      if (haveLast && CompareEntries(last.key, last.recno, e.key, e.recno) >= 0)
        IndexFault(file_.path_, "keys out of order at page " + std::to_string(offset));
      last = e;
      haveLast = true;
    }
    return node.entries.size();
  }
  if (node.entries.empty() && !isRoot) IndexFault(file_.path_, "empty interior page " + std::to_string(offset));
  std::uint64_t keys = 0;
  for (const CdxEntry& e : node.entries) {
    keys += VerifyNode(e.child, depth + 1, false, seen, leaves, last, haveLast, recordCount);
    if (haveLast && CompareEntries(last.key, last.recno, e.key, e.recno) > 0)
      IndexFault(file_.path_, "interior key below its subtree at page " + std::to_string(offset));
    last = e;  // every later key must lie above the bound this entry sets
    haveLast = true;
  }
  return keys;
}

// ---------------------------------------------------------------- CdxFile

CdxFile::CdxFile(std::string path, int fd, bool readOnly) : path_(std::move(path)), fd_(fd), readOnly_(readOnly) {}

CdxFile::~CdxFile() {
  if (fd_ >= 0) close(fd_);
}

std::unique_ptr<CdxFile> CdxFile::Create(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw XbaseError(xbFileError, "cannot create " + path + ": " + std::strerror(errno));
  std::unique_ptr<CdxFile> file(new CdxFile(path, fd, false));
  file->fileSize_ = kHeaderBytes;
  file->changing_ = true;  // nothing on disk yet: the first Flush writes it all
  const std::uint32_t root = file->AllocatePage();
  auto node = std::make_unique<CdxNode>();
  node->offset = root;
  node->root = true;
  file->cache_.Put(root, std::move(node));
  file->directory_ = std::make_unique<CdxTree>(*file, 0, root, kDirectoryKeyLength, ' ');
  file->MarkDirty(root, *file->directory_);
  return file;
}

std::unique_ptr<CdxFile> CdxFile::Open(const std::string& path, bool readOnly) {
  const int fd = open(path.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw XbaseError(xbFileError, "cannot open " + path + ": " + std::strerror(errno));
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    throw XbaseError(xbBadIndex, path + " is not an index file; rebuild the indexes");
  }
  std::unique_ptr<CdxFile> file(new CdxFile(path, fd, readOnly));
  file->ReadAll();
  return file;
}

void CdxFile::ReadPage(std::uint32_t offset, unsigned char* page) const {
  if (offset % kCdxPageSize != 0 || static_cast<std::uint64_t>(offset) + kCdxPageSize > fileSize_)
    IndexFault(path_, "page offset " + std::to_string(offset) + " outside the file");
  std::size_t done = 0;
  while (done < static_cast<std::size_t>(kCdxPageSize)) {
    const ssize_t n = pread(fd_, page + done, kCdxPageSize - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw XbaseError(xbFileError, "cannot read " + path_ + ": " + std::strerror(errno));
    if (n == 0) IndexFault(path_, "file ends inside page " + std::to_string(offset));
    done += static_cast<std::size_t>(n);
  }
}

void CdxFile::WritePage(std::uint32_t offset, const unsigned char* page) {
  WriteRun(offset, std::vector<unsigned char>(page, page + kCdxPageSize));
}

void CdxFile::ReadAll() {
  struct stat info {};
  if (fstat(fd_, &info) != 0) throw XbaseError(xbFileError, "cannot examine " + path_);
  fileSize_ = static_cast<std::uint64_t>(info.st_size);
  if (fileSize_ < kHeaderBytes + kCdxPageSize || fileSize_ > 0xFFFFFE00u) IndexFault(path_, "wrong file length");
  fileSize_ -= fileSize_ % kCdxPageSize;
  cache_.Clear();
  dirty_.clear();
  headersDirty_.clear();
  tags_.clear();
  trees_.clear();
  freePages_.clear();

  unsigned char head[kHeaderBytes];
  ReadPage(0, head);
  ReadPage(kCdxPageSize, head + kCdxPageSize);
  changeCounter_ = Get32Be(head + 8);
  changing_ = false;
  recordedCount_ = -1;
  if (std::memcmp(head + kOwnMarkOffset, kOwnMark, 4) == 0) {
    if (head[kChangingOffset] != 0)
      throw XbaseError(xbStaleIndex, path_ + " was left half-updated by a program that stopped; rebuild the indexes");
    recordedCount_ = Get32(head + kRecordCountOffset);
  }
  if ((head[14] & kOptDirectory) == 0 || Get16(head + 12) != kDirectoryKeyLength)
    IndexFault(path_, "no tag directory");
  directory_ = std::make_unique<CdxTree>(*this, 0, Get32(head), kDirectoryKeyLength, ' ');

  // Free pages, following the chain with a guard against loops.
  std::set<std::uint32_t> seenFree;
  for (std::uint32_t page = Get32(head + 4); page != 0 && page != kCdxNone;) {
    if (page % kCdxPageSize != 0 || page < kHeaderBytes || page >= fileSize_ || !seenFree.insert(page).second)
      IndexFault(path_, "broken free-page list");
    freePages_.push_back(page);
    unsigned char bytes[kCdxPageSize];
    ReadPage(page, bytes);
    page = Get32(bytes);
  }
  std::reverse(freePages_.begin(), freePages_.end());  // allocation pops from the back: head first

  directory_->Verify(kCdxNone);
  std::vector<std::pair<std::uint32_t, std::string>> entries;
  for (CdxTree::Position p = directory_->First(); p.Valid(); p = directory_->Next(p)) {
    const CdxEntry& e = directory_->At(p);
    std::string name = e.key;
    name.erase(name.find_last_not_of(' ') + 1);
    entries.emplace_back(e.recno, name);
  }
  cache_.Clear();  // directory pages were decoded with its own key length only
  std::sort(entries.begin(), entries.end());
  for (const auto& [offset, name] : entries) {
    if (offset % kCdxPageSize != 0 || offset < kHeaderBytes || offset + kHeaderBytes > fileSize_)
      IndexFault(path_, "tag " + name + " points outside the file");
    std::uint32_t root = 0;
    CdxTagInfo info = ReadTagHeader(offset, root);
    info.name = name;
    tags_.push_back(info);
    trees_.push_back(std::make_unique<CdxTree>(*this, offset, root, info.keyLength, info.characterKey ? ' ' : '\0'));
  }
}

CdxTagInfo CdxFile::ReadTagHeader(std::uint32_t offset, std::uint32_t& root) const {
  unsigned char head[kHeaderBytes];
  ReadPage(offset, head);
  ReadPage(offset + kCdxPageSize, head + kCdxPageSize);
  CdxTagInfo info;
  info.headerOffset = offset;
  root = Get32(head);
  info.keyLength = Get16(head + 12);
  if (info.keyLength < 1 || info.keyLength > kCdxMaxKeyLength)
    IndexFault(path_, "tag at " + std::to_string(offset) + " has key length " + std::to_string(info.keyLength));
  const std::uint8_t options = head[14];
  if ((options & kOptCompact) == 0) IndexFault(path_, "tag at " + std::to_string(offset) + " is not compact");
  info.unique = (options & kOptUnique) != 0;
  info.descending = Get16(head + 502) != 0;
  // The pool holds the key expression, 0x00, the FOR expression, 0x00.
  const char* pool = reinterpret_cast<const char*>(head + kCdxPageSize);
  const std::size_t keyLen = strnlen(pool, kCdxPageSize);
  if (keyLen == 0 || keyLen >= kCdxPageSize) IndexFault(path_, "tag at " + std::to_string(offset) + " has no key expression");
  info.keyExpression.assign(pool, keyLen);
  if (options & kOptFor) info.forExpression.assign(pool + keyLen + 1, strnlen(pool + keyLen + 1, kCdxPageSize - keyLen - 1));
  return info;
}

void CdxFile::WriteTagHeader(const CdxTagInfo& info, std::uint32_t root, bool directory) {
  unsigned char head[kHeaderBytes] = {};
  Put32(head, root);
  Put16(head + 12, static_cast<unsigned>(info.keyLength));
  head[15] = 0x01;
  if (directory) {
    head[14] = kOptDirectory | kOptCompound | kOptCompact;
    Put16(head + 504, 1);
    Put16(head + 506, 1);
    Put16(head + 510, 1);
    Put32Be(head + 8, changeCounter_);
    if (!freePages_.empty()) Put32(head + 4, freePages_.back());
    Put16(head + 16, kHeaderBytes);
    Put16(head + 18, kCdxPageSize);
    std::memcpy(head + kOwnMarkOffset, kOwnMark, 4);
    head[kChangingOffset] = changing_ ? 1 : 0;
    Put32(head + kRecordCountOffset, recordedCount_ < 0 ? 0 : static_cast<std::uint32_t>(recordedCount_));
  } else {
    head[14] = kOptCompound | kOptCompact | (info.unique ? kOptUnique : 0) | (info.forExpression.empty() ? 0 : kOptFor);
    Put16(head + 502, info.descending ? 1 : 0);
    const std::size_t keyLen = info.keyExpression.size();
    const std::size_t forLen = info.forExpression.size();
    Put16(head + 504, static_cast<unsigned>(keyLen + 1));
    Put16(head + 506, static_cast<unsigned>(forLen + 1));
    Put16(head + 508, 0);
    Put16(head + 510, static_cast<unsigned>(keyLen + 1));
    std::memcpy(head + kCdxPageSize, info.keyExpression.data(), keyLen);
    std::memcpy(head + kCdxPageSize + keyLen + 1, info.forExpression.data(), forLen);
  }
  WritePage(info.headerOffset, head);
  WritePage(info.headerOffset + kCdxPageSize, head + kCdxPageSize);
}

CdxNode CdxFile::Decode(std::uint32_t offset, int keyLength, char filler) const {
  unsigned char page[kCdxPageSize];
  ReadPage(offset, page);
  CdxNode node;
  node.offset = offset;
  const std::uint16_t attributes = Get16(page);
  if (attributes > 3) IndexFault(path_, "page " + std::to_string(offset) + " has attributes " + std::to_string(attributes));
  node.leaf = (attributes & kAttrLeaf) != 0;
  node.root = (attributes & kAttrRoot) != 0;
  const int count = Get16(page + 2);
  node.left = Get32(page + 4);
  node.right = Get32(page + 8);
  const auto L = static_cast<std::size_t>(keyLength);
  auto fault = [&](const std::string& what) { IndexFault(path_, "page " + std::to_string(offset) + ": " + what); };
  if (!node.leaf) {
    if (count * (keyLength + 8) > kInteriorSpace) fault("too many entries");
    node.entries.resize(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      const unsigned char* e = page + kInteriorHeader + static_cast<std::size_t>(i) * (L + 8);
      CdxEntry& entry = node.entries[static_cast<std::size_t>(i)];
      entry.key.assign(reinterpret_cast<const char*>(e), L);
      entry.recno = Get32Be(e + L);
      entry.child = Get32Be(e + L + 4);
      if (entry.child % kCdxPageSize != 0 || entry.child < kHeaderBytes || entry.child >= fileSize_)
        fault("child page outside the file");
    }
    return node;
  }
  const int recBits = page[20], dupBits = page[21], trailBits = page[22], bytes = page[23];
  if (bytes < 1 || bytes > 8 || recBits + dupBits + trailBits != 8 * bytes || recBits > 32 || dupBits > 16 ||
      trailBits > 16)
    fault("bad entry layout");
  if (count * bytes > kLeafSpace) fault("too many entries");
  const std::uint64_t recMask = recBits == 64 ? ~0ull : (1ull << recBits) - 1;
  const std::uint64_t dupMask = (1ull << dupBits) - 1;
  const std::uint64_t trailMask = (1ull << trailBits) - 1;
  std::size_t keyEnd = kCdxPageSize;
  const std::size_t tableEnd = kLeafHeader + static_cast<std::size_t>(count * bytes);
  node.entries.resize(static_cast<std::size_t>(count));
  const std::string* prev = nullptr;
  for (int i = 0; i < count; ++i) {
    std::uint64_t value = 0;
    const unsigned char* e = page + kLeafHeader + static_cast<std::size_t>(i * bytes);
    for (int b = bytes - 1; b >= 0; --b) value = value << 8 | e[b];
    const auto recno = static_cast<std::uint32_t>(value & recMask);
    const auto dup = static_cast<std::size_t>((value >> recBits) & dupMask);
    const auto trail = static_cast<std::size_t>((value >> (recBits + dupBits)) & trailMask);
    if (dup + trail > L || (i == 0 && dup != 0)) fault("bad key counts");
    const std::size_t stored = L - dup - trail;
    if (keyEnd < tableEnd + stored) fault("keys overlap the entry table");
    keyEnd -= stored;
    CdxEntry& entry = node.entries[static_cast<std::size_t>(i)];
    entry.recno = recno;
    entry.key.reserve(L);
    if (dup > 0) entry.key.assign(*prev, 0, dup);
    entry.key.append(reinterpret_cast<const char*>(page + keyEnd), stored);
    entry.key.append(trail, filler);
    prev = &entry.key;
  }
  return node;
}

void CdxFile::Encode(const CdxNode& node, int keyLength, char filler, unsigned char* page) const {
  std::vector<KeyRef> refs(node.entries.size());
  for (std::size_t i = 0; i < refs.size(); ++i) refs[i] = KeyRef{node.entries[i].key, node.entries[i].recno, node.entries[i].child};
  if (node.leaf) EncodeLeaf(refs.data(), refs.size(), keyLength, filler, node.root, node.left, node.right, page);
  else EncodeInterior(refs.data(), refs.size(), keyLength, node.root, node.left, node.right, page);
}

std::uint32_t CdxFile::WriteTree(const CdxKeyList& keys, int keyLength, char filler) {
  // Leaves, each filled while the next key still fits.
  std::vector<std::size_t> starts{0};
  int keyBytes = 0;
  std::uint32_t maxRecno = 0;
  int entryBytes = LayoutFor(keyLength, 0).bytes;
  int prevTrail = 0;
  for (std::size_t i = 0; i < keys.Size(); ++i) {
    const std::string_view key = keys.Key(i);
    const int trail = TrailingCount(key, filler);
    const bool first = starts.back() == i;
    const int stored = keyLength - trail - (first ? 0 : DuplicateCount(keys.Key(i - 1), prevTrail, key, trail));
    prevTrail = trail;
    const std::uint32_t highest = std::max(maxRecno, keys.Recno(i));
    const int widthNeeded = highest == maxRecno ? entryBytes : LayoutFor(keyLength, highest).bytes;
    const auto entries = static_cast<int>(i - starts.back() + 1);
    if (!first && entries * widthNeeded + keyBytes + stored > kLeafSpace) {
      starts.push_back(i);
      keyBytes = keyLength - trail;
      maxRecno = keys.Recno(i);
      entryBytes = LayoutFor(keyLength, maxRecno).bytes;
    } else {
      keyBytes += stored;
      maxRecno = highest;
      entryBytes = widthNeeded;
    }
  }
  starts.push_back(keys.Size());

  // Pages of one level are allocated first so each knows its neighbours,
  // then coded and written; consecutive pages go out in one write.
  std::vector<unsigned char> run;
  std::uint32_t runStart = 0;
  auto emit = [&](std::uint32_t offset, const unsigned char* page) {
    if (!run.empty() && runStart + run.size() != offset) {
      WriteRun(runStart, run);
      run.clear();
    }
    if (run.empty()) runStart = offset;
    run.insert(run.end(), page, page + kCdxPageSize);
  };
  unsigned char page[kCdxPageSize];
  std::vector<KeyRef> level;
  const std::size_t leafCount = starts.size() - 1;
  std::vector<std::uint32_t> offsets(leafCount);
  for (std::uint32_t& offset : offsets) offset = AllocatePage();
  std::vector<KeyRef> refs;
  for (std::size_t l = 0; l < leafCount; ++l) {
    refs.clear();
    for (std::size_t i = starts[l]; i < starts[l + 1]; ++i) refs.push_back(KeyRef{keys.Key(i), keys.Recno(i), 0});
    EncodeLeaf(refs.data(), refs.size(), keyLength, filler, leafCount == 1, l == 0 ? kCdxNone : offsets[l - 1],
               l + 1 == leafCount ? kCdxNone : offsets[l + 1], page);
    emit(offsets[l], page);
    if (!refs.empty()) level.push_back(KeyRef{refs.back().key, refs.back().recno, offsets[l]});
  }
  std::uint32_t root = offsets.front();
  const auto perInterior = static_cast<std::size_t>(kInteriorSpace / (keyLength + 8));
  while (level.size() > 1) {
    const std::size_t groups = (level.size() + perInterior - 1) / perInterior;
    offsets.assign(groups, 0);
    for (std::uint32_t& offset : offsets) offset = AllocatePage();
    std::vector<KeyRef> above;
    for (std::size_t g = 0; g < groups; ++g) {
      const std::size_t begin = g * perInterior;
      const std::size_t count = std::min(perInterior, level.size() - begin);
      EncodeInterior(&level[begin], count, keyLength, groups == 1, g == 0 ? kCdxNone : offsets[g - 1],
                     g + 1 == groups ? kCdxNone : offsets[g + 1], page);
      emit(offsets[g], page);
      above.push_back(KeyRef{level[begin + count - 1].key, level[begin + count - 1].recno, offsets[g]});
    }
    level = std::move(above);
    root = offsets.front();
  }
  if (!run.empty()) WriteRun(runStart, run);
  return root;
}

void CdxFile::WriteRun(std::uint32_t offset, const std::vector<unsigned char>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw XbaseError(xbFileError, "cannot write " + path_ + ": " + std::strerror(errno));
    done += static_cast<std::size_t>(n);
  }
}

std::uint32_t CdxFile::AllocatePage() {
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

std::uint32_t CdxFile::AllocateHeader() {
  const auto offset = static_cast<std::uint32_t>(fileSize_);
  fileSize_ += kHeaderBytes;
  return offset;
}

void CdxFile::FreePage(std::uint32_t offset) {
  cache_.Erase(offset);
  dirty_.erase(offset);
  freePages_.push_back(offset);
  freeListDirty_ = true;
}

void CdxFile::MarkDirty(std::uint32_t offset, const CdxTree& tree) {
  CdxNode& node = *cache_.Find(offset);
  if (node.dirty) return;
  node.dirty = true;
  dirty_[offset] = &tree;
}

void CdxFile::BeginChange() {
  if (readOnly_) throw XbaseError(xbReadOnly, path_ + " is open read-only");
  if (changing_) return;
  changing_ = true;
  ++changeCounter_;
  // Only the change counter (big-endian at 8) and the mark with its flag are
  // rewritten; the bytes between belong to the directory's header.
  unsigned char counter[4];
  Put32Be(counter, changeCounter_);
  unsigned char mark[5];
  std::memcpy(mark, kOwnMark, 4);
  mark[4] = 1;
  if (pwrite(fd_, mark, sizeof mark, kOwnMarkOffset) != sizeof mark || pwrite(fd_, counter, 4, 8) != 4)
    throw XbaseError(xbFileError, "cannot write " + path_ + ": " + std::strerror(errno));
}

void CdxFile::Flush(std::uint32_t recordCount) {
  if (!changing_) return;
  unsigned char page[kCdxPageSize];
  std::vector<std::pair<std::uint32_t, const CdxTree*>> pages(dirty_.begin(), dirty_.end());
  std::sort(pages.begin(), pages.end());  // in file order
  for (const auto& [offset, tree] : pages) {
    CdxNode& node = *cache_.Find(offset);
    Encode(node, tree->keyLength_, tree->filler_, page);
    WritePage(offset, page);
    node.dirty = false;
  }
  dirty_.clear();
  if (freeListDirty_) {
    // Each free page starts with the offset of the next one; 0 ends the list.
    for (std::size_t i = 0; i < freePages_.size(); ++i) {
      std::memset(page, 0, kCdxPageSize);
      if (i > 0) Put32(page, freePages_[i - 1]);
      WritePage(freePages_[i], page);
    }
    freeListDirty_ = false;
  }
  for (std::size_t i = 0; i < tags_.size(); ++i)
    if (headersDirty_.count(tags_[i].headerOffset)) WriteTagHeader(tags_[i], trees_[i]->Root(), false);
  headersDirty_.clear();
  changing_ = false;
  recordedCount_ = recordCount;
  CdxTagInfo directory;
  directory.keyLength = kDirectoryKeyLength;
  directory.headerOffset = 0;
  WriteTagHeader(directory, directory_->Root(), true);
}

bool CdxFile::ChangedElsewhere() const {
  unsigned char bytes[4];
  if (pread(fd_, bytes, 4, 8) != 4) return true;
  return Get32Be(bytes) != changeCounter_;
}

std::size_t CdxFile::AddTag(const CdxTagInfo& info, const CdxKeyList& keys) {
  if (info.keyLength < 1 || info.keyLength > kCdxMaxKeyLength)
    throw XbaseError(xbBadExpression, "the key of tag " + info.name + " is " + std::to_string(info.keyLength) +
                                          " bytes long; keys take 1 to 240 bytes");
  if (info.name.empty() || info.name.size() > 10)
    throw XbaseError(xbBadArgument, "tag names take 1 to 10 characters: '" + info.name + "'");
  for (const CdxTagInfo& t : tags_)
    if (t.name == info.name) throw XbaseError(xbBadArgument, "tag " + info.name + " already exists in " + path_);
  if (info.keyExpression.size() + info.forExpression.size() + 2 > kCdxPageSize)
    throw XbaseError(xbBadExpression, "the expressions of tag " + info.name + " are too long");
  BeginChange();
  CdxTagInfo tag = info;
  tag.headerOffset = AllocateHeader();
  const char filler = tag.characterKey ? ' ' : '\0';
  const std::uint32_t root = WriteTree(keys, tag.keyLength, filler);
  auto tree = std::make_unique<CdxTree>(*this, tag.headerOffset, root, tag.keyLength, filler);
  std::string dirKey = tag.name;
  dirKey.resize(kDirectoryKeyLength, ' ');
  directory_->Insert(dirKey, tag.headerOffset);
  tags_.push_back(tag);
  trees_.push_back(std::move(tree));
  headersDirty_.insert(tag.headerOffset);
  return tags_.size() - 1;
}

void CdxFile::TrimCache(std::size_t maxPages) {
  if (cache_.Size() <= maxPages) return;
  // Down to half, so that the cost of trimming spreads over the many page
  // reads it takes to fill the cache again.
  cache_.DropClean(maxPages / 2);
}

void CdxFile::SetCharacterKey(std::size_t tag, bool characterKey) {
  CdxTagInfo& info = tags_.at(tag);
  if (info.characterKey == characterKey) return;
  info.characterKey = characterKey;
  cache_.DropClean(0);  // pages decoded with the other filler
  trees_[tag]->filler_ = characterKey ? ' ' : '\0';
}

}  // namespace tv

namespace tv {

void CdxKeyList::Reserve(std::size_t count) {
  bytes_.reserve(count * static_cast<std::size_t>(keyLength_));
  recnos_.reserve(count);
}

void CdxKeyList::Add(std::string_view key, std::uint32_t recno) {
  bytes_.append(key.data(), static_cast<std::size_t>(keyLength_));
  recnos_.push_back(recno);
}

void CdxKeyList::Sort(bool unique) {
  // Sorting (first eight key bytes as a number, position) pairs settles most
  // comparisons without touching the keys; keys arrive in record order, so
  // the position breaks ties between equal keys as the record number would.
  struct Item {
    std::uint64_t head;
    std::uint32_t index;
  };
  const auto length = static_cast<std::size_t>(keyLength_);
  const char* base = bytes_.data();
  std::vector<Item> items(recnos_.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    std::uint64_t head = 0;
    for (std::size_t b = 0; b < 8; ++b)
      head = head << 8 | (b < length ? static_cast<unsigned char>(base[i * length + b]) : 0u);
    items[i] = Item{head, static_cast<std::uint32_t>(i)};
  }
  const bool inRecordOrder = std::is_sorted(recnos_.begin(), recnos_.end());
  std::sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
    if (a.head != b.head) return a.head < b.head;
    if (length > 8) {
      const int c = std::memcmp(base + a.index * length + 8, base + b.index * length + 8, length - 8);
      if (c != 0) return c < 0;
    }
    return inRecordOrder ? a.index < b.index : recnos_[a.index] < recnos_[b.index];
  });
  std::string bytes;
  bytes.reserve(bytes_.size());
  std::vector<std::uint32_t> recnos;
  recnos.reserve(recnos_.size());
  for (const Item& item : items) {
    const std::string_view key(base + item.index * length, length);
    if (unique && !recnos.empty() && std::string_view(bytes).substr(bytes.size() - length) == key) continue;
    bytes.append(key);
    recnos.push_back(recnos_[item.index]);
  }
  bytes_ = std::move(bytes);
  recnos_ = std::move(recnos);
}

}  // namespace tv

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

}  // namespace tv
