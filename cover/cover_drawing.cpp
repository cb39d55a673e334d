#include "cover/cover_drawing.h"

#include <QDate>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QImage>
#include <QLocale>
#include <QPainter>
#include <QPen>
#include <QRegularExpression>
#include <QTextLayout>
#include <QTime>
#include <algorithm>
#include <cmath>

#include "cover/eight_bit_text.h"
#include "image/fax_converter.h"
#include "platform/app_settings.h"
#include "platform/errors.h"
#include "platform/paths.h"

namespace tv {

namespace {

// Text is laid out in fixed-point numbers: text placed further off the page
// than this is not drawn, and a message box is cut to it.
constexpr double kTextReach = 1 << 20;
const QRectF kTextBounds(-kTextReach, -kTextReach, 2 * kTextReach, 2 * kTextReach);
// More characters than a line of the page can show even at the smallest size.
constexpr qsizetype kMaxTextLength = 4096;
constexpr int kMaxFontPoints = 500;
constexpr int kMaxPenWidth = 200;
// Font sizes are points of a 96-dpi canvas.
constexpr double kPixelsPerPoint = 96.0 / 72.0;

// Families the templates may name that are not installed, and their
// metric-compatible replacements.
constexpr std::pair<const char*, const char*> kFontTwins[] = {
    {"Arial", "Liberation Sans"},
    {"Helvetica", "Liberation Sans"},
    {"Arial Narrow", "Liberation Sans Narrow"},
    {"Times New Roman", "Liberation Serif"},
    {"Times", "Liberation Serif"},
    {"Courier New", "Liberation Mono"},
    {"Courier", "Liberation Mono"},
};
constexpr const char* kFallbackFamily = "Liberation Sans";

QString TemplateText(const std::string& bytes) {
  return EightBitText(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
}

QString InstalledFamily(const QString& family) {
  if (!family.isEmpty() && QFontDatabase::hasFamily(family)) return family;
  for (const auto& [name, twin] : kFontTwins) {
    if (family.compare(QLatin1String(name), Qt::CaseInsensitive) == 0) return twin;
  }
  return kFallbackFamily;
}

// The element's numbers on the canvas: the page margin added, everything
// divided by the scale. The painter clips shapes however far off the page
// they reach.
class Placement {
 public:
  explicit Placement(double scale) : scale_(scale > 0 ? scale : 1) {}
  double Scale() const { return scale_; }
  double Position(std::int32_t v) const { return (kCoverPageMargin + double(v)) / scale_; }
  double Length(std::int32_t v) const { return v / scale_; }
  QPointF At(const CoverElement& e) const { return {Position(e.x), Position(e.y)}; }
  QRectF Box(const CoverElement& e) const {
    return QRectF(Position(e.x), Position(e.y), Length(e.width), Length(e.height)).normalized();
  }

 private:
  double scale_;
};

QString FieldValue(const CoverElement& e, const TCoverValues& v) {
  switch (e.fieldSelector) {
    case cfDate: return v.Date;
    case cfTime: return v.Time;
    case cfSubject: return v.Subject;
    case cfRecipientName: return v.RecipientName;
    case cfRecipientFax: return v.RecipientFax;
    case cfSenderName: return v.SenderName;
    case cfSenderCompany: return v.SenderCompany;
    case cfSenderFax: return v.SenderFax;
    case cfSenderVoice: return v.SenderVoice;
    default: return TemplateText(e.text);
  }
}

class ElementPainter {
 public:
  ElementPainter(QPainter& painter, const TCoverValues& values, double scale, const QString& message)
      : p_(painter), values_(values), place_(scale), message_(message),
        smooth_(painter.testRenderHint(QPainter::TextAntialiasing)) {}

  void Draw(const CoverElement& e) {
    switch (e.kind) {
      case ckText:
      case ckLabel: Text(e, TemplateText(e.text)); break;
      case ckDataField: Text(e, FieldValue(e, values_)); break;
      case ckFlagLine: FlagLine(e); break;
      case ckShape: Shape(e); break;
      case ckLine: Line(e); break;
      case ckMessage: Message(e); break;
      default: break;
    }
  }

 private:
  void SetFont(const CoverElement& e) {
    p_.setFont(CoverFont(e.fontName, e.fontSize, e.bold, e.italic, e.underline, place_.Scale(), smooth_));
  }
  // Text sits with the top of its line at the point given.
  void TextAt(const QPointF& at, const QString& text) {
    p_.drawText(at + QPointF(0, p_.fontMetrics().ascent()), text);
  }
  void Text(const CoverElement& e, const QString& text) {
    if (text.isEmpty() || !kTextBounds.contains(place_.At(e))) return;
    SetFont(e);
    TextAt(place_.At(e), text.left(kMaxTextLength));
  }

  // The line of flags appears only when a flag is set: each caption has a
  // square box before it, as tall as a capital letter, crossed when the flag
  // is set.
  void FlagLine(const CoverElement& e) {
    if (std::none_of(values_.Flags.begin(), values_.Flags.end(), [](bool set) { return set; }) ||
        !kTextBounds.contains(place_.At(e))) {
      return;
    }
    SetFont(e);
    const QFontMetricsF metrics(p_.font(), p_.device());
    const double side = metrics.capHeight();
    const double space = metrics.horizontalAdvance(' ');
    p_.setPen(QPen(Qt::black, std::max(side / 10, 1 / place_.Scale()), Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p_.setBrush(Qt::NoBrush);
    QPointF at = place_.At(e);
    for (int flag = 0; flag < kCoverFlagCount; ++flag) {
      const QRectF box(at.x(), at.y() + metrics.ascent() - side, side, side);
      p_.drawRect(box);
      if (values_.Flags[static_cast<std::size_t>(flag)]) {
        p_.drawLine(box.topLeft(), box.bottomRight());
        p_.drawLine(box.bottomLeft(), box.topRight());
      }
      const QString& caption = kCoverFlagCaptions[static_cast<std::size_t>(flag)];
      const double captionX = box.right() + space;
      TextAt(QPointF(captionX, at.y()), caption);
      at.setX(captionX + metrics.horizontalAdvance(caption) + 4 * space);
    }
  }

  void SetPen(const CoverElement& e) {
    // Width 0 is the thinnest line the canvas has.
    const double width = std::clamp(e.penWidth, 0, kMaxPenWidth) / place_.Scale();
    p_.setPen(QPen(Qt::black, width, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
  }

  void Shape(const CoverElement& e) {
    SetPen(e);
    switch (e.fillStyle) {
      case cfsWhite: p_.setBrush(Qt::white); break;
      case cfsBlack: p_.setBrush(Qt::black); break;
      default: p_.setBrush(Qt::NoBrush); break;
    }
    const QRectF box = place_.Box(e);
    switch (e.shapeType) {
      case cstRectangle:
      case cstSquare: p_.drawRect(box); break;
      case cstRoundRect:
      case cstRoundSquare: {
        // The corner ellipse measures a share of the longer side, rounded
        // half to even.
        const double corner =
            std::nearbyint(std::max(box.width(), box.height()) * std::clamp(e.cornerPercent, 0, 100) / 100.0);
        p_.drawRoundedRect(box, corner / 2, corner / 2);
        break;
      }
      case cstEllipse:
      case cstCircle: p_.drawEllipse(box); break;
      default: break;
    }
    p_.setBrush(Qt::NoBrush);
  }

  void Line(const CoverElement& e) {
    const double left = place_.Position(e.x);
    const double top = place_.Position(e.y);
    const double right = left + place_.Length(e.width);
    const double bottom = top + place_.Length(e.height);
    SetPen(e);
    switch (e.lineDirection) {
      case cldAcross: p_.drawLine(QPointF(left, top), QPointF(right, top)); break;
      case cldDown: p_.drawLine(QPointF(left, top), QPointF(left, bottom)); break;
      case cldRising: p_.drawLine(QPointF(left, bottom), QPointF(right, top)); break;
      case cldFalling: p_.drawLine(QPointF(left, top), QPointF(right, bottom)); break;
      default: break;
    }
  }

  // The message wrapped at word boundaries (inside a word only when it is
  // longer than the box is wide), as many whole lines as the box holds.
  void Message(const CoverElement& e) {
    const QRectF box = place_.Box(e) & kTextBounds;
    if (message_.isEmpty() || box.isEmpty()) return;
    QString text = message_;
    text.replace("\r\n", "\n").replace('\r', '\n').replace('\n', QChar::LineSeparator);
    QTextLayout layout(text, CoverFont(e.fontName, e.fontSize, e.bold, e.italic, e.underline, place_.Scale(), smooth_),
                       p_.device());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    double y = 0;
    int fitting = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
      line.setLineWidth(box.width());
      line.setPosition(QPointF(0, y));
      y += line.height();
      if (y > box.height()) break;  // out of room: this line and the text after it stay undrawn
      ++fitting;
    }
    layout.endLayout();
    p_.save();
    p_.setClipRect(box);
    p_.setPen(Qt::black);
    for (int i = 0; i < fitting; ++i) layout.lineAt(i).draw(&p_, box.topLeft());
    p_.restore();
  }

  QPainter& p_;
  const TCoverValues& values_;
  Placement place_;
  const QString& message_;
  bool smooth_;
};

}  // namespace

QString CoverTime(const QLocale& locale, const QTime& time) {
  // Some locales' short format has the seconds too.
  QString format = locale.timeFormat(QLocale::ShortFormat);
  format.remove(QRegularExpression("[^hHmaApP]*s+"));
  return locale.toString(time, format);
}

TCoverValues CoverValuesNow(const AppSettings& settings, const QString& subject, const QString& recipientName,
                            const QString& recipientFax, const std::array<bool, kCoverFlagCount>& flags) {
  const QLocale locale = QLocale::system();
  TCoverValues v;
  v.Date = locale.toString(QDate::currentDate(), QLocale::ShortFormat);
  v.Time = CoverTime(locale, QTime::currentTime());
  v.Subject = subject;
  v.RecipientName = recipientName;
  v.RecipientFax = recipientFax;
  v.SenderName = QString::fromStdString(settings.Name);
  v.SenderCompany = QString::fromStdString(settings.Company);
  v.SenderFax = QString::fromStdString(settings.Fax);
  v.SenderVoice = QString::fromStdString(settings.Voice);
  v.Flags = flags;
  return v;
}

QImage NewCoverPage() {
  QImage page(kCoverPageWidth, kCoverPageHeight, QImage::Format_Grayscale8);
  page.fill(Qt::white);
  return page;
}

MonoBitmap CoverPageBitmap(const QImage& page) {
  const QImage grey = page.convertToFormat(QImage::Format_Grayscale8);
  MonoBitmap bitmap(grey.width(), grey.height());
  for (int y = 0; y < grey.height(); ++y) {
    const uchar* from = grey.constScanLine(y);
    for (int x = 0; x < grey.width(); ++x) {
      if (from[x] < 128) bitmap.SetPixel(x, y, true);
    }
  }
  return bitmap;
}

QFont CoverFont(const std::string& family, int points, bool bold, bool italic, bool underline, double scale,
                bool smooth) {
  QFont font(InstalledFamily(family.empty() ? kCoverDefaultFont : TemplateText(family)));
  const int size = points > 0 ? std::min(points, kMaxFontPoints) : kCoverDefaultFontSize;
  font.setPixelSize(std::max(1, static_cast<int>(std::lround(size * kPixelsPerPoint / (scale > 0 ? scale : 1)))));
  font.setBold(bold);
  font.setItalic(italic);
  font.setUnderline(underline);
  // Grey glyph edges would turn into speckles on a black-and-white page.
  font.setStyleStrategy(smooth ? QFont::PreferAntialias : QFont::NoAntialias);
  return font;
}

void DrawCoverElements(QPainter& painter, const std::vector<CoverElement>& elements, const TCoverValues& values,
                       double scale, const QString& message) {
  ElementPainter draw(painter, values, scale, message);
  for (const CoverElement& e : elements) draw.Draw(e);
}

std::string RenderCoverSheet(const std::string& coverPath, const std::string& templatePath,
                             const TCoverValues& values, const QString& message, std::string* note) {
  const CoverTemplateFile cover = LoadCoverTemplate(templatePath);
  if (!cover.fault.empty())
    throw CoverTemplateError("The cover template " + templatePath + " cannot be used: " + cover.fault);
  if (note) *note = cover.note;
  QImage page = NewCoverPage();
  {
    QPainter painter(&page);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setRenderHint(QPainter::TextAntialiasing, false);
    DrawCoverElements(painter, cover.elements, values, 1, message);
  }
  std::string written = coverPath;
  if (const int code = ConvertCoverBitmap(CoverPageBitmap(page), written); code != ecOK) {
    throw CoverWriteError("Cannot write the cover sheet " + (written.empty() ? SendFolder() : written) + ": " +
                          ErrorMessageText(code));
  }
  return written;
}

}  // namespace tv
