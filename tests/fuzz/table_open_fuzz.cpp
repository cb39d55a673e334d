// Fuzz target: a table and its compound index, opened and read every way.
// Input layout: 4 bytes little-endian length of the .DBF part, the .DBF
// bytes, then the .CDX bytes (none when empty).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "store/work_area.h"
#include "store/xbase_error.h"

namespace {

const std::string& Folder() {
  static const std::string folder = [] {
    std::string pattern = "/tmp/tv-fuzz-XXXXXX";
    return std::string(mkdtemp(pattern.data())) + "/";
  }();
  return folder;
}

void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                               static_cast<std::streamsize>(size));
}

void ReadEverything(tv::WorkArea& area) {
  for (int order = 0; order <= static_cast<int>(area.Tags().size()); ++order) {
    area.SetOrder(order);
    for (area.GoTop(); !area.Eof(); area.Skip(1)) {
    }
    for (area.GoBottom(); !area.Bof() && !area.Eof(); area.Skip(-1)) {
    }
    if (order > 0) {
      area.Go(1);
      const tv::XValue key = area.Tags()[static_cast<std::size_t>(order - 1)].key->Evaluate(
          tv::XRecord{area.Record().data(), area.RecNo(), &area.Settings().expression});
      area.Seek(key);
    }
  }
  area.FilterCount();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::size_t dbfSize = std::min<std::size_t>(size - 4, data[0] | data[1] << 8 | data[2] << 16);
  const std::string dbf = Folder() + "T.DBF";
  const std::string cdx = Folder() + "T.CDX";
  WriteFile(dbf, data + 4, dbfSize);
  if (size - 4 > dbfSize) WriteFile(cdx, data + 4 + dbfSize, size - 4 - dbfSize);
  else unlink(cdx.c_str());
  static const tv::XbaseSettings settings;
  try {
    auto area = tv::WorkArea::Open(dbf, tv::OpenMode::ReadOnly, settings);
    ReadEverything(*area);
  } catch (const tv::XbaseError&) {
    // Refusing a damaged file with a clear error is the expected outcome.
  }
  return 0;
}
