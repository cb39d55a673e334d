#include "platform/ini_file.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/files.h"
#include "platform/text.h"

namespace tv {

namespace {

// Cuts text to at most kIniMaxString characters, counting UTF-8 sequences as one.
std::string CutToProfileLength(std::string text) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;  // continuation byte
    if (++chars > kIniMaxString) {
      text.resize(i);
      break;
    }
  }
  return text;
}

std::string StripQuotes(std::string value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') return value.substr(1, value.size() - 2);
  return value;
}

// A value is one line of the file: a line break in it would start a new key.
std::string OneLine(std::string_view value) {
  std::string out(value);
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

}  // namespace

IniWriteError::IniWriteError(const std::string& path, const std::string& why)
    : std::runtime_error("Unable to write the settings file " + path + ": " + why), path_(path) {}

std::optional<std::int32_t> ParseProfileInteger(std::string_view text) {
  const std::string trimmed = TrimWhite(text);
  if (trimmed.empty()) return std::nullopt;
  const bool hex = trimmed.size() > 2 && trimmed[0] == '0' && (trimmed[1] == 'x' || trimmed[1] == 'X');
  const char* begin = trimmed.c_str() + (hex ? 2 : 0);
  if (hex && !std::isxdigit(static_cast<unsigned char>(*begin))) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  if (hex) {
    const unsigned long long v = std::strtoull(begin, &end, 16);
    if (*end != '\0' || errno == ERANGE || v > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
  }
  const long long v = std::strtoll(begin, &end, 10);
  if (*end != '\0' || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(v);
}

IniFile::IniFile(std::string path) : path_(std::move(path)) {
  std::ifstream in(path_, std::ios::binary);
  std::string text;
  while (std::getline(in, text)) {
    if (!text.empty() && text.back() == '\r') {
      text.pop_back();
      crlf_ = true;
    }
    lines_.push_back(ParseLine(std::move(text)));
  }
}

IniFile::Line IniFile::ParseLine(std::string text) {
  Line line;
  const std::string trimmed = TrimWhite(text);
  if (!trimmed.empty() && trimmed[0] == '[') {
    const auto close = trimmed.find(']');
    line.isSection = true;
    line.section = TrimWhite(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
  } else if (!trimmed.empty() && trimmed[0] != ';' && trimmed[0] != '#') {
    const auto eq = trimmed.find('=');
    if (eq != std::string::npos && eq > 0) {
      line.isKey = true;
      line.key = TrimWhite(trimmed.substr(0, eq));
      line.value = TrimWhite(trimmed.substr(eq + 1));
    }
  }
  line.text = std::move(text);
  return line;
}

std::size_t IniFile::FindSection(std::string_view section) const {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].isSection && EqualsNoCase(lines_[i].section, section)) return i;
  }
  return lines_.size();
}

std::optional<std::size_t> IniFile::FindKey(std::size_t sectionLine, std::string_view key) const {
  for (std::size_t i = sectionLine + 1; i < lines_.size() && !lines_[i].isSection; ++i) {
    if (lines_[i].isKey && EqualsNoCase(lines_[i].key, key)) return i;
  }
  return std::nullopt;
}

bool IniFile::SectionExists(std::string_view section) const { return FindSection(section) < lines_.size(); }

std::optional<std::string> IniFile::Find(std::string_view section, std::string_view key) const {
  const std::size_t s = FindSection(section);
  if (s == lines_.size()) return std::nullopt;
  const auto k = FindKey(s, key);
  if (!k) return std::nullopt;
  return CutToProfileLength(StripQuotes(lines_[*k].value));
}

std::string IniFile::ReadString(std::string_view section, std::string_view key, std::string_view defaultValue) const {
  return Find(section, key).value_or(CutToProfileLength(std::string(defaultValue)));
}

std::int32_t IniFile::ReadInteger(std::string_view section, std::string_view key, std::int32_t defaultValue) const {
  const auto text = Find(section, key);
  if (!text) return defaultValue;
  return ParseProfileInteger(*text).value_or(defaultValue);
}

bool IniFile::ReadBool(std::string_view section, std::string_view key, bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  const std::string keyText = OneLine(key);
  const std::string valueText = OneLine(value);
  std::size_t s = FindSection(section);
  if (s == lines_.size()) {
    if (!lines_.empty() && !TrimWhite(lines_.back().text).empty()) lines_.push_back(ParseLine(""));
    lines_.push_back(ParseLine("[" + OneLine(section) + "]"));
    s = lines_.size() - 1;
  }
  if (const auto k = FindKey(s, keyText)) {
    lines_[*k] = ParseLine(lines_[*k].key + "=" + valueText);
    return;
  }
  // Append after the section's last non-blank line, so blank separators stay put.
  std::size_t insertAt = s + 1;
  for (std::size_t i = s + 1; i < lines_.size() && !lines_[i].isSection; ++i) {
    if (!TrimWhite(lines_[i].text).empty()) insertAt = i + 1;
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt), ParseLine(keyText + "=" + valueText));
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, std::int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void IniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteInteger(section, key, value ? 1 : 0);
}

void IniFile::Save() const {
  std::ostringstream body;
  const char* eol = crlf_ ? "\r\n" : "\n";
  for (const Line& line : lines_) body << line.text << eol;
  if (const int error = ReplaceFileContents(path_, body.str(), LinkTarget::Follow); error != 0)
    throw IniWriteError(path_, std::strerror(error));
}

}  // namespace tv
