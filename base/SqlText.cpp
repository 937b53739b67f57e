#include "base/SqlText.h"

#include "base/Text.h"

namespace bakwyn {

std::string DoubledQuotes(std::string_view text, char quote) {
  std::string out;
  out.reserve(text.size() + 2);
  for (const char c : text) {
    out += c;
    if (c == quote) out += quote;
  }
  return out;
}

std::string SqlTextLiteral(std::string_view text) { return "N'" + DoubledQuotes(text, '\'') + "'"; }

std::string SqlNameLiteral(std::string_view name) { return "[" + DoubledQuotes(name, ']') + "]"; }

std::string EscapeSqlQuotes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '"') {
      out += "'+CHAR(34)+'";
    } else if (c == '\'') {
      out += "'+CHAR(39)+'";
    } else {
      out += c;
    }
  }
  return out;
}

std::string QuoteSqlText(std::string_view text) {
  const std::string escaped = EscapeSqlQuotes(TrimControl(text));
  std::string quoted;
  quoted.reserve(escaped.size() + 2);
  quoted += '\'';
  quoted += escaped;
  quoted += '\'';
  return quoted;
}

}  // namespace bakwyn
