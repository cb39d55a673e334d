// The pieces of a PDF document that the fax export and the delivery report
// share, over PoDoFo: a fax page's image taken in as it is coded, the
// document's details, and saving in one step.
#pragma once

#include <podofo.h>

#include <memory>
#include <string>

#include "export/fax_pdf.h"

namespace tv::pdf {

// The page (MMR, first bit in each byte's top bit) as an image of the
// document, its data embedded unchanged behind the CCITTFaxDecode filter.
// `page.lines` must be at least 1.
std::unique_ptr<PoDoFo::PdfImage> FaxImage(PoDoFo::PdfDocument& document, const T4RecodedPage& page);

// Title, author, subject and date in the information dictionary and, the
// same, in an XMP metadata stream of the catalogue.
void SetDetails(PoDoFo::PdfMemDocument& document, const FaxPdfDetails& details);

// Writes the document as the file `path`, replacing it in one step: 0 or the
// program's error code.
int Save(PoDoFo::PdfMemDocument& document, const std::string& path);

// PDF text from UTF-8.
PoDoFo::PdfString Text(const std::string& utf8);

}  // namespace tv::pdf
