#include "server/ConnectionString.h"

#include <algorithm>

namespace bakwyn {
namespace {

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) {
           return lower(x) == lower(y);
         });
}

std::string Braced(std::string_view value) {
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  out += '}';
  return out;
}

}  // namespace

const std::vector<std::string_view> kPreferredDrivers = {
    "ODBC Driver 18 for SQL Server", "ODBC Driver 17 for SQL Server", "SQL Server Native Client 11.0",
    "FreeTDS", "SQL Server"};

std::optional<std::string> ChooseDriver(const std::vector<std::string>& installed) {
  for (std::string_view wanted : kPreferredDrivers) {
    for (const std::string& name : installed) {
      if (EqualsIgnoringAsciiCase(name, wanted)) return name;
    }
  }
  return std::nullopt;
}

std::string QuoteOdbcValue(std::string_view value) {
  const bool special = value.find_first_of(";{}=") != std::string_view::npos;
  // Drivers trim blanks (and some, control characters) around a bare value.
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  const bool padded = !value.empty() && (blank(value.front()) || blank(value.back()));
  return special || padded ? Braced(value) : std::string(value);
}

std::string BuildConnectionString(std::string_view user, std::string_view password, std::string_view server,
                                  std::string_view driver) {
  // The driver name always goes in braces, as drivers are conventionally named.
  std::string out = "DRIVER=" + Braced(driver) + ";SERVER=" + QuoteOdbcValue(server) + ";";
  if (EqualsIgnoringAsciiCase(driver, "FreeTDS")) out += "Port=1433;";
  out += "UID=" + QuoteOdbcValue(user) + ";PWD=" + QuoteOdbcValue(password) + ";DATABASE=master;";
  if (EqualsIgnoringAsciiCase(driver, "ODBC Driver 18 for SQL Server")) out += "TrustServerCertificate=yes;";
  return out;
}

}  // namespace bakwyn
