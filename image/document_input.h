// Documents made for paper: PDF and PostScript, rendered page by page by
// Ghostscript straight at fax resolution, and telling a document's kind
// from its first bytes or its name.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "image/fax_converter.h"

namespace tv {

// The paper of this system: the PAPERSIZE variable, else the file that
// PAPERCONF names, else /etc/papersize; A4 unless one of them says letter.
TFaxPaper DefaultPaper();
// The paper a name stands for ("A4", "Letter", "na_letter_8.5x11in", ...).
std::optional<TFaxPaper> PaperFromName(const std::string& name);

// Lines of one page of that paper at fax resolution (2292 for A4 fine).
int PaperLines(TFaxPaper paper, bool fine);

struct DocumentRendering {
  TFaxPaper paper = TFaxPaper::fpA4;
  // Ghostscript is stopped when it gives no page for this long (a program
  // that never ends) or when the whole document takes longer.
  int idleSeconds = 60;
  int totalSeconds = 900;
  // Ghostscript's memory: a program that allocates without end fails there.
  std::uint64_t memoryBytes = std::uint64_t{512} << 20;
  // Pages a document of any kind may have.
  int maxPages = kDefaultMaxPages;
};

// PDF or PostScript pages, each rendered by Ghostscript as a page of
// `PaperLines` lines and the converter's page width less its left margin,
// scaled to fit that paper, in black and white without anti-aliasing
// (pictures in Ghostscript's halftone). Failures say why in the converter's
// ErrorDetail: a password, no page, a limit reached, no Ghostscript.
std::unique_ptr<ConverterInput> MakeGhostscriptInput(const DocumentRendering& rendering);

// The kind of a document file: text for .txt; else by its first bytes
// where they tell (PDF, PostScript, TIFF, BMP, DCX, PCX, the pictures an
// installed reader knows); else by its extension; else text when it holds
// no control bytes other than line ends, tabs and form feeds; nullopt when
// nothing tells.
std::optional<TFaxInputDocumentType> DocumentKind(const std::string& path);

// A converter for any document kind, set for documents from the desktop:
// the name taken as it is (no extension added), fine resolution, no left
// margin for rendered documents; nullptr for the memory kinds.
std::unique_ptr<FaxConverter> MakeDocumentConverter(TFaxInputDocumentType kind, const DocumentRendering& rendering);

}  // namespace tv
