#include "store/xbase_expression.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/code_page.h"
#include "platform/text.h"
#include "store/xbase_date.h"
#include "store/xbase_error.h"

namespace tv {

namespace {

std::string_view TrimRight(std::string_view s) {
  const auto last = s.find_last_not_of(' ');
  return last == std::string_view::npos ? std::string_view() : s.substr(0, last + 1);
}

std::string_view TrimLeft(std::string_view s) {
  const auto first = s.find_first_not_of(' ');
  return first == std::string_view::npos ? std::string_view() : s.substr(first);
}

const char* TypeName(XType t) {
  switch (t) {
    case XType::Character: return "character";
    case XType::Numeric: return "numeric";
    case XType::Date: return "date";
    case XType::Logical: return "logical";
  }
  return "?";
}

enum class Op {
  Or, And, Not, Equal, ExactEqual, NotEqual, Less, Greater, LessEqual, GreaterEqual, Contained,
  Plus, Minus, Times, Divide, Modulo, Power, Negate,
};

enum class Func {
  Dtos, Deleted, Upper, Lower, Trim, Ltrim, Alltrim, Left, Right, Substr, Str, Val, Ctod, Dtoc, Date,
  Empty, Recno, Iif, Len, Year, Month, Day, Space, Abs, Int, Padr, Padl,
};

struct FuncInfo {
  const char* name;
  Func func;
  int minArgs;
  int maxArgs;
};

constexpr FuncInfo kFunctions[] = {
    {"DTOS", Func::Dtos, 1, 1},       {"DELETED", Func::Deleted, 0, 0}, {"UPPER", Func::Upper, 1, 1},
    {"LOWER", Func::Lower, 1, 1},     {"TRIM", Func::Trim, 1, 1},       {"RTRIM", Func::Trim, 1, 1},
    {"LTRIM", Func::Ltrim, 1, 1},     {"ALLTRIM", Func::Alltrim, 1, 1}, {"LEFT", Func::Left, 2, 2},
    {"RIGHT", Func::Right, 2, 2},     {"SUBSTR", Func::Substr, 2, 3},   {"STR", Func::Str, 1, 3},
    {"VAL", Func::Val, 1, 1},         {"CTOD", Func::Ctod, 1, 1},       {"DTOC", Func::Dtoc, 1, 1},
    {"DATE", Func::Date, 0, 0},       {"EMPTY", Func::Empty, 1, 1},     {"RECNO", Func::Recno, 0, 0},
    {"IIF", Func::Iif, 3, 3},         {"LEN", Func::Len, 1, 1},         {"YEAR", Func::Year, 1, 1},
    {"MONTH", Func::Month, 1, 1},     {"DAY", Func::Day, 1, 1},         {"SPACE", Func::Space, 1, 1},
    {"ABS", Func::Abs, 1, 1},         {"INT", Func::Int, 1, 1},         {"PADR", Func::Padr, 2, 2},
    {"PADL", Func::Padl, 2, 2},
};

}  // namespace

struct Expression::Node {
  enum class Kind { Literal, Field, Unary, Binary, Call } kind = Kind::Literal;
  XType type = XType::Logical;
  int width = 0;  // character results: the widest value
  int position = 0;
  XValue literal;
  int field = -1;
  Op op = Op::Or;
  Func func = Func::Dtos;
  std::vector<std::unique_ptr<Node>> args;
};

namespace {

using Node = Expression::Node;
using NodePtr = std::unique_ptr<Node>;

// Each nesting level of an expression costs stack; real keys and filters
// need a handful.
constexpr int kMaxNesting = 200;

enum class Tok { End, Name, Number, String, Date, True, False, And, Or, Not, Op, LParen, RParen, Comma };

struct Token {
  Tok kind = Tok::End;
  std::string text;  // name (upper case), string value, operator spelling
  double number = 0;
  std::int32_t date = 0;
  int position = 0;  // 1-based
};

class Parser {
 public:
  Parser(std::string_view text, const std::vector<DbfField>& fields) : text_(text), fields_(fields) { Advance(); }

  NodePtr ParseAll() {
    if (current_.kind == Tok::End) Fail(1, "the expression is empty");
    NodePtr root = ParseOr();
    if (current_.kind != Tok::End) Fail(current_.position, "unexpected '" + Spelling(current_) + "'");
    return root;
  }

 private:
  [[noreturn]] void Fail(int position, const std::string& what) const {
    throw XbaseError(xbBadExpression,
                     "expression \"" + std::string(text_) + "\": " + what + " at position " + std::to_string(position));
  }

