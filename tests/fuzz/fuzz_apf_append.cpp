// Appending a damaged source: either the destination gains exactly the
// source's pages, or it is left byte for byte as it was.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "image/apf_file.h"
#include "image/t4_coding.h"
#include "platform/error_codes.h"
#include "tests/fuzz/image_fuzz_support.h"

namespace {

std::string ReadAll(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

const std::string& Destination() {
  static const std::string bytes = [] {
    const std::string file = tv::fuzz::ScratchFolder() + "seed.apf";
    tv::ApfWriter writer;
    tv::T4LineCoder coder;
    std::vector<std::uint8_t> line(tv::kStandardLineBytes, 0);
    line[40] = 0x3C;
    if (writer.Create(file) != tv::ecOK || writer.BeginPage(false, false) != tv::ecOK) std::abort();
    for (int i = 0; i < 5; ++i) {
      auto coded = coder.CodeLine(line.data());
      writer.WriteLine(coded.data(), coded.size());
    }
    if (writer.EndPage() != tv::ecOK || writer.Close("DEST") != tv::ecOK) std::abort();
    return ReadAll(file);
  }();
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string dest = tv::fuzz::WriteInput("dest.apf", reinterpret_cast<const std::uint8_t*>(Destination().data()),
                                                Destination().size());
  const std::string source = tv::fuzz::WriteInput("source.apf", data, size);
  tv::TApfFileHeader sourceHeader;
  const bool sourceReadable = tv::ApfReadFileHeader(source, sourceHeader) == tv::ecOK;
  const int rc = tv::ApfAppendFile(dest, source);
  const std::string after = ReadAll(dest);
  if (rc != tv::ecOK) {
    if (after != Destination()) std::abort();
    return 0;
  }
  tv::FaxFile file;
  tv::TApfFileHeader header;
  std::vector<tv::ApfPageLocation> pages;
  if (!sourceReadable || file.OpenRead(dest) != tv::ecOK || tv::ApfReadPageTable(file, header, pages) != tv::ecOK ||
      header.pageCount != 1 + sourceHeader.pageCount || tv::ApfStationId(header) != "DEST") {
    std::abort();
  }
  return 0;
}
