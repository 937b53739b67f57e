#include "base/SqlText.h"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <ostream>
#include <string>

#include "base/Text.h"

namespace bakwyn {
namespace {

// Reads back what the server makes of a QuoteSqlText result: quoted literals
// ('' inside stands for one quote) joined by "+" with CHAR(n) calls.
std::optional<std::string> EvaluateConcatenation(const std::string& sql) {
  std::string value;
  size_t i = 0;
  while (true) {
    if (sql.compare(i, 5, "CHAR(") == 0) {
      i += 5;
      int code = 0;
      if (i >= sql.size() || !std::isdigit(static_cast<unsigned char>(sql[i]))) return std::nullopt;
      while (i < sql.size() && std::isdigit(static_cast<unsigned char>(sql[i]))) code = code * 10 + (sql[i++] - '0');
      if (i >= sql.size() || sql[i++] != ')') return std::nullopt;
      value += static_cast<char>(code);
    } else if (i < sql.size() && sql[i] == '\'') {
      ++i;
      while (true) {
        if (i >= sql.size()) return std::nullopt;  // unclosed literal
        if (sql[i] == '\'') {
          if (i + 1 < sql.size() && sql[i + 1] == '\'') {
            value += '\'';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        value += sql[i++];
      }
    } else {
      return std::nullopt;
    }
    if (i == sql.size()) return value;
    if (sql[i++] != '+') return std::nullopt;
  }
}

struct QuoteCase {
  const char* name;
  std::string text;
  std::string quoted;   // QuoteSqlText
  std::string escaped;  // EscapeSqlQuotes
};
void PrintTo(const QuoteCase& c, std::ostream* os) { *os << c.name; }


class QuoteSqlTextTest : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteSqlTextTest, QuotesEscapesAndReadsBack) {
  const QuoteCase& c = GetParam();
  EXPECT_EQ(QuoteSqlText(c.text), c.quoted);
  EXPECT_EQ(EscapeSqlQuotes(c.text), c.escaped);
  // Whatever the text, the literal means the trimmed text to the server.
  EXPECT_EQ(EvaluateConcatenation(QuoteSqlText(c.text)), TrimControl(c.text));
}

const std::string kLong = std::string(3000, 'x') + "'\"" + std::string(3000, 'y');

INSTANTIATE_TEST_SUITE_P(
    Texts, QuoteSqlTextTest,
    ::testing::Values(
        QuoteCase{"Plain", "shop", "'shop'", "shop"},
        QuoteCase{"Empty", "", "''", ""},
        QuoteCase{"SingleQuoteTrimmed", " O'Neil ", "'O'+CHAR(39)+'Neil'", " O'+CHAR(39)+'Neil "},
        QuoteCase{"DoubleQuotes", "say \"hi\"", "'say '+CHAR(34)+'hi'+CHAR(34)+''", "say '+CHAR(34)+'hi'+CHAR(34)+'"},
        QuoteCase{"OnlyQuote", "'", "''+CHAR(39)+''", "'+CHAR(39)+'"},
        QuoteCase{"ControlCharsTrimmedNotInside", "\t\r\n a\x01" "b \x1f", "'a\x01" "b'", "\t\r\n a\x01" "b \x1f"},
        QuoteCase{"OnlyBlanks", " \t ", "''", " \t "},
        QuoteCase{"BracketsSemicolonsBraces", "a]b[c;d{e}--", "'a]b[c;d{e}--'", "a]b[c;d{e}--"},
        QuoteCase{"Chinese", "Vorda软件Bakwyn", "'Vorda软件Bakwyn'", "Vorda软件Bakwyn"},
        QuoteCase{"ChineseWithQuote", "数据'库", "'数据'+CHAR(39)+'库'", "数据'+CHAR(39)+'库"},
        QuoteCase{"Long", kLong, "'" + std::string(3000, 'x') + "'+CHAR(39)+''+CHAR(34)+'" + std::string(3000, 'y') + "'",
                  std::string(3000, 'x') + "'+CHAR(39)+''+CHAR(34)+'" + std::string(3000, 'y')}),
    [](const ::testing::TestParamInfo<QuoteCase>& info) { return std::string(info.param.name); });

// The literal and the bracketed name as the server reads them: "''" and "]]"
// stand for one quote and one bracket, and the first lone one ends the text.
std::optional<std::string> ReadEnclosed(const std::string& sql, const std::string& open, char close) {
  if (sql.compare(0, open.size(), open) != 0) return std::nullopt;
  std::string value;
  for (size_t i = open.size(); i < sql.size(); ++i) {
    if (sql[i] != close) {
      value += sql[i];
    } else if (i + 1 < sql.size() && sql[i + 1] == close) {
      value += sql[++i];
    } else {
      if (i + 1 != sql.size()) return std::nullopt;  // text after the end
      return value;
    }
  }
  return std::nullopt;  // never closed
}

struct LiteralCase {
  const char* name;
  std::string text;
  std::string literal;    // SqlTextLiteral
  std::string bracketed;  // SqlNameLiteral
};
void PrintTo(const LiteralCase& c, std::ostream* os) { *os << c.name; }

class SqlLiteralTest : public ::testing::TestWithParam<LiteralCase> {};

TEST_P(SqlLiteralTest, EnclosesAndReadsBack) {
  const LiteralCase& c = GetParam();
  EXPECT_EQ(SqlTextLiteral(c.text), c.literal);
  EXPECT_EQ(SqlNameLiteral(c.text), c.bracketed);
  EXPECT_EQ(ReadEnclosed(SqlTextLiteral(c.text), "N'", '\''), c.text);
  EXPECT_EQ(ReadEnclosed(SqlNameLiteral(c.text), "[", ']'), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SqlLiteralTest,
    ::testing::Values(
        LiteralCase{"Plain", "shop", "N'shop'", "[shop]"},
        LiteralCase{"Empty", "", "N''", "[]"},
        LiteralCase{"OnlyQuote", "'", "N''''", "[']"},
        LiteralCase{"OnlyClosingBracket", "]", "N']'", "[]]]"},
        LiteralCase{"EndsStatementAndComments", "a'] ; DROP DATABASE x --", "N'a''] ; DROP DATABASE x --'",
                    "[a']] ; DROP DATABASE x --]"},
        LiteralCase{"BlanksAndControlsKept", " \tD:\\备 份\\\x01 ", "N' \tD:\\备 份\\\x01 '", "[ \tD:\\备 份\\\x01 ]"},
        LiteralCase{"DoubleQuotesAndBraces", "\"{x}\"", "N'\"{x}\"'", "[\"{x}\"]"},
        LiteralCase{"OutsideTheBmp", "库\xF0\x9F\x98\x80'", "N'库\xF0\x9F\x98\x80'''", "[库\xF0\x9F\x98\x80']"}),
    [](const ::testing::TestParamInfo<LiteralCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace bakwyn
