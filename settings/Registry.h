#pragma once
// The registry as the settings see it: keys under HKEY_LOCAL_MACHINE, named by a
// path of UTF-8 names separated by "\", holding string values only. The
// Windows implementation is in WindowsRegistry.h; MemoryRegistry.h holds one
// for tests and for platforms without a registry.
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace bakwyn::settings {

// A registry operation failed in a way the caller must hear about (a value
// that cannot be written, a value of the wrong type).
class RegistryError : public std::runtime_error {
 public:
  explicit RegistryError(const std::string& what, long status = 0) : std::runtime_error(what), status_(status) {}
  // The system's status code (a Win32 error such as 5, access denied); 0 when none.
  long status() const noexcept { return status_; }

 private:
  long status_;
};

class RegistryKey {
 public:
  virtual ~RegistryKey() = default;
  // std::nullopt when the value does not exist; RegistryError when it exists
  // but is not a string or cannot be read.
  virtual std::optional<std::string> readString(const std::string& name) = 0;
  // RegistryError "Failed to set data for 'name'" when the value cannot be written.
  virtual void writeString(const std::string& name, const std::string& data) = 0;
  // The names of the key's values, of any type, in the order the registry
  // keeps them; RegistryError when they cannot be listed.
  virtual std::vector<std::string> valueNames() = 0;
};

enum class Access {
  // Opens an existing key for reading only, so that a user without write
  // access to HKEY_LOCAL_MACHINE still reads what an administrator stored. A
  // missing key is created (which does need write access).
  Read,
  // Opens the key for reading and writing, creating it and any missing parent.
  Write,
  // Opens an existing key for reading only and never creates anything: for
  // keys that other programs own, where a missing key is an answer, not a
  // place to write to.
  ReadExisting,
};

class Registry {
 public:
  virtual ~Registry() = default;
  // The key at `path` under HKEY_LOCAL_MACHINE, or nullptr when it can neither
  // be opened nor created (ReadExisting: when it does not exist or cannot be read).
  virtual std::unique_ptr<RegistryKey> open(const std::string& path, Access access) = 0;
};

}  // namespace bakwyn::settings
