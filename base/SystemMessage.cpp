#include "base/SystemMessage.h"

#include <windows.h>

#include "base/Text.h"
#include "base/WinHandles.h"

namespace bakwyn {

std::string SystemMessage(unsigned long code) {
  UniqueAny<LocalMemoryTraits<wchar_t*>> text;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(text.put()), 0, nullptr);
  std::wstring message(text ? text.get() : L"", text ? length : 0);
  while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' ')) {
    message.pop_back();
  }
  if (message.empty()) return "error " + std::to_string(code);
  return FromWide(message);
}

}  // namespace bakwyn
