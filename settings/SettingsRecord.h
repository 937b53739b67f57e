#pragma once
// Everything the program keeps in the registry, as one plain record, loaded and
// saved through one table of key and value names (SettingsRecord.cpp). Adding a
// stored setting is one field here and one row in that table.
//
// Two places under HKEY_LOCAL_MACHINE, string values only:
//   StateRoot + "FrmMain\" + control   one key per control of the settings window,
//                                       in the layout older versions read:
//     "TEXT"          text editors: the text, untrimmed
//     "VALUE"         the spin editor: the value in general number format ("3")
//     "CHECKED"       check boxes: "-1" checked, "0" unchecked
//     "0"             the database list's column width in pixels (read only)
//   The password's "TEXT" is ProtectedPrefix followed by the protected bytes in
//   Base64; a text without the prefix is a password stored in clear by an older
//   version, read as it stands and protected at the next save.
//   StatusKey                           what older versions never read: the second
//                                       folder, the make-up option, the options tab
//                                       (verification, the restore test's plan, the
//                                       two ping addresses, the log backup), the date
//                                       each slot last ran, the last backup's record,
//                                       the last restore test's.
//   A ping address may hold a service's secret token: it is stored like the
//   password, ProtectedPrefix and the protected bytes in Base64, and a text
//   without the prefix (typed in by an administrator) is read as it stands.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/BackupSettings.h"
#include "engine/Clock.h"
#include "settings/Registry.h"
#include "settings/SecretProtector.h"

namespace bakwyn::settings {

inline constexpr std::string_view StateRoot = "Software\\Tarsel软件\\Oskavel\\窗体属性风格\\";
inline constexpr std::string_view ProtectedPrefix = "dpapi:";
// The window whose controls' keys hold the settings.
inline constexpr std::string_view SettingsWindow = "FrmMain";
inline constexpr std::string_view StatusKey = "Software\\Tarsel软件\\Oskavel\\Bakwyn";

// The key of a window's control: StateRoot + window + "\" + control.
std::string ControlStateKey(std::string_view windowName, std::string_view controlName);

// A stored check box. A disabled one is neither read nor written: it keeps
// whatever it stored before.
struct CheckState {
  bool checked = false;
  bool enabled = true;
  friend bool operator==(const CheckState&, const CheckState&) = default;
};

// Fields in the order they are loaded and saved, named as the keys and values
// that hold them; the defaults are what the window shows before anything loads.
struct StoredSettings {
  // Under StateRoot + "FrmMain\", one key per control.
  int mavTree1ColumnWidth = 57;       // the database list's column, never written: the user's layout
  std::string mEdt2;                  // server
  std::string mEdt3;                  // user
  std::string mEdt4;                  // password, stored protected
  std::string mavBEdit2;              // backup folder
  CheckState dxCheckEdit1;            // slot 1 on
  std::string dxTimeEdit1 = "00:00";  // slot 1 time, "HH:NN" as typed (blanks where untyped)
  CheckState dxCheckEdit2;
  std::string dxTimeEdit2 = "00:00";
  CheckState dxCheckEdit3;
  std::string dxTimeEdit3 = "00:00";
  CheckState dxCheckEdit4;
  std::string dxTimeEdit4 = "00:00";
  std::string mEdt1;                  // database
  CheckState dxCheckEdit5;            // cleanup on
  double mavSpinEdit1 = 3;            // days kept, 1 to 999999 when loaded

  // Under StatusKey. These always load: a missing or unusable value is "none".
  std::string CopyFolder;             // the second folder ("" for none)
  bool MakeUpMissed = false;          // stored "1" / "0"
  std::string Slot1LastRun;           // "yyyymmdd" the slot last ran on, "" for none
  std::string Slot2LastRun;
  std::string Slot3LastRun;
  std::string Slot4LastRun;
  std::optional<LocalDateTime> LastBackup;   // when the last backup started
  bool LastResult = false;                   // it succeeded; stored only with LastBackup
  std::optional<LocalDateTime> LastSuccess;  // when the last successful one started
  std::optional<LocalDateTime> ArmedSince;   // when a schedule was first armed
  // Minutes a backup may go without a progress message from the server before
  // it is cancelled (0: no limit). Kept for an administrator to change; no
  // window shows it, so no save writes it.
  int StallMinutes = 60;

  // Under StatusKey, saved with the window's fields: its options tab. Older
  // versions stored none of them, and a missing value keeps the default:
  // their backups are verified and tested from the first start on.
  bool VerifyBackups = true;  // stored "1" / "0"
  int RestoreTestEvery = 1;   // 0 never, 1 weekly, 2 daily
  int RestoreTestDay = 0;     // 0 Sunday .. 6 Saturday
  int RestoreTestHour = -1;   // 0 to 23, or -1: right after the day's first backup slot

