// "Save as PDF..." of the view window and the fax lists: where the PDFs go,
// writing them, and what the user hears when a fax is damaged or a PDF
// cannot be written.
#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <vector>

#include "export/fax_pdf.h"

class QWidget;

namespace tv {

// One fax to save: its files (an outgoing fax's cover, then its body), the
// name its PDF gets without ".pdf" ("Fax to Ann 2026-12-08") and the details
// inside it.
struct FaxToSave {
  std::vector<std::string> files;
  QString name;
  FaxPdfDetails details;
};

// Asks where the PDFs go: for one fax a file, for several a folder, where
// each gets its name (with " (2)" and on added where a file or another of
// them has it already). Empty when the user cancels.
std::vector<std::string> AskPdfTargets(QWidget* parent, const QStringList& names);

struct PdfSaveOutcome {
  bool written = false;
  QString problem;  // what went wrong, or what was damaged, in words
};
// Writes the fax as the PDF file `pdf`, on the paper of the program's
// settings, with the text of its pages where it is kept or, when the
// settings say so, recognised now.
PdfSaveOutcome WriteFaxToPdf(const FaxToSave& fax, const std::string& pdf);

// Asks and writes, then shows in one message what went wrong, if anything.
// Returns the PDFs written.
QStringList SaveFaxesAsPdf(QWidget* parent, const std::vector<FaxToSave>& faxes);

}  // namespace tv
