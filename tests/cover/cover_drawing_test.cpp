// Drawing templates into cover pages: the shipped templates with their
// values, the flags, the message box, pure black and white, and templates
// or texts that ask for too much.
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <filesystem>

#include "cover/cover_drawing.h"
#include "cover/cover_template.h"
#include "image/apf_file.h"
#include "image/fax_unpacker.h"
#include "platform/paths.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

struct Point {
  int x;
  int y;
};
using Pixels = std::vector<Point>;

const QString kMessage =
    "Please find the figures for the last quarter on the following pages.\n\nCall me if anything is unclear.";

TCoverValues Values(std::array<bool, kCoverFlagCount> flags = {}) {
  TCoverValues v;
  v.Date = "14.03.2025";
  v.Time = "10:30";
  v.Subject = "Quarterly figures";
  v.RecipientName = "Jane Smith";
  v.RecipientFax = "+1 555 0100";
  v.SenderName = "John Doe";
  v.SenderCompany = "Acme Widgets";
  v.SenderFax = "+1 555 0199";
  v.SenderVoice = "+1 555 0198";
  v.Flags = flags;
  return v;
}

QImage Draw(const std::vector<CoverElement>& elements, const TCoverValues& values, const QString& message = kMessage,
            bool smooth = false) {
  QImage page = NewCoverPage();
  QPainter painter(&page);
  painter.setRenderHint(QPainter::TextAntialiasing, smooth);
  painter.setRenderHint(QPainter::Antialiasing, smooth);
  DrawCoverElements(painter, elements, values, 1, message);
  return page;
}

Pixels BlackPixels(const QImage& image) {
  Pixels black;
  for (int y = 0; y < image.height(); ++y) {
    const uchar* row = image.constScanLine(y);
    for (int x = 0; x < image.width(); ++x) {
      if (row[x] < 128) black.push_back({x, y});
    }
  }
  return black;
}

// Pixels black in `a` and white in `b`.
Pixels OnlyIn(const QImage& a, const QImage& b) {
  Pixels only;
  for (const Point& p : BlackPixels(a)) {
    if (b.constScanLine(p.y)[p.x] >= 128) only.push_back(p);
  }
  return only;
}

int Inked(const Pixels& pixels, const MonoBitmap& page) {
  return static_cast<int>(std::count_if(pixels.begin(), pixels.end(), [&](Point p) { return page.IsBlack(p.x, p.y); }));
}

MonoBitmap UnpackedPage(const std::string& apf) {
  TApfFileHeader header;
  EXPECT_EQ(ApfReadFileHeader(apf, header), 0);
  EXPECT_EQ(header.pageCount, 1);
  MonoBitmap page;
  FaxUnpacker unpacker;
  EXPECT_EQ(unpacker.UnpackPageToBitmap(apf, 1, page), 0);
  EXPECT_EQ(page.Width(), kCoverPageWidth);
  EXPECT_EQ(page.Height(), kCoverPageHeight);
  return page;
}

std::vector<std::string> ShippedTemplates() {
  std::vector<std::string> paths;
  const std::string folder = std::string(std::getenv("TV_SOURCE_DIR")) + "/data/Covers";
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".fct") paths.push_back(entry.path().string());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

