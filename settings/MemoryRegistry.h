#pragma once
// A registry kept in memory, for tests and for platforms without one. Key names
// compare without regard to ASCII letter case, as in the Windows registry.
// Faults can be injected: a key that cannot be opened or created, and a
// read-only mode in which, as for a user without write access to
// HKEY_LOCAL_MACHINE, existing keys open for reading and nothing else works.
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "settings/Registry.h"

namespace bakwyn::settings {

class MemoryRegistry : public Registry {
 public:
  std::unique_ptr<RegistryKey> open(const std::string& path, Access access) override;

  // Every open or create of this key fails (its subkeys are not affected).
  void failKey(const std::string& path);
  void setReadOnly(bool on) { readOnly_ = on; }

  // Direct access for tests, bypassing the fault injection.
  bool hasKey(const std::string& path) const;
  std::optional<std::string> value(const std::string& path, const std::string& name) const;
  void setValue(const std::string& path, const std::string& name, const std::string& data);
  // Existing keys in creation order, with the spelling of their first creation.
  std::vector<std::string> keys() const;
  // The values of a key, by name (open keys list their value names in this order).
  std::map<std::string, std::string> values(const std::string& path) const;

 private:
  class Key;
  struct Node {
    std::string spelling;
    std::map<std::string, std::string> values;
  };
  Node* create(const std::string& path);
  const Node* find(const std::string& path) const;

  // Nodes are kept by normalised path; std::map keeps node addresses stable.
  std::map<std::string, Node> nodes_;
  std::vector<std::string> order_;
  std::set<std::string> failing_;
  bool readOnly_ = false;
};

}  // namespace bakwyn::settings
