#include "settings/SettingsRecord.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <variant>

#include "base/Text.h"
#include "engine/History.h"
#include "settings/Base64.h"
#include "settings/StateText.h"

namespace bakwyn::settings {
namespace {

enum class Kind {
  // Under the control's key.
  Text,      // as typed
  Password,  // protected
  Time,      // as typed; loaded only when it is a time of the day
  Number,    // held to [min, max] unless both are 0
  Check,     // read and written only while enabled
  Width,     // a column width of at least min; loaded only
  // Under StatusKey.
  Folder,  // a text cut at its first NUL
  Note,    // the same; written only when set
  Flag,    // "1" on, anything else off
  Date,    // "yyyymmdd", anything else none
  Stamp,   // "YYYY-MM-DD HH:NN:SS", anything else none; written only when set
  Result,  // "ok" / "failed"; written only while `with` is set
  Minutes, // a whole number from 0 to a week; anything else keeps the default
  // Under StatusKey, the options tab's: loaded like a control's value (a
  // missing one keeps the field, an unusable one is passed over and named).
  Option,  // "1" on, "0" off
  Choice,  // a whole number from min to max
  Secret,  // a text stored protected, as the password is
};

using Stamp = std::optional<LocalDateTime>;
using Field = std::variant<std::string StoredSettings::*, double StoredSettings::*, int StoredSettings::*,
                           bool StoredSettings::*, CheckState StoredSettings::*, Stamp StoredSettings::*>;

struct Row {
  Groups group;
  std::string_view control;  // the control's key under the window's, or empty: StatusKey
  std::string_view value;    // the value's name
  Kind kind;
  Field field;
  double min = 0;  // Number: the range; Width: the narrowest column
  double max = 0;
  Stamp StoredSettings::*with = nullptr;  // Result: the stamp it goes with
};

constexpr Row Control(std::string_view name, const char* value, Kind kind, Field field, double min = 0, double max = 0) {
  return {Groups::Window, name, value, kind, field, min, max};
}

constexpr Row Beside(Groups group, const char* value, Kind kind, Field field, Stamp StoredSettings::*with = nullptr) {
  return {group, {}, value, kind, field, 0, 0, with};
}

constexpr Row Option(const char* value, Kind kind, Field field, double min = 0, double max = 0) {
  return {Groups::Window, {}, value, kind, field, min, max};
}

using S = StoredSettings;

// In the order older versions stored the controls, which they also read in:
// a check box is loaded before the time editor it enables.
constexpr Row kRows[] = {
    Control("mavTree1", "0", Kind::Width, &S::mavTree1ColumnWidth, 10),
    Control("mEdt2", "TEXT", Kind::Text, &S::mEdt2),
    Control("mEdt3", "TEXT", Kind::Text, &S::mEdt3),
    Control("mEdt4", "TEXT", Kind::Password, &S::mEdt4),
    Control("mavBEdit2", "TEXT", Kind::Text, &S::mavBEdit2),
    Control("dxCheckEdit1", "CHECKED", Kind::Check, &S::dxCheckEdit1),
    Control("dxTimeEdit1", "TEXT", Kind::Time, &S::dxTimeEdit1),
    Control("dxCheckEdit2", "CHECKED", Kind::Check, &S::dxCheckEdit2),
    Control("dxTimeEdit2", "TEXT", Kind::Time, &S::dxTimeEdit2),
    Control("dxCheckEdit3", "CHECKED", Kind::Check, &S::dxCheckEdit3),
    Control("dxTimeEdit3", "TEXT", Kind::Time, &S::dxTimeEdit3),
    Control("dxCheckEdit4", "CHECKED", Kind::Check, &S::dxCheckEdit4),
    Control("dxTimeEdit4", "TEXT", Kind::Time, &S::dxTimeEdit4),
    Control("mEdt1", "TEXT", Kind::Text, &S::mEdt1),
    Control("dxCheckEdit5", "CHECKED", Kind::Check, &S::dxCheckEdit5),
    Control("mavSpinEdit1", "VALUE", Kind::Number, &S::mavSpinEdit1, 1, 999999),
    // Beside the controls, never among them, so that the keys older versions
    // read keep exactly their meaning.
    Beside(Groups::Window, "CopyFolder", Kind::Folder, &S::CopyFolder),
    Beside(Groups::Window, "MakeUpMissed", Kind::Flag, &S::MakeUpMissed),
    Beside(Groups::SlotRun1, "Slot1LastRun", Kind::Date, &S::Slot1LastRun),
    Beside(Groups::SlotRun2, "Slot2LastRun", Kind::Date, &S::Slot2LastRun),
    Beside(Groups::SlotRun3, "Slot3LastRun", Kind::Date, &S::Slot3LastRun),
    Beside(Groups::SlotRun4, "Slot4LastRun", Kind::Date, &S::Slot4LastRun),
    Beside(Groups::Status, "LastBackup", Kind::Stamp, &S::LastBackup),
    Beside(Groups::Status, "LastResult", Kind::Result, &S::LastResult, &S::LastBackup),
    Beside(Groups::Status, "LastSuccess", Kind::Stamp, &S::LastSuccess),
    Beside(Groups::Status, "ArmedSince", Kind::Stamp, &S::ArmedSince),
    Beside(Groups::Limits, "StallMinutes", Kind::Minutes, &S::StallMinutes),
    // Added after every value above, so that the values an earlier version
    // wrote are written in the same order as before.
    Option("VerifyBackups", Kind::Option, &S::VerifyBackups),
    Option("RestoreTestEvery", Kind::Choice, &S::RestoreTestEvery, 0, 2),
    Option("RestoreTestDay", Kind::Choice, &S::RestoreTestDay, 0, 6),
    Option("RestoreTestHour", Kind::Choice, &S::RestoreTestHour, -1, 23),
    Beside(Groups::RestoreTest, "LastRestoreTest", Kind::Stamp, &S::LastRestoreTest),
    Beside(Groups::RestoreTest, "RestoreTestPassed", Kind::Stamp, &S::RestoreTestPassed),
    // After every value of the versions before, for the same reason.
    Option("PingAddress", Kind::Secret, &S::PingAddress),
    Option("RestoreTestPingAddress", Kind::Secret, &S::RestoreTestPingAddress),
    Option("BackupLog", Kind::Option, &S::BackupLog),
    Beside(Groups::RestoreTest, "RestoreTestPassedBackup", Kind::Note, &S::RestoreTestPassedBackup),
};

template <typename T>
T& Member(StoredSettings& settings, const Row& row) {
  return settings.*std::get<T StoredSettings::*>(row.field);
}

template <typename T>
const T& Member(const StoredSettings& settings, const Row& row) {
  return settings.*std::get<T StoredSettings::*>(row.field);
}

std::string KeyOf(const Row& row) {
  if (row.control.empty()) return std::string(StatusKey);
  return ControlStateKey(SettingsWindow, row.control);
}

bool Ranged(const Row& row) { return !(row.min == 0 && row.max == 0); }

// Stored texts are cut at their first NUL: the edit control would show only
// the text before it, and the field, the settings and the statements sent to
// the server must all mean the same text.
std::string CutAtNul(std::string text) {
  if (const size_t nul = text.find('\0'); nul != std::string::npos) text.erase(nul);
  return text;
}

// A time editor's mask shows untyped positions as blanks; the schedule reads
// them as "0".
bool IsTimeOfDay(std::string text) {
  std::replace(text.begin(), text.end(), ' ', '0');
  return IsValidTime(text);
}

// The password and the ping addresses.
std::string StoredSecret(const std::string& secret, const SecretProtector& protector) {
  // An empty secret has nothing to hide and must stay empty, which loading
  // never applies.
  if (secret.empty()) return secret;
  return std::string(ProtectedPrefix) + Base64Encode(protector.protect(secret));
}

// Nothing when the stored secret cannot be unprotected: protected on another
// computer, or damaged.
std::optional<std::string> LoadedSecret(const std::string& stored, const SecretProtector& protector) {
  // Stored in clear: by an older version, or typed in by an administrator.
  if (stored.compare(0, ProtectedPrefix.size(), ProtectedPrefix) != 0) return stored;
  const std::optional<std::string> bytes = Base64Decode(std::string_view(stored).substr(ProtectedPrefix.size()));
  if (!bytes) return std::nullopt;
  try {
    return protector.unprotect(*bytes);
  } catch (const ProtectionError&) {
    return std::nullopt;
  }
}

// "YYYY-MM-DD HH:NN:SS" back into a date and time; nothing for anything else.
Stamp ParseStamp(const std::string& text) {
  if (text.size() != 19) return std::nullopt;
  LocalDateTime t;
  char rest = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &t.year, &t.month, &t.day, &t.hour, &t.minute,
                  &t.second, &rest) != 6)
    return std::nullopt;
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 || t.minute > 59 || t.second > 59)
    return std::nullopt;
  return t;
}