TEST(CoverDrawing, ShippedTemplatesCarryTheirValuesIntoAOnePageFax) {
  const std::array<bool, kCoverFlagCount> flags = {true, false, false, true, false};  // Urgent, Please Reply
  const auto templates = ShippedTemplates();
  ASSERT_GE(templates.size(), 4u);
  test::TempDir dir;
  for (const std::string& path : templates) {
    SCOPED_TRACE(path);
    const std::string apf = dir.File("cover.apf");
    ASSERT_EQ(RenderCoverSheet(apf, path, Values(flags), kMessage), apf);
    const MonoBitmap page = UnpackedPage(apf);
    const auto elements = ReadCoverTemplate(path);
    ASSERT_TRUE(elements);

    // Each value drawn alone, with the element's font at its place, is ink
    // on the page sent.
    std::set<int> shown;
    for (const CoverElement& e : *elements) {
      const bool value = e.kind == ckDataField && (e.fieldSelector == cfRecipientName ||
                                                   e.fieldSelector == cfRecipientFax || e.fieldSelector == cfSubject);
      if (!value && e.kind != ckMessage) continue;
      const Pixels alone = BlackPixels(Draw({e}, Values()));
      EXPECT_GT(alone.size(), 100u);
      EXPECT_EQ(Inked(alone, page), static_cast<int>(alone.size()));
      shown.insert(e.kind == ckMessage ? -1 : e.fieldSelector);
    }
    EXPECT_EQ(shown, (std::set<int>{-1, cfRecipientName, cfRecipientFax, cfSubject}));

    // The line of flags: each flag's mark is what its drawing has and the
    // next flag's has not. Only the marks of the flags set are on the page,
    // left to right in the order of the flags.
    const auto flagLine = std::find_if(elements->begin(), elements->end(),
                                       [](const CoverElement& e) { return e.kind == ckFlagLine; });
    ASSERT_NE(flagLine, elements->end());
    std::array<QImage, kCoverFlagCount> single;
    for (int i = 0; i < kCoverFlagCount; ++i) {
      std::array<bool, kCoverFlagCount> one{};
      one[i] = true;
      single[i] = Draw({*flagLine}, Values(one));
    }
    int lastCentre = -1;
    for (int i = 0; i < kCoverFlagCount; ++i) {
      const Pixels mark = OnlyIn(single[i], single[(i + 1) % kCoverFlagCount]);
      ASSERT_GT(mark.size(), 20u) << "flag " << i;
      EXPECT_EQ(Inked(mark, page), flags[i] ? static_cast<int>(mark.size()) : 0) << "flag " << i;
      int sum = 0;
      for (const Point& p : mark) sum += p.x;
      const int centre = sum / static_cast<int>(mark.size());
      EXPECT_GT(centre, lastCentre);
      lastCentre = centre;
    }
    // With no flag set the line is not drawn at all.
    EXPECT_TRUE(BlackPixels(Draw({*flagLine}, Values())).empty());
  }
}

TEST(CoverDrawing, PagesArePureBlackAndWhiteUnlessSmoothingIsAsked) {
  const auto elements = ReadCoverTemplate(ShippedTemplates().front());
  ASSERT_TRUE(elements);
  auto greys = [](const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
      const uchar* row = image.constScanLine(y);
      count += static_cast<int>(std::count_if(row, row + image.width(), [](uchar v) { return v != 0 && v != 255; }));
    }
    return count;
  };
  const std::array<bool, kCoverFlagCount> all = {true, true, true, true, true};
  EXPECT_EQ(greys(Draw(*elements, Values(all))), 0);
  EXPECT_GT(greys(Draw(*elements, Values(all), kMessage, true)), 1000);
}

TEST(CoverDrawing, MessageStaysInsideItsBox) {
  const CoverElement box{.kind = ckMessage, .x = 100, .y = 200, .width = 600, .height = 300, .fontSize = 22};
  QString message = QString(400, 'W') + "\n";  // a word longer than the box is wide
  for (int i = 0; i < 300; ++i) message += "word" + QString::number(i) + " ";
  const Pixels black = BlackPixels(Draw({box}, Values(), message));
  const QRect inside(kCoverPageMargin + 100, kCoverPageMargin + 200, 600, 300);
  ASSERT_FALSE(black.empty());
  int bottom = 0;
  for (const Point& p : black) {
    ASSERT_TRUE(inside.contains(p.x, p.y)) << p.x << "," << p.y;
    bottom = std::max(bottom, p.y);
  }
  // The box is filled with whole lines: the last one ends within a line's
  // height of its bottom, and a line that would not fit is not begun.
  const int lineHeight = QFontMetrics(CoverFont({}, 22, false, false, false, 1, false)).height();
  EXPECT_GT(bottom, inside.bottom() - 2 * lineHeight);
  CoverElement oneAndAHalf = box;
  oneAndAHalf.height = lineHeight * 3 / 2;
  for (const Point& p : BlackPixels(Draw({oneAndAHalf}, Values(), message))) {
    ASSERT_LT(p.y, inside.top() + lineHeight);
  }
}

