// xBase expressions: values, operators, functions, settings, and clear
// errors with their positions.
#include <gtest/gtest.h>

#include "store/xbase_date.h"
#include "store/xbase_error.h"
#include "store/xbase_expression.h"

namespace tv {
namespace {

class ExpressionTest : public ::testing::Test {
 protected:
  ExpressionTest() {
    fields_ = {{"NAME", 'C', 10, 0, 1}, {"BORN", 'D', 8, 0, 11}, {"QTY", 'N', 6, 2, 19}, {"OK", 'L', 1, 0, 25},
               {"EMPTYD", 'D', 8, 0, 26}};
    record_ = " Bob Smith 19900115 12.50T        ";
  }
  XValue Eval(const std::string& text) {
    return Expression::Compile(text, fields_)->Evaluate(XRecord{record_.data(), 7, &settings_});
  }
  std::string Text(const std::string& text) { return Eval(text).text; }
  double Number(const std::string& text) { return Eval(text).number; }
  bool Logical(const std::string& text) {
    const XValue v = Eval(text);
    EXPECT_EQ(v.type, XType::Logical) << text;
    return v.logical;
  }
  std::string Error(const std::string& text) {
    try {
      Expression::Compile(text, fields_);
    } catch (const XbaseError& e) {
      EXPECT_EQ(e.Code(), xbBadExpression);
      return e.what();
    }
    return "compiled";
  }

