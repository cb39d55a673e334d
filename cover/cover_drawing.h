// Drawing a cover-sheet template with the values of one fax, and making the
// drawn page into the fax's cover file.
#pragma once

#include <QFont>
#include <QLocale>
#include <QString>
#include <QTime>
#include <array>
#include <stdexcept>
#include <string>
#include <vector>

#include "cover/cover_template.h"
#include "image/mono_bitmap.h"

class QImage;
class QPainter;

namespace tv {

struct AppSettings;

// The importance flags, in the order of the editor's check boxes and of the
// cover data file.
enum CoverFlag { kUrgent, kForReview, kPleaseComment, kPleaseReply, kPleaseRecycle, kCoverFlagCount };
inline const std::array<QString, kCoverFlagCount> kCoverFlagCaptions = {"Urgent", "For Review", "Please Comment",
                                                                        "Please Reply", "Please Recycle"};

// The values filled into a template.
struct TCoverValues {
  QString Date;
  QString Time;
  QString Subject;
  QString RecipientName;
  QString RecipientFax;
  QString SenderName;
  QString SenderCompany;
  QString SenderFax;
  QString SenderVoice;
  std::array<bool, kCoverFlagCount> Flags{};
};

// A time as covers show it: hours and minutes in the locale's short format.
QString CoverTime(const QLocale& locale, const QTime& time);

// Today's date and the time now in the system's short formats, and the
// sender's details from the settings.
TCoverValues CoverValuesNow(const AppSettings& settings, const QString& subject, const QString& recipientName,
                            const QString& recipientFax, const std::array<bool, kCoverFlagCount>& flags);

// The cover page: 1728 x 2156 pixels at fine fax resolution; element
// coordinates start 98 pixels in from its top-left corner.
inline constexpr int kCoverPageWidth = 1728;
inline constexpr int kCoverPageHeight = 2156;
inline constexpr int kCoverPageMargin = 98;
// The font of elements that name none.
inline constexpr const char* kCoverDefaultFont = "Arial";
inline constexpr int kCoverDefaultFontSize = 20;

// A white cover page to draw on (8 bits a pixel, so that a painter can).
QImage NewCoverPage();
// The page as the fax code's bitmap: every pixel darker than mid-grey is ink.
MonoBitmap CoverPageBitmap(const QImage& page);

// The font of a template element, scaled down by `scale`. A family that is
// not installed is replaced by the metric-compatible Liberation family, or
// by Liberation Sans. Sizes are points of a 96-dpi canvas, kept between 1
// and 500. Without `smooth` the glyphs are drawn in pure black and white.
QFont CoverFont(const std::string& family, int points, bool bold, bool italic, bool underline, double scale,
                bool smooth);

// Draws the elements with the values and the message, every coordinate and
// size divided by `scale` (1 for the page itself, more for a miniature).
// The painter's TextAntialiasing hint decides whether text is smoothed.
void DrawCoverElements(QPainter& painter, const std::vector<CoverElement>& elements, const TCoverValues& values,
                       double scale, const QString& message);

// Raised when the drawn page cannot be written; the text names the file.
class CoverWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Raised, before anything is written, when the template cannot be read
// whole (missing, empty, damaged); the text names the file and what is
// wrong with it.
class CoverTemplateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Draws the template on a new cover page in pure black and white and writes
// it as a one-page fax file: over `coverPath`, or when that is empty under
// the first free SEND/COV#####.APF name. Returns the path written; `note`,
// when given, receives what was left out of the template (an element of an
// unknown kind), or an empty text.
std::string RenderCoverSheet(const std::string& coverPath, const std::string& templatePath,
                             const TCoverValues& values, const QString& message, std::string* note = nullptr);

}  // namespace tv