TEST(CoverDrawing, TextsBeyondLatin1AreDrawnWithTheirOwnLetters) {
  const CoverElement field{.kind = ckDataField, .x = 0, .y = 0, .fontName = "Arial", .fontSize = 22,
                           .fieldSelector = cfRecipientName};
  TCoverValues greek = Values();
  greek.RecipientName = QString::fromUtf8("Ωμέγα Привет");
  TCoverValues unknown = Values();
  unknown.RecipientName = QString(greek.RecipientName.size(), '?');
  const QImage drawn = Draw({field}, greek);
  EXPECT_GT(BlackPixels(drawn).size(), 200u);
  EXPECT_GT(OnlyIn(drawn, Draw({field}, unknown)).size(), 200u);
  // A template text in 8-bit form is read in the 1252 code page.
  const CoverElement euro{.kind = ckText, .text = "\x80 5", .fontName = "Arial", .fontSize = 22};
  const CoverElement utf8{.kind = ckText, .text = "\xE2\x82\xAC 5", .fontName = "Arial", .fontSize = 22};
  EXPECT_EQ(Draw({euro}, Values()), Draw({utf8}, Values()));
}

TEST(CoverDrawing, MissingFontsAreReplaced) {
  auto family = [](const char* name) { return QFontInfo(CoverFont(name, 20, false, false, false, 1, false)).family(); };
  EXPECT_EQ(family("Arial"), "Liberation Sans");
  EXPECT_EQ(family("Times New Roman"), "Liberation Serif");
  EXPECT_EQ(family("courier new"), "Liberation Mono");
  EXPECT_EQ(family("No Such Font 123"), "Liberation Sans");
  EXPECT_EQ(family(""), "Liberation Sans");
  EXPECT_EQ(family("Liberation Serif"), "Liberation Serif");
  // Sizes are points of a 96-dpi canvas, divided by the scale.
  EXPECT_EQ(CoverFont("Arial", 18, false, false, false, 1, false).pixelSize(), 24);
  EXPECT_EQ(CoverFont("Arial", 18, false, false, false, 4, false).pixelSize(), 6);
  EXPECT_EQ(CoverFont("Arial", INT32_MAX, false, false, false, 1, false).pixelSize(), 667);
}

TEST(CoverDrawing, AbsurdTemplatesAreClippedQuickly) {
  std::vector<CoverElement> absurd = {
      {.kind = ckShape, .x = INT32_MIN, .y = INT32_MIN, .width = INT32_MAX, .height = INT32_MAX,
       .shapeType = cstEllipse, .fillStyle = cfsWhite, .penWidth = INT32_MAX},
      {.kind = ckShape, .x = 100, .y = 1000, .width = INT32_MAX, .height = -INT32_MAX, .shapeType = cstRoundRect,
       .penWidth = -5, .cornerPercent = INT32_MAX},
      {.kind = ckText, .x = INT32_MAX, .y = INT32_MAX, .text = std::string(100000, 'x'), .fontSize = INT32_MAX},
      {.kind = ckText, .x = 0, .y = 1200, .text = std::string(100000, 'x'), .fontSize = INT32_MAX},
      {.kind = ckFlagLine, .x = INT32_MIN, .y = 0, .fontSize = INT32_MIN},
      {.kind = ckMessage, .x = INT32_MIN, .y = INT32_MIN, .width = INT32_MAX, .height = INT32_MAX, .fontSize = 500},
      {.kind = 99, .x = 1, .y = 1, .width = 1, .height = 1},
      {.kind = ckLine, .x = -1000000000, .y = 500, .width = 2000000000, .lineDirection = cldAcross},
  };
  const auto start = std::chrono::steady_clock::now();
  const std::array<bool, kCoverFlagCount> flags = {true, true, true, true, true};
  const QImage page = Draw(absurd, Values(flags), QString(100000, 'y'));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  // The line reaching far beyond both edges crosses the whole page.
  const int row = kCoverPageMargin + 500;
  EXPECT_LT(page.constScanLine(row)[0], 128);
  EXPECT_LT(page.constScanLine(row)[kCoverPageWidth - 1], 128);
}

