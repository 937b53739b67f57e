#include "app/EventLog.h"

#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "base/SystemMessage.h"
#include "base/Text.h"
#include "base/WinHandles.h"

namespace bakwyn::app {
namespace {

// A fixed path under HKLM\SYSTEM, which only the system and administrators can
// change: nothing in it comes from anywhere else.
constexpr wchar_t kSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Bakwyn";

WORD EventLogType(EventType type) {
  switch (type) {
    case EventType::error:
      return EVENTLOG_ERROR_TYPE;
    case EventType::warning:
      return EVENTLOG_WARNING_TYPE;
    case EventType::information:
      break;
  }
  return EVENTLOG_INFORMATION_TYPE;
}

std::wstring EventString(std::string_view utf8) {
  std::wstring text = ToWide(utf8);
  if (text.size() <= kMaxEventStringLength) return text;
  std::size_t keep = kMaxEventStringLength - 1;
  // Half of a character outside the BMP would show as a broken one.
  if (IS_HIGH_SURROGATE(text[keep - 1])) --keep;
  text.resize(keep);
  text += L'\u2026';
  return text;
}

// A registry value as it is stored: its type and its bytes.
struct RegistryValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
  bool operator==(const RegistryValue&) const = default;
};

RegistryValue StringValue(DWORD type, const std::wstring& text) {
  const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
  return {type, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t))};
}

RegistryValue DwordValue(DWORD number) {
  RegistryValue value{REG_DWORD, std::vector<BYTE>(sizeof number)};
  std::memcpy(value.data.data(), &number, sizeof number);
  return value;
}

// nullopt when the value cannot be read (there is none).
std::optional<RegistryValue> ReadValue(HKEY key, const wchar_t* name) {
  RegistryValue value;
  DWORD size = 0;
  LSTATUS status = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
  // The value may grow between the two calls.
  while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
    value.data.resize(size);
    status = RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size);
    if (status == ERROR_SUCCESS) {
      value.data.resize(size);
      return value;
    }
  }
  return std::nullopt;
}

}  // namespace

WindowsEventSink::WindowsEventSink(EventLogApi api) : api_(std::move(api)) {}

WindowsEventSink::~WindowsEventSink() {
  if (!source_) return;
  try {
    api_.deregisterSource(source_);
  } catch (...) {
    // Only a test's recorder can throw here; the handle dies with the process.
  }
}

HANDLE WindowsEventSink::source() {
  std::lock_guard lock(mutex_);
  if (!source_) source_ = api_.registerSource(nullptr, std::wstring(kEventSource).c_str());
  return source_;
}

void WindowsEventSink::report(const Event& event) noexcept {
  try {
    HANDLE log = source();
    if (!log) return;
    const EventInfo& info = InfoOf(event.id);
    std::vector<std::wstring> strings(info.strings);
    for (std::size_t i = 0; i < strings.size() && i < event.strings.size(); ++i) {
      strings[i] = EventString(event.strings[i]);
    }
    std::vector<LPCWSTR> pointers;
    for (const std::wstring& text : strings) pointers.push_back(text.c_str());
    // The strings go in as inserts only: whatever they hold ("%1", "%n") is
    // shown as it is, never read as message text.
    api_.report(log, EventLogType(info.type), 0, static_cast<DWORD>(event.id), nullptr,
                static_cast<WORD>(pointers.size()), 0, pointers.empty() ? nullptr : pointers.data(), nullptr);
  } catch (...) {
    // Out of memory: this event is lost, the backup goes on.
  }
}

bool InstallEventSource(const std::wstring& exePath, std::string* error) {
  if (exePath.empty()) {
    if (error) *error = SystemMessage(ERROR_INVALID_PARAMETER);
    return false;
  }
  struct Wanted {
    const wchar_t* name;
    RegistryValue value;
  };
  const Wanted wanted[] = {
      // Expandable, as the Event Viewer expects of this value.
      {L"EventMessageFile", StringValue(REG_EXPAND_SZ, exePath)},
      {L"TypesSupported", DwordValue(EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE)},
  };

  // Read first, with rights every user has: an administrator's every save, and
  // a normal user's start after it, find the values as they should be and
  // write nothing.
  std::vector<const Wanted*> differing;
  {
    UniqueHkey key;
    const bool exists =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) == ERROR_SUCCESS;
    for (const Wanted& item : wanted) {
      if (!exists || ReadValue(key.get(), item.name) != item.value) differing.push_back(&item);
    }
  }
  if (differing.empty()) return true;

  UniqueHkey key;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
  for (const Wanted* item : differing) {
    if (status != ERROR_SUCCESS) break;
    status = RegSetValueExW(key.get(), item->name, 0, item->value.type, item->value.data.data(),
                            static_cast<DWORD>(item->value.data.size()));
  }
  if (status == ERROR_SUCCESS) return true;
  if (error) *error = SystemMessage(static_cast<unsigned long>(status));
  return false;
}

bool RemoveEventSource(std::string* error) {
  const LSTATUS status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSourceKey, KEY_WOW64_64KEY, 0);
  if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) return true;
  if (error) *error = SystemMessage(static_cast<unsigned long>(status));
  return false;
}

}  // namespace bakwyn::app
