#include "tests/settings/EarlierStore.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "settings/Base64.h"

namespace bakwyn::testing {

using namespace bakwyn::settings;
namespace {

using namespace bakwyn::form;

enum class Kind { None, TreeList, Text, Spin, Check };

// The kinds are tested by class in a fixed order and the first that applies
// decides. Tree lists are only ever loaded: their column widths are the user's
// layout, which this program does not write.
Kind KindOf(const Component& component, bool loading) {
  if (!component.keptByStore) return Kind::None;
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

// Stored texts are cut at their first NUL: the edit control would show only
// the part before it, and the field, the settings and the statements sent to
// the server must all mean the same text.
std::string CutAtNul(std::string text) {
  if (const size_t nul = text.find('\0'); nul != std::string::npos) text.erase(nul);
  return text;
}

void Load(Component& component, Kind kind, RegistryKey& key, const SecretProtector& protector,
          std::vector<LoadProblem>& problems) {
  auto unreadable = [&](const std::string& stored) {
    problems.push_back({LoadProblem::Kind::Unreadable, component.name(), stored});
  };
  switch (kind) {
    case Kind::TreeList: {
      auto& tree = dynamic_cast<TdxTreeList&>(component);
      for (size_t i = 0; i < tree.columns().size(); ++i) {
        const std::string width = CutAtNul(ReadText(key, std::to_string(i)));
        if (width.empty()) continue;
        try {
          tree.setColumnWidth(static_cast<int>(i), ParseInteger(width));
        } catch (const ConversionError&) {
          unreadable(width);
        }
      }
      break;
    }
    case Kind::Text: {
      auto& edit = dynamic_cast<TdxInplaceTextEdit&>(component);
      std::string text = CutAtNul(ReadText(key, "TEXT"));
      if (IsPassword(component)) {
        try {
          text = LoadedPassword(text, component.name(), protector);
        } catch (const ConversionError&) {
          problems.push_back({LoadProblem::Kind::Unreadable, component.name(), {}});
          break;
        }
      }
      if (text.empty()) break;
      // A time that no minute of the day matches would silently never run:
      // it is not shown as if it would.
      if (dynamic_cast<const TdxTimeEdit*>(&component) && !IsValidTime(TimeDigits(text))) {
        problems.push_back({LoadProblem::Kind::InvalidTime, component.name(), text});
        break;
      }
      edit.setText(text);
      break;
    }
    case Kind::Spin: {
      auto& spin = dynamic_cast<TdxSpinEdit&>(component);
      const std::string text = CutAtNul(ReadText(key, "VALUE"));
      if (text.empty()) break;
      double value = 0;
      try {
        value = ParseInteger(text);
      } catch (const ConversionError&) {
        // A number beyond any integer ("9999999999", which earlier
        // versions stored as typed, or "1E20") is held to the top of the range
        // below like any large number: a number of days to keep must never
        // come back smaller than the one stored. Anything else cannot be read.
        const std::optional<double> number = ParseDecimal(text);
        const bool ranged = !(spin.minValue() == 0 && spin.maxValue() == 0);
        if (!number || !ranged || !(*number > spin.maxValue())) {
          unreadable(text);
          break;
        }
        value = *number;
      }
      // Held to the editor's range, so that the field shows the value that
      // runs. An editor without a range (minimum and maximum both 0) has none.
      if (!(spin.minValue() == 0 && spin.maxValue() == 0)) value = std::clamp(value, spin.minValue(), spin.maxValue());
      spin.setValue(value);
      break;
    }
    case Kind::Check: {
      auto& check = dynamic_cast<TdxCheckEdit&>(component);
      if (!check.enabled()) break;
      const std::string text = CutAtNul(ReadText(key, "CHECKED"));
      if (text.empty()) break;
      bool on = false;
      try {
        on = ParseBoolean(text);
      } catch (const ConversionError&) {
        unreadable(text);
        break;
      }
      check.setChecked(on);  // runs onChange when it changes
      break;
    }
    case Kind::None:
      break;
  }
}

}  // namespace


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

std::vector<LoadProblem> LoadControlStates(ComponentOwner& window, Registry& registry,
                                           const SecretProtector& protector) {
  std::vector<LoadProblem> problems;
  for (const auto& component : window.components()) {
    const Kind kind = KindOf(*component, true);
    if (kind == Kind::None) continue;
    auto key = registry.open(ControlStateKey(window.name(), component->name()), Access::Read);
    if (!key) break;
    try {
      Load(*component, kind, *key, protector, problems);
    } catch (const RegistryError&) {
      // A value of another type than a string: passed over like a text that
      // cannot be read.
      problems.push_back({LoadProblem::Kind::Unreadable, component->name(), {}});
    }
  }
  return problems;
}

namespace {

std::optional<LocalDateTime> ParseEarlierStamp(const std::optional<std::string>& text) {
  if (!text || text->size() != 19) return std::nullopt;
  LocalDateTime t;
  char rest = 0;
  if (std::sscanf(text->c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &t.year, &t.month, &t.day, &t.hour, &t.minute,
                  &t.second, &rest) != 6)
    return std::nullopt;
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59 || t.second > 59)
    return std::nullopt;
  return t;
}

std::string EarlierStamp(const LocalDateTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

std::optional<std::string> ReadStatus(RegistryKey& key, const std::string& name) {
  try {
    return key.readString(name);
  } catch (const RegistryError&) {
    return std::nullopt;
  }
}

}  // namespace

EarlierBackupRecord LoadEarlierBackupRecord(Registry& registry) {
  EarlierBackupRecord record;
  auto key = registry.open(std::string(StatusKey), Access::Read);
  if (!key) return record;
  record.lastBackup = ParseEarlierStamp(ReadStatus(*key, "LastBackup"));
  record.lastSucceeded = ReadStatus(*key, "LastResult").value_or("") == "ok";
  record.lastSuccess = ParseEarlierStamp(ReadStatus(*key, "LastSuccess"));
  record.armedSince = ParseEarlierStamp(ReadStatus(*key, "ArmedSince"));
  record.lastRestoreTest = ParseEarlierStamp(ReadStatus(*key, "LastRestoreTest"));
  record.restoreTestPassed = ParseEarlierStamp(ReadStatus(*key, "RestoreTestPassed"));
  return record;
}

bool StoreEarlierBackupRecord(Registry& registry, const EarlierBackupRecord& record) {
  auto key = registry.open(std::string(StatusKey), Access::Write);
  if (!key) return false;
  try {
    if (record.lastBackup) {
      key->writeString("LastBackup", EarlierStamp(*record.lastBackup));
      key->writeString("LastResult", record.lastSucceeded ? "ok" : "failed");
    }
    if (record.lastSuccess) key->writeString("LastSuccess", EarlierStamp(*record.lastSuccess));
    if (record.armedSince) key->writeString("ArmedSince", EarlierStamp(*record.armedSince));
    if (record.lastRestoreTest) key->writeString("LastRestoreTest", EarlierStamp(*record.lastRestoreTest));
    if (record.restoreTestPassed) key->writeString("RestoreTestPassed", EarlierStamp(*record.restoreTestPassed));
  } catch (const RegistryError&) {
    return false;
  }
  return true;
}

}  // namespace bakwyn::testing