  std::string Spelling(const Token& t) const {
    if (t.kind == Tok::End) return "end";
    const auto start = static_cast<std::size_t>(t.position - 1);
    return std::string(text_.substr(start, std::max<std::size_t>(1, pos_ - start > 20 ? 20 : pos_ - start)));
  }

  void Advance() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    current_ = Token{};
    current_.position = static_cast<int>(pos_) + 1;
    if (pos_ >= text_.size()) return;
    const char c = text_[pos_];
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
      const std::size_t start = pos_;
      while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_')) ++pos_;
      current_.kind = Tok::Name;
      current_.text = UpperAscii(text_.substr(start, pos_ - start));
      return;
    }
    if (std::isdigit(static_cast<unsigned char>(c)) ||
        (c == '.' && pos_ + 1 < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_ + 1])))) {
      const std::size_t start = pos_;
      while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
      if (pos_ + 1 < text_.size() && text_[pos_] == '.' && std::isdigit(static_cast<unsigned char>(text_[pos_ + 1]))) {
        ++pos_;
        while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
      } else if (c == '.') {
        ++pos_;
        while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
      }
      current_.kind = Tok::Number;
      current_.number = ParseDecimal(text_.substr(start, pos_ - start)).value_or(0);
      return;
    }
    if (c == '.') {
      const std::size_t close = text_.find('.', pos_ + 1);
      if (close != std::string_view::npos) {
        const std::string word = UpperAscii(text_.substr(pos_ + 1, close - pos_ - 1));
        Tok kind = Tok::End;
        if (word == "AND") kind = Tok::And;
        else if (word == "OR") kind = Tok::Or;
        else if (word == "NOT") kind = Tok::Not;
        else if (word == "T" || word == "Y") kind = Tok::True;
        else if (word == "F" || word == "N") kind = Tok::False;
        if (kind != Tok::End) {
          pos_ = close + 1;
          current_.kind = kind;
          return;
        }
      }
      Fail(current_.position, "unknown word starting with '.'");
    }
    if (c == '"' || c == '\'' || c == '[') {
      const char closer = c == '[' ? ']' : c;
      const std::size_t close = text_.find(closer, pos_ + 1);
      if (close == std::string_view::npos) Fail(current_.position, "text without its closing " + std::string(1, closer));
      current_.kind = Tok::String;
      current_.text = std::string(text_.substr(pos_ + 1, close - pos_ - 1));
      pos_ = close + 1;
      return;
    }
    if (c == '{') {
      const std::size_t close = text_.find('}', pos_ + 1);
      if (close == std::string_view::npos) Fail(current_.position, "date without its closing }");
      current_.kind = Tok::Date;
      current_.date = DateLiteral(TrimLeft(TrimRight(text_.substr(pos_ + 1, close - pos_ - 1))));
      pos_ = close + 1;
      return;
    }
    static constexpr const char* kOperators[] = {"==", "<>", "!=", "<=", ">=", "**", "=", "#", "<", ">",
                                                 "$",  "+",  "-",  "*",  "/",  "%",  "^", "!"};
    for (const char* op : kOperators) {
      const std::size_t n = std::strlen(op);
      if (text_.substr(pos_, n) == op) {
        pos_ += n;
        current_.kind = std::string_view(op) == "!" ? Tok::Not : Tok::Op;
        current_.text = op;
        return;
      }
    }
    if (c == '(' || c == ')' || c == ',') {
      ++pos_;
      current_.kind = c == '(' ? Tok::LParen : c == ')' ? Tok::RParen : Tok::Comma;
      return;
    }
    Fail(current_.position, "unexpected character '" + std::string(1, c) + "'");
  }

  // {^yyyy-mm-dd}, {mm/dd/yyyy} or {} for the empty date.
  std::int32_t DateLiteral(std::string_view inside) {
    if (inside.empty()) return 0;
    int a = 0, b = 0, y = 0;
    char s1 = 0, s2 = 0;
    const std::string text(inside);
    CivilDate date;
    if (text[0] == '^' && std::sscanf(text.c_str() + 1, "%d%c%d%c%d", &y, &s1, &a, &s2, &b) == 5) {
      date = {y, a, b};
    } else if (std::sscanf(text.c_str(), "%d%c%d%c%d", &a, &s1, &b, &s2, &y) == 5) {
      date = {y < 100 ? y + (y < 50 ? 2000 : 1900) : y, a, b};
    }
    if (!IsValidCivil(date)) Fail(current_.position, "invalid date {" + text + "}");
    return JulianDay(date);
  }

  bool IsOp(const char* spelling) const { return current_.kind == Tok::Op && current_.text == spelling; }

  NodePtr Make(Node::Kind kind, int position) {
    auto n = std::make_unique<Node>();
    n->kind = kind;
    n->position = position;
    return n;
  }

  NodePtr Binary(Op op, NodePtr left, NodePtr right, int position) {
    NodePtr n = Make(Node::Kind::Binary, position);
    n->op = op;
    const XType lt = left->type, rt = right->type;
    auto mismatch = [&](const char* spelling) {
      Fail(position, std::string("'") + spelling + "' cannot combine " + TypeName(lt) + " and " + TypeName(rt));
    };
    switch (op) {
      case Op::Or:
      case Op::And:
        if (lt != XType::Logical || rt != XType::Logical) mismatch(op == Op::Or ? ".OR." : ".AND.");
        n->type = XType::Logical;
        break;
      case Op::Equal: case Op::ExactEqual: case Op::NotEqual: case Op::Less: case Op::Greater:
      case Op::LessEqual: case Op::GreaterEqual:
        if (lt != rt) mismatch("comparison");
        n->type = XType::Logical;
        break;
      case Op::Contained:
        if (lt != XType::Character || rt != XType::Character) mismatch("$");
        n->type = XType::Logical;
        break;
      case Op::Plus:
        if (lt == XType::Character && rt == XType::Character) {
          n->type = XType::Character;
          n->width = left->width + right->width;
        } else if (lt == XType::Numeric && rt == XType::Numeric) {
          n->type = XType::Numeric;
        } else if ((lt == XType::Date && rt == XType::Numeric) || (lt == XType::Numeric && rt == XType::Date)) {
          n->type = XType::Date;
        } else {
          mismatch("+");
        }
        break;
      case Op::Minus:
        if (lt == XType::Character && rt == XType::Character) {
          n->type = XType::Character;
          n->width = left->width + right->width;
        } else if (lt == XType::Numeric && rt == XType::Numeric) {
          n->type = XType::Numeric;
        } else if (lt == XType::Date && rt == XType::Numeric) {
          n->type = XType::Date;
        } else if (lt == XType::Date && rt == XType::Date) {
          n->type = XType::Numeric;
        } else {
          mismatch("-");
        }
        break;
      default:
        if (lt != XType::Numeric || rt != XType::Numeric) mismatch("arithmetic");
        n->type = XType::Numeric;
        break;
    }
    n->args.push_back(std::move(left));
    n->args.push_back(std::move(right));
    return n;
  }

  NodePtr ParseOr() {
    if (++depth_ > kMaxNesting) Fail(current_.position, "the expression is nested too deeply");
    NodePtr left = ParseAnd();
    while (current_.kind == Tok::Or) {
      const int at = current_.position;
      Advance();
      left = Binary(Op::Or, std::move(left), ParseAnd(), at);
    }
    --depth_;
    return left;
  }

  NodePtr ParseAnd() {
    NodePtr left = ParseNot();
    while (current_.kind == Tok::And) {
      const int at = current_.position;
      Advance();
      left = Binary(Op::And, std::move(left), ParseNot(), at);
    }
    return left;
  }

  NodePtr ParseNot() {
    if (current_.kind == Tok::Not) {
      const int at = current_.position;
      Advance();
      NodePtr operand = ParseNested(&Parser::ParseNot);
      if (operand->type != XType::Logical) Fail(at, std::string(".NOT. needs a logical value, not ") + TypeName(operand->type));
      NodePtr n = Make(Node::Kind::Unary, at);
      n->op = Op::Not;
      n->type = XType::Logical;
      n->args.push_back(std::move(operand));
      return n;
    }
    return ParseComparison();
  }

  NodePtr ParseComparison() {
    NodePtr left = ParseAdditive();
    struct Cmp { const char* spelling; Op op; };
    static constexpr Cmp kComparisons[] = {{"==", Op::ExactEqual}, {"=", Op::Equal},  {"<>", Op::NotEqual},
                                           {"#", Op::NotEqual},    {"!=", Op::NotEqual}, {"<=", Op::LessEqual},
                                           {">=", Op::GreaterEqual}, {"<", Op::Less}, {">", Op::Greater},
                                           {"$", Op::Contained}};
    for (;;) {
      const Cmp* found = nullptr;
      for (const Cmp& c : kComparisons)
        if (IsOp(c.spelling)) found = &c;
      if (!found) return left;
      const int at = current_.position;
      Advance();
      left = Binary(found->op, std::move(left), ParseAdditive(), at);
    }
  }

  NodePtr ParseNested(NodePtr (Parser::*parse)()) {
    if (++depth_ > kMaxNesting) Fail(current_.position, "the expression is nested too deeply");
    NodePtr node = (this->*parse)();
    --depth_;
    return node;
  }

  NodePtr ParseAdditive() {
    NodePtr left = ParseMultiplicative();
    while (IsOp("+") || IsOp("-")) {
      const Op op = IsOp("+") ? Op::Plus : Op::Minus;
      const int at = current_.position;
      Advance();
      left = Binary(op, std::move(left), ParseMultiplicative(), at);
    }
    return left;
  }

  NodePtr ParseMultiplicative() {
    NodePtr left = ParseUnary();
    while (IsOp("*") || IsOp("/") || IsOp("%")) {
      const Op op = IsOp("*") ? Op::Times : IsOp("/") ? Op::Divide : Op::Modulo;
      const int at = current_.position;
      Advance();
      left = Binary(op, std::move(left), ParseUnary(), at);
    }
    return left;
  }

  NodePtr ParseUnary() {
    if (IsOp("-") || IsOp("+")) {
      const bool negate = IsOp("-");
      const int at = current_.position;
      Advance();
      NodePtr operand = ParseNested(&Parser::ParseUnary);
      if (operand->type != XType::Numeric) Fail(at, std::string("a sign needs a number, not ") + TypeName(operand->type));
      if (!negate) return operand;
      NodePtr n = Make(Node::Kind::Unary, at);
      n->op = Op::Negate;
      n->type = XType::Numeric;
      n->args.push_back(std::move(operand));
      return n;
    }
    return ParsePower();
  }

  NodePtr ParsePower() {
    NodePtr base = ParsePrimary();
    if (IsOp("^") || IsOp("**")) {
      const int at = current_.position;
      Advance();
      return Binary(Op::Power, std::move(base), ParseNested(&Parser::ParseUnary), at);
    }
    return base;
  }

  NodePtr ParsePrimary() {
    const Token t = current_;
    switch (t.kind) {
      case Tok::Number: {
        Advance();
        NodePtr n = Make(Node::Kind::Literal, t.position);
        n->type = XType::Numeric;
        n->literal = XValue::Num(t.number);
        return n;
      }
      case Tok::String: {
        Advance();
        NodePtr n = Make(Node::Kind::Literal, t.position);
        n->type = XType::Character;
        n->width = static_cast<int>(t.text.size());
        n->literal = XValue::Char(t.text);
        return n;
      }
      case Tok::Date: {
        Advance();
        NodePtr n = Make(Node::Kind::Literal, t.position);
        n->type = XType::Date;
        n->literal = XValue::Day(t.date);
        return n;
      }
      case Tok::True:
      case Tok::False: {
        Advance();
        NodePtr n = Make(Node::Kind::Literal, t.position);
        n->type = XType::Logical;
        n->literal = XValue::Bool(t.kind == Tok::True);
        return n;
      }
      case Tok::LParen: {
        Advance();
        NodePtr inner = ParseOr();
        Expect(Tok::RParen, ")");
        return inner;
      }
      case Tok::Name:
        Advance();
        if (current_.kind == Tok::LParen) return ParseCall(t);
        return FieldNode(t);
      case Tok::End:
        Fail(t.position, "the expression ends too early");
      default:
        Fail(t.position, "unexpected '" + Spelling(t) + "'");
    }
  }

  void Expect(Tok kind, const char* spelling) {
    if (current_.kind != kind) Fail(current_.position, std::string("expected '") + spelling + "'");
    Advance();
  }

  NodePtr FieldNode(const Token& t) {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      if (fields_[i].name != t.text) continue;
      NodePtr n = Make(Node::Kind::Field, t.position);
      n->field = static_cast<int>(i);
      switch (fields_[i].type) {
        case 'C': n->type = XType::Character; n->width = fields_[i].width; break;
        case 'D': n->type = XType::Date; break;
        case 'L': n->type = XType::Logical; break;
        default: n->type = XType::Numeric; break;
      }
      return n;
    }
    Fail(t.position, "unknown field '" + t.text + "'");
  }

  static bool LiteralInt(const Node& n, int& out) {
    if (n.kind != Node::Kind::Literal || n.type != XType::Numeric) return false;
    out = static_cast<int>(n.literal.number);
    return true;
  }

  NodePtr ParseCall(const Token& name) {
    const FuncInfo* info = nullptr;
    for (const FuncInfo& f : kFunctions)
      if (name.text == f.name) info = &f;
    if (!info) Fail(name.position, "unknown function '" + name.text + "'");
    Advance();  // (
    NodePtr n = Make(Node::Kind::Call, name.position);
    n->func = info->func;
    if (current_.kind != Tok::RParen) {
      for (;;) {
        n->args.push_back(ParseOr());
        if (current_.kind != Tok::Comma) break;
        Advance();
      }
    }
    Expect(Tok::RParen, ")");
    const int count = static_cast<int>(n->args.size());
    if (count < info->minArgs || count > info->maxArgs)
      Fail(name.position, name.text + "() takes " + std::to_string(info->minArgs) +
                              (info->maxArgs != info->minArgs ? " to " + std::to_string(info->maxArgs) : "") +
                              " argument" + (info->maxArgs == 1 ? "" : "s") + ", not " + std::to_string(count));
    TypeCall(*n, name);
    return n;
  }

  void Want(const Node& call, std::size_t arg, XType type, const Token& name) {
    if (call.args[arg]->type != type)
      Fail(call.args[arg]->position, name.text + "() needs a " + TypeName(type) + " value as argument " +
                                         std::to_string(arg + 1) + ", not " + TypeName(call.args[arg]->type));
  }

  void TypeCall(Node& n, const Token& name) {
    auto argWidth = [&](std::size_t i) { return n.args[i]->width; };
    int literal = 0;
    switch (n.func) {
      case Func::Dtos:
        Want(n, 0, XType::Date, name);
        n.type = XType::Character; n.width = 8;
        break;
      case Func::Dtoc:
        Want(n, 0, XType::Date, name);
        n.type = XType::Character; n.width = 10;
        break;
      case Func::Deleted:
        n.type = XType::Logical;
        break;
      case Func::Upper: case Func::Lower: case Func::Trim: case Func::Ltrim: case Func::Alltrim:
        Want(n, 0, XType::Character, name);
        n.type = XType::Character; n.width = argWidth(0);
        break;
      case Func::Left: case Func::Right: case Func::Padr: case Func::Padl:
        Want(n, 0, XType::Character, name);
        Want(n, 1, XType::Numeric, name);
        n.type = XType::Character;
        n.width = LiteralInt(*n.args[1], literal) ? std::max(0, literal) : argWidth(0);
        if (n.func == Func::Left || n.func == Func::Right) n.width = std::min(n.width, argWidth(0));
        break;
      case Func::Substr:
        Want(n, 0, XType::Character, name);
        Want(n, 1, XType::Numeric, name);
        if (n.args.size() == 3) Want(n, 2, XType::Numeric, name);
        n.type = XType::Character;
        if (n.args.size() == 3 && LiteralInt(*n.args[2], literal)) n.width = std::clamp(literal, 0, argWidth(0));
        else if (LiteralInt(*n.args[1], literal)) n.width = std::max(0, argWidth(0) - std::max(1, literal) + 1);
        else n.width = argWidth(0);
        break;
      case Func::Str:
        Want(n, 0, XType::Numeric, name);
        for (std::size_t i = 1; i < n.args.size(); ++i) Want(n, i, XType::Numeric, name);
        n.type = XType::Character;
        n.width = n.args.size() >= 2 && LiteralInt(*n.args[1], literal) ? std::clamp(literal, 1, 255) : 10;
        break;
      case Func::Space:
        Want(n, 0, XType::Numeric, name);
        n.type = XType::Character;
        n.width = LiteralInt(*n.args[0], literal) ? std::clamp(literal, 0, 255) : 0;
        break;
      case Func::Val: case Func::Len:
        Want(n, 0, XType::Character, name);
        n.type = XType::Numeric;
        break;
      case Func::Ctod:
        Want(n, 0, XType::Character, name);
        n.type = XType::Date;
        break;
      case Func::Date:
        n.type = XType::Date;
        break;
      case Func::Empty:
        n.type = XType::Logical;
        break;
      case Func::Recno:
        n.type = XType::Numeric;
        break;
      case Func::Iif:
        Want(n, 0, XType::Logical, name);
        if (n.args[1]->type != n.args[2]->type)
          Fail(n.args[2]->position, "IIF() needs two values of one type, not " + std::string(TypeName(n.args[1]->type)) +
                                        " and " + TypeName(n.args[2]->type));
        n.type = n.args[1]->type;
        n.width = std::max(argWidth(1), argWidth(2));
        break;
      case Func::Year: case Func::Month: case Func::Day:
        Want(n, 0, XType::Date, name);
        n.type = XType::Numeric;
        break;
      case Func::Abs: case Func::Int:
        Want(n, 0, XType::Numeric, name);
        n.type = XType::Numeric;
        break;
    }
  }

  std::string_view text_;
  const std::vector<DbfField>& fields_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  Token current_;
};

