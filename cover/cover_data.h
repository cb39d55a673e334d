// The cover data file (".FCD") beside a cover page, which lets the cover be
// edited again: the template's file name, one character per importance flag
// ("X" when set, a blank when not) and the message lines.
#pragma once

#include <QString>
#include <array>
#include <optional>
#include <string>

#include "cover/cover_drawing.h"

namespace tv {

inline constexpr const char* kDefaultCoverTemplate = "tv0001.fct";

struct CoverData {
  QString TemplateName = kDefaultCoverTemplate;
  std::array<bool, kCoverFlagCount> Flags{};
  QString Message;

  bool operator==(const CoverData&) const = default;
};

// The cover page's path with the extension ".fcd" (or the spelling of it
// found on disk).
std::string CoverDataPath(const std::string& coverPath);

// nullopt when the file is missing or unreadable. A template name loses any
// folder; a flags line of other than five characters sets no flag.
std::optional<CoverData> ReadCoverData(const std::string& path);
// Replaces the file whole (UTF-8, one line end each); false when it cannot
// be written, the old file then being unchanged.
bool WriteCoverData(const std::string& path, const CoverData& data);

}  // namespace tv
