// Shared by the image fuzz targets: a private scratch folder and a way to
// hand the input over as a file, since the readers work on files.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace tv::fuzz {

// Kept for the whole run (never destroyed, so the clean-up at exit can
// still name it).
inline const std::string& ScratchFolder() {
  static const std::string* const folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "tv-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    auto* name = new std::string(pattern + "/");
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(ScratchFolder(), ignored);
    });
    return name;
  }();
  return *folder;
}

inline std::string WriteInput(const std::string& name, const std::uint8_t* data, std::size_t size) {
  const std::string file = ScratchFolder() + name;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return file;
}

}  // namespace tv::fuzz
