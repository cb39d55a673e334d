#include "cover/cover_template.h"

#include <filesystem>
#include <fstream>

#include "image/byte_reader.h"

namespace tv {

namespace {

// Type bytes of the value encoding.
enum : std::uint8_t {
  kListEnd = 0,
  kListStart = 1,
  kInt8 = 2,
  kInt16 = 3,
  kInt32 = 4,
  kShortText = 6,
  kFalse = 8,
  kTrue = 9,
  kLongText = 12,
};

// Reads typed values from the front of a byte string; every read fails
// (and stays failed) on a wrong type or when the bytes run out.
class ValueReader {
 public:
  explicit ValueReader(std::string_view bytes) : bytes_(bytes) {}

  bool Ok() const { return ok_; }
  std::size_t Position() const { return at_; }

  void Expect(std::uint8_t type) {
    if (Type() != type) ok_ = false;
  }
  std::int32_t Integer() {
    switch (Type()) {
      case kInt8:
        return Take(1) ? static_cast<std::int8_t>(Byte(at_ - 1)) : 0;
      case kInt16:
        return Take(2) ? static_cast<std::int16_t>(Le16(Bytes(at_ - 2))) : 0;
      case kInt32:
        return Take(4) ? static_cast<std::int32_t>(Le32(Bytes(at_ - 4))) : 0;
      default:
        ok_ = false;
        return 0;
    }
  }
  std::string Text() {
    std::size_t length = 0;
    switch (Type()) {
      case kShortText:
        if (!Take(1)) return {};
        length = Byte(at_ - 1);
        break;
      case kLongText:
        if (!Take(4)) return {};
        length = Le32(Bytes(at_ - 4));
        break;
      default:
        ok_ = false;
        return {};
    }
    // A length beyond the bytes left fails here, before anything is allocated.
    if (!Take(length)) return {};
    return std::string(bytes_.substr(at_ - length, length));
  }
  bool Boolean() { return Type() == kTrue; }

 private:
  std::uint8_t Byte(std::size_t i) const { return static_cast<std::uint8_t>(bytes_[i]); }
  const std::uint8_t* Bytes(std::size_t i) const { return reinterpret_cast<const std::uint8_t*>(bytes_.data() + i); }
  bool Take(std::size_t n) {
    if (!ok_ || n > bytes_.size() - at_) {
      ok_ = false;
      return false;
    }
    at_ += n;
    return true;
  }
  int Type() { return Take(1) ? Byte(at_ - 1) : -1; }

  std::string_view bytes_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

std::optional<CoverElement> ReadElement(ValueReader& in) {
  CoverElement e;
  in.Expect(kListStart);
  e.kind = in.Integer();
  e.x = in.Integer();
  e.y = in.Integer();
  e.width = in.Integer();
  e.height = in.Integer();
  e.text = in.Text();
  e.fontName = in.Text();
  e.fontSize = in.Integer();
  e.bold = in.Boolean();
  e.italic = in.Boolean();
  e.underline = in.Boolean();
  e.shapeType = in.Integer();
  e.fillStyle = in.Integer();
  e.penWidth = in.Integer();
  e.lineDirection = in.Integer();
  e.cornerPercent = in.Integer();
  e.fieldSelector = in.Integer();
  in.Expect(kListEnd);
  if (!in.Ok()) return std::nullopt;
  return e;
}

void PutLe(std::string& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
}

void PutInteger(std::string& out, std::int32_t value) {
  if (value >= INT8_MIN && value <= INT8_MAX) {
    out.push_back(static_cast<char>(kInt8));
    PutLe(out, static_cast<std::uint32_t>(value), 1);
  } else if (value >= INT16_MIN && value <= INT16_MAX) {
    out.push_back(static_cast<char>(kInt16));
    PutLe(out, static_cast<std::uint32_t>(value), 2);
  } else {
    out.push_back(static_cast<char>(kInt32));
    PutLe(out, static_cast<std::uint32_t>(value), 4);
  }
}

void PutText(std::string& out, const std::string& text) {
  if (text.size() <= 0xFF) {
    out.push_back(static_cast<char>(kShortText));
    PutLe(out, static_cast<std::uint32_t>(text.size()), 1);
  } else {
    out.push_back(static_cast<char>(kLongText));
    PutLe(out, static_cast<std::uint32_t>(text.size()), 4);
  }
  out += text;
}

void PutBoolean(std::string& out, bool value) { out.push_back(static_cast<char>(value ? kTrue : kFalse)); }

}  // namespace

std::vector<CoverElement> DecodeCoverTemplate(std::string_view bytes, std::size_t* used) {
  std::vector<CoverElement> elements;
  ValueReader in(bytes);
  std::size_t end = 0;
  for (; auto element = ReadElement(in); end = in.Position()) elements.push_back(std::move(*element));
  if (used) *used = end;
  return elements;
}

namespace {

// The file's first kMaxTemplateBytes; nullopt when it cannot be read.
std::optional<std::string> ReadTemplateBytes(const std::string& path) {
  // Only a regular file: a pipe or device named like a template would block the read.
  std::error_code ignored;
  if (!std::filesystem::is_regular_file(path, ignored)) return std::nullopt;
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string bytes(kMaxTemplateBytes, '\0');
  file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (file.bad()) return std::nullopt;
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return bytes;
}

}  // namespace

std::optional<std::vector<CoverElement>> ReadCoverTemplate(const std::string& path) {
  const std::optional<std::string> bytes = ReadTemplateBytes(path);
  if (!bytes) return std::nullopt;
  return DecodeCoverTemplate(*bytes);
}

CoverTemplateFile LoadCoverTemplate(const std::string& path) {
  CoverTemplateFile file;
  const std::optional<std::string> bytes = ReadTemplateBytes(path);
  if (!bytes) {
    file.fault = "it does not exist or cannot be read";
    return file;
  }
  if (bytes->empty()) {
    file.fault = "it is empty";
    return file;
  }
  std::size_t used = 0;
  file.elements = DecodeCoverTemplate(*bytes, &used);
  if (used < bytes->size()) {
    file.fault = "element " + std::to_string(file.elements.size() + 1) + " (at byte " + std::to_string(used + 1) +
                 ") cannot be read";
    file.elements.clear();
    return file;
  }
  for (std::size_t i = 0; i < file.elements.size(); ++i) {
    const std::int32_t kind = file.elements[i].kind;
    if (kind < ckText || kind > ckMessage) {
      file.note = "element " + std::to_string(i + 1) + " is of the unknown kind " + std::to_string(kind) +
                  " and is left out";
      break;
    }
  }
  return file;
}

std::string EncodeCoverTemplate(const std::vector<CoverElement>& elements) {
  std::string out;
  for (const CoverElement& e : elements) {
    out.push_back(static_cast<char>(kListStart));
    for (std::int32_t value : {e.kind, e.x, e.y, e.width, e.height}) PutInteger(out, value);
    PutText(out, e.text);
    PutText(out, e.fontName);
    PutInteger(out, e.fontSize);
    for (bool value : {e.bold, e.italic, e.underline}) PutBoolean(out, value);
    for (std::int32_t value :
         {e.shapeType, e.fillStyle, e.penWidth, e.lineDirection, e.cornerPercent, e.fieldSelector}) {
      PutInteger(out, value);
    }
    out.push_back(static_cast<char>(kListEnd));
  }
  return out;
}

}  // namespace tv
