// Helpers shared by the table engine's tests.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "store/work_area.h"

namespace tv::test {

inline std::string FixtureDir() {
  const char* source = std::getenv("TV_SOURCE_DIR");
  const std::filesystem::path base = source ? source : ".";
  // The shared fixtures live beside the repository's checkout.
  for (const auto& candidate : {base / "../shared/fixtures/xbase", base / "../../shared/fixtures/xbase",
                                std::filesystem::path("/work/shared/fixtures/xbase")}) {
    if (std::filesystem::exists(candidate / "people.dbf")) return candidate.string() + "/";
  }
  return "/work/shared/fixtures/xbase/";
}

// Copies a fixture table (.dbf and .cdx) into `dir` and returns the .dbf path.
inline std::string CopyFixture(const std::string& name, const std::string& dir) {
  for (const char* ext : {".dbf", ".cdx"}) {
    const std::filesystem::path from = FixtureDir() + name + ext;
    if (std::filesystem::exists(from)) {
      const std::filesystem::path to = dir + name + ext;
      std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
      std::filesystem::permissions(to, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
    }
  }
  return dir + name + ".dbf";
}

// Runs a shell command and returns its standard output.
inline std::string RunCommand(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int rc = pclose(pipe);
  if (status) *status = rc;
  return out;
}

// Record numbers in the order's walk from the top.
inline std::vector<std::uint32_t> Walk(WorkArea& area, int order) {
  area.SetOrder(order);
  std::vector<std::uint32_t> recnos;
  for (area.GoTop(); !area.Eof(); area.Skip(1)) recnos.push_back(area.RecNo());
  return recnos;
}

inline std::vector<std::uint32_t> WalkBackwards(WorkArea& area, int order) {
  area.SetOrder(order);
  std::vector<std::uint32_t> recnos;
  for (area.GoBottom(); !area.Bof(); area.Skip(-1)) {
    recnos.push_back(area.RecNo());
    if (area.Eof()) break;
  }
  return recnos;
}

}  // namespace tv::test