bool IsDate(const std::string& text) {
  return text.size() == 8 && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The days kept: a whole number held to the range. A number beyond any
// integer ("9999999999", which earlier versions stored as typed, or "1E20") is
// held to the top like any large number: the days kept must never come back
// fewer than the ones stored. Anything else cannot be read.
std::optional<double> LoadedNumber(const std::string& text, const Row& row) {
  double value = 0;
  try {
    value = ParseInteger(text);
  } catch (const ConversionError&) {
    const std::optional<double> number = ParseDecimal(text);
    if (!number || !Ranged(row) || !(*number > row.max)) return std::nullopt;
    value = *number;
  }
  if (Ranged(row)) value = std::clamp(value, row.min, row.max);
  return value;
}

void LoadControl(const Row& row, RegistryKey& key, StoredSettings& settings, const SecretProtector& protector,
                 std::vector<LoadProblem>& problems) {
  auto passOver = [&](LoadProblem::Kind kind, std::string stored) {
    problems.push_back({kind, std::string(row.control), std::move(stored)});
  };
  // A disabled check box keeps its state; its value is not even read.
  if (row.kind == Kind::Check && !Member<CheckState>(settings, row).enabled) return;
  std::string text = CutAtNul(key.readString(std::string(row.value)).value_or(std::string()));
  if (row.kind == Kind::Password) {
    std::optional<std::string> password = LoadedSecret(text, protector);
    if (!password) return passOver(LoadProblem::Kind::Unreadable, {});  // a password is never shown
    text = std::move(*password);
  }
  if (text.empty()) return;
  switch (row.kind) {
    case Kind::Text:
    case Kind::Password:
      Member<std::string>(settings, row) = std::move(text);
      break;
    case Kind::Time:
      // A time that no minute of the day matches would silently never run:
      // it is not shown as if it would.
      if (!IsTimeOfDay(text)) return passOver(LoadProblem::Kind::InvalidTime, std::move(text));
      Member<std::string>(settings, row) = std::move(text);
      break;
    case Kind::Number: {
      const std::optional<double> number = LoadedNumber(text, row);
      if (!number) return passOver(LoadProblem::Kind::Unreadable, std::move(text));
      Member<double>(settings, row) = *number;
      break;
    }
    case Kind::Check:
      try {
        Member<CheckState>(settings, row).checked = ParseBoolean(text);
      } catch (const ConversionError&) {
        passOver(LoadProblem::Kind::Unreadable, std::move(text));
      }
      break;
    case Kind::Width:
      try {
        Member<int>(settings, row) = std::max(ParseInteger(text), static_cast<int>(row.min));
      } catch (const ConversionError&) {
        passOver(LoadProblem::Kind::Unreadable, std::move(text));
      }
      break;
    default:
      break;
  }
}

// An option of the window kept beside the controls. A value that is not one
// of its kind's is passed over, named by the value's name: taking a stored
// "7" as some other plan, or "yes" as off, would run what nobody chose. A
// secret that cannot be unprotected is named without its text, which is never
// shown.
void LoadOption(const Row& row, RegistryKey* key, StoredSettings& settings, const SecretProtector& protector,
                std::vector<LoadProblem>& problems) {
  auto passOver = [&](std::string stored) {
    problems.push_back({LoadProblem::Kind::Unreadable, std::string(row.value), std::move(stored)});
  };
  std::string text;
  try {
    if (key) text = CutAtNul(key->readString(std::string(row.value)).value_or(std::string()));
  } catch (const RegistryError&) {
    return passOver({});
  }
  if (text.empty()) return;  // stored by an older version, or not at all: the field stays
  if (row.kind == Kind::Secret) {
    std::optional<std::string> secret = LoadedSecret(text, protector);
    if (!secret) return passOver({});
    if (!secret->empty()) Member<std::string>(settings, row) = std::move(*secret);
    return;
  }
  if (row.kind == Kind::Option) {
    if (text != "1" && text != "0") return passOver(std::move(text));
    Member<bool>(settings, row) = text == "1";
    return;
  }
  int value = 0;
  try {
    value = ParseInteger(text);
  } catch (const ConversionError&) {
    return passOver(std::move(text));
  }
  if (value < row.min || value > row.max) return passOver(std::move(text));
  Member<int>(settings, row) = value;
}

// `key` is null when StatusKey could not be opened: every value is none then.
void LoadBeside(const Row& row, RegistryKey* key, StoredSettings& settings) {
  std::optional<std::string> stored;
  try {
    if (key) stored = key->readString(std::string(row.value));
  } catch (const RegistryError&) {
    // A value of another type: as if there were none.
  }
  const std::string text = stored.value_or(std::string());
  switch (row.kind) {
    case Kind::Folder:
    case Kind::Note:
      Member<std::string>(settings, row) = CutAtNul(text);
      break;
    case Kind::Flag:
      Member<bool>(settings, row) = text == "1";
      break;
    case Kind::Date:
      Member<std::string>(settings, row) = IsDate(text) ? text : std::string();
      break;
    case Kind::Stamp:
      Member<Stamp>(settings, row) = ParseStamp(text);
      break;
    case Kind::Result:
      Member<bool>(settings, row) = text == "ok";
      break;
    case Kind::Minutes:
      if (const std::optional<double> minutes = ParseDecimal(text);
          minutes && *minutes >= 0 && *minutes <= 7 * 24 * 60 && *minutes == static_cast<int>(*minutes))
        Member<int>(settings, row) = static_cast<int>(*minutes);
      break;
    default:
      break;
  }
}

// The text a row stores, or nothing when it stores nothing now.
std::optional<std::string> StoredText(const Row& row, const StoredSettings& settings, const SecretProtector& protector) {
  switch (row.kind) {
    case Kind::Text:
    case Kind::Time:
    case Kind::Folder:
    case Kind::Date:
      return Member<std::string>(settings, row);
    case Kind::Note:
      if (Member<std::string>(settings, row).empty()) return std::nullopt;
      return Member<std::string>(settings, row);
    case Kind::Password:
    case Kind::Secret:
      return StoredSecret(Member<std::string>(settings, row), protector);
    case Kind::Number:
      return FormatGeneralNumber(Member<double>(settings, row));
    case Kind::Check: {
      const CheckState& check = Member<CheckState>(settings, row);
      if (!check.enabled) return std::nullopt;
      return FormatBoolean(check.checked);
    }
    case Kind::Flag:
      return Member<bool>(settings, row) ? "1" : "0";
    case Kind::Stamp: {
      const Stamp& stamp = Member<Stamp>(settings, row);
      if (!stamp) return std::nullopt;
      return FullStamp(*stamp);
    }
    case Kind::Result:
      if (!(settings.*row.with)) return std::nullopt;
      return Member<bool>(settings, row) ? "ok" : "failed";
    case Kind::Minutes:
    case Kind::Choice:
      return std::to_string(Member<int>(settings, row));
    case Kind::Option:
      return Member<bool>(settings, row) ? "1" : "0";
    case Kind::Width:
      break;
  }
  return std::nullopt;
}

// Consecutive rows under one key share its opening.
class KeyCursor {
 public:
  KeyCursor(Registry& registry, Access access) : registry_(registry), access_(access) {}
  RegistryKey* at(const std::string& path) {
    if (!opened_ || path != path_) {
      key_ = registry_.open(path, access_);
      path_ = path;
      opened_ = true;
    }
    return key_.get();
  }

 private:
  Registry& registry_;
  Access access_;
  std::unique_ptr<RegistryKey> key_;
  std::string path_;
  bool opened_ = false;
};

}  // namespace

