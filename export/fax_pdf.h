// Fax files as PDF documents. Each page is the fax's own 1-bit image,
// re-coded without loss from the file's Modified Huffman to CCITT Group 4
// (MMR), placed at its physical size: 204 pixels an inch across, 98 or 196
// lines an inch down. A fax file keeps a page's lines only down to its last
// ink, so a short page sits at the top of a sheet of the chosen paper, and a
// longer one gets a sheet of its own length.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "export/fax_ocr.h"
#include "image/fax_converter.h"
#include "image/t4_2d_coding.h"

namespace tv {

// What goes into the document's information and its XMP metadata (UTF-8).
struct FaxPdfDetails {
  std::string title;
  std::string author;  // the remote station ID, or the recipient
  std::string subject;
  std::time_t date = 0;  // when the fax was made or received; 0: not known
};

// Where a fax page goes, in PDF points (1/72 inch, origin bottom left).
struct FaxPdfSheet {
  double width = 0;
  double height = 0;
  double imageX = 0;
  double imageY = 0;
  double imageWidth = 0;
  double imageHeight = 0;
};

// The sheet for a page of `widthPixels` by `lines`: the paper, made wider
// or longer where the page is (a fax line of 215 mm is wider than A4's
// 210), the page at its top, centred across.
FaxPdfSheet FaxPageSheet(int widthPixels, int lines, bool fine, TFaxPaper paper);

// Page `page` of a fax file as a PDF holds its image: MMR with the first
// bit of each byte in its top bit (the fax files and the coder put it in the
// lowest). Returns 0, or the error of opening the page; a page damaged
// inside keeps what decodes, and out.Damaged() says so.
int ReadFaxPdfImage(const std::string& fax, int page, T4RecodedPage& out);

struct FaxPdfResult {
  int pages = 0;                  // pages in the PDF
  std::vector<int> damagedPages;  // (from 1) read only in part, or not at all
};

// Writes every page of the fax files `faxes`, one after the other (an
// outgoing fax's cover, then its body), as the PDF file `pdf`, which is
// replaced in one step: on any failure a file of that name keeps what it
// held. Returns 0, the error of reading a fax file (ecFaxBadFormat too when
// not one page can be read), or of writing the PDF. Damaged pages are
// written as far as they decode and listed in `result`, numbered through
// all the files; a page that cannot be read at all is left out.
// `text`, where given, holds the recognised words of the pages in the same
// order: they are laid invisibly over the image, so that the PDF can be
// searched and its text copied.
int WriteFaxPdf(const std::vector<std::string>& faxes, const std::string& pdf, const FaxPdfDetails& details,
                TFaxPaper paper, FaxPdfResult* result = nullptr, const std::vector<OcrPage>& text = {});

// The details of one PDF that joins several faxes: their titles and their
// subjects one after the other, their authors each once, the latest date.
FaxPdfDetails JoinFaxPdfDetails(const std::vector<FaxPdfDetails>& faxes);

// The details a fax file gives of itself: its name as the title, its
// station ID as the author, its stamp as the date.
FaxPdfDetails FaxFileDetails(const std::string& fax);

}  // namespace tv
