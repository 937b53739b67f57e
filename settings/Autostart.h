#pragma once
// The value under HKEY_LOCAL_MACHINE's Run key that starts a program at log-on.
// Written through the same Registry as the control states, so both land in the
// same registry view.
#include <string>
#include <string_view>

#include "settings/Registry.h"

namespace bakwyn::settings {

inline constexpr std::string_view RunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

// Creates the Run key if needed and sets `name` to `command`. RegistryError
// "Failed to set data for 'name'" when the key cannot be opened or the value
// cannot be written.
void WriteRunValue(Registry& registry, const std::string& name, const std::string& command);

// The command that starts `programPath`: the path in double quotes, so that a
// path with blanks ("C:\Program Files\...") cannot be read as "C:\Program"
// followed by arguments.
std::string RunCommand(const std::string& programPath);

// Reads the value first and writes it only when it is missing or differs, so
// that a user without write access to HKEY_LOCAL_MACHINE starts without an
// error once an administrator has registered the program. True when written;
// RegistryError as WriteRunValue when it had to be written and could not.
bool EnsureRunValue(Registry& registry, const std::string& name, const std::string& command);

}  // namespace bakwyn::settings