LoadedSettings LoadStoredSettings(Registry& registry, const SecretProtector& protector, Groups groups,
                                  StoredSettings onto) {
  LoadedSettings loaded{std::move(onto), {}};
  KeyCursor controls(registry, Access::Read);
  // Nothing is created under StatusKey for the settings and the slot dates:
  // a missing key is an answer. The record's load has always created it.
  KeyCursor beside(registry, Access::ReadExisting);
  KeyCursor status(registry, Access::Read);
  bool controlsEnded = false;
  for (const Row& row : kRows) {
    if (!Includes(groups, row.group)) continue;
    if (row.kind == Kind::Option || row.kind == Kind::Choice || row.kind == Kind::Secret) {
      LoadOption(row, beside.at(KeyOf(row)), loaded.settings, protector, loaded.problems);
      continue;
    }
    if (row.control.empty()) {
      LoadBeside(row, (row.group == Groups::Status ? status : beside).at(KeyOf(row)), loaded.settings);
      continue;
    }
    if (controlsEnded) continue;
    RegistryKey* key = controls.at(KeyOf(row));
    if (!key) {
      controlsEnded = true;
      continue;
    }
    try {
      LoadControl(row, *key, loaded.settings, protector, loaded.problems);
    } catch (const RegistryError&) {
      // A value of another type than a string: passed over like a text that
      // cannot be read.
      loaded.problems.push_back({LoadProblem::Kind::Unreadable, std::string(row.control), {}});
    }
  }
  return loaded;
}

