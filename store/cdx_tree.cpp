#include "store/cdx_tree.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "store/xbase_error.h"

namespace tv {

CdxTree::CdxTree(CdxPager& pager, std::uint32_t headerOffset, std::uint32_t root, int keyLength, char filler)
    : pager_(pager), headerOffset_(headerOffset), root_(root), keyLength_(keyLength), filler_(filler) {}

bool CdxTree::Fits(CdxNode& node) const {
  const CdxEntries& entries = node.entries;
  if (!node.leaf) return static_cast<int>(entries.Size()) <= kCdxInteriorSpace / (keyLength_ + 8);
  if (node.keyBytes < 0) {
    node.keyBytes = 0;
    node.maxRecno = 0;
    int prevTrail = 0;
    for (std::size_t i = 0; i < entries.Size(); ++i) {
      const int trail = CdxTrailingCount(entries.Key(i), filler_);
      const int shared = i == 0 ? 0 : CdxDuplicateCount(entries.Key(i - 1), prevTrail, entries.Key(i), trail);
      node.keyBytes += keyLength_ - trail - shared;
      node.maxRecno = std::max(node.maxRecno, entries.Recno(i));
      prevTrail = trail;
    }
  }
  const int entryBytes = CdxLeafEntryBytes(keyLength_, node.maxRecno);
  return static_cast<int>(entries.Size()) * entryBytes + node.keyBytes <= kCdxLeafSpace;
}

void CdxTree::SetRoot(std::uint32_t root) {
  root_ = root;
  rootMoved_ = true;
}

std::uint32_t CdxTree::SplitNode(CdxNode& node) {
  const CdxEntries& entries = node.entries;
  const std::size_t n = entries.Size();
  std::size_t k = n / 2;
  if (node.leaf) {
    // The split that leaves the fuller half as empty as possible; sizes are
    // reckoned with the whole page's entry width, an upper bound for each half.
    std::uint32_t maxRecno = 0;
    std::vector<int> trail(n);
    std::vector<int> stored(n);
    int total = 0;
    for (std::size_t i = 0; i < n; ++i) {
      maxRecno = std::max(maxRecno, entries.Recno(i));
      trail[i] = CdxTrailingCount(entries.Key(i), filler_);
      stored[i] = keyLength_ - trail[i] -
                  (i == 0 ? 0 : CdxDuplicateCount(entries.Key(i - 1), trail[i - 1], entries.Key(i), trail[i]));
      total += stored[i];
    }
    const int entryBytes = CdxLeafEntryBytes(keyLength_, maxRecno);
    int best = -1;
    int leftKeys = 0;
    for (std::size_t i = 1; i < n; ++i) {
      leftKeys += stored[i - 1];
      const int left = static_cast<int>(i) * entryBytes + leftKeys;
      const int right =
          static_cast<int>(n - i) * entryBytes + total - leftKeys - stored[i] + (keyLength_ - trail[i]);
      if (left > kCdxLeafSpace || right > kCdxLeafSpace) continue;
      const int worst = std::max(left, right);
      if (best < 0 || worst < best) {
        best = worst;
        k = i;
      }
    }
  }
  const std::uint32_t offset = pager_.AllocatePage();
  auto fresh = std::make_unique<CdxNode>(keyLength_);
  CdxNode& sibling = *fresh;
  pager_.Put(offset, std::move(fresh));
  CdxNode& original = Load(node.offset);  // the cache insert above may not move nodes, but stay explicit
  sibling.offset = offset;
  sibling.leaf = original.leaf;
  original.entries.MoveTail(k, sibling.entries);
  original.keyBytes = -1;  // both halves are counted again on their next insert
  sibling.left = original.offset;
  sibling.right = original.right;
  if (original.right != kCdxNone) {
    Load(original.right).left = offset;
    MarkDirty(original.right);
  }
  original.right = offset;
  MarkDirty(original.offset);
  MarkDirty(offset);
  return offset;
}

CdxTree::Split CdxTree::InsertInto(std::uint32_t offset, const CdxEntry& entry, bool& inserted) {
  CdxNode& node = Load(offset);
  CdxEntries& entries = node.entries;
  const std::size_t at = entries.LowerBound(entry.key, entry.recno);
  if (node.leaf) {
    if (at < entries.Size() && entries.Recno(at) == entry.recno && entries.Key(at) == entry.key) {
      inserted = false;
      return {};
    }
    if (node.keyBytes >= 0) {
      // The new entry's own bytes, and what the next entry now shares with it
      // instead of with the previous one.
      const bool hasPrev = at > 0;
      const bool hasNext = at < entries.Size();
      const int tEntry = CdxTrailingCount(entry.key, filler_);
      const std::string_view prev = hasPrev ? entries.Key(at - 1) : std::string_view();
      const int tPrev = hasPrev ? CdxTrailingCount(prev, filler_) : 0;
      node.keyBytes += keyLength_ - tEntry - (hasPrev ? CdxDuplicateCount(prev, tPrev, entry.key, tEntry) : 0);
      if (hasNext) {
        const std::string_view next = entries.Key(at);
        const int tNext = CdxTrailingCount(next, filler_);
        const int sharedBefore = hasPrev ? CdxDuplicateCount(prev, tPrev, next, tNext) : 0;
        node.keyBytes += sharedBefore - CdxDuplicateCount(entry.key, tEntry, next, tNext);
      }
      node.maxRecno = std::max(node.maxRecno, entry.recno);
    }
    entries.Insert(at, CdxEntry{entry.key, entry.recno, 0});
    inserted = true;
    MarkDirty(offset);
    return Fits(node) ? Split{} : Split{SplitNode(node)};
  }
  if (entries.Empty()) CdxFault(pager_.Path(), "interior page without entries");
  const std::size_t index = at == entries.Size() ? entries.Size() - 1 : at;
  const std::uint32_t childOffset = entries.Child(index);
  const Split childSplit = InsertInto(childOffset, entry, inserted);
  if (!inserted) return {};
  CdxNode& self = Load(offset);
  const CdxEntry highest = Load(childOffset).entries.Back();
  // Each entry carries its subtree's highest key; most inserts leave it alone.
  if (childSplit.newNode == kCdxNone && self.entries.Recno(index) == highest.recno &&
      self.entries.Key(index) == highest.key)
    return {};
  self.entries.Set(index, highest.key, highest.recno);
  if (childSplit.newNode != kCdxNone) {
    const CdxEntry sibling = Load(childSplit.newNode).entries.Back();
    self.entries.Insert(index + 1, CdxEntry{sibling.key, sibling.recno, childSplit.newNode});
  }
  MarkDirty(offset);
  return Fits(self) ? Split{} : Split{SplitNode(self)};
}

bool CdxTree::Insert(std::string_view key, std::uint32_t recno) {
  pager_.BeginChange();
  bool inserted = false;
  const Split split = InsertInto(root_, CdxEntry{key, recno, 0}, inserted);
  if (split.newNode != kCdxNone) {
    CdxNode& oldRoot = Load(root_);
    oldRoot.root = false;
    const std::uint32_t offset = pager_.AllocatePage();
    auto fresh = std::make_unique<CdxNode>(keyLength_);
    fresh->offset = offset;
    fresh->leaf = false;
    fresh->root = true;
    const CdxEntry left = oldRoot.entries.Back();
    fresh->entries.Append(CdxEntry{left.key, left.recno, root_});
    const CdxEntry right = Load(split.newNode).entries.Back();
    fresh->entries.Append(CdxEntry{right.key, right.recno, split.newNode});
    pager_.Put(offset, std::move(fresh));
    MarkDirty(offset);
    SetRoot(offset);
  }
  return inserted;
}

void CdxTree::Unlink(CdxNode& node) {
  if (node.left != kCdxNone) {
    Load(node.left).right = node.right;
    MarkDirty(node.left);
  }
  if (node.right != kCdxNone) {
    Load(node.right).left = node.left;
    MarkDirty(node.right);
  }
}

bool CdxTree::RemoveFrom(std::uint32_t offset, std::string_view key, std::uint32_t recno, bool& nowEmpty) {
  CdxNode& node = Load(offset);
  const std::size_t at = node.entries.LowerBound(key, recno);
  if (at == node.entries.Size()) return false;
  if (node.leaf) {
    if (node.entries.Recno(at) != recno || node.entries.Key(at) != key) return false;
    node.entries.Erase(at);
    node.keyBytes = -1;
    nowEmpty = node.entries.Empty();
    MarkDirty(offset);
    return true;
  }
  const std::uint32_t childOffset = node.entries.Child(at);
  bool childEmpty = false;
  if (!RemoveFrom(childOffset, key, recno, childEmpty)) return false;
  CdxNode& self = Load(offset);
  if (childEmpty) {
    CdxNode& child = Load(childOffset);
    Unlink(child);
    pager_.FreePage(childOffset);
    self.entries.Erase(at);
  } else {
    const CdxEntry highest = Load(childOffset).entries.Back();
    self.entries.Set(at, highest.key, highest.recno);
  }
  nowEmpty = self.entries.Empty();
  MarkDirty(offset);
  return true;
}

bool CdxTree::Remove(std::string_view key, std::uint32_t recno) {
  pager_.BeginChange();
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
    if (top.leaf || top.entries.Size() != 1) break;
    const std::uint32_t child = top.entries.Child(0);
    pager_.FreePage(root_);
    SetRoot(child);
    Load(child).root = true;
    MarkDirty(child);
  }
  return true;
}

