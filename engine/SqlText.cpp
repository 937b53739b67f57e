#include "engine/SqlText.h"

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
  return "'" + EscapeSqlQuotes(TrimControl(text)) + "'";
}

}  // namespace bakwyn
