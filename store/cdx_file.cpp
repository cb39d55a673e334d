#include "store/cdx_file.h"

#include <algorithm>

#include "store/xbase_error.h"

namespace tv {

std::unique_ptr<CdxFile> CdxFile::Create(const std::string& path) {
  std::unique_ptr<CdxFile> file(new CdxFile(CdxPager::Create(path)));
  CdxPager& pager = *file->pager_;
  const std::uint32_t root = pager.AllocatePage();
  auto node = std::make_unique<CdxNode>(kCdxDirectoryKeyLength);
  node->offset = root;
  node->root = true;
  pager.Put(root, std::move(node));
  file->directory_ = std::make_unique<CdxTree>(pager, 0, root, kCdxDirectoryKeyLength, ' ');
  pager.MarkDirty(root, kCdxDirectoryKeyLength, ' ');
  return file;
}

std::unique_ptr<CdxFile> CdxFile::Open(const std::string& path, bool readOnly) {
  std::unique_ptr<CdxFile> file(new CdxFile(CdxPager::Open(path, readOnly)));
  file->ReadTags();
  return file;
}

void CdxFile::ReadTags() {
  CdxPager& pager = *pager_;
  directory_ = std::make_unique<CdxTree>(pager, 0, pager.Header().directoryRoot, kCdxDirectoryKeyLength, ' ');
  directory_->Verify(kCdxNone);
  std::vector<std::pair<std::uint32_t, std::string>> entries;
  for (CdxTree::Position p = directory_->First(); p.Valid(); p = directory_->Next(p)) {
    const CdxEntry e = directory_->At(p);
    std::string name(e.key);
    name.erase(name.find_last_not_of(' ') + 1);
    entries.emplace_back(e.recno, name);
  }
  pager.DropCleanPages();  // directory pages were decoded with its own key length only
  std::sort(entries.begin(), entries.end());
  for (const auto& [offset, name] : entries) {
    if (offset % kCdxPageSize != 0 || offset < kCdxHeaderBytes || offset + kCdxHeaderBytes > pager.FileSize())
      CdxFault(Path(), "tag " + name + " points outside the file");
    std::uint8_t head[kCdxHeaderBytes];
    pager.ReadPage(offset, head);
    pager.ReadPage(offset + kCdxPageSize, head + kCdxPageSize);
    std::uint32_t root = 0;
    CdxTagInfo info = DecodeCdxTagHeader(head, offset, root, Path());
    info.name = name;
    tags_.push_back(info);
    trees_.push_back(std::make_unique<CdxTree>(pager, offset, root, info.keyLength, info.characterKey ? ' ' : '\0'));
  }
}

std::int64_t CdxFile::RecordedCount() const {
  const CdxFileHeader& header = pager_->Header();
  return header.ownMark ? static_cast<std::int64_t>(header.recordCount) : -1;
}

void CdxFile::Flush(std::uint32_t recordCount) {
  if (!pager_->Changing()) return;
  pager_->WriteChanges();
  std::uint8_t head[kCdxHeaderBytes];
  for (std::size_t i = 0; i < tags_.size(); ++i) {
    if (!trees_[i]->RootMoved()) continue;
    EncodeCdxTagHeader(tags_[i], trees_[i]->Root(), head);
    pager_->WriteHeader(tags_[i].headerOffset, head);
    trees_[i]->HeaderWritten();
  }
  pager_->FinishChange(directory_->Root(), recordCount);
}

void CdxFile::Commit(std::uint32_t recordCount) {
  Flush(recordCount);
  pager_->Commit();
}

std::size_t CdxFile::AddTag(const CdxTagInfo& info, const CdxKeyList& keys) {
  if (info.keyLength < 1 || info.keyLength > kCdxMaxKeyLength)
    throw XbaseError(xbBadExpression, "the key of tag " + info.name + " is " + std::to_string(info.keyLength) +
                                          " bytes long; keys take 1 to 240 bytes");
  if (info.name.empty() || info.name.size() > kCdxDirectoryKeyLength)
    throw XbaseError(xbBadArgument, "tag names take 1 to 10 characters: '" + info.name + "'");
  for (const CdxTagInfo& t : tags_)
    if (t.name == info.name) throw XbaseError(xbBadArgument, "tag " + info.name + " already exists in " + Path());
  if (info.keyExpression.size() + info.forExpression.size() + 2 > kCdxPageSize)
    throw XbaseError(xbBadExpression, "the expressions of tag " + info.name + " are too long");
  pager_->BeginChange();
  CdxTagInfo tag = info;
  tag.headerOffset = pager_->AllocateHeader();
  const char filler = tag.characterKey ? ' ' : '\0';
  const std::uint32_t root = CdxTree::Build(*pager_, keys, tag.keyLength, filler);
  auto tree = std::make_unique<CdxTree>(*pager_, tag.headerOffset, root, tag.keyLength, filler);
  std::string dirKey = tag.name;
  dirKey.resize(kCdxDirectoryKeyLength, ' ');
  directory_->Insert(dirKey, tag.headerOffset);
  tags_.push_back(tag);
  trees_.push_back(std::move(tree));
  std::uint8_t head[kCdxHeaderBytes];
  EncodeCdxTagHeader(tag, root, head);
  pager_->WriteHeader(tag.headerOffset, head);
  return tags_.size() - 1;
}

void CdxFile::SetCharacterKey(std::size_t tag, bool characterKey) {
  CdxTagInfo& info = tags_.at(tag);
  if (info.characterKey == characterKey) return;
  info.characterKey = characterKey;
  pager_->DropCleanPages();  // pages decoded with the other filler
  trees_[tag]->SetFiller(characterKey ? ' ' : '\0');
}

}  // namespace tv