TEST(CoverDrawing, MiniaturesScaleEveryMeasure) {
  const CoverElement square{.kind = ckShape, .x = 302, .y = 302, .width = 400, .height = 400, .penWidth = 8};
  QImage small(432, 539, QImage::Format_Grayscale8);
  small.fill(Qt::white);
  {
    QPainter painter(&small);
    painter.setRenderHint(QPainter::Antialiasing, false);
    DrawCoverElements(painter, {square}, Values(), 4, {});
  }
  // The page's (400, 400) to (800, 800), margin included, is (100, 100) to (200, 200).
  EXPECT_LT(small.constScanLine(150)[100], 128);
  EXPECT_LT(small.constScanLine(200)[150], 128);
  EXPECT_EQ(small.constScanLine(150)[150], 255);
  EXPECT_EQ(small.constScanLine(150)[96], 255);
}

TEST(CoverDrawing, TimeIsHoursAndMinutesInTheLocalesWay) {
  const QTime time(9, 5, 42);
  EXPECT_EQ(CoverTime(QLocale::c(), time), "09:05");  // its short format has seconds
  EXPECT_EQ(CoverTime(QLocale(QLocale::English, QLocale::UnitedStates), time).simplified(), "9:05 AM");
  EXPECT_EQ(CoverTime(QLocale(QLocale::German, QLocale::Germany), time), "09:05");
}

// A template that cannot be read whole is refused, naming the file and its
// first bad element, and no cover is written; one element of an unknown
// kind is left out, and said so.
TEST(CoverDrawing, TemplatesThatCannotBeReadWholeAreRefused) {
  test::TempDir home;
  InitProgramFolder(home.Path());
  const std::string good = EncodeCoverTemplate(*ReadCoverTemplate(ShippedTemplates().front()));
  home.Write("empty.fct", "");
  home.Write("junk.fct", "random bytes, no template");
  home.Write("cut.fct", good.substr(0, good.size() - 3));
  const std::pair<std::string, std::string> refused[] = {
      {home.File("none.fct"), "does not exist"}, {"", "does not exist"}, {home.File("empty.fct"), "is empty"},
      {home.File("junk.fct"), "element 1 (at byte 1) cannot be read"}, {home.File("cut.fct"), "cannot be read"}};
  for (const auto& [path, fault] : refused) {
    try {
      RenderCoverSheet({}, path, Values(), kMessage);
      ADD_FAILURE() << path << " drawn";
    } catch (const CoverTemplateError& e) {
      EXPECT_NE(std::string(e.what()).find(path + " cannot be used: "), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(fault), std::string::npos) << e.what();
    }
  }
  EXPECT_TRUE(!std::filesystem::exists(SendFolder()) || std::filesystem::is_empty(SendFolder()));

  CoverElement unknown{.kind = 42, .text = "?"};
  home.Write("odd.fct", EncodeCoverTemplate({unknown, unknown}) + good);
  std::string note;
  const std::string written = RenderCoverSheet({}, home.File("odd.fct"), Values(), kMessage, &note);
  EXPECT_EQ(note, "element 1 is of the unknown kind 42 and is left out");
  EXPECT_EQ(UnpackedPage(written).Width(), kCoverPageWidth);

  // A folder that cannot be written is reported with the file's name.
  home.Write("blocked", "a file, not a folder");
  try {
    RenderCoverSheet(home.File("blocked/COV00000.APF"), home.File("odd.fct"), Values(), {});
    ADD_FAILURE() << "no error";
  } catch (const CoverWriteError& e) {
    EXPECT_NE(std::string(e.what()).find("blocked/COV00000.APF"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace tv
