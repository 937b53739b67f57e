#pragma once
// Reads a connection string back the way a driver does, to check that what we
// build means exactly what we intended.
//  - Odbc: the documented rules (Windows driver manager, Microsoft's drivers):
//    a value in braces runs to the first '}' that is not doubled, "}}" stands for
//    '}'; blanks around a bare value are dropped.
//  - FreeTds13: FreeTDS 1.3's own reading: a braced value runs to the first "};"
//    (or to the end of the text), nothing is undoubled; bare values keep blanks.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bakwyn::test {

using KeyValues = std::vector<std::pair<std::string, std::string>>;

enum class Dialect { Odbc, FreeTds13 };

inline std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// std::nullopt when the text is malformed (a key without '=', an unclosed brace,
// text after a closing brace).
inline std::optional<KeyValues> ParseConnectionString(std::string_view text, Dialect dialect = Dialect::Odbc) {
  KeyValues out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t equals = text.find('=', pos);
    if (equals == std::string_view::npos) {
      if (TrimBlanks(text.substr(pos)).empty()) break;
      return std::nullopt;
    }
    std::string key(TrimBlanks(text.substr(pos, equals - pos)));
    if (key.find(';') != std::string::npos) return std::nullopt;
    pos = equals + 1;
    std::string value;
    if (pos < text.size() && text[pos] == '{' && dialect == Dialect::Odbc) {
      ++pos;
      for (;;) {
        if (pos >= text.size()) return std::nullopt;
        if (text[pos] == '}') {
          if (pos + 1 < text.size() && text[pos + 1] == '}') {
            value += '}';
            pos += 2;
            continue;
          }
          ++pos;
          break;
        }
        value += text[pos++];
      }
      if (pos < text.size() && text[pos] != ';') return std::nullopt;
    } else if (pos < text.size() && text[pos] == '{') {
      ++pos;
      std::size_t end = text.find("};", pos);
      if (end == std::string_view::npos) {
        value = std::string(text.substr(pos));
        pos = text.size();
      } else {
        value = std::string(text.substr(pos, end - pos));
        pos = end + 1;
      }
    } else {
      const std::size_t end = std::min(text.find(';', pos), text.size());
      const std::string_view bare = text.substr(pos, end - pos);
      value = std::string(dialect == Dialect::Odbc ? TrimBlanks(bare) : bare);
      pos = end;
    }
    out.emplace_back(std::move(key), std::move(value));
    if (pos < text.size()) ++pos;  // the ';'
  }
  return out;
}

}  // namespace bakwyn::test
