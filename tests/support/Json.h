#pragma once
// Just enough JSON for the stand-in server's control lines: parse any value,
// quote a string. Numbers are doubles; object keys keep their order.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bakwyn::test {

class Json {
 public:
  enum class Kind { Null, Bool, Number, String, Array, Object };

  // Throws std::runtime_error on malformed text.
  static Json parse(std::string_view text);

  Kind kind() const { return kind_; }
  bool isNull() const { return kind_ == Kind::Null; }
  bool boolean() const { return kind_ == Kind::Bool && bool_; }
  double number() const { return number_; }
  const std::string& string() const { return string_; }
  const std::vector<Json>& items() const { return items_; }
  const std::vector<std::pair<std::string, Json>>& members() const { return members_; }
  // A member, or null when there is none.
  const Json& operator[](std::string_view key) const;

 private:
  friend class JsonParser;
  Kind kind_ = Kind::Null;
  bool bool_ = false;
  double number_ = 0;
  std::string string_;
  std::vector<Json> items_;
  std::vector<std::pair<std::string, Json>> members_;
};

// A JSON string literal for UTF-8 text (control characters as \u00XX).
std::string JsonQuote(std::string_view text);

}  // namespace bakwyn::test
