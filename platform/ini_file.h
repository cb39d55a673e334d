// Profile (INI) files: "[section]" lines followed by "key=value" lines.
//
// Sections and keys are matched without regard to ASCII letter case. Reading
// follows the profile rules the settings rely on: a missing key gives the
// caller's default; an integer value longer than two characters that starts
// with 0x or 0X is hexadecimal; a value that is not a number gives the
// default; strings keep at most 1023 characters. Writing changes only the
// keys written: every other section, key, comment and blank line stays as it
// was, and Save replaces the file atomically (temporary file and rename).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tv {

// Raised when a profile file cannot be written; the message names the file.
class IniWriteError : public std::runtime_error {
 public:
  IniWriteError(const std::string& path, const std::string& why);
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

inline constexpr std::size_t kIniMaxString = 1023;

class IniFile {
 public:
  // Loads the file; a missing or unreadable file reads as empty.
  explicit IniFile(std::string path);

  const std::string& Path() const { return path_; }

  std::optional<std::string> Find(std::string_view section, std::string_view key) const;
  std::string ReadString(std::string_view section, std::string_view key, std::string_view defaultValue) const;
  std::int32_t ReadInteger(std::string_view section, std::string_view key, std::int32_t defaultValue) const;
  bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;
  bool SectionExists(std::string_view section) const;

  // Changes are kept in memory until Save.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, std::int32_t value);
  void WriteBool(std::string_view section, std::string_view key, bool value);

  // Writes the whole file atomically; raises IniWriteError on failure, when
  // the file on disk is left as it was.
  void Save() const;

 private:
  struct Line {
    std::string text;    // the line as it stands in the file, without its end
    std::string key;     // for key lines: the key as written
    std::string value;   // for key lines: the value, surrounding blanks removed
    bool isSection = false;
    bool isKey = false;
    std::string section; // for section lines: the name
  };

  static Line ParseLine(std::string text);
  // Index of the section line, or lines_.size() when absent.
  std::size_t FindSection(std::string_view section) const;
  // Index of the key line within the section starting at sectionLine.
  std::optional<std::size_t> FindKey(std::size_t sectionLine, std::string_view key) const;

  std::string path_;
  std::vector<Line> lines_;
  bool crlf_ = false;
};

// The integer reading rule on its own: decimal, or hexadecimal after 0x when
// the text is longer than two characters; nullopt when it is not a number.
std::optional<std::int32_t> ParseProfileInteger(std::string_view text);

}  // namespace tv
