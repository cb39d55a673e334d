// xBase expressions: the language of index keys, FOR conditions and filters.
//
// An expression is compiled once against a table's fields (names in any
// letter case) and then evaluated per record. Compiling checks the names,
// the functions and their argument counts and the operand types, so that
// evaluation cannot fail; every compile error names its 1-based position.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/dbf_table.h"

namespace tv {

enum class XType { Character, Numeric, Date, Logical };

struct XValue {
  XType type = XType::Logical;
  std::string text;      // Character
  double number = 0;     // Numeric
  std::int32_t date = 0; // Date: Julian day, 0 = empty
  bool logical = false;  // Logical

  static XValue Char(std::string s) { XValue v; v.type = XType::Character; v.text = std::move(s); return v; }
  static XValue Num(double n) { XValue v; v.type = XType::Numeric; v.number = n; return v; }
  static XValue Day(std::int32_t d) { XValue v; v.type = XType::Date; v.date = d; return v; }
  static XValue Bool(bool b) { XValue v; v.type = XType::Logical; v.logical = b; return v; }
};

// Engine settings that change what an expression means.
struct XSettings {
  bool exact = false;    // "=" on texts compares whole values, not a prefix
  bool century = false;  // DTOC and CTOD use four-digit years
  int dateFormat = 0;    // 0 American mm/dd/yy, 1 ANSI yy.mm.dd, 2 British dd/mm/yy,
                         // 3 French dd/mm/yy, 4 German dd.mm.yy, 5 Italian dd-mm-yy,
                         // 6 Spanish dd/mm/yy
};

// The record an expression is evaluated on: the raw record (deletion flag
// first) of a table with the fields the expression was compiled against.
struct XRecord {
  const char* bytes = nullptr;
  std::uint32_t recno = 0;
  const XSettings* settings = nullptr;
};

// Reads one field of a raw record as an expression value (blank numbers read
// 0, blank dates the empty date).
XValue FieldValue(const DbfField& field, const char* record);

// Date text in the given format ("mm/dd/yy" and so on) and back; CTOD
// gives 0 for text that is not a date.
std::string FormatDate(std::int32_t julianDay, const XSettings& settings);
std::int32_t ParseDate(std::string_view text, const XSettings& settings);

class Expression {
 public:
  struct Node;

  // Throws XbaseError(xbBadExpression) with the position of the fault.
  static std::shared_ptr<const Expression> Compile(std::string_view text, const std::vector<DbfField>& fields);

  ~Expression();
  const std::string& Text() const { return text_; }
  XType Type() const;
  // Width of a character result, the key length an index uses for it.
  int Width() const;

  // Whether the value depends on the record's number (RECNO()).
  bool UsesRecordNumber() const;
  // Whether it changes the letter case of text (UPPER(), LOWER()), so that
  // its values depend on the code page's case rules.
  bool UsesLetterCase() const;

  XValue Evaluate(const XRecord& record) const;
  bool IsTrue(const XRecord& record) const;  // a logical expression

 private:
  Expression(std::string text, std::vector<DbfField> fields, std::unique_ptr<Node> root);
  XValue Eval(const Node& node, const XRecord& record) const;

  std::string text_;
  std::vector<DbfField> fields_;
  std::unique_ptr<Node> root_;
};

using ExpressionPtr = std::shared_ptr<const Expression>;

}  // namespace tv
