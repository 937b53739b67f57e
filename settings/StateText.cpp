#include "settings/StateText.h"

#include <charconv>
#include <cmath>
#include <system_error>

#include "base/Text.h"

namespace bakwyn::settings {
namespace {

// A decimal number: sign, digits with an optional fraction, optional exponent.
// from_chars alone would accept "inf", "nan" and hexadecimal forms.
bool IsDecimalNumber(std::string_view text) {
  size_t i = 0;
  auto digits = [&] {
    const size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i - start;
  };
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t mantissa = digits();
  if (i < text.size() && text[i] == '.') {
    ++i;
    mantissa += digits();
  }
  if (mantissa == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == text.size();
}

}  // namespace

std::string FormatGeneralNumber(double value) {
  if (!std::isfinite(value)) return std::isnan(value) ? "NAN" : (value > 0 ? "INF" : "-INF");
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  if (ec != std::errc()) return "0";
  std::string text(buffer, end);
  if (text == "-0") return "0";
  // "1e+20" is written "1E20", "1e-07" "1E-7".
  const size_t e = text.find('e');
  if (e != std::string::npos) {
    std::string exponent = text.substr(e + 1);
    std::string sign;
    if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
      if (exponent[0] == '-') sign = "-";
      exponent.erase(0, 1);
    }
    exponent.erase(0, std::min(exponent.find_first_not_of('0'), exponent.size() - 1));
    text = text.substr(0, e) + "E" + sign + exponent;
  }
  return text;
}

int ParseInteger(std::string_view text) {
  // from_chars takes a "-" but not a "+"; a stored "+5" is still 5.
  std::string_view digits = text;
  if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
  int value = 0;
  const char* last = digits.data() + digits.size();
  auto [end, ec] = std::from_chars(digits.data(), last, value);
  const bool doubleSign = digits.size() < text.size() && !digits.empty() && digits[0] == '-';
  if (digits.empty() || doubleSign || ec != std::errc() || end != last) {
    throw ConversionError("'" + std::string(text) + "' is not a valid integer value");
  }
  return value;
}

std::optional<double> ParseDecimal(std::string_view text) {
  if (!IsDecimalNumber(text)) return std::nullopt;
  const bool negative = text[0] == '-';
  double number = 0;
  auto [end, ec] = std::from_chars(text.data() + (text[0] == '+' || negative ? 1 : 0), text.data() + text.size(), number);
  if (ec == std::errc::result_out_of_range) {
    // Beyond any double, or so small that it is zero.
    const std::string_view digits = text.substr(0, text.find_first_of("eE"));
    const bool tiny = text.find("e-") != std::string_view::npos || text.find("E-") != std::string_view::npos;
    number = tiny || digits.find_first_not_of("+-0.") == std::string_view::npos ? 0.0 : HUGE_VAL;
  } else if (ec != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return negative ? -number : number;
}

bool ParseBoolean(std::string_view text) {
  if (IsDecimalNumber(text)) {
    double number = 0;
    auto [end, ec] = std::from_chars(text.data() + (text[0] == '+' ? 1 : 0), text.data() + text.size(), number);
    // A number too large for a double is still not zero.
    if (ec == std::errc::result_out_of_range) return true;
    if (ec == std::errc() && end == text.data() + text.size()) return number != 0;
  }
  if (EqualsIgnoringAsciiCase(text, "true")) return true;
  if (EqualsIgnoringAsciiCase(text, "false")) return false;
  throw ConversionError("'" + std::string(text) + "' is not a valid boolean value");
}

}  // namespace bakwyn::settings
