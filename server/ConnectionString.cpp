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

ServerName SplitServerName(std::string_view server) {
  const std::size_t separator = server.find('\\');
  if (separator == std::string_view::npos) return {std::string(server), {}};
  return {std::string(server.substr(0, separator)), std::string(server.substr(separator + 1))};
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
  const ServerName name = SplitServerName(server);
  const bool named = !name.instance.empty();
  const std::string target = named ? name.computer + "\\" + name.instance : name.computer;
  // The driver name always goes in braces, as drivers are conventionally named.
  std::string out = "DRIVER=" + Braced(driver) + ";SERVER=" + quote("server name", target) + ";";
  // With a port FreeTDS would connect there and never ask the Browser.
  if (freeTds && !named) out += "Port=1433;";
  out += "UID=" + quote("user name", user) + ";PWD=" + quote("password", password) + ";DATABASE=master;";
  if (EqualsIgnoringAsciiCase(driver, "ODBC Driver 18 for SQL Server")) out += "TrustServerCertificate=yes;";
  return out;
}

}  // namespace bakwyn
