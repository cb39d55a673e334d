#include "export/pdf_parts.h"

#include <string_view>

#include "platform/error_codes.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace tv::pdf {

using namespace PoDoFo;

namespace {

// What a reader of the XMP text needs escaped.
std::string XmlText(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default:
        // Control characters are not allowed in XML 1.0.
        if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n') out += c;
    }
  }
  return out;
}

// 2026-12-08T06:10:00+01:00
std::string IsoDate(std::time_t time) {
  std::tm local{};
  localtime_r(&time, &local);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  const int minutes = static_cast<int>(std::labs(local.tm_gmtoff) / 60) % (24 * 60);
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", local.tm_gmtoff < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return std::string(text) + zone;
}

std::string Xmp(const FaxPdfDetails& details) {
  auto alt = [](const char* name, const std::string& value) {
    return std::string("   <dc:") + name + "><rdf:Alt><rdf:li xml:lang=\"x-default\">" + XmlText(value) +
           "</rdf:li></rdf:Alt></dc:" + name + ">\n";
  };
  std::string xmp =
      "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
      " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
      "  <rdf:Description rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
      "    xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" xmlns:pdf=\"http://ns.adobe.com/pdf/1.3/\">\n"
      "   <dc:format>application/pdf</dc:format>\n";
  if (!details.title.empty()) xmp += alt("title", details.title);
  if (!details.author.empty()) xmp += "   <dc:creator><rdf:Seq><rdf:li>" + XmlText(details.author) + "</rdf:li></rdf:Seq></dc:creator>\n";
  if (!details.subject.empty()) xmp += alt("description", details.subject);
  if (details.date != 0) xmp += "   <xmp:CreateDate>" + IsoDate(details.date) + "</xmp:CreateDate>\n";
  xmp +=
      "   <xmp:CreatorTool>Tessivane</xmp:CreatorTool>\n"
      "   <pdf:Producer>Tessivane</pdf:Producer>\n"
      "  </rdf:Description>\n"
      " </rdf:RDF>\n"
      "</x:xmpmeta>\n"
      "<?xpacket end=\"w\"?>";
  return xmp;
}

}  // namespace

PdfString Text(const std::string& utf8) { return PdfString(reinterpret_cast<const pdf_utf8*>(utf8.c_str())); }

std::unique_ptr<PdfImage> FaxImage(PdfDocument& document, const T4RecodedPage& page) {
  auto image = std::make_unique<PdfImage>(&document);
  image->SetImageColorSpace(ePdfColorSpace_DeviceGray);
  PdfDictionary& dictionary = image->GetObject()->GetDictionary();
  dictionary.AddKey("Filter", PdfName("CCITTFaxDecode"));
  // K < 0: pure two-dimensional (Group 4) coding; black is coded as 0 in
  // the decoded samples, which DeviceGray shows black.
  PdfDictionary parameters;
  parameters.AddKey("K", static_cast<pdf_int64>(-1));
  parameters.AddKey("Columns", static_cast<pdf_int64>(page.width));
  parameters.AddKey("Rows", static_cast<pdf_int64>(page.lines));
  dictionary.AddKey("DecodeParms", parameters);
  PdfMemoryInputStream data(reinterpret_cast<const char*>(page.data.data()), static_cast<pdf_long>(page.data.size()));
  image->SetImageDataRaw(static_cast<unsigned>(page.width), static_cast<unsigned>(page.lines), 1, &data);
  return image;
}

void SetDetails(PdfMemDocument& document, const FaxPdfDetails& details) {
  PdfInfo& info = *document.GetInfo();
  if (!details.title.empty()) info.SetTitle(Text(details.title));
  if (!details.author.empty()) info.SetAuthor(Text(details.author));
  if (!details.subject.empty()) info.SetSubject(Text(details.subject));
  info.SetCreator(PdfString("Tessivane"));
  info.SetProducer(PdfString("Tessivane"));
  if (details.date != 0) {
    PdfString date;
    PdfDate(details.date).ToString(date);
    info.SetCustomKey(PdfName("CreationDate"), date);
  }
  PdfObject* metadata = document.GetObjects().CreateObject("Metadata");
  metadata->GetDictionary().AddKey("Subtype", PdfName("XML"));
  // Left uncompressed, as readers that look for XMP in a file expect.
  const std::string xmp = Xmp(details);
  metadata->GetStream()->Set(xmp.data(), static_cast<pdf_long>(xmp.size()), TVecFilters());
  document.GetCatalog()->GetDictionary().AddKey("Metadata", metadata->Reference());
}

int Save(PdfMemDocument& document, const std::string& path) {
  PdfRefCountedBuffer buffer;
  PdfOutputDevice device(&buffer);
  document.Write(&device);
  const int error = ReplaceFileContents(path, std::string_view(buffer.GetBuffer(), device.GetLength()));
  return error == 0 ? ecOK : IoErrorFromErrno(error, true);
}

}  // namespace tv::pdf