CdxTree::Position CdxTree::First() {
  std::uint32_t offset = root_;
  for (int depth = 0; depth < kCdxMaxDepth; ++depth) {
    const CdxNode& node = Load(offset);
    if (node.leaf) {
      Position p{offset, 0};
      return node.entries.Empty() ? Next(Position{offset, -1}) : p;
    }
    if (node.entries.Empty()) return {};
    offset = node.entries.Child(0);
  }
  CdxFault(pager_.Path(), "tree too deep");
}

CdxTree::Position CdxTree::Last() {
  std::uint32_t offset = root_;
  for (int depth = 0; depth < kCdxMaxDepth; ++depth) {
    const CdxNode& node = Load(offset);
    if (node.leaf) {
      if (node.entries.Empty()) return Prior(Position{offset, 0});
      return Position{offset, static_cast<int>(node.entries.Size()) - 1};
    }
    if (node.entries.Empty()) return {};
    offset = node.entries.Back().child;
  }
  CdxFault(pager_.Path(), "tree too deep");
}

CdxTree::Position CdxTree::Next(Position p) {
  if (!p.Valid()) return {};
  const CdxNode* node = &Load(p.leaf);
  if (p.index + 1 < static_cast<int>(node->entries.Size())) return Position{p.leaf, p.index + 1};
  for (std::uint32_t next = node->right; next != kCdxNone; next = node->right) {
    node = &Load(next);
    if (!node->entries.Empty()) return Position{next, 0};
  }
  return {};
}

