#include "settings/Autostart.h"

namespace bakwyn::settings {

void WriteRunValue(Registry& registry, const std::string& name, const std::string& command) {
  auto key = registry.open(std::string(RunKey), Access::Write);
  // Without the key the value cannot be set either; say so in the same words.
  if (!key) throw RegistryError("Failed to set data for '" + name + "'");
  key->writeString(name, command);
}

std::string RunCommand(const std::string& programPath) { return "\"" + programPath + "\""; }

bool EnsureRunValue(Registry& registry, const std::string& name, const std::string& command) {
  if (auto key = registry.open(std::string(RunKey), Access::Read)) {
    try {
      if (key->readString(name) == command) return false;
    } catch (const RegistryError&) {
      // A value of another type is replaced like a wrong one.
    }
  }
  WriteRunValue(registry, name, command);
  return true;
}

}  // namespace bakwyn::settings
