#pragma once
// The Windows registry under HKEY_LOCAL_MACHINE, and the user's own (Windows only).
#include <memory>

#include "settings/Registry.h"

namespace bakwyn::settings {

enum class RegistryView {
  Native,
  // The 32-bit view (KEY_WOW64_32KEY): where the settings have always lived,
  // since earlier versions of the program were 32-bit. On 64-bit Windows its
  // keys are under Software\WOW6432Node.
  Wow64_32,
  // The 64-bit view (KEY_WOW64_64KEY), where a 64-bit SQL Server lists its
  // instances, whichever way this program was built.
  Wow64_64,
};

std::unique_ptr<Registry> MakeWindowsRegistry(RegistryView view);

// The same paths under HKEY_CURRENT_USER: what a program without the rights to
// the machine's keys keeps of its own run there (see app/BackupStatus.h).
std::unique_ptr<Registry> UserRegistry();

// The registry the program keeps its control states and its Run value in.
inline std::unique_ptr<Registry> MachineRegistry() { return MakeWindowsRegistry(RegistryView::Wow64_32); }

}  // namespace bakwyn::settings
