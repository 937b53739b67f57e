#pragma once
// The texts of stored control states: numbers and check states as they are
// written to and read from the registry.
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace bakwyn::settings {

// A stored text that cannot be read as what it should be: the message names
// the text, e.g. "'abc' is not a valid integer value".
class ConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// General number format: up to 15 significant digits, no trailing zeros, a
// "." only when there is a fraction ("3", "2.5", "-1E20"), whatever the locale.
std::string FormatGeneralNumber(double value);

// Decimal integer with an optional sign and nothing else; ConversionError for
// any other text or one outside int.
int ParseInteger(std::string_view text);

// A number in decimal notation (sign, digits, an optional fraction and
// exponent: "9999999999", "1E20", "2.5") as a double, which may be infinite
// for one beyond any double; nothing for any other text ("abc", "inf", "0x10").
std::optional<double> ParseDecimal(std::string_view text);

// "0" (any number equal to zero) is false, any other number true; "True" and
// "False" in any letter case; ConversionError for everything else.
bool ParseBoolean(std::string_view text);

// How a check state is stored: "-1" for checked, "0" for unchecked.
inline std::string FormatBoolean(bool value) { return value ? "-1" : "0"; }

}  // namespace bakwyn::settings