CdxTree::Position CdxTree::Prior(Position p) {
  if (!p.Valid()) return {};
  const CdxNode* node = &Load(p.leaf);
  if (p.index > 0) return Position{p.leaf, std::min(p.index, static_cast<int>(node->entries.Size())) - 1};
  for (std::uint32_t prev = node->left; prev != kCdxNone; prev = node->left) {
    node = &Load(prev);
    if (!node->entries.Empty()) return Position{prev, static_cast<int>(node->entries.Size()) - 1};
  }
  return {};
}

CdxTree::Position CdxTree::LowerBound(std::string_view key, std::uint32_t recno) {
  std::uint32_t offset = root_;
  for (int depth = 0; depth < kCdxMaxDepth; ++depth) {
    const CdxNode& node = Load(offset);
    const std::size_t at = node.entries.LowerBound(key, recno);
    if (node.leaf) {
      const auto index = static_cast<int>(at);
      if (at < node.entries.Size()) return Position{offset, index};
      return Next(Position{offset, index - 1});
    }
    if (at == node.entries.Size()) return {};
    offset = node.entries.Child(at);
  }
  CdxFault(pager_.Path(), "tree too deep");
}

CdxEntry CdxTree::At(Position p) {
  const CdxEntries& entries = Load(p.leaf).entries;
  if (p.index < 0 || static_cast<std::size_t>(p.index) >= entries.Size())
    throw std::out_of_range("CdxTree::At: no entry at that position");
  return entries[static_cast<std::size_t>(p.index)];
}

