#include "settings/MemoryRegistry.h"

namespace bakwyn::settings {
namespace {

// Lower-case ASCII letters and drop empty parts, so "A\\b\\" and "a\\B" name
// the same key.
std::string Normalised(const std::string& path) {
  std::string out;
  std::string part;
  auto flush = [&] {
    if (part.empty()) return;
    if (!out.empty()) out += '\\';
    out += part;
    part.clear();
  };
  for (char c : path) {
    if (c == '\\') {
      flush();
    } else {
      part += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
  }
  flush();
  return out;
}

}  // namespace

class MemoryRegistry::Key : public RegistryKey {
 public:
  Key(Node& node, bool writable) : node_(node), writable_(writable) {}

  std::optional<std::string> readString(const std::string& name) override {
    auto it = node_.values.find(name);
    if (it == node_.values.end()) return std::nullopt;
    return it->second;
  }

  void writeString(const std::string& name, const std::string& data) override {
    if (!writable_) throw RegistryError("Failed to set data for '" + name + "'");
    node_.values[name] = data;
  }

  std::vector<std::string> valueNames() override {
    std::vector<std::string> names;
    for (const auto& [name, data] : node_.values) names.push_back(name);
    return names;
  }

 private:
  Node& node_;
  bool writable_;
};

std::unique_ptr<RegistryKey> MemoryRegistry::open(const std::string& path, Access access) {
  const std::string key = Normalised(path);
  if (key.empty() || failing_.count(key)) return nullptr;
  auto it = nodes_.find(key);
  if (it != nodes_.end()) {
    if (access == Access::Write && readOnly_) return nullptr;
    return std::make_unique<Key>(it->second, access == Access::Write);
  }
  if (readOnly_ || access == Access::ReadExisting) return nullptr;
  // A key opened for reading but created on the way is still read-only.
  return std::make_unique<Key>(*create(path), access == Access::Write);
}

void MemoryRegistry::failKey(const std::string& path) { failing_.insert(Normalised(path)); }

MemoryRegistry::Node* MemoryRegistry::create(const std::string& path) {
  // Parents exist whenever a child does, as in the real registry.
  std::string spelled;
  Node* node = nullptr;
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '\\') continue;
    if (i > start) {
      if (!spelled.empty()) spelled += '\\';
      spelled += path.substr(start, i - start);
      auto [it, inserted] = nodes_.try_emplace(Normalised(spelled));
      if (inserted) {
        it->second.spelling = spelled;
        order_.push_back(it->first);
      }
      node = &it->second;
    }
    start = i + 1;
  }
  return node;
}

const MemoryRegistry::Node* MemoryRegistry::find(const std::string& path) const {
  auto it = nodes_.find(Normalised(path));
  return it == nodes_.end() ? nullptr : &it->second;
}

bool MemoryRegistry::hasKey(const std::string& path) const { return find(path) != nullptr; }

std::optional<std::string> MemoryRegistry::value(const std::string& path, const std::string& name) const {
  const Node* node = find(path);
  if (!node) return std::nullopt;
  auto it = node->values.find(name);
  if (it == node->values.end()) return std::nullopt;
  return it->second;
}

void MemoryRegistry::setValue(const std::string& path, const std::string& name, const std::string& data) {
  create(path)->values[name] = data;
}

std::vector<std::string> MemoryRegistry::keys() const {
  std::vector<std::string> out;
  for (const auto& normal : order_) out.push_back(nodes_.at(normal).spelling);
  return out;
}

std::map<std::string, std::string> MemoryRegistry::values(const std::string& path) const {
  const Node* node = find(path);
  return node ? node->values : std::map<std::string, std::string>{};
}

}  // namespace bakwyn::settings
