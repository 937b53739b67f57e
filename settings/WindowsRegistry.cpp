#include "settings/WindowsRegistry.h"

#include <windows.h>

#include <vector>

#include "base/Text.h"
#include "base/WinHandles.h"

namespace bakwyn::settings {
namespace {

class WindowsKey : public RegistryKey {
 public:
  explicit WindowsKey(UniqueHkey key) : key_(std::move(key)) {}

  std::optional<std::string> readString(const std::string& name) override {
    const std::wstring wideName = ToWide(name);
    // The value may grow between the size query and the read: retry until the
    // buffer holds it.
    std::wstring buffer(64, L'\0');
    for (;;) {
      DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
      const LSTATUS status =
          RegGetValueW(key_.get(), nullptr, wideName.c_str(), RRF_RT_REG_SZ, nullptr, buffer.data(), &bytes);
      if (status == ERROR_SUCCESS) {
        // `bytes` counts the terminating null that RegGetValueW guarantees.
        size_t length = bytes / sizeof(wchar_t);
        while (length > 0 && buffer[length - 1] == L'\0') --length;
        return FromWide(std::wstring_view(buffer.data(), length));
      }
      if (status == ERROR_FILE_NOT_FOUND) return std::nullopt;
      if (status != ERROR_MORE_DATA) throw RegistryError("Invalid data type for '" + name + "'", status);
      buffer.assign(bytes / sizeof(wchar_t) + 1, L'\0');
    }
  }

  void writeString(const std::string& name, const std::string& data) override {
    const std::wstring wideData = ToWide(data);
    const auto bytes = static_cast<DWORD>((wideData.size() + 1) * sizeof(wchar_t));
    const LSTATUS status = RegSetValueExW(key_.get(), ToWide(name).c_str(), 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(wideData.c_str()), bytes);
    if (status != ERROR_SUCCESS) throw RegistryError("Failed to set data for '" + name + "'", status);
  }

  std::vector<std::string> valueNames() override {
    DWORD count = 0, longest = 0;
    LSTATUS status = RegQueryInfoKeyW(key_.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                                      &longest, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) throw RegistryError("Cannot list the values of a registry key", status);
    std::vector<std::string> names;
    std::vector<wchar_t> buffer(static_cast<size_t>(longest) + 1);
    for (DWORD index = 0;; ++index) {
      // The size counts characters and comes back without the terminating null.
      DWORD length = static_cast<DWORD>(buffer.size());
      status = RegEnumValueW(key_.get(), index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
      if (status == ERROR_NO_MORE_ITEMS) break;
      if (status == ERROR_MORE_DATA) {
        // A longer name was added since the size query: make room for the
        // longest a value name can be, and ask for this index again.
        buffer.assign(16384, L'\0');
        length = static_cast<DWORD>(buffer.size());
        status = RegEnumValueW(key_.get(), index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
      }
      if (status != ERROR_SUCCESS) throw RegistryError("Cannot list the values of a registry key", status);
      names.push_back(FromWide(std::wstring_view(buffer.data(), length)));
    }
    return names;
  }

 private:
  UniqueHkey key_;
};

class WindowsRegistry : public Registry {
 public:
  WindowsRegistry(RegistryView view, HKEY root)
      : root_(root), viewFlag_(view == RegistryView::Wow64_32   ? KEY_WOW64_32KEY
                  : view == RegistryView::Wow64_64 ? KEY_WOW64_64KEY
                                                   : 0) {}

  std::unique_ptr<RegistryKey> open(const std::string& path, Access access) override {
    const std::wstring widePath = ToWide(path);
    const REGSAM rights = (access == Access::Write ? KEY_READ | KEY_WRITE : KEY_READ) | viewFlag_;
    UniqueHkey key;
    if (access == Access::ReadExisting) {
      if (RegOpenKeyExW(root_, widePath.c_str(), 0, rights, key.put()) != ERROR_SUCCESS) return nullptr;
      return std::make_unique<WindowsKey>(std::move(key));
    }
    if (access == Access::Read) {
      const LSTATUS status = RegOpenKeyExW(root_, widePath.c_str(), 0, rights, key.put());
      if (status == ERROR_SUCCESS) return std::make_unique<WindowsKey>(std::move(key));
      // Only a missing key is created; one that exists but may not be read
      // stays closed.
      if (status != ERROR_FILE_NOT_FOUND) return nullptr;
    }
    if (RegCreateKeyExW(root_, widePath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, rights, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS) {
      return nullptr;
    }
    return std::make_unique<WindowsKey>(std::move(key));
  }

 private:
  HKEY root_;
  REGSAM viewFlag_;
};

}  // namespace

std::unique_ptr<Registry> MakeWindowsRegistry(RegistryView view) {
  return std::make_unique<WindowsRegistry>(view, HKEY_LOCAL_MACHINE);
}

std::unique_ptr<Registry> UserRegistry() {
  // The user's own hive has one view for every program: no WOW64 flag.
  return std::make_unique<WindowsRegistry>(RegistryView::Native, HKEY_CURRENT_USER);
}

}  // namespace bakwyn::settings
