#include "tests/support/Json.h"

#include "base/Text.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace bakwyn::test {

class JsonParser {
 public:
  explicit JsonParser(std::string_view text) : text_(text) {}

  Json document() {
    Json value = parseValue();
    skipSpace();
    if (pos_ != text_.size()) fail("trailing text");
    return value;
  }

 private:
  [[noreturn]] void fail(const char* what) const {
    throw std::runtime_error(std::string("bad JSON (") + what + ") at " + std::to_string(pos_) + ": " +
                             std::string(text_.substr(0, 200)));
  }
  void skipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\r'))
      ++pos_;
  }
  bool consume(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }
  char peek() {
    skipSpace();
    if (pos_ >= text_.size()) fail("unexpected end");
    return text_[pos_];
  }

  Json parseValue() {
    Json value;
    const char c = peek();
    if (c == '{') {
      value.kind_ = Json::Kind::Object;
      ++pos_;
      if (peek() == '}') return ++pos_, value;
      for (;;) {
        if (peek() != '"') fail("key expected");
        std::string key = parseString();
        if (peek() != ':') fail("':' expected");
        ++pos_;
        value.members_.emplace_back(std::move(key), parseValue());
        const char next = peek();
        ++pos_;
        if (next == '}') return value;
        if (next != ',') fail("',' expected");
      }
    }
    if (c == '[') {
      value.kind_ = Json::Kind::Array;
      ++pos_;
      if (peek() == ']') return ++pos_, value;
      for (;;) {
        value.items_.push_back(parseValue());
        const char next = peek();
        ++pos_;
        if (next == ']') return value;
        if (next != ',') fail("',' expected");
      }
    }
    if (c == '"') {
      value.kind_ = Json::Kind::String;
      value.string_ = parseString();
      return value;
    }
    if (consume("true")) {
      value.kind_ = Json::Kind::Bool;
      value.bool_ = true;
      return value;
    }
    if (consume("false")) {
      value.kind_ = Json::Kind::Bool;
      return value;
    }
    if (consume("null")) return value;
    const std::string rest(text_.substr(pos_, 64));
    char* end = nullptr;
    value.number_ = std::strtod(rest.c_str(), &end);
    if (end == rest.c_str()) fail("value expected");
    value.kind_ = Json::Kind::Number;
    pos_ += static_cast<std::size_t>(end - rest.c_str());
    return value;
  }

  unsigned hex4() {
    if (pos_ + 4 > text_.size()) fail("short \\u escape");
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      const char h = text_[pos_++];
      v <<= 4;
      if (h >= '0' && h <= '9') v |= static_cast<unsigned>(h - '0');
      else if (h >= 'a' && h <= 'f') v |= static_cast<unsigned>(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F') v |= static_cast<unsigned>(h - 'A' + 10);
      else fail("bad hex digit");
    }
    return v;
  }

  std::string parseString() {
    ++pos_;  // the opening quote
    std::string out;
    for (;;) {
      if (pos_ >= text_.size()) fail("unterminated string");
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) fail("unterminated escape");
      const char e = text_[pos_++];
      switch (e) {
        case '"': case '\\': case '/': out += e; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          // \u escapes are UTF-16 code units; a surrogate pair comes as two of them.
          std::u16string units(1, static_cast<char16_t>(hex4()));
          if (units[0] >= 0xD800 && units[0] < 0xDC00 && consume("\\u")) units += static_cast<char16_t>(hex4());
          out += Utf16ToUtf8(units);
          break;
        }
        default: fail("bad escape");
      }
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

Json Json::parse(std::string_view text) { return JsonParser(text).document(); }

const Json& Json::operator[](std::string_view key) const {
  static const Json null;
  for (const auto& [name, value] : members_) {
    if (name == key) return value;
  }
  return null;
}

std::string JsonQuote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace bakwyn::test
