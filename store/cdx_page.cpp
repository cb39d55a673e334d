#include "store/cdx_page.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/bytes.h"
#include "store/xbase_error.h"

namespace tv {

namespace {

constexpr int kLeafHeader = kCdxPageSize - kCdxLeafSpace;          // entry table starts here
constexpr int kInteriorHeader = kCdxPageSize - kCdxInteriorSpace;  // entries start here
constexpr std::uint16_t kAttrRoot = 1;
constexpr std::uint16_t kAttrLeaf = 2;
constexpr std::uint8_t kOptUnique = 0x01;
constexpr std::uint8_t kOptFor = 0x08;
constexpr std::uint8_t kOptCompact = 0x20;
constexpr std::uint8_t kOptCompound = 0x40;
constexpr std::uint8_t kOptDirectory = 0x80;
// This program's bookkeeping in the file header's reserved bytes: a mark
// naming the writer, the update-in-progress flag, the table's record count
// at the last complete flush and the letter-case rule of the keys.
constexpr char kOwnMark[4] = {'T', 'V', 'i', 'x'};
constexpr int kChangingOffset = kCdxOwnMarkOffset + 4;
constexpr int kRecordCountOffset = 32;
constexpr int kCollationOffset = 36;

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

void EncodePageHeader(bool leaf, bool root, std::size_t count, std::uint32_t left, std::uint32_t right,
                      std::uint8_t* page) {
  std::memset(page, 0, kCdxPageSize);
  PutLe16(page, (leaf ? kAttrLeaf : 0) | (root ? kAttrRoot : 0));
  PutLe16(page + 2, static_cast<unsigned>(count));
  PutLe32(page + 4, left);
  PutLe32(page + 8, right);
}

// What every tag header, the directory's included, starts with.
void EncodeHeaderCommon(std::uint32_t root, int keyLength, std::uint8_t* head) {
  std::memset(head, 0, kCdxHeaderBytes);
  PutLe32(head, root);
  PutLe16(head + 12, static_cast<unsigned>(keyLength));
  head[15] = 0x01;
}

}  // namespace

int CompareEntries(std::string_view keyA, std::uint32_t recnoA, std::string_view keyB, std::uint32_t recnoB) {
  const int c = keyA.compare(keyB);
  if (c != 0) return c < 0 ? -1 : 1;
  return recnoA < recnoB ? -1 : recnoA > recnoB ? 1 : 0;
}

std::size_t CdxEntries::LowerBound(std::string_view key, std::uint32_t recno) const {
  // The first eight bytes, read as big-endian numbers, settle most steps
  // without a call to compare the rest.
  const bool wide = keyLength_ >= 8;
  std::uint64_t keyHead = 0;
  if (wide) std::memcpy(&keyHead, key.data(), 8);
  keyHead = __builtin_bswap64(keyHead);
  std::size_t low = 0;
  std::size_t high = Size();
  while (low < high) {
    const std::size_t mid = (low + high) / 2;
    const char* at = keys_.data() + mid * keyLength_;
    int c = 0;
    if (wide) {
      std::uint64_t head;
      std::memcpy(&head, at, 8);
      head = __builtin_bswap64(head);
      c = head < keyHead ? -1 : head > keyHead ? 1 : std::memcmp(at + 8, key.data() + 8, keyLength_ - 8);
    } else {
      c = std::memcmp(at, key.data(), keyLength_);
    }
    if (c < 0 || (c == 0 && recnos_[mid] < recno)) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

void CdxEntries::Insert(std::size_t i, const CdxEntry& entry) {
  keys_.insert(i * keyLength_, entry.key.data(), keyLength_);
  recnos_.insert(recnos_.begin() + static_cast<std::ptrdiff_t>(i), entry.recno);
  children_.insert(children_.begin() + static_cast<std::ptrdiff_t>(i), entry.child);
}

void CdxEntries::Erase(std::size_t i) {
  keys_.erase(i * keyLength_, keyLength_);
  recnos_.erase(recnos_.begin() + static_cast<std::ptrdiff_t>(i));
  children_.erase(children_.begin() + static_cast<std::ptrdiff_t>(i));
}

void CdxEntries::Set(std::size_t i, std::string_view key, std::uint32_t recno) {
  keys_.replace(i * keyLength_, keyLength_, key.data(), keyLength_);
  recnos_[i] = recno;
}

void CdxEntries::MoveTail(std::size_t from, CdxEntries& into) {
  into.keys_.append(keys_, from * keyLength_);
  into.recnos_.insert(into.recnos_.end(), recnos_.begin() + static_cast<std::ptrdiff_t>(from), recnos_.end());
  into.children_.insert(into.children_.end(), children_.begin() + static_cast<std::ptrdiff_t>(from),
                        children_.end());
  keys_.resize(from * keyLength_);
  recnos_.resize(from);
  children_.resize(from);
}

void CdxEntries::Reserve(std::size_t count) {
  keys_.reserve(count * keyLength_);
  recnos_.reserve(count);
  children_.reserve(count);
}

void CdxFault(const std::string& path, const std::string& what) {
  throw XbaseError(xbBadIndex, path + " is damaged (" + what + "); rebuild the indexes");
}

int CdxLeafEntryBytes(int keyLength, std::uint32_t maxRecno) { return LayoutFor(keyLength, maxRecno).bytes; }

int CdxTrailingCount(std::string_view key, char filler) {
  // Eight bytes at a time from the end: keys are mostly filler there.
  const std::uint64_t fill = 0x0101010101010101ull * static_cast<unsigned char>(filler);
  std::size_t end = key.size();
  for (std::uint64_t word; end >= 8; end -= 8) {
    std::memcpy(&word, key.data() + end - 8, 8);
    if (word != fill) break;
  }
  while (end > 0 && key[end - 1] == filler) --end;
  return static_cast<int>(key.size() - end);
}

int CdxDuplicateCount(std::string_view prev, int prevTrail, std::string_view key, int trail) {
  const auto limit = static_cast<std::size_t>(std::max(0, static_cast<int>(key.size()) - std::max(prevTrail, trail)));
  std::size_t d = 0;
  for (std::uint64_t a, b; d + 8 <= limit; d += 8) {
    std::memcpy(&a, prev.data() + d, 8);
    std::memcpy(&b, key.data() + d, 8);
    if (a != b) return static_cast<int>(d) + std::countr_zero(a ^ b) / 8;  // the first byte is the lowest
  }
  while (d < limit && prev[d] == key[d]) ++d;
  return static_cast<int>(d);
}

int CdxStoredKeyBytes(const std::string_view* prev, std::string_view key, char filler) {
  const int length = static_cast<int>(key.size());
  const int t = CdxTrailingCount(key, filler);
  if (!prev) return length - t;
  return length - t - CdxDuplicateCount(*prev, CdxTrailingCount(*prev, filler), key, t);
}

namespace {

// The coders read entries from a plain array (a tree being built) or from a
// decoded page alike: entries[i] gives a CdxEntry.
template <typename Entries>
void EncodeInterior(const Entries& entries, std::size_t count, int keyLength, bool root, std::uint32_t left,
                    std::uint32_t right, std::uint8_t* page) {
  EncodePageHeader(false, root, count, left, right, page);
  const auto L = static_cast<std::size_t>(keyLength);
  for (std::size_t i = 0; i < count; ++i) {
    const CdxEntry entry = entries[i];
    std::uint8_t* e = page + kInteriorHeader + i * (L + 8);
    std::memcpy(e, entry.key.data(), L);
    PutBe32(e + L, entry.recno);
    PutBe32(e + L + 4, entry.child);
  }
}

template <typename Entries>
void EncodeLeaf(const Entries& entries, std::size_t count, int keyLength, char filler, bool root,
                std::uint32_t left, std::uint32_t right, std::uint8_t* page) {
  EncodePageHeader(true, root, count, left, right, page);
  const auto L = static_cast<std::size_t>(keyLength);
  std::uint32_t maxRecno = 0;
  for (std::size_t i = 0; i < count; ++i) maxRecno = std::max(maxRecno, entries[i].recno);
  const LeafLayout layout = LayoutFor(keyLength, maxRecno);
  const std::uint64_t countMask = (1ull << layout.countBits) - 1;
  std::size_t keyEnd = kCdxPageSize;
  std::string_view prev;
  int prevTrail = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const CdxEntry entry = entries[i];
    const int t = CdxTrailingCount(entry.key, filler);
    const int d = i == 0 ? 0 : CdxDuplicateCount(prev, prevTrail, entry.key, t);
    prev = entry.key;
    prevTrail = t;
    const std::size_t stored = L - static_cast<std::size_t>(d + t);
    keyEnd -= stored;
    std::memcpy(page + keyEnd, entry.key.data() + d, stored);
    const std::uint64_t value = static_cast<std::uint64_t>(entry.recno) |
                                static_cast<std::uint64_t>(d) << layout.recBits |
                                static_cast<std::uint64_t>(t) << (layout.recBits + layout.countBits);
    // Little-endian in layout.bytes bytes. A whole word where it stays below
    // the keys: the bytes past the entry are 0 and the next entries' own.
    std::uint8_t* slot = page + kLeafHeader + i * static_cast<std::size_t>(layout.bytes);
    if (slot + 8 <= page + keyEnd) {
      std::memcpy(slot, &value, 8);
    } else {
      for (int b = 0; b < layout.bytes; ++b) slot[b] = static_cast<std::uint8_t>(value >> (8 * b));
    }
  }
  const std::size_t used = count * static_cast<std::size_t>(layout.bytes) + (kCdxPageSize - keyEnd);
  PutLe16(page + 12, static_cast<unsigned>(kCdxLeafSpace - static_cast<int>(used)));
  PutLe32(page + 14, layout.recBits >= 32 ? 0xFFFFFFFFu : (1u << layout.recBits) - 1);
  page[18] = static_cast<std::uint8_t>(countMask);
  page[19] = static_cast<std::uint8_t>(countMask);
  page[20] = static_cast<std::uint8_t>(layout.recBits);
  page[21] = static_cast<std::uint8_t>(layout.countBits);
  page[22] = static_cast<std::uint8_t>(layout.countBits);
  page[23] = static_cast<std::uint8_t>(layout.bytes);
}

}  // namespace

void EncodeCdxInterior(const CdxEntry* entries, std::size_t count, int keyLength, bool root, std::uint32_t left,
                       std::uint32_t right, std::uint8_t* page) {
  EncodeInterior(entries, count, keyLength, root, left, right, page);
}

void EncodeCdxLeaf(const CdxEntry* entries, std::size_t count, int keyLength, char filler, bool root,
                   std::uint32_t left, std::uint32_t right, std::uint8_t* page) {
  EncodeLeaf(entries, count, keyLength, filler, root, left, right, page);
}

void EncodeCdxNode(const CdxNode& node, int keyLength, char filler, std::uint8_t* page) {
  const std::size_t count = node.entries.Size();
  if (node.leaf)
    EncodeLeaf(node.entries, count, keyLength, filler, node.root, node.left, node.right, page);
  else
    EncodeInterior(node.entries, count, keyLength, node.root, node.left, node.right, page);
}

CdxNode DecodeCdxPage(const std::uint8_t* page, std::uint32_t offset, int keyLength, char filler,
                      std::uint64_t fileSize, const std::string& path) {
  CdxNode node(keyLength);
  node.offset = offset;
  auto fault = [&](const std::string& what) { CdxFault(path, "page " + std::to_string(offset) + ": " + what); };
  const std::uint16_t attributes = Le16(page);
  if (attributes > 3) fault("attributes " + std::to_string(attributes));
  node.leaf = (attributes & kAttrLeaf) != 0;
  node.root = (attributes & kAttrRoot) != 0;
  const int count = Le16(page + 2);
  node.left = Le32(page + 4);
  node.right = Le32(page + 8);
  const auto L = static_cast<std::size_t>(keyLength);
  if (!node.leaf) {
    if (count * (keyLength + 8) > kCdxInteriorSpace) fault("too many entries");
    node.entries.Reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      const std::uint8_t* e = page + kInteriorHeader + static_cast<std::size_t>(i) * (L + 8);
      const CdxEntry entry{std::string_view(reinterpret_cast<const char*>(e), L), Be32(e + L), Be32(e + L + 4)};
      if (entry.child % kCdxPageSize != 0 || entry.child < kCdxHeaderBytes || entry.child >= fileSize)
        fault("child page outside the file");
      node.entries.Append(entry);
    }
    return node;
  }
  const int recBits = page[20], dupBits = page[21], trailBits = page[22], bytes = page[23];
  if (bytes < 1 || bytes > 8 || recBits + dupBits + trailBits != 8 * bytes || recBits > 32 || dupBits > 16 ||
      trailBits > 16)
    fault("bad entry layout");
  if (count * bytes > kCdxLeafSpace) fault("too many entries");
  const std::uint64_t recMask = recBits == 64 ? ~0ull : (1ull << recBits) - 1;
  const std::uint64_t dupMask = (1ull << dupBits) - 1;
  const std::uint64_t trailMask = (1ull << trailBits) - 1;
  std::size_t keyEnd = kCdxPageSize;
  const std::size_t tableEnd = kLeafHeader + static_cast<std::size_t>(count * bytes);
  node.entries.Reserve(static_cast<std::size_t>(count));
  std::string key(L, filler);  // each key is built over the one before it
  for (int i = 0; i < count; ++i) {
    std::uint64_t value = 0;
    const std::uint8_t* e = page + kLeafHeader + static_cast<std::size_t>(i * bytes);
    for (int b = bytes - 1; b >= 0; --b) value = value << 8 | e[b];
    const auto recno = static_cast<std::uint32_t>(value & recMask);
    const auto dup = static_cast<std::size_t>((value >> recBits) & dupMask);
    const auto trail = static_cast<std::size_t>((value >> (recBits + dupBits)) & trailMask);
    if (dup + trail > L || (i == 0 && dup != 0)) fault("bad key counts");
    const std::size_t stored = L - dup - trail;
    if (keyEnd < tableEnd + stored) fault("keys overlap the entry table");
    keyEnd -= stored;
    std::memcpy(key.data() + dup, page + keyEnd, stored);
    std::memset(key.data() + dup + stored, filler, trail);
    node.entries.Append(CdxEntry{key, recno, 0});
  }
  return node;
}

CdxTagInfo DecodeCdxTagHeader(const std::uint8_t* head, std::uint32_t offset, std::uint32_t& root,
                              const std::string& path) {
  CdxTagInfo info;
  info.headerOffset = offset;
  root = Le32(head);
  info.keyLength = Le16(head + 12);
  if (info.keyLength < 1 || info.keyLength > kCdxMaxKeyLength)
    CdxFault(path, "tag at " + std::to_string(offset) + " has key length " + std::to_string(info.keyLength));
  const std::uint8_t options = head[14];
  if ((options & kOptCompact) == 0) CdxFault(path, "tag at " + std::to_string(offset) + " is not compact");
  info.unique = (options & kOptUnique) != 0;
  info.descending = Le16(head + 502) != 0;
  // The pool holds the key expression, 0x00, the FOR expression, 0x00.
  const char* pool = reinterpret_cast<const char*>(head + kCdxPageSize);
  const std::size_t keyLen = strnlen(pool, kCdxPageSize);
  if (keyLen == 0 || keyLen >= kCdxPageSize)
    CdxFault(path, "tag at " + std::to_string(offset) + " has no key expression");
  info.keyExpression.assign(pool, keyLen);
  if (options & kOptFor)
    info.forExpression.assign(pool + keyLen + 1, strnlen(pool + keyLen + 1, kCdxPageSize - keyLen - 1));
  return info;
}

void EncodeCdxTagHeader(const CdxTagInfo& info, std::uint32_t root, std::uint8_t* head) {
  EncodeHeaderCommon(root, info.keyLength, head);
  head[14] = kOptCompound | kOptCompact | (info.unique ? kOptUnique : 0) | (info.forExpression.empty() ? 0 : kOptFor);
  PutLe16(head + 502, info.descending ? 1 : 0);
  const std::size_t keyLen = info.keyExpression.size();
  const std::size_t forLen = info.forExpression.size();
  PutLe16(head + 504, static_cast<unsigned>(keyLen + 1));
  PutLe16(head + 506, static_cast<unsigned>(forLen + 1));
  PutLe16(head + 508, 0);
  PutLe16(head + 510, static_cast<unsigned>(keyLen + 1));
  std::memcpy(head + kCdxPageSize, info.keyExpression.data(), keyLen);
  std::memcpy(head + kCdxPageSize + keyLen + 1, info.forExpression.data(), forLen);
}

CdxFileHeader DecodeCdxFileHeader(const std::uint8_t* head, const std::string& path) {
  if ((head[14] & kOptDirectory) == 0 || Le16(head + 12) != kCdxDirectoryKeyLength) CdxFault(path, "no tag directory");
  CdxFileHeader header;
  header.directoryRoot = Le32(head);
  header.freeListHead = Le32(head + 4);
  header.changeCounter = Be32(head + kCdxCounterOffset);
  header.ownMark = std::memcmp(head + kCdxOwnMarkOffset, kOwnMark, 4) == 0;
  if (header.ownMark) {
    header.changing = head[kChangingOffset] != 0;
    header.recordCount = Le32(head + kRecordCountOffset);
    header.collation = head[kCollationOffset];
  }
  return header;
}

void EncodeCdxFileHeader(const CdxFileHeader& header, std::uint8_t* head) {
  EncodeHeaderCommon(header.directoryRoot, kCdxDirectoryKeyLength, head);
  head[14] = kOptDirectory | kOptCompound | kOptCompact;
  PutLe16(head + 504, 1);
  PutLe16(head + 506, 1);
  PutLe16(head + 510, 1);
  PutLe32(head + 4, header.freeListHead);
  PutBe32(head + kCdxCounterOffset, header.changeCounter);
  PutLe16(head + 16, kCdxHeaderBytes);
  PutLe16(head + 18, kCdxPageSize);
  std::memcpy(head + kCdxOwnMarkOffset, kOwnMark, 4);
  head[kChangingOffset] = header.changing ? 1 : 0;
  PutLe32(head + kRecordCountOffset, header.recordCount);
  head[kCollationOffset] = header.collation;
}

void EncodeCdxChangingMark(std::uint8_t* mark5) {
  std::memcpy(mark5, kOwnMark, 4);
  mark5[4] = 1;
}

}  // namespace tv
