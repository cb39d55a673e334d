#include "printer/cups_job.h"

#include <cups/cups.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/text.h"

namespace tv::printer {

namespace {

constexpr std::size_t kMaxLine = 200;

// A setting of the PPD file: "*DefaultPageSize: A4" gives "A4".
std::string PpdDefault(const std::string& ppdPath, std::string_view keyword) {
  std::ifstream in(ppdPath);
  const std::string prefix = "*Default" + std::string(keyword) + ":";
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(prefix)) return TrimWhite(std::string_view(line).substr(prefix.size()));
  }
  return {};
}

int SecondsFrom(const char* variable, int fallback) {
  const char* text = std::getenv(variable);
  int value = 0;
  if (!text || std::from_chars(text, text + std::strlen(text), value).ec != std::errc() || value <= 0) return fallback;
  return value;
}

}  // namespace

std::string CupsJob::Option(const std::string& name) const {
  const auto it = options.find(name);
  return it == options.end() ? std::string() : it->second;
}

std::optional<CupsJob> ParseCupsJob(int argc, char** argv) {
  if (argc != 6 && argc != 7) return std::nullopt;
  CupsJob job;
  job.id = argv[1];
  job.user = argv[2];
  job.title = argv[3];
  cups_option_t* options = nullptr;
  const int count = cupsParseOptions(argv[5], 0, &options);
  for (int i = 0; i < count; ++i) job.options[options[i].name] = options[i].value;
  cupsFreeOptions(count, options);
  if (argc == 7) job.file = argv[6];
  return job;
}

bool IsLocalJob(const CupsJob& job) {
  const std::string host = job.Option("job-originating-host-name");
  return host == "localhost" || host == "::1" || host == "[::1]" || host == "[v1.::1]" || host.starts_with("127.");
}

JobRendering RenderingOf(const CupsJob& job, const std::string& ppdPath) {
  JobRendering rendering;
  std::string paper = job.Option("PageSize");
  if (paper.empty()) paper = job.Option("media");
  if (paper.empty()) paper = PpdDefault(ppdPath, "PageSize");
  rendering.document.paper = PaperFromName(paper).value_or(DefaultPaper());
  std::string resolution = job.Option("Resolution");
  if (resolution.empty()) resolution = PpdDefault(ppdPath, "Resolution");
  rendering.fine = !resolution.starts_with("204x98");
  rendering.document.idleSeconds = SecondsFrom("TESSIVANE_RENDER_IDLE_SECONDS", rendering.document.idleSeconds);
  rendering.document.totalSeconds = SecondsFrom("TESSIVANE_RENDER_SECONDS", rendering.document.totalSeconds);
  return rendering;
}

FaxDescription DescriptionOf(const CupsJob& job) {
  return {OneLine(job.Option("fax-number"), kMaxLine), OneLine(job.Option("recipient"), kMaxLine),
          OneLine(job.title, kMaxLine)};
}

std::string OneLine(std::string_view text, std::size_t maxBytes) {
  std::string line;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    const bool blank = c < 0x20 || c == 0x7F;
    if (blank || c == ' ') {
      if (!line.empty() && line.back() != ' ') line += ' ';
    } else {
      line += ch;
    }
  }
  line = TrimWhite(line);
  if (line.size() > maxBytes) {
    std::size_t cut = maxBytes;
    // Back to the first byte of a UTF-8 character.
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    line.resize(cut);
  }
  return line;
}

}  // namespace tv::printer