  // Under StatusKey, written when a restore test ends; always loaded, none
  // when missing or unusable.
  std::optional<LocalDateTime> LastRestoreTest;    // when the last restore test ran, passed or not
  std::optional<LocalDateTime> RestoreTestPassed;  // when the last one that passed ran
  // Which backup set it restored: "<set>|<backup file>"; "" when not known
  // (a version that did not keep it).
  std::string RestoreTestPassedBackup;

  // Under StatusKey, saved with the window's fields, stored protected: where
  // each backup's result is POSTed, and the restore test's ("" for none).
  std::string PingAddress;
  std::string RestoreTestPingAddress;

  // Under StatusKey, saved with the window's fields: after each successful
  // scheduled backup the transaction log is backed up too (stored "1" / "0").
  // Off unless asked: a database in the simple recovery model has no log to
  // back up, and older versions never made one.
  bool BackupLog = false;

  friend bool operator==(const StoredSettings&, const StoredSettings&) = default;
};

// The values are loaded and saved in groups, each at its own moment: the
// window's settings when the user saves, a slot's date when the slot runs, the
// record after every backup.
enum class Groups : unsigned {
  Window = 1u << 0,    // the controls, then CopyFolder, MakeUpMissed and the options tab's values and addresses
  SlotRun1 = 1u << 1,  // Slot1LastRun
  SlotRun2 = 1u << 2,
  SlotRun3 = 1u << 3,
  SlotRun4 = 1u << 4,
  Status = 1u << 5,    // LastBackup, LastResult, LastSuccess, ArmedSince
  Limits = 1u << 6,    // StallMinutes
  RestoreTest = 1u << 7,  // LastRestoreTest, RestoreTestPassed, RestoreTestPassedBackup
  SlotRuns = SlotRun1 | SlotRun2 | SlotRun3 | SlotRun4,
  All = Window | SlotRuns | Status | Limits | RestoreTest,
};
constexpr Groups operator|(Groups a, Groups b) { return Groups(unsigned(a) | unsigned(b)); }
constexpr bool Includes(Groups set, Groups group) { return (unsigned(set) & unsigned(group)) != 0; }
// The group of one slot's date, 1 to 4.
constexpr Groups SlotRunGroup(int slot) { return Groups(unsigned(Groups::SlotRun1) << (slot - 1)); }

// A stored value that loading passed over: its field keeps its value.
struct LoadProblem {
  enum class Kind {
    Unreadable,   // not what its kind needs (a number, a check state), or a secret that cannot be unprotected
    InvalidTime,  // a time editor's text that is not "HH:NN" within the day
  };
  Kind kind;
  std::string control;  // the control, or the value's name for an option kept beside the controls
  std::string stored;   // the stored text; empty for a secret (the password, a ping address), which is never
                        // shown, or for a value of another type
};

struct LoadedSettings {
  StoredSettings settings;
  std::vector<LoadProblem> problems;  // in the order of the fields
};

// Loads the values of `groups` onto `onto`, in field order.
// The controls' values: the keys of controls never stored are created (a user
// without write access still reads what an administrator stored). A missing or
// empty value leaves the field as it is; a stored text is cut at its first NUL,
// as an edit control would show it; the days are held to their range, a
// number beyond it (even beyond any integer: "9999999999", "1E20") to its top,
// so that the days kept never come back fewer than stored; a disabled check
// box is not read. A value that cannot be taken, or that is not a string, is
// passed over and named in the problems, and the pass goes on: one bad value
// must not keep the others, and the schedule they make, from loading. A key
// that cannot be opened or created ends the controls' pass silently.
// The options tab's values under StatusKey follow the controls' rules: a
// missing or empty one leaves its field as it is (an older version's store
// keeps the defaults), one that is not a value of its range, or not a string,
// is passed over and named, by the value's name; so is a ping address that
// cannot be unprotected, without its text. The other values under
// StatusKey are never problems: a missing key or value, a value of another
// type or one that is no such date is "none". Only the record's group creates
// the key when it is missing.
LoadedSettings LoadStoredSettings(Registry& registry, const SecretProtector& protector,
                                  Groups groups = Groups::All, StoredSettings onto = {});

// Writes the values of `groups`, in field order, and returns false, ending the
// pass, when a key cannot be opened or created: the values before it are
// stored, and a caller never reports a save that did not happen. A control's
// value that cannot be written raises RegistryError; one under StatusKey makes
// the result false. A disabled check box is not written (its key is still
// created), nor is the column width; LastResult is written only with
// LastBackup, and a stamp that is none is not written.
bool SaveStoredSettings(const StoredSettings& settings, Registry& registry, const SecretProtector& protector,
                        Groups groups);

// The restore test's plan as the stored options give it; a value outside its
// range (which loading never leaves) counts as the default's.
RestoreTestPlan StoredRestoreTestPlan(const StoredSettings& settings);

}  // namespace bakwyn::settings
