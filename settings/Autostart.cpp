#include "settings/Autostart.h"

namespace bakwyn::settings {

void WriteRunValue(Registry& registry, const std::string& name, const std::string& command) {
  auto key = registry.open(std::string(RunKey), Access::Write);
  // Without the key the value cannot be set either; say so in the same words.
  if (!key) throw RegistryError("Failed to set data for '" + name + "'");
  key->writeString(name, command);
}

}  // namespace bakwyn::settings
