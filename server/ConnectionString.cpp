#include "server/ConnectionString.h"

#include <algorithm>

#include "base/Text.h"
#include "server/ServerSession.h"

namespace bakwyn {
namespace {

std::string Braced(std::string_view value) {
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  out += '}';
  return out;
}

// Drivers trim blanks (and some, control characters) around a bare value.
bool Padded(std::string_view value) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  return !value.empty() && (blank(value.front()) || blank(value.back()));
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
  return special || Padded(value) ? Braced(value) : std::string(value);
}

std::optional<std::string> QuoteFreeTdsValue(std::string_view value) {
  if (value.find(';') == std::string_view::npos && !value.starts_with('{')) return std::string(value);
  if (value.find("};") != std::string_view::npos) return std::nullopt;
  return "{" + std::string(value) + "}";
}

std::string BuildConnectionString(std::string_view user, std::string_view password, std::string_view server,
                                  std::string_view driver) {
  const bool freeTds = EqualsIgnoringAsciiCase(driver, "FreeTDS");
  auto quote = [&](std::string_view what, std::string_view value) {
    if (!freeTds) return QuoteOdbcValue(value);
    std::optional<std::string> quoted = QuoteFreeTdsValue(value);
    if (!quoted) {
      throw ServerError("The " + std::string(what) + " contains \"};\", which the FreeTDS driver cannot be given", {});
    }
    return *quoted;
  };
  // The driver name always goes in braces, as drivers are conventionally named.
  std::string out = "DRIVER=" + Braced(driver) + ";SERVER=" + quote("server name", server) + ";";
  if (freeTds) out += "Port=1433;";
  out += "UID=" + quote("user name", user) + ";PWD=" + quote("password", password) + ";DATABASE=master;";
  if (EqualsIgnoringAsciiCase(driver, "ODBC Driver 18 for SQL Server")) out += "TrustServerCertificate=yes;";
  return out;
}

}  // namespace bakwyn
