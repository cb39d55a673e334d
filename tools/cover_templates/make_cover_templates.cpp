// make_cover_templates: writes cover templates from readable descriptions.
//
//   make_cover_templates OUTPUT_DIR NAME.cover...
//
// For each description NAME.cover it writes NAME.fct (the template), NAME.des
// (the line the template chooser shows) and NAME.bmp (a miniature of the
// page drawn with sample values).
//
// Description lines ('#' starts a comment; texts in double quotes, with \"
// and \\ inside):
//   description "TEXT"
//   font "FAMILY" POINTS [bold] [italic] [underline]   font of the text lines below
//   text X Y "TEXT"            fixed text, its top-left corner at X, Y
//   field X Y NAME             a value: date, time, subject, recipient,
//                              recipient-fax, sender, company, sender-fax, sender-voice
//   flags X Y                  the importance flags (drawn only when one is set)
//   message X Y W H            the message, wrapped inside the box
//   rect X Y W H [pen=N] [fill=none|white|black]
//   roundrect X Y W H corner=PERCENT [pen=N] [fill=...]
//   ellipse X Y W H [pen=N] [fill=...]
//   hline X Y W [pen=N]    vline X Y H [pen=N]
//   line X Y W H rising|falling [pen=N]
// Coordinates are pixels from the page margin, 98 pixels in from the top-left
// corner of the 1728 x 2156 page: 1532 x 1960 pixels lie inside the margins.
// POINTS are points of a 96-dpi canvas (20 is about 10 points on paper).
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cover/cover_drawing.h"
#include "cover/cover_template.h"

namespace tv {
namespace {

// The miniature fills the template chooser's preview box.
constexpr int kPreviewWidth = 324;

class Description {
 public:
  Description(std::string file) : file_(std::move(file)) {}

  void Parse() {
    std::ifstream in(file_);
    if (!in) Fail("cannot open");
    std::string line;
    while (std::getline(in, line)) {
      ++lineNumber_;
      words_ = Split(line);
      at_ = 0;
      if (!words_.empty()) Statement();
    }
    if (description_.empty()) Fail("no description line");
  }

  const std::vector<CoverElement>& Elements() const { return elements_; }
  const std::string& Text() const { return description_; }

 private:
  [[noreturn]] void Fail(const std::string& why) const {
    std::cerr << file_ << ":" << lineNumber_ << ": " << why << "\n";
    std::exit(1);
  }

  // Words separated by blanks; a double-quoted text is one word.
  std::vector<std::string> Split(const std::string& line) const {
    std::vector<std::string> words;
    for (std::size_t i = 0; i < line.size();) {
      const char c = line[i];
      if (c == '#') break;
      if (c == ' ' || c == '\t' || c == '\r') {
        ++i;
      } else if (c == '"') {
        std::string word;
        for (++i; i < line.size() && line[i] != '"'; ++i) {
          if (line[i] == '\\' && i + 1 < line.size()) ++i;
          word += line[i];
        }
        if (i >= line.size()) Fail("unterminated text");
        ++i;
        words.push_back(std::move(word));
      } else {
        const std::size_t end = line.find_first_of(" \t\r#", i);
        words.push_back(line.substr(i, end == std::string::npos ? std::string::npos : end - i));
        i = end == std::string::npos ? line.size() : end;
      }
    }
    return words;
  }

  std::string Word(const char* what) {
    if (at_ >= words_.size()) Fail(std::string("missing ") + what);
    return words_[at_++];
  }
  std::int32_t Number(const char* what) {
    const std::string word = Word(what);
    char* end = nullptr;
    const long value = std::strtol(word.c_str(), &end, 10);
    if (word.empty() || *end != '\0') Fail(std::string(what) + " is not a number: " + word);
    return static_cast<std::int32_t>(value);
  }
  // The remaining words as name=value options.
  std::map<std::string, std::string> Options() {
    std::map<std::string, std::string> options;
    while (at_ < words_.size()) {
      const std::string word = words_[at_++];
      const auto equals = word.find('=');
      if (equals == std::string::npos) Fail("unexpected '" + word + "'");
      options[word.substr(0, equals)] = word.substr(equals + 1);
    }
    return options;
  }
  std::int32_t OptionNumber(const std::map<std::string, std::string>& options, const char* name, std::int32_t value) {
    const auto found = options.find(name);
    if (found == options.end()) return value;
    char* end = nullptr;
    value = static_cast<std::int32_t>(std::strtol(found->second.c_str(), &end, 10));
    if (found->second.empty() || *end != '\0') Fail(std::string(name) + " is not a number");
    return value;
  }
  void Done() {
    if (at_ < words_.size()) Fail("unexpected '" + words_[at_] + "'");
  }

  // An element in the current font at X Y.
  CoverElement At(CoverElementKind kind) {
    CoverElement e = font_;
    e.kind = kind;
    e.x = Number("X");
    e.y = Number("Y");
    return e;
  }
  void Size(CoverElement& e) {
    e.width = Number("width");
    e.height = Number("height");
  }
  void Stroke(CoverElement& e) {
    const auto options = Options();
    e.penWidth = OptionNumber(options, "pen", 1);
    e.cornerPercent = OptionNumber(options, "corner", 0);
    static const std::map<std::string, CoverFillStyle> kFills = {
        {"none", cfsNone}, {"white", cfsWhite}, {"black", cfsBlack}};
    const auto fill = options.find("fill");
    if (fill != options.end()) {
      if (!kFills.contains(fill->second)) Fail("fill is none, white or black");
      e.fillStyle = kFills.at(fill->second);
    }
    for (const auto& [name, value] : options) {
      if (name != "pen" && name != "corner" && name != "fill") Fail("unknown option " + name);
    }
  }

