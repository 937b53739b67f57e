#pragma once
// What the tray icon tells at a glance, and what is kept of it across restarts:
// the last backup's time and result, and whether no backup has succeeded for
// longer than the schedule allows.
//
// The state lives in the registry beside the control states, under a key of its
// own that older versions never read: "Software\Tarsel软件\Oskavel\Bakwyn".
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engine/BackupEngine.h"
#include "engine/BackupSettings.h"
#include "engine/RestoreTest.h"
#include "engine/Clock.h"
#include "engine/DatabaseRestore.h"
#include "form/Controls.h"
#include "settings/Registry.h"

namespace bakwyn::app {

inline constexpr std::string_view kStatusKey = "Software\\Tarsel软件\\Oskavel\\Bakwyn";

struct BackupRecord {
  std::optional<LocalDateTime> lastBackup;   // when the last backup started
  bool lastSucceeded = false;
  std::optional<LocalDateTime> lastSuccess;  // when the last successful one started
  std::optional<LocalDateTime> armedSince;   // when a schedule was first armed, for a machine that never succeeded
  std::optional<LocalDateTime> lastRestoreTest;    // when the last restore test started, whatever came of it
  std::optional<LocalDateTime> restoreTestPassed;  // when the last one that passed started
  std::string restoreTestPassedBackup;  // "<set>|<backup file>" it restored; "" when not known
};

// The backup set the last passed restore test restored, when known.
std::optional<TestedSet> PassedTestSet(const BackupRecord& record);

// Whether a restore test was under way when this was last stored ("RestoreTestOpen"
// "1"): its scratch database may still be on the server.
bool LoadRestoreTestOpen(settings::Registry& registry);
bool StoreRestoreTestOpen(settings::Registry& registry, bool open);
// One value under the status key; false when it cannot be written (a
// program without administrator rights).
bool StoreStatusValue(settings::Registry& registry, const std::string& name, const std::string& data);

// The second folder every backup is copied to ("" for none), kept as "CopyFolder"
// under the same key: beside the control states, never among them.
std::string LoadCopyFolder(settings::Registry& registry);
bool StoreCopyFolder(settings::Registry& registry, const std::string& folder);

// Whether missed backups are made up, kept as "MakeUpMissed" ("1" on; anything
// else, or none, off: the default) under the same key.
bool LoadMakeUpMissed(settings::Registry& registry);
bool StoreMakeUpMissed(settings::Registry& registry, bool on);

// The date ("yyyymmdd") each slot last ran on, kept as "Slot1LastRun" to
// "Slot4LastRun" under the same key, so that a restart does not run a slot
// again on a day it already ran. "" for none, and for anything that is no such date.
std::array<std::string, 4> LoadSlotStamps(settings::Registry& registry);
bool StoreSlotStamp(settings::Registry& registry, int slot, const std::string& date);

BackupRecord LoadBackupRecord(settings::Registry& registry);
// False when it could not be stored (no write access to HKEY_LOCAL_MACHINE).
bool StoreBackupRecord(settings::Registry& registry, const BackupRecord& record);
// What two records kept in different places (the machine's, and a user's own
// when the machine's could not be written) say together: the later last
// backup with its result, the later last success, the earlier arming.
BackupRecord Merged(const BackupRecord& a, const BackupRecord& b);

// The enabled slot minute that should have brought the first backup after
// `since`, when no backup succeeded since: the next enabled slot after it, as
// CalendarMilliseconds. Nothing when no slot is enabled.
std::optional<std::int64_t> FirstSlotAfter(const BackupSettings& settings, const LocalDateTime& since);

// True when a slot that should have made a backup passed more than a day ago
// and no backup has succeeded since before it: whatever the reason (the
// machine was off at the slot, every try failed).
bool BackupOverdue(const BackupSettings& settings, const BackupRecord& record, const LocalDateTime& now);

class BackupStatus {
 public:
  // `log` writes a line to the log (and the history). `own`, when given, is
  // where the state goes when `registry` cannot be written (a program without
  // administrator rights under UAC); what is loaded is what both say together,
  // so that the icon shows what actually happened, not what could be stored.
  // `tray`, when given, shows the state (the service has none).
  BackupStatus(form::TrayIcon* tray, settings::Registry& registry, const BackupSettings& settings,
               std::function<void(const std::string&)> log, settings::Registry* own = nullptr);

  // At start-up: the kept state comes back onto the icon.
  void load();
  // The schedule is armed: the overdue clock of a machine that never succeeded starts now.
  void armed(const LocalDateTime& now);
  // After every backup.
  void record(const BackupOutcome& outcome);
  // After every restore test, passed or not, run or not.
  void recordRestoreTest(const RestoreOutcome& outcome);
  // Once a minute is enough; calls in between cost a comparison.
  void check(const LocalDateTime& now);

  // A balloon of the tray icon, when there is one (the service has none).
  void warn(const std::string& title, const std::string& text) {
    if (tray_) tray_->notify(title, text);
  }
  // Cleanup is held off because the stored number of days cannot be read: the tip says so.
  void setCleanupHeld(bool held);
  // A backup of `database` runs, `percent` done when the server said so; the
  // tip shows it, until it ends (nothing).
  void setRunning(std::optional<std::string> database, std::optional<int> percent = std::nullopt);
  // A restore test of `database` runs (nothing: none does); the tip says so.
  void setTesting(std::optional<std::string> database);

  // Told of each overdue warning as it is logged: of the backups (false) or
  // of the restore test (true).
  std::function<void(bool restoreTest, const std::string& line)> onOverdue;

  const BackupRecord& state() const { return record_; }
  bool overdue() const { return overdue_; }
  bool restoreTestOverdue() const { return testOverdue_; }

 private:
  void show();
  void store();

  form::TrayIcon* tray_;
  settings::Registry& registry_;
  settings::Registry* own_;
  const BackupSettings& settings_;
  std::function<void(const std::string&)> log_;
  BackupRecord record_;
  bool overdue_ = false;
  bool cleanupHeld_ = false;
  std::optional<std::string> running_;  // the database a backup of runs now
  std::optional<int> percent_;
  std::optional<std::string> testing_;  // the database a restore test of runs now
  std::string testResult_;               // of this run's last test: "成功", "失败", ...; empty when none ran
  bool testOverdue_ = false;
  int checkedMinute_ = -1;
};

}  // namespace bakwyn::app
