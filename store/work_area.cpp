#include "store/work_area.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "store/field_codec.h"
#include "store/xbase_error.h"

namespace tv {

namespace {

// Pending index pages an exclusive writer may hold before writing them out,
// and decoded pages kept for reading (16 MB of page bytes, a few times that
// decoded).
constexpr std::size_t kMaxDirtyPages = 16384;
constexpr std::size_t kMaxCachedPages = 32768;

// Runs begin at once and end when the scope is left, however it is left.
class Scope {
 public:
  Scope(const std::function<void()>& begin, std::function<void()> end) : end_(std::move(end)) { begin(); }
  ~Scope() noexcept(false) {
    if (std::uncaught_exceptions() > 0) {
      try {
        end_();
      } catch (...) {
      }
      return;
    }
    end_();
  }

 private:
  std::function<void()> end_;
};

// Expressions compared as the engine reads them: letter case and blanks
// aside.
std::string ExpressionForm(std::string_view text) {
  std::string form;
  for (const char c : text)
    if (c != ' ') form += c;
  return UpperAscii(form);
}

CdxTagInfo InfoOf(const XbTag& tag) {
  CdxTagInfo info;
  info.name = tag.name;
  info.keyExpression = tag.key->Text();
  info.forExpression = tag.condition ? tag.condition->Text() : std::string();
  info.keyLength = tag.keyLength;
  info.unique = tag.unique;
  info.descending = tag.descending;
  info.characterKey = tag.key->Type() == XType::Character;
  return info;
}

}  // namespace

std::string EncodeKey(XValue value, int keyLength) {
  switch (value.type) {
    case XType::Character: {
      std::string key = std::move(value.text);
      key.resize(static_cast<std::size_t>(keyLength), ' ');
      return key;
    }
    case XType::Logical:
      return std::string(1, value.logical ? 'T' : 'F');
    case XType::Numeric:
    case XType::Date: {
      // Big-endian IEEE double with the sign bit flipped for values >= 0 and
      // every bit inverted for negative ones: byte order = numeric order.
      double number = value.type == XType::Date ? static_cast<double>(value.date) : value.number;
      if (number == 0) number = 0;  // -0 sorts as +0
      auto bits = std::bit_cast<std::uint64_t>(number);
      bits = number < 0 ? ~bits : bits ^ (1ull << 63);
      std::string key(8, '\0');
      for (int i = 0; i < 8; ++i) key[static_cast<std::size_t>(i)] = static_cast<char>(bits >> (56 - 8 * i));
      return key;
    }
  }
  return {};
}

WorkArea::WorkArea(std::unique_ptr<DbfTable> table, const XbaseSettings& settings)
    : table_(std::move(table)), settings_(settings) {
  record_.assign(static_cast<std::size_t>(table_->RecordLength()), ' ');
}

WorkArea::~WorkArea() {
  try {
    Commit();
  } catch (...) {
    // The index keeps its "update in progress" mark and is rebuilt on the
    // next open; nothing more can be done while closing.
  }
}

std::unique_ptr<WorkArea> WorkArea::Open(const std::string& path, OpenMode mode, const XbaseSettings& settings,
                                         const std::vector<TagDefinition>* required) {
  std::unique_ptr<WorkArea> area(new WorkArea(DbfTable::Open(path, mode), settings));
  area->OpenIndex(required);
  area->GoTop();
  return area;
}

std::string WorkArea::IndexPath() const {
  // Beside the table, in the letter case of the file there, else in the
  // table's own case.
  const std::string_view table = table_->Path();
  const std::string_view name = BaseName(table);
  const std::string_view ext = Extension(name);
  const bool lower = !ext.empty() && std::islower(static_cast<unsigned char>(ext.back()));
  return FindNoCase(table.substr(0, table.size() - name.size()), ChangeExtension(name, lower ? ".cdx" : ".CDX"));
}

void WorkArea::OpenIndex(const std::vector<TagDefinition>* required) {
  // Read under the table-wide lock, so that no writer is part-way through a
  // change while the table's length and its index are compared: what looks
  // unfinished then really was left so by a program that stopped.
  Scope lock([this] { Lock(); }, [this] { Unlock(); });
  if (table_->Mode() != OpenMode::Exclusive) table_->Refresh();
  // A table cut short is left as it is, index and all, until it is repaired:
  // an index built for the records still there would hide the damage.
  const bool repairable =
      required && !required->empty() && table_->Mode() != OpenMode::ReadOnly && table_->Damage().empty();
  if (!FileExists(IndexPath())) {
    if (repairable) BuildIndex(*required);  // a missing index is simply made
    return;
  }
  const std::optional<XbaseError> problem = CheckIndex(required);
  if (!problem) return;
  if (!repairable) throw *problem;
  indexRepair_ = problem->what();
  BuildIndex(*required);
}

std::optional<XbaseError> WorkArea::CheckIndex(const std::vector<TagDefinition>* required) {
  const std::string path = IndexPath();
  try {
    index_ = CdxFile::Open(path, table_->Mode() == OpenMode::ReadOnly);
    LoadTags();
    const std::uint32_t count = table_->RecordCount();
    if (index_->RecordedCount() >= 0 && index_->RecordedCount() != count)
      return XbaseError(xbBadIndex, path + " was written for " + std::to_string(index_->RecordedCount()) +
                                          " records but the table has " + std::to_string(count) +
                                          "; rebuild the indexes");
    for (std::size_t i = 0; i < tags_.size(); ++i) {
      const std::uint64_t keys = index_->Tree(i).Verify(count);
      const bool everyRecord = !tags_[i].condition && !tags_[i].unique;
      if (keys > count || (everyRecord && keys != count))
        return XbaseError(xbBadIndex, path + ": tag " + tags_[i].name + " holds " + std::to_string(keys) +
                                          " keys for a table of " + std::to_string(count) +
                                          " records; rebuild the indexes");
    }
  } catch (const XbaseError& e) {
    index_.reset();
    tags_.clear();
    if (e.Code() != xbBadIndex && e.Code() != xbStaleIndex) throw;
    return e;
  }
  // Keys of UPPER() and LOWER() built before those folded the code page's
  // letters would be looked for in the wrong places.
  if (index_->Collation() < kCdxCollation && std::any_of(tags_.begin(), tags_.end(), [](const XbTag& t) {
        return t.key->UsesLetterCase() || (t.condition && t.condition->UsesLetterCase());
      }))
    // Not damage: an index of an older version, rebuilt like a stopped writer's.
    return XbaseError(xbStaleIndex, path + " was built with an older letter-case rule; rebuild the indexes");
  if (!required) return std::nullopt;
  for (const TagDefinition& d : *required) {
    const int order = TagOrder(d.name);
    if (order == 0) return XbaseError(xbBadIndex, path + " lacks the tag " + d.name + "; rebuild the indexes");
    const XbTag& tag = tags_[static_cast<std::size_t>(order - 1)];
    const bool same = ExpressionForm(tag.key->Text()) == ExpressionForm(d.key) &&
                      ExpressionForm(tag.condition ? tag.condition->Text() : "") == ExpressionForm(d.condition) &&
                      tag.descending == d.descending && tag.unique == d.unique;
    if (!same)
      return XbaseError(xbBadIndex,
                        path + ": the tag " + d.name + " is not the one this table needs; rebuild the indexes");
  }
  return std::nullopt;
}

void WorkArea::LoadTags() {
  tags_.clear();
  const auto& infos = index_->Tags();
  for (std::size_t i = 0; i < infos.size(); ++i) {
    XbTag tag;
    tag.name = infos[i].name;
    tag.descending = infos[i].descending;
    tag.unique = infos[i].unique;
    tag.keyLength = infos[i].keyLength;
    try {
      tag.key = Expression::Compile(infos[i].keyExpression, table_->Fields());
      if (!infos[i].forExpression.empty()) tag.condition = Expression::Compile(infos[i].forExpression, table_->Fields());
    } catch (const XbaseError& e) {
      throw XbaseError(xbBadIndex, IndexPath() + ": tag " + tag.name + " does not fit the table: " + e.what());
    }
    if (tag.condition && tag.condition->Type() != XType::Logical)
      throw XbaseError(xbBadIndex, IndexPath() + ": the FOR condition of tag " + tag.name + " is not logical");
    const XType type = tag.key->Type();
    const int expected = type == XType::Logical ? 1 : type == XType::Character ? tag.keyLength : 8;
    if (tag.keyLength != expected)
      throw XbaseError(xbBadIndex, IndexPath() + ": tag " + tag.name + " has key length " +
                                       std::to_string(tag.keyLength) + " for a key of " + std::to_string(expected));
    index_->SetCharacterKey(i, type == XType::Character);
    tags_.push_back(std::move(tag));
  }
  if (order_ > static_cast<int>(tags_.size())) order_ = 0;
  ++generation_;
}

int WorkArea::TagOrder(const std::string& name) const {
  for (std::size_t i = 0; i < tags_.size(); ++i)
    if (EqualsNoCase(tags_[i].name, name)) return static_cast<int>(i) + 1;
  return 0;
}

void WorkArea::SetOrder(int order) {
  if (order < 0 || order > static_cast<int>(tags_.size()))
    throw XbaseError(xbBadArgument, "order " + std::to_string(order) + " does not exist for " + table_->Path());
  order_ = order;
  positionGeneration_ = 0;
  scopeTop_.reset();
  scopeBottom_.reset();
}

std::string WorkArea::KeyOf(const XbTag& tag, const char* record, std::uint32_t recno) const {
  const XRecord r{record, recno, &settings_.expression};
  return EncodeKey(tag.key->Evaluate(r), tag.keyLength);
}

bool WorkArea::InTag(const XbTag& tag, const char* record, std::uint32_t recno) const {
  if (!tag.condition) return true;
  return tag.condition->IsTrue(XRecord{record, recno, &settings_.expression});
}

bool WorkArea::Visible(const char* record, std::uint32_t recno) const {
  if (settings_.deleted && record[0] == DbfTable::kDeletedFlag) return false;
  return !filter_ || filter_->IsTrue(XRecord{record, recno, &settings_.expression});
}

std::vector<CdxKeyList> WorkArea::CollectKeys(const std::vector<const XbTag*>& tags, const ProgressHook& progress) {
  std::vector<CdxKeyList> lists;
  for (const XbTag* tag : tags) {
    lists.emplace_back(tag->keyLength);
    lists.back().Reserve(table_->RecordCount());
  }
  const std::uint32_t count = table_->RecordCount();
  std::vector<char> record(static_cast<std::size_t>(table_->RecordLength()));
  int lastPercent = -1;
  for (std::uint32_t r = 1; r <= count; ++r) {
    table_->Read(r, record.data());
    for (std::size_t t = 0; t < tags.size(); ++t)
      if (InTag(*tags[t], record.data(), r)) lists[t].Add(KeyOf(*tags[t], record.data(), r), r);
    if (progress) {
      // Reading takes the first nine tenths of the work, sorting and writing the rest.
      const int percent = static_cast<int>(static_cast<std::uint64_t>(r) * 90 / count);
      if (percent != lastPercent) Report(progress, lastPercent = percent);
    }
  }
  for (std::size_t t = 0; t < tags.size(); ++t) lists[t].Sort(tags[t]->unique);
  return lists;
}

XbTag WorkArea::CompileTag(const TagDefinition& definition) const {
  XbTag tag;
  tag.name = UpperAscii(definition.name);
  tag.key = Expression::Compile(definition.key, table_->Fields());
  if (!definition.condition.empty()) {
    tag.condition = Expression::Compile(definition.condition, table_->Fields());
    if (tag.condition->Type() != XType::Logical)
      throw XbaseError(xbBadExpression,
                       "the FOR condition \"" + definition.condition + "\" is not a logical expression");
  }
  tag.descending = definition.descending;
  tag.unique = definition.unique;
  const XType type = tag.key->Type();
  tag.keyLength = type == XType::Logical ? 1 : type == XType::Character ? tag.key->Width() : 8;
  if (tag.keyLength < 1 || tag.keyLength > kCdxMaxKeyLength)
    throw XbaseError(xbBadExpression, "the key \"" + definition.key + "\" is " + std::to_string(tag.keyLength) +
                                          " bytes long; keys take 1 to 240 bytes");
  if (tag.name.empty() || tag.name.size() > kCdxDirectoryKeyLength)
    throw XbaseError(xbBadArgument, "tag names take 1 to 10 characters: '" + definition.name + "'");
  return tag;
}

int WorkArea::CreateTag(const std::string& name, const std::string& keyExpression, const std::string& forExpression,
                        bool descending, bool unique, const ProgressHook& progress) {
  if (table_->Mode() == OpenMode::ReadOnly) throw XbaseError(xbReadOnly, table_->Path() + " is open read-only");
  XbTag tag = CompileTag(TagDefinition{name, keyExpression, forExpression, descending, unique});
  if (TagOrder(tag.name) != 0) throw XbaseError(xbBadArgument, "tag " + tag.name + " already exists");
  Scope write([this] { BeginWrite(); }, [this] { EndWrite(); });
  if (!index_) {
    // The first tag makes the index file, whole or not at all.
    BuildTags({std::move(tag)}, progress);
    if (!table_->HasStructuralIndexFlag()) table_->SetStructuralIndexFlag(true);
    return static_cast<int>(tags_.size());
  }
  const std::vector<CdxKeyList> keys = CollectKeys({&tag}, progress);
  index_->AddTag(InfoOf(tag), keys.front());
  index_->Flush(table_->RecordCount());
  if (progress) Report(progress, 100);
  tags_.push_back(std::move(tag));
  ++generation_;
  return static_cast<int>(tags_.size());
}

void WorkArea::BuildTags(std::vector<XbTag> tags, const ProgressHook& progress) {
  std::vector<const XbTag*> pointers;
  for (const XbTag& tag : tags) pointers.push_back(&tag);
  const std::vector<CdxKeyList> keys = CollectKeys(pointers, progress);
  tags_ = std::move(tags);
  WriteIndexFile(keys);
  if (progress) Report(progress, 100);
}

void WorkArea::WriteIndexFile(const std::vector<CdxKeyList>& keys) {
  // Built beside the old file and put in its place in one step, so a stop at
  // any moment leaves either index whole; programs sharing the table see the
  // new file and read it.
  {
    std::unique_ptr<CdxFile> file = CdxFile::Create(IndexPath());
    for (std::size_t i = 0; i < tags_.size(); ++i) file->AddTag(InfoOf(tags_[i]), keys[i]);
    file->Commit(table_->RecordCount());
  }
  index_ = CdxFile::Open(IndexPath(), false);
  const int order = order_;
  LoadTags();
  order_ = order;
  positionGeneration_ = 0;
}

void WorkArea::BuildIndex(const std::vector<TagDefinition>& definitions, const ProgressHook& progress) {
  if (table_->Mode() == OpenMode::ReadOnly) throw XbaseError(xbReadOnly, table_->Path() + " is open read-only");
  CheckNotReporting();
  std::vector<XbTag> tags;
  for (const TagDefinition& d : definitions) tags.push_back(CompileTag(d));
  // The old index is not read: it may be the reason for the new one.
  Scope lock([this] { Lock(); }, [this] { Unlock(); });
  if (table_->Mode() == OpenMode::Shared) table_->Refresh();
  index_.reset();
  order_ = 0;
  BuildTags(std::move(tags), progress);
  if (!table_->HasStructuralIndexFlag()) table_->SetStructuralIndexFlag(true);
}

void WorkArea::Reindex(const ProgressHook& progress) {
  if (!index_ && tags_.empty()) return;
  if (table_->Mode() == OpenMode::ReadOnly) throw XbaseError(xbReadOnly, table_->Path() + " is open read-only");
  Scope write([this] { BeginWrite(); }, [this] { EndWrite(); });
  BuildTags(tags_, progress);
}

std::optional<std::vector<CdxKeyList>> WorkArea::KeysAfterPack() {
  // Packing keeps the records' order, so every key keeps its place and only
  // its record number changes, unless the key or condition depends on the
  // number, or a unique tag may have to pick another record for a key.
  for (const XbTag& tag : tags_)
    if (tag.unique || tag.key->UsesRecordNumber() || (tag.condition && tag.condition->UsesRecordNumber()))
      return std::nullopt;
  const std::uint32_t count = table_->RecordCount();
  std::vector<std::uint32_t> renumbered(static_cast<std::size_t>(count) + 1, 0);
  std::uint32_t next = 0;
  for (std::uint32_t r = 1; r <= count; ++r)
    if (!table_->IsDeleted(r)) renumbered[r] = ++next;
  std::vector<CdxKeyList> lists;
  bool fits = true;
  for (std::size_t t = 0; t < tags_.size() && fits; ++t) {
    CdxKeyList& list = lists.emplace_back(tags_[t].keyLength);
    list.Reserve(next);
    index_->Tree(t).ForEach([&](const CdxEntry& entry) {
      if (entry.recno < 1 || entry.recno > count) fits = false;
      else if (renumbered[entry.recno] != 0) list.Add(entry.key, renumbered[entry.recno]);
    });
  }
  if (!fits) return std::nullopt;
  return lists;
}

void WorkArea::CloseIndex() {
  CheckNotReporting();
  Commit();
  index_.reset();
  tags_.clear();
  order_ = 0;
  ++generation_;
}

void WorkArea::Pack(const ProgressHook& progress) {
  Scope write([this] { BeginWrite(); }, [this] { EndWrite(); });
  std::optional<std::vector<CdxKeyList>> carried;
  if (index_) carried = KeysAfterPack();
  // The index was marked as being changed before the table changes
  // (BeginWrite): a stop between the two leaves it announcing itself stale.
  table_->Pack(GuardedHook(progress));
  if (carried) {
    WriteIndexFile(*carried);
  } else if (index_) {
    if (progress) Report(progress, 0);
    BuildTags(tags_, progress);
  }
  GoTop();
}

void WorkArea::Commit() {
  table_->Flush();
  if (index_ && index_->Changing()) index_->Flush(table_->RecordCount());
}

void WorkArea::CommitToDisk() {
  Commit();
  if (table_->Mode() == OpenMode::ReadOnly) return;
  table_->SyncToDisk();
  if (index_) index_->SyncToDisk();
}

void WorkArea::Report(const ProgressHook& progress, int percent) {
  // Whatever the hook does meanwhile (a window processing its events), it
  // cannot change this table halfway through the work.
  Scope reporting([this] { ++reporting_; }, [this] { --reporting_; });
  progress(percent);
}

ProgressHook WorkArea::GuardedHook(const ProgressHook& progress) {
  if (!progress) return {};
  return [this, progress](int percent) { Report(progress, percent); };
}

void WorkArea::CheckNotReporting() const {
  if (reporting_ > 0) throw XbaseError(xbTableBusy, table_->Path() + " is being rebuilt; try again when that is done");
}

void WorkArea::Lock() {
  if (table_->Mode() == OpenMode::Exclusive || lockDepth_++ > 0) return;
  if (!table_->LockForWrite(settings_.lockTimeout)) {
    --lockDepth_;
    throw XbaseError(xbLockTimeout, table_->Path() + " is being changed by another program; try again");
  }
}

void WorkArea::Unlock() {
  if (table_->Mode() == OpenMode::Exclusive || --lockDepth_ > 0) return;
  table_->UnlockForWrite();
}

void WorkArea::BeginWrite() {
  if (table_->Mode() == OpenMode::ReadOnly) throw XbaseError(xbReadOnly, table_->Path() + " is open read-only");
  CheckNotReporting();
  if (writeDepth_ > 0) {
    ++writeDepth_;
    return;
  }
  Lock();
  try {
    Sync();
    // Marked before the table changes, in every mode: a stop between the
    // record and its keys leaves an index that announces itself as stale.
    if (index_) index_->BeginChange();
  } catch (...) {
    Unlock();
    throw;
  }
  writeDepth_ = 1;
}

void WorkArea::EndWrite() {
  if (--writeDepth_ > 0) return;
  Scope unlock([] {}, [this] { Unlock(); });
  const bool shared = table_->Mode() == OpenMode::Shared;
  if (index_ && (shared || index_->DirtyPages() > kMaxDirtyPages)) index_->Flush(table_->RecordCount());
}

void WorkArea::Sync() {
  if (index_) index_->TrimCache(kMaxCachedPages);
  if (table_->Mode() == OpenMode::Exclusive) return;
  // Every change by a program sharing an indexed table moves the index's
  // change counter, so an unchanged counter on the same file means the
  // cached records and pages still hold; without an index, the table is read
  // again, and an index another program made meanwhile is taken up.
  if (index_ && !index_->ChangedElsewhere()) return;
  // A writer holds the table-wide lock while its change is under way: wait
  // for it to finish before reading its work.
  Scope lock([this] { Lock(); }, [this] { Unlock(); });
  table_->Refresh();
  if (index_ || FileExists(IndexPath())) {
    index_ = CdxFile::Open(IndexPath(), table_->Mode() == OpenMode::ReadOnly);
    const int order = order_;
    LoadTags();
    order_ = order;
  }
}

void WorkArea::SetFilter(const std::string& expression) {
  if (expression.find_first_not_of(' ') == std::string::npos) {
    filter_.reset();
    filterText_.clear();
    return;
  }
  ExpressionPtr compiled = Expression::Compile(expression, table_->Fields());
  if (compiled->Type() != XType::Logical)
    throw XbaseError(xbBadExpression, "the filter \"" + expression + "\" is not a logical expression");
  filter_ = std::move(compiled);
  filterText_ = expression;
}

std::uint32_t WorkArea::FilterCount() {
  Sync();
  std::uint32_t passing = 0;
  std::vector<char> record(static_cast<std::size_t>(table_->RecordLength()));
  for (std::uint32_t r = 1; r <= table_->RecordCount(); ++r) {
    table_->Read(r, record.data());
    if (Visible(record.data(), r)) ++passing;
  }
  return passing;
}

void WorkArea::Load(std::uint32_t recno) {
  table_->Read(recno, record_.data());
  recno_ = recno;
  bof_ = eof_ = false;
}

void WorkArea::SetEof() {
  eof_ = true;
  recno_ = table_->RecordCount() + 1;
  std::fill(record_.begin(), record_.end(), ' ');
  position_ = {};
}

void WorkArea::Refresh() {
  Sync();
  if (!eof_ && recno_ <= table_->RecordCount()) Load(recno_);
}

void WorkArea::CheckEntry(std::size_t tag, const CdxEntry& entry) {
  const XbTag& t = tags_[tag];
  const bool fits = entry.recno >= 1 && entry.recno <= table_->RecordCount() &&
                    InTag(t, record_.data(), entry.recno) && KeyOf(t, record_.data(), entry.recno) == entry.key;
  if (!fits)
    throw XbaseError(xbBadIndex, IndexPath() + ": tag " + t.name + " does not match record " +
                                     std::to_string(entry.recno) + " of the table; rebuild the indexes");
}

CdxTree& WorkArea::OrderTree() { return index_->Tree(static_cast<std::size_t>(order_ - 1)); }

CdxTree::Position WorkArea::WalkFirst(bool fromEnd) {
  const bool storageEnd = fromEnd != tags_[static_cast<std::size_t>(order_ - 1)].descending;
  CdxTree& tree = OrderTree();
  if (!storageEnd) return scopeTop_ ? tree.LowerBound(*scopeTop_, 0) : tree.First();
  if (!scopeBottom_) return tree.Last();
  // The first key beyond every key that begins with the bottom of the range.
  std::string beyond = *scopeBottom_;
  beyond.resize(static_cast<std::size_t>(tags_[static_cast<std::size_t>(order_ - 1)].keyLength), '\xFF');
  const CdxTree::Position after = tree.LowerBound(beyond, 0xFFFFFFFFu);
  return after.Valid() ? tree.Prior(after) : tree.Last();
}

std::string WorkArea::ScopeKey(const XValue& value) const {
  const XbTag& tag = tags_[static_cast<std::size_t>(order_ - 1)];
  if (value.type != tag.key->Type())
    throw XbaseError(xbBadArgument, "the range does not have the type of tag " + tag.name + "'s key");
  if (value.type == XType::Character) return value.text.substr(0, static_cast<std::size_t>(tag.keyLength));
  return EncodeKey(value, tag.keyLength);
}

void WorkArea::SetScope(const std::optional<XValue>& top, const std::optional<XValue>& bottom) {
  if (order_ == 0) throw XbaseError(xbBadArgument, "a key range needs an index order on " + table_->Path());
  scopeTop_ = top ? std::optional<std::string>(ScopeKey(*top)) : std::nullopt;
  scopeBottom_ = bottom ? std::optional<std::string>(ScopeKey(*bottom)) : std::nullopt;
  positionGeneration_ = 0;
}

bool WorkArea::BeforeScope(std::string_view key, bool forward) const {
  const bool storageForward = forward != tags_[static_cast<std::size_t>(order_ - 1)].descending;
  if (storageForward) return scopeTop_ && key.compare(0, scopeTop_->size(), *scopeTop_) < 0;
  return scopeBottom_ && key.compare(0, scopeBottom_->size(), *scopeBottom_) > 0;
}

bool WorkArea::PastScope(std::string_view key, bool forward) const { return BeforeScope(key, !forward); }

std::string WorkArea::KeyData() const {
  if (order_ == 0 || eof_) return {};
  return KeyOf(tags_[static_cast<std::size_t>(order_ - 1)], record_.data(), recno_);
}

CdxTree::Position WorkArea::WalkStep(CdxTree::Position p, bool forward) {
  const bool storageForward = forward != tags_[static_cast<std::size_t>(order_ - 1)].descending;
  return storageForward ? OrderTree().Next(p) : OrderTree().Prior(p);
}

CdxTree::Position WorkArea::CurrentPosition(bool forward) {
  if (positionGeneration_ == generation_ && position_.Valid()) return WalkStep(position_, forward);
  const XbTag& tag = tags_[static_cast<std::size_t>(order_ - 1)];
  const std::string key = KeyOf(tag, record_.data(), recno_);
  CdxTree& tree = OrderTree();
  const CdxTree::Position p = tree.LowerBound(key, recno_);
  const bool exact = p.Valid() && CompareEntries(tree.At(p).key, tree.At(p).recno, key, recno_) == 0;
  if (forward != tag.descending) return exact ? tree.Next(p) : p;
  return p.Valid() ? tree.Prior(p) : tree.Last();
}

bool WorkArea::SettleIndex(CdxTree::Position p, bool forward) {
  const auto tag = static_cast<std::size_t>(order_ - 1);
  std::vector<char> record(record_.size());
  for (; p.Valid(); p = WalkStep(p, forward)) {
    const CdxEntry entry = OrderTree().At(p);
    if (PastScope(entry.key, forward)) return false;
    if (BeforeScope(entry.key, forward)) continue;
    const std::uint32_t recno = entry.recno;
    if (recno < 1 || recno > table_->RecordCount()) CheckEntry(tag, entry);
    table_->Read(recno, record.data());
    record_.swap(record);
    CheckEntry(tag, entry);
    if (Visible(record_.data(), recno)) {
      recno_ = recno;
      bof_ = eof_ = false;
      position_ = p;
      positionGeneration_ = generation_;
      return true;
    }
    record_.swap(record);
  }
  return false;
}

bool WorkArea::SettleNatural(std::uint32_t recno, bool forward) {
  std::vector<char> record(record_.size());
  for (; recno >= 1 && recno <= table_->RecordCount(); forward ? ++recno : --recno) {
    table_->Read(recno, record.data());
    if (Visible(record.data(), recno)) {
      record_.swap(record);
      recno_ = recno;
      bof_ = eof_ = false;
      return true;
    }
  }
  return false;
}

void WorkArea::GoTop() {
  Sync();
  const bool found = order_ == 0 ? SettleNatural(1, true) : SettleIndex(WalkFirst(false), true);
  if (!found) {
    SetEof();
    bof_ = true;
  }
}

void WorkArea::GoBottom() {
  Sync();
  const bool found = order_ == 0 ? SettleNatural(table_->RecordCount(), false) : SettleIndex(WalkFirst(true), false);
  if (!found) {
    SetEof();
    bof_ = true;
  }
}

void WorkArea::Go(std::uint32_t recno) {
  Sync();
  if (recno < 1 || recno > table_->RecordCount()) {
    SetEof();
    return;
  }
  Load(recno);
  positionGeneration_ = 0;
}

void WorkArea::Skip(std::int64_t count) {
  Sync();
  if (count == 0) {
    if (!eof_) Load(recno_);
    return;
  }
  const bool forward = count > 0;
  for (std::int64_t step = 0; step < (forward ? count : -count); ++step) {
    if (forward) {
      if (eof_) return;
      const bool found = order_ == 0 ? SettleNatural(recno_ + 1, true) : SettleIndex(CurrentPosition(true), true);
      if (!found) {
        SetEof();
        return;
      }
      continue;
    }
    if (eof_) {  // from past the end, one step back is the last record
      const bool found =
          order_ == 0 ? SettleNatural(table_->RecordCount(), false) : SettleIndex(WalkFirst(true), false);
      if (!found) {
        bof_ = true;
        return;
      }
      continue;
    }
    const std::uint32_t here = recno_;
    const bool found = order_ == 0 ? SettleNatural(recno_ - 1, false) : SettleIndex(CurrentPosition(false), false);
    if (!found) {
      Load(here);  // stays on the first record, flagged as beginning of file
      bof_ = true;
      return;
    }
  }
}

bool WorkArea::Seek(const XValue& value) {
  if (order_ == 0) throw XbaseError(xbBadArgument, "seeking needs an index order on " + table_->Path());
  Sync();
  const XbTag& tag = tags_[static_cast<std::size_t>(order_ - 1)];
  const XType type = tag.key->Type();
  if (value.type != type)
    throw XbaseError(xbBadArgument, "the seek value does not have the type of tag " + tag.name + "'s key");
  std::string prefix = EncodeKey(value, tag.keyLength);
  if (type == XType::Character && !settings_.expression.exact) {
    std::string text = value.text.substr(0, static_cast<std::size_t>(tag.keyLength));
    prefix = text;
  }
  CdxTree& tree = OrderTree();
  CdxTree::Position p;
  if (!tag.descending) {
    p = tree.LowerBound(prefix, 0);
  } else {
    std::string highest = prefix;
    highest.resize(static_cast<std::size_t>(tag.keyLength), '\xFF');
    const CdxTree::Position after = tree.LowerBound(highest, 0xFFFFFFFFu);
    p = after.Valid() ? tree.Prior(after) : tree.Last();
  }
  if (SettleIndex(p, true) && KeyOf(tag, record_.data(), recno_).compare(0, prefix.size(), prefix) == 0) return true;
  if (!settings_.softSeek || eof_) SetEof();
  return false;
}

std::uint32_t WorkArea::AppendBlank() {
  const std::vector<char> blank(record_.size(), ' ');
  return Append(blank.data());
}

std::uint32_t WorkArea::Append(const char* record) {
  Scope write([this] { BeginWrite(); }, [this] { EndWrite(); });
  std::vector<char> bytes(record, record + record_.size());
  bytes[0] = DbfTable::kLiveFlag;
  const std::uint32_t recno = table_->Append(bytes.data());
  UpdateKeys(bytes, bytes, recno, true);
  Load(recno);
  positionGeneration_ = 0;
  return recno;
}

void WorkArea::PutRecord(const char* record) {
  if (eof_) throw XbaseError(xbBadRecordNumber, "there is no current record in " + table_->Path());
  Scope write([this] { BeginWrite(); }, [this] { EndWrite(); });
  std::vector<char> before(record_.size());
  table_->Read(recno_, before.data());
  std::vector<char> after(record, record + record_.size());
  after[0] = before[0];
  table_->Write(recno_, after.data());
  UpdateKeys(before, after, recno_, false);
  record_ = after;
}

void WorkArea::Replace(int field, const XValue& value) {
  const auto& fields = table_->Fields();
  if (field < 0 || field >= static_cast<int>(fields.size()))
    throw XbaseError(xbBadField, "field number " + std::to_string(field + 1) + " does not exist");
  std::vector<char> record = record_;
  WriteField(fields[static_cast<std::size_t>(field)], record.data(), value);
  PutRecord(record.data());
}

void WorkArea::Delete() {
  if (eof_) throw XbaseError(xbBadRecordNumber, "there is no current record in " + table_->Path());
  Scope write([this] { BeginWrite(); }, [this] { EndWrite(); });
  std::vector<char> before(record_.size());
  table_->Read(recno_, before.data());
  std::vector<char> after = before;
  after[0] = DbfTable::kDeletedFlag;
  table_->Write(recno_, after.data());
  UpdateKeys(before, after, recno_, false);
  record_ = after;
}

void WorkArea::Recall() {
  if (eof_) throw XbaseError(xbBadRecordNumber, "there is no current record in " + table_->Path());
  Scope write([this] { BeginWrite(); }, [this] { EndWrite(); });
  std::vector<char> before(record_.size());
  table_->Read(recno_, before.data());
  std::vector<char> after = before;
  after[0] = DbfTable::kLiveFlag;
  table_->Write(recno_, after.data());
  UpdateKeys(before, after, recno_, false);
  record_ = after;
}

void WorkArea::UpdateKeys(const std::vector<char>& before, const std::vector<char>& after, std::uint32_t recno,
                          bool isNew) {
  if (!index_) return;
  for (std::size_t i = 0; i < tags_.size(); ++i) {
    const XbTag& tag = tags_[i];
    const bool wasIn = !isNew && InTag(tag, before.data(), recno);
    const bool isIn = InTag(tag, after.data(), recno);
    const std::string oldKey = wasIn ? KeyOf(tag, before.data(), recno) : std::string();
    const std::string newKey = isIn ? KeyOf(tag, after.data(), recno) : std::string();
    if (wasIn && isIn && oldKey == newKey) continue;
    CdxTree& tree = index_->Tree(i);
    if (wasIn) tree.Remove(oldKey, recno);
    if (isIn) {
      // A unique tag keeps the first record that brought a key; when that
      // record's key changes, other records with the old key get no entry
      // until the tags are built again (pack or reindex), as in FoxPro.
      if (tag.unique) {
        const CdxTree::Position p = tree.LowerBound(newKey, 0);
        if (p.Valid() && tree.At(p).key == newKey) continue;
      }
      tree.Insert(newKey, recno);
    }
    ++generation_;
  }
}

bool WorkArea::LockRecord(std::uint32_t recno) {
  if (recno < 1 || recno > table_->RecordCount()) return false;
  if (table_->Mode() == OpenMode::Exclusive) return true;
  return table_->TryLockRecord(recno);
}

void WorkArea::Unlock(std::uint32_t recno) {
  if (recno == 0) table_->UnlockAllRecords();
  else table_->UnlockRecord(recno);
}

XValue WorkArea::Evaluate(const std::string& expression) {
  const ExpressionPtr compiled = Expression::Compile(expression, table_->Fields());
  return compiled->Evaluate(XRecord{record_.data(), RecNo(), &settings_.expression});
}

}  // namespace tv