  void Statement() {
    static const std::map<std::string, CoverFieldSelector> kFields = {
        {"date", cfDate},           {"time", cfTime},
        {"subject", cfSubject},     {"recipient", cfRecipientName},
        {"recipient-fax", cfRecipientFax}, {"sender", cfSenderName},
        {"company", cfSenderCompany}, {"sender-fax", cfSenderFax},
        {"sender-voice", cfSenderVoice}};
    static const std::map<std::string, CoverShapeType> kShapes = {
        {"rect", cstRectangle}, {"roundrect", cstRoundRect}, {"ellipse", cstEllipse}};
    const std::string keyword = Word("keyword");
    if (keyword == "description") {
      description_ = Word("text");
      Done();
    } else if (keyword == "font") {
      font_ = CoverElement{};
      font_.fontName = Word("family");
      font_.fontSize = Number("size");
      for (std::string style; at_ < words_.size();) {
        style = Word("style");
        if (style == "bold") {
          font_.bold = true;
        } else if (style == "italic") {
          font_.italic = true;
        } else if (style == "underline") {
          font_.underline = true;
        } else {
          Fail("unknown style " + style);
        }
      }
    } else if (keyword == "text") {
      CoverElement e = At(ckText);
      e.text = Word("text");
      Done();
      elements_.push_back(e);
    } else if (keyword == "field") {
      CoverElement e = At(ckDataField);
      const std::string name = Word("field name");
      if (!kFields.contains(name)) Fail("unknown field " + name);
      e.fieldSelector = kFields.at(name);
      Done();
      elements_.push_back(e);
    } else if (keyword == "flags") {
      CoverElement e = At(ckFlagLine);
      Done();
      elements_.push_back(e);
    } else if (keyword == "message") {
      CoverElement e = At(ckMessage);
      Size(e);
      Done();
      elements_.push_back(e);
    } else if (kShapes.contains(keyword)) {
      CoverElement e = At(ckShape);
      e.shapeType = kShapes.at(keyword);
      Size(e);
      Stroke(e);
      elements_.push_back(e);
    } else if (keyword == "hline" || keyword == "vline") {
      CoverElement e = At(ckLine);
      e.lineDirection = keyword == "hline" ? cldAcross : cldDown;
      (keyword == "hline" ? e.width : e.height) = Number("length");
      Stroke(e);
      elements_.push_back(e);
    } else if (keyword == "line") {
      CoverElement e = At(ckLine);
      Size(e);
      const std::string direction = Word("direction");
      if (direction != "rising" && direction != "falling") Fail("a line is rising or falling");
      e.lineDirection = direction == "rising" ? cldRising : cldFalling;
      Stroke(e);
      elements_.push_back(e);
    } else {
      Fail("unknown keyword " + keyword);
    }
  }

  std::string file_;
  int lineNumber_ = 0;
  std::vector<std::string> words_;
  std::size_t at_ = 0;
  CoverElement font_;
  std::string description_;
  std::vector<CoverElement> elements_;
};

TCoverValues SampleValues() {
  TCoverValues v;
  v.Date = "3/14/25";
  v.Time = "10:30 AM";
  v.Subject = "Quarterly figures";
  v.RecipientName = "Jane Smith";
  v.RecipientFax = "+1 555 0100";
  v.SenderName = "John Doe";
  v.SenderCompany = "Acme Widgets Ltd.";
  v.SenderFax = "+1 555 0199";
  v.SenderVoice = "+1 555 0198";
  v.Flags[kUrgent] = true;
  v.Flags[kPleaseReply] = true;
  return v;
}

const QString kSampleMessage =
    "Please find the figures for the last quarter on the following pages. The totals on page two include the "
    "orders that arrived after the cut-off date.\n\nCall me if anything is unclear.";

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out.flush());
}

bool MakeTemplate(const std::string& description, const std::string& folder) {
  Description d(description);
  d.Parse();
  const QString name = QFileInfo(QString::fromStdString(description)).completeBaseName();
  const std::string base = folder + "/" + name.toStdString();
  if (!WriteFile(base + ".fct", EncodeCoverTemplate(d.Elements())) || !WriteFile(base + ".des", d.Text() + "\n")) {
    std::cerr << "cannot write " << base << ".*\n";
    return false;
  }
  // A smooth miniature, drawn at its own size.
  const double scale = static_cast<double>(kCoverPageWidth) / kPreviewWidth;
  QImage preview(kPreviewWidth, static_cast<int>(std::lround(kCoverPageHeight / scale)), QImage::Format_Grayscale8);
  preview.fill(Qt::white);
  {
    QPainter painter(&preview);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    DrawCoverElements(painter, d.Elements(), SampleValues(), scale, kSampleMessage);
  }
  if (!preview.save(QString::fromStdString(base + ".bmp"), "BMP")) {
    std::cerr << "cannot write " << base << ".bmp\n";
    return false;
  }
  return true;
}

}  // namespace
}  // namespace tv

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: make_cover_templates OUTPUT_DIR NAME.cover...\n";
    return 2;
  }
  // Fonts are drawn without a display.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  for (int i = 2; i < argc; ++i) {
    if (!tv::MakeTemplate(argv[i], argv[1])) return 1;
  }
  return 0;
}
