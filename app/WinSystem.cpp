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

std::string SystemMessage(unsigned long code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = length ? std::wstring(text, length) : L"";
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
    message.pop_back();
  if (message.empty()) return "error " + std::to_string(code);
  return FromWide(message);
}

}  // namespace bakwyn::app