// "=" on texts: with EXACT off the right side need only begin the left one;
// otherwise both are compared with trailing blanks ignored.
int CompareText(std::string_view a, std::string_view b) {
  const std::size_t n = std::max(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(i < a.size() ? a[i] : ' ');
    const auto cb = static_cast<unsigned char>(i < b.size() ? b[i] : ' ');
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return 0;
}

bool TextEquals(std::string_view a, std::string_view b, bool exact) {
  if (!exact) {
    if (b.size() <= a.size()) return a.substr(0, b.size()) == b;
  }
  return CompareText(a, b) == 0;
}

int Compare(const XValue& a, const XValue& b) {
  switch (a.type) {
    case XType::Character: return CompareText(a.text, b.text);
    case XType::Numeric: return a.number < b.number ? -1 : a.number > b.number ? 1 : 0;
    case XType::Date: return a.date < b.date ? -1 : a.date > b.date ? 1 : 0;
    case XType::Logical: return static_cast<int>(a.logical) - static_cast<int>(b.logical);
  }
  return 0;
}

std::string FormatNumber(double value, int width, int decimals) {
  std::string out = FormatFixed(value, decimals);
  if (out.empty() || static_cast<int>(out.size()) > width) return std::string(static_cast<std::size_t>(width), '*');
  return std::string(static_cast<std::size_t>(width) - out.size(), ' ') + out;
}

}  // namespace

