#pragma once
// The SQL Server instances installed on this computer, as SQL Server itself
// lists them in the registry, and the server name that reaches each.
#include <string>
#include <string_view>
#include <vector>

#include "settings/Registry.h"

namespace bakwyn::settings {

// Where SQL Server lists its instances: value name = instance name, data = the
// instance's own key below "Microsoft SQL Server" (e.g. "MSSQL16.SQLEXPRESS").
inline constexpr std::string_view kSqlServerKey = "SOFTWARE\\Microsoft\\Microsoft SQL Server";
inline constexpr std::string_view kSqlInstanceNamesKey =
    "SOFTWARE\\Microsoft\\Microsoft SQL Server\\Instance Names\\SQL";
// The default instance's name.
inline constexpr std::string_view kDefaultInstance = "MSSQLSERVER";

struct SqlInstance {
  std::string name;             // "MSSQLSERVER" for the default instance
  std::string key;              // e.g. "MSSQL16.SQLEXPRESS"; "" when it cannot be read
  std::string backupDirectory;  // the instance's BackupDirectory; "" when none is set
};

// Both views: a 64-bit SQL Server lists its instances in the 64-bit view, a
// 32-bit one on 64-bit Windows in the 32-bit view. An instance listed in both is
// taken once, from the 64-bit view (names compare without regard to ASCII case,
// as SQL Server's do). The default instance comes first, the rest by name.
// Never writes or creates a key; a missing list is no instance at all.
std::vector<SqlInstance> FindSqlInstances(Registry& view64, Registry& view32);

// The server name that reaches the instance on `computer`: the bare computer
// name for the default instance, "COMPUTER\NAME" for a named one.
std::string ServerFor(const std::string& computer, const SqlInstance& instance);

// The server name to offer in the server field. The program always reaches this
// computer, so the field's computer part gives way to `computer`; an instance the
// field names is kept (blanks around it dropped; "MSSQLSERVER" is the bare name). When the field names none
// (blank, a bare computer name, or "COMPUTER\") and the only instance on the
// computer is a named one, that instance is chosen; otherwise the computer name
// alone, which is the default instance.
std::string DefaultServer(const std::string& computer, const std::vector<SqlInstance>& instances,
                          const std::string& fieldText);

}  // namespace bakwyn::settings
