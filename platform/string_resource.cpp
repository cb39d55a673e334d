#include "platform/string_resource.h"

#include <algorithm>

#include "platform/qa_exceptions.h"

namespace tv {

namespace generated {
struct NamedResource {
  std::string_view name;
  std::span<const std::uint8_t> data;
};
extern const NamedResource kNamedResources[];
extern const std::size_t kNamedResourceCount;
}  // namespace generated

namespace {

constexpr std::uint16_t kMsgNotFound = 1;
constexpr std::uint16_t kMsgCannotLock = 2;
constexpr std::uint16_t kMsgResourceMissing = 3;

std::string Format(std::uint16_t messageId, const std::string& argument) {
  std::string text = StringResourceMessages().GetString(messageId);
  for (std::string_view placeholder : {"%d", "%s"}) {
    if (const auto at = text.find(placeholder); at != std::string::npos) text.replace(at, 2, argument);
  }
  return text;
}

}  // namespace

std::optional<std::span<const std::uint8_t>> FindStringResource(std::string_view name) {
  const std::span all(generated::kNamedResources, generated::kNamedResourceCount);
  const auto it = std::find_if(all.begin(), all.end(), [&](const auto& r) { return r.name == name; });
  if (it == all.end()) return std::nullopt;
  return it->data;
}

TQaStringResource::TQaStringResource(std::string_view resourceName) {
  if (!resourceName.empty()) Load(resourceName);
}

void TQaStringResource::Load(std::string_view resourceName) {
  const std::string name(resourceName.substr(0, 255));
  auto data = FindStringResource(name);
  if (!data) throw EQaStringResourceError(Format(kMsgResourceMissing, name));
  std::lock_guard lock(mutex_);
  data_ = data;
  cache_.clear();
}

std::size_t TQaStringResource::CacheCount() const {
  std::lock_guard lock(mutex_);
  return cache_.size();
}

std::optional<std::string> TQaStringResource::Scan(std::uint16_t id) const {
  const std::span<const std::uint8_t> data = *data_;
  std::size_t at = 0;
  while (at + 2 < data.size()) {
    const std::uint16_t recordId = static_cast<std::uint16_t>(data[at] | (data[at + 1] << 8));
    const std::size_t textStart = at + 2;
    std::size_t textEnd = textStart;
    while (textEnd < data.size() && data[textEnd] != 0) ++textEnd;
    if (textEnd == textStart) break;  // an empty text ends the table
    if (recordId == id) return std::string(data.begin() + textStart, data.begin() + textEnd);
    at = textEnd + 1;
  }
  return std::nullopt;
}

std::string TQaStringResource::GetString(std::uint16_t id) {
  std::unique_lock lock(mutex_);
  const auto cached = std::find_if(cache_.begin(), cache_.end(), [&](const auto& e) { return e.second == id; });
  if (cached != cache_.end()) return cached->first;
  if (!data_) {
    lock.unlock();
    throw EQaStringResourceError(Format(kMsgCannotLock, {}));
  }
  std::optional<std::string> text = Scan(id);
  if (!text) {
    const bool raise = raiseOnMissing_;
    lock.unlock();
    if (raise) throw EQaStringResourceError(Format(kMsgNotFound, std::to_string(id)));
    return {};
  }
  if (static_cast<int>(cache_.size()) >= cacheCapacity_) {
    const int keepBelow = cacheCapacity_ - cacheCapacity_ / 10;
    const auto excess = static_cast<std::ptrdiff_t>(cache_.size()) - std::max(keepBelow - 1, 0);
    cache_.erase(cache_.begin(), cache_.begin() + std::max<std::ptrdiff_t>(excess, 0));
  }
  cache_.emplace_back(*text, id);
  return *text;
}

TQaStringResource& ProgramStrings() {
  static TQaStringResource strings("TV_STRING_TABLE");
  return strings;
}

TQaStringResource& StringResourceMessages() {
  static TQaStringResource messages("QASTRES_STRINGS");
  return messages;
}

}  // namespace tv
