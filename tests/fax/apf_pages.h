// APF pages for the fax tests: stream pages written as given, and the rows
// coded data decodes to.
#pragma once

#include <array>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "image/apf_file.h"
#include "image/t4_coding.h"

namespace tv::test {

// Pages of data stored as given (not in line blocks), each with its flags.
inline void WriteStreamApf(const std::string& file, const std::vector<std::string>& pages,
                           const std::vector<std::uint16_t>& flags) {
  TApfFileHeader header = NewApfFileHeader();
  header.pageCount = static_cast<std::uint16_t>(pages.size());
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&header), sizeof header);
  for (const std::string& page : pages) {
    TApfPageHeader pageHeader;
    pageHeader.dataLength = static_cast<std::uint32_t>(page.size());
    pageHeader.pageFlags = flags[&page - pages.data()];
    out.write(reinterpret_cast<const char*>(&pageHeader), sizeof pageHeader);
    out.write(page.data(), static_cast<std::streamsize>(page.size()));
  }
}

inline void WriteStreamApf(const std::string& file, const std::vector<std::string>& pages, std::uint16_t flags = 0) {
  WriteStreamApf(file, pages, std::vector<std::uint16_t>(pages.size(), flags));
}

using Rows = std::vector<std::vector<std::uint8_t>>;

// The raster rows coded data decodes to.
inline Rows DecodedRows(const std::string& coded) {
  Rows rows;
  T4Decoder decoder;
  decoder.StartPage();
  decoder.Decode(reinterpret_cast<const std::uint8_t*>(coded.data()), coded.size(),
                 [&](const std::uint8_t* line, int bytes) {
                   rows.emplace_back(line, line + bytes);
                   return true;
                 });
  return rows;
}

// The data of a stored page, its line blocks joined.
inline std::string StoredData(const std::string& file, int page) {
  ApfPageReader reader;
  if (reader.Open(file, page) != 0) return {};
  std::array<std::uint8_t, kApfMaxBlock> block{};
  std::string coded;
  for (long n; (n = reader.NextBlock(block)) > 0;) coded.append(reinterpret_cast<const char*>(block.data()), n);
  return coded;
}

inline Rows StoredRows(const std::string& file, int page) { return DecodedRows(StoredData(file, page)); }

// Data as written to a modem, its DLE pairs undone.
inline std::string DleUndone(const std::string& bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out += bytes[i];
    if (bytes[i] == '\x10' && i + 1 < bytes.size() && bytes[i + 1] == '\x10') ++i;
  }
  return out;
}

}  // namespace tv::test
