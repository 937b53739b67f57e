#pragma once
// The connection string for the server session, built so that every value
// reaches the driver exactly as typed, and the choice among installed drivers.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bakwyn {

// The drivers we can talk to, best first.
extern const std::vector<std::string_view> kPreferredDrivers;

// The first of kPreferredDrivers that is installed (names compare without regard
// to ASCII case, as the driver manager does); the installed spelling is returned.
std::optional<std::string> ChooseDriver(const std::vector<std::string>& installed);

// One value by the ODBC rules: enclosed in braces, with each '}' doubled, when it
// holds ; { } = or starts or ends with a blank; otherwise as it is (empty stays empty).
std::string QuoteOdbcValue(std::string_view value);

// One value as FreeTDS 1.3 reads it: a bare value runs to the next ';' and keeps
// its blanks, '}' and '='; a braced one runs to the first "};" and a doubled '}'
// stays doubled. So braces only for ';' or a leading '{', and never doubling.
// A value holding "};" cannot be written at all: std::nullopt.
std::optional<std::string> QuoteFreeTdsValue(std::string_view value);

// A server name as typed: the computer, optionally followed by "\" and an
// instance name ("OFFICE1\SQLEXPRESS"). The first "\" separates them, as the
// drivers read it; an instance name cannot hold a "\" itself, so anything after
// that stays part of the (then unknown) instance. Nothing after the "\"
// ("OFFICE1\") means the default instance, the same as the bare computer name.
struct ServerName {
  std::string computer;
  std::string instance;  // empty: the default instance
};
ServerName SplitServerName(std::string_view server);

// DRIVER, SERVER, UID, PWD and DATABASE=master: SQL Server authentication with the
// given login. Driver 18 encrypts by default and would reject a self-signed
// certificate, so it gets TrustServerCertificate=yes. SERVER is "COMPUTER\INSTANCE"
// for a named instance and the bare computer name for the default one (a trailing
// "\" is dropped). FreeTDS needs a port for the default instance (1433) because
// SERVER= alone does not consult its configuration; for a named instance it gets
// none, so that it asks the SQL Server Browser (UDP 1434) for the instance's port.
// Throws ServerError when a value cannot reach this driver unchanged.
std::string BuildConnectionString(std::string_view user, std::string_view password, std::string_view server,
                                  std::string_view driver);

}  // namespace bakwyn
