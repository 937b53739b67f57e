#include "base/SqlText.h"

#include "base/Text.h"

namespace bakwyn {

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