  std::vector<DbfField> fields_;
  std::string record_;
  XSettings settings_;
};

TEST_F(ExpressionTest, FieldsReadInAnyLetterCaseAsTheirTypes) {
  EXPECT_EQ(Text("name"), "Bob Smith ");
  EXPECT_EQ(Eval("Born").date, JulianDay({1990, 1, 15}));
  EXPECT_DOUBLE_EQ(Number("qty"), 12.5);
  EXPECT_TRUE(Logical("ok"));
  EXPECT_EQ(Eval("EMPTYD").date, 0);
}

TEST_F(ExpressionTest, StringOperatorsAndComparisons) {
  EXPECT_EQ(Text("NAME + 'x'"), "Bob Smith x");
  EXPECT_EQ(Text("NAME - 'x'"), "Bob Smithx ");  // trailing blanks move to the end
  EXPECT_TRUE(Logical("NAME = 'Bob'"));           // EXACT off: the right side begins the left
  EXPECT_FALSE(Logical("NAME == 'Bob'"));
  EXPECT_TRUE(Logical("NAME == 'Bob Smith '"));
  EXPECT_TRUE(Logical("'Smith' $ NAME"));
  EXPECT_TRUE(Logical("NAME <> 'Al' .and. NAME # 'Al' .AND. NAME != 'Al'"));
  EXPECT_TRUE(Logical("NAME > 'Ann' .and. NAME < 'Bz' .and. NAME >= 'Bob Smith' .and. NAME <= 'Bob Smith'"));
  settings_.exact = true;
  EXPECT_FALSE(Logical("NAME = 'Bob'"));
  EXPECT_TRUE(Logical("NAME = 'Bob Smith'"));  // trailing blanks do not count
}

TEST_F(ExpressionTest, LogicalNumericAndDateOperators) {
  EXPECT_TRUE(Logical(".not. .F. .and. (.T. .or. .F.)"));
  EXPECT_FALSE(Logical("!OK"));
  EXPECT_TRUE(Logical("OK .OR. 1/0 > 1"));  // stops early
  EXPECT_DOUBLE_EQ(Number("QTY * 2 - 5 / 2 + 10 % 3"), 23.5);
  EXPECT_DOUBLE_EQ(Number("-QTY + 2 ^ 3"), -4.5);
  EXPECT_DOUBLE_EQ(Number("1/0"), 0);
  EXPECT_EQ(Eval("BORN + 17").date, JulianDay({1990, 2, 1}));
  EXPECT_DOUBLE_EQ(Number("{^2000-01-01} - BORN"), JulianDay({2000, 1, 1}) - JulianDay({1990, 1, 15}));
  EXPECT_TRUE(Logical("BORN < {01/16/1990} .and. BORN > {}"));
}

TEST_F(ExpressionTest, Functions) {
  EXPECT_EQ(Text("DTOS(BORN)"), "19900115");
  EXPECT_EQ(Text("DTOS(EMPTYD)"), "        ");
  EXPECT_EQ(Text("UPPER(NAME)"), "BOB SMITH ");
  EXPECT_EQ(Text("LOWER(NAME)"), "bob smith ");
  EXPECT_EQ(Text("TRIM(NAME) + '|'"), "Bob Smith|");
  EXPECT_EQ(Text("RTRIM(NAME) + '|'"), "Bob Smith|");
  EXPECT_EQ(Text("LTRIM('  a ')"), "a ");
  EXPECT_EQ(Text("ALLTRIM('  a ')"), "a");
  EXPECT_EQ(Text("LEFT(NAME, 3)"), "Bob");
  EXPECT_EQ(Text("RIGHT(TRIM(NAME), 5)"), "Smith");
  EXPECT_EQ(Text("SUBSTR(NAME, 5, 3)"), "Smi");
  EXPECT_EQ(Text("SUBSTR(NAME, 5)"), "Smith ");
  EXPECT_EQ(Text("STR(QTY)"), "        12");
  EXPECT_EQ(Text("STR(QTY, 8, 2)"), "   12.50");
  EXPECT_EQ(Text("STR(123456, 3)"), "***");
  EXPECT_DOUBLE_EQ(Number("VAL(' 42.5abc')"), 42.5);
  EXPECT_EQ(Eval("CTOD('02/29/2024')").date, JulianDay({2024, 2, 29}));
  EXPECT_EQ(Eval("CTOD('02/30/2024')").date, 0);
  EXPECT_EQ(Text("DTOC(BORN)"), "01/15/90");
  EXPECT_EQ(Eval("DATE()").date, TodayJulian());
  EXPECT_TRUE(Logical("EMPTY(EMPTYD) .and. !EMPTY(NAME) .and. EMPTY('   ') .and. EMPTY(0) .and. EMPTY(.F.)"));
  EXPECT_DOUBLE_EQ(Number("RECNO()"), 7);
  EXPECT_EQ(Text("IIF(OK, 'yes', 'no')"), "yes");
  EXPECT_DOUBLE_EQ(Number("LEN(NAME) + LEN(TRIM(NAME))"), 19);
  EXPECT_FALSE(Logical("DELETED()"));
  record_[0] = '*';
  EXPECT_TRUE(Logical("DELETED()"));
  EXPECT_DOUBLE_EQ(Number("YEAR(BORN) * 10000 + MONTH(BORN) * 100 + DAY(BORN)"), 19900115);
}

TEST_F(ExpressionTest, DateSettingsShapeDtocAndCtod) {
  settings_.century = true;
  settings_.dateFormat = 4;  // German
  EXPECT_EQ(Text("DTOC(BORN)"), "15.01.1990");
  EXPECT_EQ(Eval("CTOD('29.02.2024')").date, JulianDay({2024, 2, 29}));
  EXPECT_EQ(Text("DTOC(EMPTYD)"), "  .  .    ");
  settings_.dateFormat = 1;  // ANSI
  EXPECT_EQ(Text("DTOC(BORN)"), "1990.01.15");
}

TEST_F(ExpressionTest, ResultWidthsGiveKeyLengths) {
  EXPECT_EQ(Expression::Compile("UPPER(NAME)", fields_)->Width(), 10);
  EXPECT_EQ(Expression::Compile("DTOS(BORN)+NAME", fields_)->Width(), 18);
  EXPECT_EQ(Expression::Compile("LEFT(NAME, 4)", fields_)->Width(), 4);
  EXPECT_EQ(Expression::Compile("SUBSTR(NAME, 3)", fields_)->Width(), 8);
  EXPECT_EQ(Expression::Compile("STR(QTY, 6, 2)", fields_)->Width(), 6);
  EXPECT_EQ(Expression::Compile("QTY", fields_)->Type(), XType::Numeric);
  EXPECT_EQ(Expression::Compile("BORN", fields_)->Type(), XType::Date);
}

TEST_F(ExpressionTest, ErrorsNameTheFaultAndItsPosition) {
  EXPECT_NE(Error("NAME = NOSUCH").find("unknown field 'NOSUCH' at position 8"), std::string::npos);
  EXPECT_NE(Error("FOO(NAME)").find("unknown function 'FOO' at position 1"), std::string::npos);
  EXPECT_NE(Error("UPPER(NAME, 2)").find("UPPER() takes 1 argument, not 2"), std::string::npos);
  EXPECT_NE(Error("NAME + 1").find("'+' cannot combine character and numeric at position 6"), std::string::npos);
  EXPECT_NE(Error("'abc").find("closing"), std::string::npos);
  EXPECT_NE(Error("(NAME").find("expected ')'"), std::string::npos);
  EXPECT_NE(Error("NAME = ").find("ends too early"), std::string::npos);
  EXPECT_NE(Error("").find("empty"), std::string::npos);
  EXPECT_NE(Error(".not. NAME").find("logical"), std::string::npos);
  EXPECT_NE(Error("NAME NAME").find("unexpected"), std::string::npos);
  EXPECT_NE(Error("{^2024-02-30}").find("invalid date"), std::string::npos);
  EXPECT_NE(Error("a .xor. b").find("position 3"), std::string::npos);
  EXPECT_NE(Error("IIF(OK, 1, 'a')").find("one type"), std::string::npos);
  EXPECT_NE(Error("NAME @ 1").find("unexpected character '@' at position 6"), std::string::npos);
  EXPECT_NE(Error(std::string(5000, '(')).find("nested too deeply"), std::string::npos);
  EXPECT_NE(Error(std::string(5000, '!') + ".T.").find("nested too deeply"), std::string::npos);
  EXPECT_FALSE(Logical(".not. .F. .and. .F."));  // .NOT. binds tighter than .AND.
}

}  // namespace
}  // namespace tv
