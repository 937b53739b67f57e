#include "settings/ControlStore.h"

#include <optional>

#include "settings/Base64.h"

namespace bakwyn::settings {
namespace {

using namespace bakwyn::ui;

enum class Kind { None, TreeList, Text, Spin, Check };

// The kinds are tested by class in a fixed order and the first that applies
// decides. Tree lists are only ever loaded: their column widths are the user's
// layout, which this program does not write.
Kind KindOf(const Component& component, bool loading) {
  if (loading && dynamic_cast<const TdxTreeList*>(&component)) return Kind::TreeList;
  if (dynamic_cast<const TdxEdit*>(&component) || dynamic_cast<const TdxButtonEdit*>(&component) ||
      dynamic_cast<const TdxPickEdit*>(&component) || dynamic_cast<const TmavTimeEdit*>(&component) ||
      dynamic_cast<const TdxPopupEdit*>(&component)) {
    return Kind::Text;
  }
  if (dynamic_cast<const TdxSpinEdit*>(&component)) return Kind::Spin;
  if (dynamic_cast<const TdxCheckEdit*>(&component)) return Kind::Check;
  return Kind::None;
}

bool IsPassword(const Component& component) {
  auto edit = dynamic_cast<const TdxEdit*>(&component);
  return edit && edit->password();
}

std::string ReadText(RegistryKey& key, const std::string& name) {
  return key.readString(name).value_or(std::string());
}

std::string StoredPassword(const std::string& password, const SecretProtector& protector) {
  // An empty password has nothing to hide and must stay empty, which loading
  // never applies.
  if (password.empty()) return password;
  return std::string(ProtectedPrefix) + Base64Encode(protector.protect(password));
}

std::string LoadedPassword(const std::string& stored, const std::string& controlName,
                           const SecretProtector& protector) {
  if (stored.compare(0, ProtectedPrefix.size(), ProtectedPrefix) != 0) return stored;  // stored in clear
  const std::optional<std::string> bytes = Base64Decode(std::string_view(stored).substr(ProtectedPrefix.size()));
  try {
    if (bytes) return protector.unprotect(*bytes);
  } catch (const ProtectionError&) {
    // Protected on another computer, or damaged: reported like any other
    // stored text that cannot be read.
  }
  throw ConversionError("The stored text of '" + controlName + "' cannot be unprotected on this computer");
}

void Save(const Component& component, Kind kind, RegistryKey& key, const SecretProtector& protector) {
  switch (kind) {
    case Kind::Text: {
      const auto& edit = dynamic_cast<const TdxInplaceTextEdit&>(component);
      key.writeString("TEXT", IsPassword(component) ? StoredPassword(edit.text(), protector) : edit.text());
      break;
    }
    case Kind::Spin:
      key.writeString("VALUE", FormatGeneralNumber(dynamic_cast<const TdxSpinEdit&>(component).value()));
      break;
    case Kind::Check: {
      const auto& check = dynamic_cast<const TdxCheckEdit&>(component);
      // A disabled check box keeps whatever it stored before.
      if (check.enabled()) key.writeString("CHECKED", FormatBoolean(check.checked()));
      break;
    }
    case Kind::TreeList:
    case Kind::None:
      break;
  }
}

void Load(Component& component, Kind kind, RegistryKey& key, const SecretProtector& protector) {
  switch (kind) {
    case Kind::TreeList: {
      auto& tree = dynamic_cast<TdxTreeList&>(component);
      for (size_t i = 0; i < tree.columns().size(); ++i) {
        const std::string width = ReadText(key, std::to_string(i));
        if (!width.empty()) tree.setColumnWidth(static_cast<int>(i), ParseInteger(width));
      }
      break;
    }
    case Kind::Text: {
      auto& edit = dynamic_cast<TdxInplaceTextEdit&>(component);
      std::string text = ReadText(key, "TEXT");
      if (IsPassword(component)) text = LoadedPassword(text, component.name(), protector);
      if (!text.empty()) edit.setText(text);
      break;
    }
    case Kind::Spin: {
      auto& spin = dynamic_cast<TdxSpinEdit&>(component);
      const std::string text = ReadText(key, "VALUE");
      if (text.empty()) break;
      const int value = ParseInteger(text);
      // A value at the maximum is not taken: the editor keeps its own. An
      // editor without a range (minimum and maximum both 0) has no maximum.
      const bool ranged = !(spin.minValue() == 0 && spin.maxValue() == 0);
      if (!ranged || value < spin.maxValue()) spin.setValue(value);
      break;
    }
    case Kind::Check: {
      auto& check = dynamic_cast<TdxCheckEdit&>(component);
      if (!check.enabled()) break;
      const std::string text = ReadText(key, "CHECKED");
      if (!text.empty()) check.setChecked(ParseBoolean(text));  // runs onChange when it changes
      break;
    }
    case Kind::None:
      break;
  }
}

}  // namespace

std::string ControlStateKey(std::string_view windowName, std::string_view controlName) {
  std::string key(StateRoot);
  key += windowName;
  key += '\\';
  key += controlName;
  return key;
}

bool SaveControlStates(const ComponentOwner& window, Registry& registry, const SecretProtector& protector) {
  for (const auto& component : window.components()) {
    const Kind kind = KindOf(*component, false);
    if (kind == Kind::None) continue;
    auto key = registry.open(ControlStateKey(window.name(), component->name()), Access::Write);
    if (!key) return false;
    Save(*component, kind, *key, protector);
  }
  return true;
}

void LoadControlStates(ComponentOwner& window, Registry& registry, const SecretProtector& protector) {
  for (const auto& component : window.components()) {
    const Kind kind = KindOf(*component, true);
    if (kind == Kind::None) continue;
    auto key = registry.open(ControlStateKey(window.name(), component->name()), Access::Read);
    if (!key) return;
    Load(*component, kind, *key, protector);
  }
}

}  // namespace bakwyn::settings