XValue FieldValue(const DbfField& field, const char* record) {
  const std::string_view raw(record + field.offset, static_cast<std::size_t>(field.width));
  switch (field.type) {
    case 'C': return XValue::Char(std::string(raw));
    case 'D': return XValue::Day(std::max(0, JulianFromDtos(raw)));
    case 'L': {
      const char c = raw[0];
      return XValue::Bool(c == 'T' || c == 't' || c == 'Y' || c == 'y');
    }
    default: return XValue::Num(ParseLeadingDecimal(raw));
  }
}

std::string FormatDate(std::int32_t julianDay, const XSettings& settings) {
  const int yearWidth = settings.century ? 4 : 2;
  if (julianDay <= 0) {
    const std::string blank = FormatDate(JulianDay({2000, 1, 1}), settings);
    std::string out(blank.size(), ' ');
    for (std::size_t i = 0; i < blank.size(); ++i)
      if (!std::isdigit(static_cast<unsigned char>(blank[i]))) out[i] = blank[i];
    return out;
  }
  const CivilDate d = CivilFromJulian(julianDay);
  const int year = settings.century ? d.year : d.year % 100;
  char text[32];
  switch (settings.dateFormat) {
    case 1: std::snprintf(text, sizeof text, "%0*d.%02d.%02d", yearWidth, year, d.month, d.day); break;
    case 2: case 3: case 6: std::snprintf(text, sizeof text, "%02d/%02d/%0*d", d.day, d.month, yearWidth, year); break;
    case 4: std::snprintf(text, sizeof text, "%02d.%02d.%0*d", d.day, d.month, yearWidth, year); break;
    case 5: std::snprintf(text, sizeof text, "%02d-%02d-%0*d", d.day, d.month, yearWidth, year); break;
    default: std::snprintf(text, sizeof text, "%02d/%02d/%0*d", d.month, d.day, yearWidth, year); break;
  }
  return text;
}