std::uint64_t CdxTree::Verify(std::uint32_t recordCount) const {
  std::set<std::uint32_t> seen;
  std::vector<std::uint32_t> leaves;
  std::string lastKey;
  std::uint32_t lastRecno = 0;
  bool haveLast = false;
  const std::uint64_t keys = VerifyNode(root_, 0, true, seen, leaves, lastKey, lastRecno, haveLast, recordCount);
  for (std::size_t i = 0; i < leaves.size(); ++i) {
    const CdxNode node = Decode(leaves[i]);
    const std::uint32_t expectLeft = i == 0 ? kCdxNone : leaves[i - 1];
    const std::uint32_t expectRight = i + 1 == leaves.size() ? kCdxNone : leaves[i + 1];
    if (node.left != expectLeft || node.right != expectRight)
      CdxFault(pager_.Path(), "broken sibling links at page " + std::to_string(leaves[i]));
  }
  return keys;
}

std::uint64_t CdxTree::VerifyNode(std::uint32_t offset, int depth, bool isRoot, std::set<std::uint32_t>& seen,
                                  std::vector<std::uint32_t>& leaves, std::string& lastKey, std::uint32_t& lastRecno,
                                  bool& haveLast, std::uint32_t recordCount) const {
  if (depth > kCdxMaxDepth) CdxFault(pager_.Path(), "tree too deep");
  if (!seen.insert(offset).second) CdxFault(pager_.Path(), "page " + std::to_string(offset) + " is used twice");
  const CdxNode node = Decode(offset);
  if (node.leaf) {
    leaves.push_back(offset);
    for (std::size_t i = 0; i < node.entries.Size(); ++i) {
      const CdxEntry e = node.entries[i];
      if (recordCount != kCdxNone && (e.recno < 1 || e.recno > recordCount))
        CdxFault(pager_.Path(), "key for record " + std::to_string(e.recno) + " beyond the table's " +
                                    std::to_string(recordCount) + " records");
      if (haveLast && CompareEntries(lastKey, lastRecno, e.key, e.recno) >= 0)
        CdxFault(pager_.Path(), "keys out of order at page " + std::to_string(offset));
      lastKey = e.key;
      lastRecno = e.recno;
      haveLast = true;
    }
    return node.entries.Size();
  }
  if (node.entries.Empty() && !isRoot) CdxFault(pager_.Path(), "empty interior page " + std::to_string(offset));
  std::uint64_t keys = 0;
  for (std::size_t i = 0; i < node.entries.Size(); ++i) {
    const CdxEntry e = node.entries[i];
    keys += VerifyNode(e.child, depth + 1, false, seen, leaves, lastKey, lastRecno, haveLast, recordCount);
    if (haveLast && CompareEntries(lastKey, lastRecno, e.key, e.recno) > 0)
      CdxFault(pager_.Path(), "interior key below its subtree at page " + std::to_string(offset));
    lastKey = e.key;  // every later key must lie above the bound this entry sets
    lastRecno = e.recno;
    haveLast = true;
  }
  return keys;
}

CdxNode CdxTree::Decode(std::uint32_t offset) const {
  std::uint8_t page[kCdxPageSize];
  pager_.ReadPage(offset, page);
  return DecodeCdxPage(page, offset, keyLength_, filler_, pager_.FileSize(), pager_.Path());
}