bool SaveStoredSettings(const StoredSettings& settings, Registry& registry, const SecretProtector& protector,
                        Groups groups) {
  KeyCursor keys(registry, Access::Write);
  for (const Row& row : kRows) {
    // The column width is the user's layout, which this program does not write.
    if (!Includes(groups, row.group) || row.kind == Kind::Width) continue;
    RegistryKey* key = keys.at(KeyOf(row));
    if (!key) return false;
    const std::optional<std::string> text = StoredText(row, settings, protector);
    if (!text) continue;
    if (!row.control.empty()) {
      key->writeString(std::string(row.value), *text);
      continue;
    }
    try {
      key->writeString(std::string(row.value), *text);
    } catch (const RegistryError&) {
      return false;
    }
  }
  return true;
}

RestoreTestPlan StoredRestoreTestPlan(const StoredSettings& settings) {
  RestoreTestPlan plan;
  constexpr RestoreTestPlan::Every kEvery[] = {RestoreTestPlan::Every::never, RestoreTestPlan::Every::week,
                                               RestoreTestPlan::Every::day};
  if (settings.RestoreTestEvery >= 0 && settings.RestoreTestEvery <= 2) plan.every = kEvery[settings.RestoreTestEvery];
  if (settings.RestoreTestDay >= 0 && settings.RestoreTestDay <= 6) plan.weekday = settings.RestoreTestDay;
  if (settings.RestoreTestHour >= RestoreTestPlan::kAfterFirstSlot && settings.RestoreTestHour <= 23)
    plan.hour = settings.RestoreTestHour;
  return plan;
}

std::string ControlStateKey(std::string_view windowName, std::string_view controlName) {
  std::string key(StateRoot);
  key += windowName;
  key += '\\';
  key += controlName;
  return key;
}

}  // namespace bakwyn::settings