std::int32_t ParseDate(std::string_view text, const XSettings& settings) {
  int parts[3] = {0, 0, 0};
  int digits[3] = {0, 0, 0};
  int part = 0;
  for (char c : TrimRight(TrimLeft(text))) {
    if (std::isdigit(static_cast<unsigned char>(c))) {
      if (part > 2) return 0;
      parts[part] = parts[part] * 10 + (c - '0');
      ++digits[part];
    } else if (digits[part] > 0) {
      ++part;
    } else {
      return 0;
    }
  }
  if (part < 2 || digits[2] == 0) return 0;
  int day = 0, month = 0, year = 0, yearDigits = 0;
  switch (settings.dateFormat) {
    case 1: year = parts[0]; yearDigits = digits[0]; month = parts[1]; day = parts[2]; break;
    case 2: case 3: case 4: case 5: case 6: day = parts[0]; month = parts[1]; year = parts[2]; yearDigits = digits[2]; break;
    default: month = parts[0]; day = parts[1]; year = parts[2]; yearDigits = digits[2]; break;
  }
  if (yearDigits <= 2) year += year < 50 ? 2000 : 1900;
  const CivilDate date{year, month, day};
  return IsValidCivil(date) ? JulianDay(date) : 0;
}

Expression::Expression(std::string text, std::vector<DbfField> fields, std::unique_ptr<Node> root)
    : text_(std::move(text)), fields_(std::move(fields)), root_(std::move(root)) {}

