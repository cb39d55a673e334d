#include "platform/code_page.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace tv {

namespace {

// Code points of the bytes 0x80..0x9F; 0 where the code page assigns none.
constexpr std::array<char32_t, 32> kHighControls = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

char32_t CodePoint(unsigned char byte) {
  if (byte < 0x80 || byte >= 0xA0) return byte;
  const char32_t mapped = kHighControls[byte - 0x80];
  return mapped != 0 ? mapped : byte;
}

std::optional<unsigned char> ByteOf(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<unsigned char>(cp);
  for (std::size_t i = 0; i < kHighControls.size(); ++i) {
    const bool unassigned = kHighControls[i] == 0;
    if ((unassigned && cp == 0x80 + i) || (!unassigned && kHighControls[i] == cp))
      return static_cast<unsigned char>(0x80 + i);
  }
  return std::nullopt;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The code point starting at `at` and its length in bytes; length 0 for a
// malformed sequence.
std::pair<char32_t, std::size_t> DecodeUtf8(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return {lead, 1};
  const std::size_t length = lead >= 0xF0 && lead < 0xF5 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || lead >= 0xF5 || at + length > text.size()) return {0, 0};
  char32_t cp = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return {0, 0};
    cp = cp << 6 | (next & 0x3F);
  }
  constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kShortest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {0, 0};
  return {cp, length};
}

}  // namespace

std::optional<std::string> Utf8ToCp1252(std::string_view utf8, std::string* unfit) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t at = 0; at < utf8.size();) {
    const auto [cp, length] = DecodeUtf8(utf8, at);
    const std::optional<unsigned char> byte = length > 0 ? ByteOf(cp) : std::nullopt;
    if (!byte) {
      if (unfit) *unfit = std::string(utf8.substr(at, length > 0 ? length : 1));
      return std::nullopt;
    }
    out += static_cast<char>(*byte);
    at += length;
  }
  return out;
}

std::string Cp1252Refusal(std::string_view utf8) {
  for (std::size_t at = 0; at < utf8.size();) {
    const auto [cp, length] = DecodeUtf8(utf8, at);
    if (length == 0) {
      char byte[8];
      std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(utf8[at]));
      return "is not valid UTF-8 text (byte " + std::to_string(at + 1) + " is " + byte + ")";
    }
    if (!ByteOf(cp))
      return "holds '" + std::string(utf8.substr(at, length)) +
             "', which the table's code page (Windows-1252) cannot store";
    at += length;
  }
  return {};
}

std::string PrintableText(std::string_view text) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const auto [cp, length] = DecodeUtf8(text, at);
    const bool printable = length > 0 && cp >= 0x20 && cp != 0x7F && !(cp >= 0x80 && cp < 0xA0);
    if (printable) out.append(text.substr(at, length));
    else if (length == 1 && cp == '\t') out += ' ';
    else if (out.empty() || out.back() != '?') out += '?';
    at += length > 0 ? length : 1;
  }
  return out;
}

std::string Cp1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) AppendUtf8(out, CodePoint(static_cast<unsigned char>(c)));
  return out;
}

char UpperCp1252(char c) {
  const auto b = static_cast<unsigned char>(c);
  if ((b >= 'a' && b <= 'z') || (b >= 0xE0 && b <= 0xFE && b != 0xF7)) return static_cast<char>(b - 0x20);
  switch (b) {
    case 0x9A: case 0x9C: case 0x9E: return static_cast<char>(b - 0x10);  // š œ ž
    case 0xFF: return static_cast<char>(0x9F);                             // ÿ
    default: return c;
  }
}

char LowerCp1252(char c) {
  const auto b = static_cast<unsigned char>(c);
  if ((b >= 'A' && b <= 'Z') || (b >= 0xC0 && b <= 0xDE && b != 0xD7)) return static_cast<char>(b + 0x20);
  switch (b) {
    case 0x8A: case 0x8C: case 0x8E: return static_cast<char>(b + 0x10);  // Š Œ Ž
    case 0x9F: return static_cast<char>(0xFF);                             // Ÿ
    default: return c;
  }
}

}  // namespace tv
