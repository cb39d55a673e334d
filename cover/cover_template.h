// Cover-sheet templates (".FCT"): a sequence of element records, each a
// list of typed values, read until the first record that cannot be read.
//
// Value encoding (integers little-endian): a type byte, then the value.
//   2, 3, 4   8-, 16-, 32-bit signed integer
//   6, 12     text with a one-byte, four-byte length
//   9         true; any other byte read as a boolean is false (8 is written)
//   1, 0      start, end of a list
// An element record is a list of, in this order: kind, X, Y, width, height
// (integers, pixels), text, font name (texts), font size (integer, points of
// a 96-dpi canvas), bold, italic, underline (booleans), shape type, fill
// style, pen width, line direction, corner percent, field selector
// (integers).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tv {

// Element kinds.
enum CoverElementKind : std::int32_t {
  ckText = 0,
  ckLabel = 1,  // drawn as text, like ckText
  ckShape = 2,
  ckLine = 3,
  ckFlagLine = 4,
  ckDataField = 5,
  ckMessage = 6,
};

// Shape types: each pair draws the same shape.
enum CoverShapeType : std::int32_t {
  cstRectangle = 0,
  cstSquare = 1,
  cstRoundRect = 2,
  cstRoundSquare = 3,
  cstEllipse = 4,
  cstCircle = 5,
};

enum CoverFillStyle : std::int32_t { cfsNone = 0, cfsWhite = 1, cfsBlack = 2 };

// Line directions, from the element's box corners.
enum CoverLineDirection : std::int32_t {
  cldAcross = 0,   // top-left to top-right
  cldDown = 1,     // top-left to bottom-left
  cldRising = 2,   // bottom-left to top-right
  cldFalling = 3,  // top-left to bottom-right
};

// What a data field shows; other selectors show the element's own text.
enum CoverFieldSelector : std::int32_t {
  cfDate = 0,
  cfTime = 1,
  cfSubject = 2,
  cfRecipientName = 3,
  cfRecipientFax = 4,
  cfSenderName = 5,
  cfSenderCompany = 6,
  cfSenderFax = 7,
  cfSenderVoice = 8,
};

struct CoverElement {
  std::int32_t kind = ckText;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::string text{};      // 8-bit text as stored
  std::string fontName{};  // 8-bit text as stored
  std::int32_t fontSize = 0;
  bool bold = false;
  bool italic = false;
  bool underline = false;
  std::int32_t shapeType = cstRectangle;
  std::int32_t fillStyle = cfsNone;
  std::int32_t penWidth = 1;
  std::int32_t lineDirection = cldAcross;
  std::int32_t cornerPercent = 0;
  std::int32_t fieldSelector = -1;

  bool operator==(const CoverElement&) const = default;
};

// A template is a few kilobytes; a longer file is read only this far.
inline constexpr std::size_t kMaxTemplateBytes = 1 << 20;

// The complete element records at the start of `bytes`; `used`, when
// given, receives the bytes they take.
std::vector<CoverElement> DecodeCoverTemplate(std::string_view bytes, std::size_t* used = nullptr);
// nullopt when the file does not exist or cannot be read.
std::optional<std::vector<CoverElement>> ReadCoverTemplate(const std::string& path);

// A template file as a cover page is made from it: whole, or not at all.
struct CoverTemplateFile {
  std::vector<CoverElement> elements;
  // Why the file cannot be used, naming its first bad element; empty when
  // every byte was read into elements.
  std::string fault;
  // The first element of a kind no drawing knows (it is left out); empty
  // when there is none.
  std::string note;
};
CoverTemplateFile LoadCoverTemplate(const std::string& path);

// Integers take the smallest type that holds them, texts the one-byte
// length when they fit it.
std::string EncodeCoverTemplate(const std::vector<CoverElement>& elements);

}  // namespace tv
