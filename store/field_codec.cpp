#include "store/field_codec.h"

#include <cmath>
#include <cstring>

#include "platform/text.h"
#include "store/xbase_date.h"
#include "store/xbase_error.h"

namespace tv {

namespace {

[[noreturn]] void Unfit(const DbfField& field, const std::string& what) {
  throw XbaseError(xbBadField, "field " + field.name + " (" + std::string(1, field.type) + " " +
                                   std::to_string(field.width) +
                                   (field.decimals ? "," + std::to_string(field.decimals) : "") + "): " + what);
}

// The number right-aligned in `width` with at most `decimals` decimals,
// dropping decimals while it is too wide; empty when even none fit.
std::string FitNumber(double value, int width, int decimals) {
  for (int d = decimals; d >= 0; --d) {
    const std::string text = FormatFixed(value, d);
    if (static_cast<int>(text.size()) <= width)
      return std::string(static_cast<std::size_t>(width) - text.size(), ' ') + text;
  }
  return {};
}

}  // namespace

void WriteField(const DbfField& field, char* record, const XValue& value) {
  char* out = record + field.offset;
  const auto width = static_cast<std::size_t>(field.width);
  switch (field.type) {
    case 'C': {
      if (value.type != XType::Character) Unfit(field, "needs text");
      std::memset(out, ' ', width);
      std::memcpy(out, value.text.data(), std::min(width, value.text.size()));
      return;
    }
    case 'D': {
      if (value.type != XType::Date) Unfit(field, "needs a date");
      const std::string text = DtosFromJulian(value.date);
      std::memcpy(out, text.data(), 8);
      return;
    }
    case 'L':
      if (value.type != XType::Logical) Unfit(field, "needs a logical value");
      out[0] = value.logical ? 'T' : 'F';
      return;
    default: {
      if (value.type != XType::Numeric || !std::isfinite(value.number)) Unfit(field, "needs a number");
      const std::string text = FitNumber(value.number, field.width, field.decimals);
      if (text.empty()) Unfit(field, "the number " + FitNumber(value.number, 1, field.decimals) + " does not fit");
      std::memcpy(out, text.data(), width);
      return;
    }
  }
}

std::string StoredText(const DbfField& field, const char* record) {
  std::string text(record + field.offset, static_cast<std::size_t>(field.width));
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

std::optional<XValue> ParseFieldText(const DbfField& field, const std::string& text) {
  switch (field.type) {
    case 'C':
      if (static_cast<int>(text.size()) > field.width) return std::nullopt;
      return XValue::Char(text);
    case 'D': {
      if (text.empty()) return XValue::Day(0);
      std::string digits;
      for (char c : text)
        if (c != '-') digits += c;
      const std::int32_t jd = JulianFromDtos(digits);
      if (jd <= 0) return std::nullopt;
      return XValue::Day(jd);
    }
    case 'L':
      if (text == "T" || text == "t" || text == "Y" || text == "y" || text == ".T.") return XValue::Bool(true);
      if (text == "F" || text == "f" || text == "N" || text == "n" || text == ".F.") return XValue::Bool(false);
      return std::nullopt;
    default: {
      if (text.empty()) return std::nullopt;
      const std::optional<double> number = ParseDecimal(text);
      if (!number || FitNumber(*number, field.width, field.decimals).empty()) return std::nullopt;
      return XValue::Num(*number);
    }
  }
}

}  // namespace tv
