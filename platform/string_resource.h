// Reader for the program's id-keyed string resources: a sequence of records,
// each a 16-bit little-endian id, its text and one zero byte, ending at the
// end of the data or at a record whose text is empty. Records are unsorted,
// so looked-up texts are kept in a small cache.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tv {

// The resource of that name built into the program, if any.
std::optional<std::span<const std::uint8_t>> FindStringResource(std::string_view name);

class TQaStringResource {
 public:
  // Loads the named resource at once when a name is given; raises
  // EQaStringResourceError when there is none.
  explicit TQaStringResource(std::string_view resourceName = {});

  void Load(std::string_view resourceName);

  // The text of id; empty when absent (or EQaStringResourceError with
  // RaiseOnMissing). Raises EQaStringResourceError when nothing is loaded.
  std::string GetString(std::uint16_t id);

  int CacheCapacity() const { return cacheCapacity_; }
  void SetCacheCapacity(int capacity) { cacheCapacity_ = capacity; }
  bool RaiseOnMissing() const { return raiseOnMissing_; }
  void SetRaiseOnMissing(bool on) { raiseOnMissing_ = on; }
  std::size_t CacheCount() const;

 private:
  std::optional<std::string> Scan(std::uint16_t id) const;

  mutable std::mutex mutex_;
  int cacheCapacity_ = 50;
  bool raiseOnMissing_ = false;
  std::vector<std::pair<std::string, std::uint16_t>> cache_;  // oldest first
  std::optional<std::span<const std::uint8_t>> data_;
};

// The program's string table (error messages and status texts), and the
// reader's own message resource.
TQaStringResource& ProgramStrings();
TQaStringResource& StringResourceMessages();

}  // namespace tv