std::uint32_t CdxTree::Build(CdxPager& pager, const CdxKeyList& keys, int keyLength, char filler) {
  // Leaves, each filled while the next key still fits.
  std::vector<std::size_t> starts{0};
  int keyBytes = 0;
  std::uint32_t maxRecno = 0;
  int entryBytes = CdxLeafEntryBytes(keyLength, 0);
  int prevTrail = 0;
  for (std::size_t i = 0; i < keys.Size(); ++i) {
    const std::string_view key = keys.Key(i);
    const int trail = CdxTrailingCount(key, filler);
    const bool first = starts.back() == i;
    const int stored = keyLength - trail - (first ? 0 : CdxDuplicateCount(keys.Key(i - 1), prevTrail, key, trail));
    prevTrail = trail;
    const std::uint32_t highest = std::max(maxRecno, keys.Recno(i));
    const int widthNeeded = highest == maxRecno ? entryBytes : CdxLeafEntryBytes(keyLength, highest);
    const auto entries = static_cast<int>(i - starts.back() + 1);
    if (!first && entries * widthNeeded + keyBytes + stored > kCdxLeafSpace) {
      starts.push_back(i);
      keyBytes = keyLength - trail;
      maxRecno = keys.Recno(i);
      entryBytes = CdxLeafEntryBytes(keyLength, maxRecno);
    } else {
      keyBytes += stored;
      maxRecno = highest;
      entryBytes = widthNeeded;
    }
  }
  starts.push_back(keys.Size());

  // Pages of one level are allocated first so each knows its neighbours,
  // then coded and written; consecutive pages go out in one write.
  std::vector<std::uint8_t> run;
  std::uint32_t runStart = 0;
  auto emit = [&](std::uint32_t offset, const std::uint8_t* page) {
    if (!run.empty() && runStart + run.size() != offset) {
      pager.WriteRun(runStart, run);
      run.clear();
    }
    if (run.empty()) runStart = offset;
    run.insert(run.end(), page, page + kCdxPageSize);
  };
  std::uint8_t page[kCdxPageSize];
  std::vector<CdxEntry> level;
  const std::size_t leafCount = starts.size() - 1;
  std::vector<std::uint32_t> offsets(leafCount);
  for (std::uint32_t& offset : offsets) offset = pager.AllocatePage();
  std::vector<CdxEntry> refs;
  for (std::size_t l = 0; l < leafCount; ++l) {
    refs.clear();
    for (std::size_t i = starts[l]; i < starts[l + 1]; ++i) refs.push_back(CdxEntry{keys.Key(i), keys.Recno(i), 0});
    EncodeCdxLeaf(refs.data(), refs.size(), keyLength, filler, leafCount == 1, l == 0 ? kCdxNone : offsets[l - 1],
                  l + 1 == leafCount ? kCdxNone : offsets[l + 1], page);
    emit(offsets[l], page);
    if (!refs.empty()) level.push_back(CdxEntry{refs.back().key, refs.back().recno, offsets[l]});
  }
  std::uint32_t root = offsets.front();
  const auto perInterior = static_cast<std::size_t>(kCdxInteriorSpace / (keyLength + 8));
  while (level.size() > 1) {
    const std::size_t groups = (level.size() + perInterior - 1) / perInterior;
    offsets.assign(groups, 0);
    for (std::uint32_t& offset : offsets) offset = pager.AllocatePage();
    std::vector<CdxEntry> above;
    for (std::size_t g = 0; g < groups; ++g) {
      const std::size_t begin = g * perInterior;
      const std::size_t count = std::min(perInterior, level.size() - begin);
      EncodeCdxInterior(&level[begin], count, keyLength, groups == 1, g == 0 ? kCdxNone : offsets[g - 1],
                        g + 1 == groups ? kCdxNone : offsets[g + 1], page);
      emit(offsets[g], page);
      above.push_back(CdxEntry{level[begin + count - 1].key, level[begin + count - 1].recno, offsets[g]});
    }
    level = std::move(above);
    root = offsets.front();
  }
  if (!run.empty()) pager.WriteRun(runStart, run);
  return root;
}

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