Expression::~Expression() = default;

std::shared_ptr<const Expression> Expression::Compile(std::string_view text, const std::vector<DbfField>& fields) {
  Parser parser(text, fields);
  NodePtr root = parser.ParseAll();
  return std::shared_ptr<const Expression>(new Expression(std::string(text), fields, std::move(root)));
}

XType Expression::Type() const { return root_->type; }
int Expression::Width() const { return root_->width; }

XValue Expression::Evaluate(const XRecord& record) const { return Eval(*root_, record); }

namespace {

bool CallsAny(const Expression::Node* root, std::initializer_list<Func> funcs) {
  std::vector<const Expression::Node*> pending{root};
  while (!pending.empty()) {
    const Expression::Node* node = pending.back();
    pending.pop_back();
    if (node->kind == Expression::Node::Kind::Call && std::find(funcs.begin(), funcs.end(), node->func) != funcs.end())
      return true;
    for (const auto& arg : node->args) pending.push_back(arg.get());
  }
  return false;
}

}  // namespace

bool Expression::UsesRecordNumber() const { return CallsAny(root_.get(), {Func::Recno}); }

bool Expression::UsesLetterCase() const { return CallsAny(root_.get(), {Func::Upper, Func::Lower}); }

bool Expression::IsTrue(const XRecord& record) const {
  const XValue v = Eval(*root_, record);
  return v.type == XType::Logical && v.logical;
}

