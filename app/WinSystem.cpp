#include "app/WinSystem.h"

#include <windows.h>

#include <iterator>

#include "base/Text.h"

namespace bakwyn::app {

std::string ComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 256] = {};
  DWORD size = static_cast<DWORD>(std::size(name));
  if (!GetComputerNameW(name, &size)) return {};
  return FromWide(name);
}

std::string ProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD got = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (got == 0) return {};
    // A path that filled the buffer may have been cut: try a larger one.
    if (got < path.size()) {
      path.resize(got);
      return FromWide(path);
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace bakwyn::app