XValue Expression::Eval(const Node& n, const XRecord& r) const {
  static const XSettings kDefaults;
  const XSettings& settings = r.settings ? *r.settings : kDefaults;
  switch (n.kind) {
    case Node::Kind::Literal:
      return n.literal;
    case Node::Kind::Field:
      return FieldValue(fields_[static_cast<std::size_t>(n.field)], r.bytes);
    case Node::Kind::Unary: {
      const XValue v = Eval(*n.args[0], r);
      return n.op == Op::Not ? XValue::Bool(!v.logical) : XValue::Num(-v.number);
    }
    case Node::Kind::Binary: {
      if (n.op == Op::And || n.op == Op::Or) {  // evaluated left to right, stopping early
        const bool left = Eval(*n.args[0], r).logical;
        if (n.op == Op::And ? !left : left) return XValue::Bool(left);
        return XValue::Bool(Eval(*n.args[1], r).logical);
      }
      XValue a = Eval(*n.args[0], r);
      const XValue b = Eval(*n.args[1], r);
      switch (n.op) {
        case Op::Equal:
          return XValue::Bool(a.type == XType::Character ? TextEquals(a.text, b.text, settings.exact) : Compare(a, b) == 0);
        case Op::NotEqual:
          return XValue::Bool(a.type == XType::Character ? !TextEquals(a.text, b.text, settings.exact) : Compare(a, b) != 0);
        case Op::ExactEqual:
          return XValue::Bool(a.type == XType::Character ? a.text == b.text : Compare(a, b) == 0);
        case Op::Less: return XValue::Bool(Compare(a, b) < 0);
        case Op::Greater: return XValue::Bool(Compare(a, b) > 0);
        case Op::LessEqual: return XValue::Bool(Compare(a, b) <= 0);
        case Op::GreaterEqual: return XValue::Bool(Compare(a, b) >= 0);
        case Op::Contained: return XValue::Bool(b.text.find(a.text) != std::string::npos);
        case Op::Plus:
          if (a.type == XType::Character) return XValue::Char(a.text + b.text);
          if (a.type == XType::Date) return XValue::Day(a.date + static_cast<std::int32_t>(b.number));
          if (b.type == XType::Date) return XValue::Day(b.date + static_cast<std::int32_t>(a.number));
          return XValue::Num(a.number + b.number);
        case Op::Minus:
          if (a.type == XType::Character) {  // the left side's trailing blanks move to the end
            const std::string_view kept = TrimRight(a.text);
            const std::size_t blanks = a.text.size() - kept.size();
            return XValue::Char(std::string(kept) + b.text + std::string(blanks, ' '));
          }
          if (a.type == XType::Date && b.type == XType::Date) return XValue::Num(a.date - b.date);
          if (a.type == XType::Date) return XValue::Day(a.date - static_cast<std::int32_t>(b.number));
          return XValue::Num(a.number - b.number);
        case Op::Times: return XValue::Num(a.number * b.number);
        case Op::Divide: return XValue::Num(b.number == 0 ? 0 : a.number / b.number);
        case Op::Modulo: return XValue::Num(b.number == 0 ? 0 : a.number - b.number * std::floor(a.number / b.number));
        case Op::Power: return XValue::Num(std::pow(a.number, b.number));
        default: return a;
      }
    }
    case Node::Kind::Call:
      break;
  }
  auto arg = [&](std::size_t i) { return Eval(*n.args[i], r); };
  auto count = [&](std::size_t i) { return static_cast<int>(Eval(*n.args[i], r).number); };
  switch (n.func) {
    case Func::Dtos: return XValue::Char(DtosFromJulian(arg(0).date));
    case Func::Dtoc: return XValue::Char(FormatDate(arg(0).date, settings));
    case Func::Deleted: return XValue::Bool(r.bytes[0] == DbfTable::kDeletedFlag);
    case Func::Upper: {
      std::string s = arg(0).text;
      for (char& c : s) c = UpperCp1252(c);
      return XValue::Char(std::move(s));
    }
    case Func::Lower: {
      std::string s = arg(0).text;
      for (char& c : s) c = LowerCp1252(c);
      return XValue::Char(std::move(s));
    }
    case Func::Trim: return XValue::Char(std::string(TrimRight(arg(0).text)));
    case Func::Ltrim: return XValue::Char(std::string(TrimLeft(arg(0).text)));
    case Func::Alltrim: return XValue::Char(std::string(TrimLeft(TrimRight(arg(0).text))));
    case Func::Left: {
      const std::string s = arg(0).text;
      return XValue::Char(s.substr(0, static_cast<std::size_t>(std::clamp(count(1), 0, static_cast<int>(s.size())))));
    }
    case Func::Right: {
      const std::string s = arg(0).text;
      const auto k = static_cast<std::size_t>(std::clamp(count(1), 0, static_cast<int>(s.size())));
      return XValue::Char(s.substr(s.size() - k));
    }
    case Func::Substr: {
      const std::string s = arg(0).text;
      const int start = std::max(1, count(1));
      if (start > static_cast<int>(s.size())) return XValue::Char("");
      const int length = n.args.size() == 3 ? std::max(0, count(2)) : static_cast<int>(s.size());
      return XValue::Char(s.substr(static_cast<std::size_t>(start - 1), static_cast<std::size_t>(length)));
    }
    case Func::Padr: case Func::Padl: {
      std::string s = arg(0).text;
      const auto width = static_cast<std::size_t>(std::clamp(count(1), 0, 65535));
      if (s.size() >= width) return XValue::Char(s.substr(0, width));
      const std::string pad(width - s.size(), ' ');
      return XValue::Char(n.func == Func::Padr ? s + pad : pad + s);
    }
    case Func::Str: {
      const int width = n.args.size() >= 2 ? std::clamp(count(1), 1, 255) : 10;
      const int decimals = n.args.size() == 3 ? std::clamp(count(2), 0, std::max(0, width - 2)) : 0;
      return XValue::Char(FormatNumber(arg(0).number, width, decimals));
    }
    case Func::Space: return XValue::Char(std::string(static_cast<std::size_t>(std::clamp(count(0), 0, 65535)), ' '));
    case Func::Val: return XValue::Num(ParseLeadingDecimal(arg(0).text));
    case Func::Len: return XValue::Num(static_cast<double>(arg(0).text.size()));
    case Func::Ctod: return XValue::Day(ParseDate(arg(0).text, settings));
    case Func::Date: return XValue::Day(TodayJulian());
    case Func::Recno: return XValue::Num(r.recno);
    case Func::Iif: return arg(0).logical ? arg(1) : arg(2);
    case Func::Empty: {
      const XValue v = arg(0);
      switch (v.type) {
        case XType::Character: return XValue::Bool(TrimRight(v.text).empty());
        case XType::Numeric: return XValue::Bool(v.number == 0);
        case XType::Date: return XValue::Bool(v.date == 0);
        case XType::Logical: return XValue::Bool(!v.logical);
      }
      return XValue::Bool(false);
    }
    case Func::Year: case Func::Month: case Func::Day: {
      const std::int32_t jd = arg(0).date;
      if (jd <= 0) return XValue::Num(0);
      const CivilDate d = CivilFromJulian(jd);
      return XValue::Num(n.func == Func::Year ? d.year : n.func == Func::Month ? d.month : d.day);
    }
    case Func::Abs: return XValue::Num(std::fabs(arg(0).number));
    case Func::Int: return XValue::Num(std::trunc(arg(0).number));
  }
  return XValue{};
}

}  // namespace tv
