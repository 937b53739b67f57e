#pragma once
// What keeps the backups going, with or without a window: the schedule's
// tick, the making up of missed slots, the backups on a worker, the second
// copies, the status and the history, and the log lines they produce, told to
// whoever shows them. The program in the user's session and the service each
// build one; the program's window only edits what it applies.
//
// Portable: everything that needs Win32 is handed in.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/BackupStatus.h"
#include "app/Worker.h"
#include "engine/BackupEngine.h"
#include "engine/BackupSettings.h"
#include "engine/Clock.h"
#include "engine/DatabaseRestore.h"
#include "engine/FileSystem.h"
#include "engine/HealthCheck.h"
#include "engine/History.h"
#include "engine/Replica.h"
#include "engine/RestoreTest.h"
#include "form/Controls.h"
#include "settings/Registry.h"

namespace bakwyn::app {

// What a save or a load arms.
struct Schedule {
  BackupSettings settings;  // the slots' last-run dates are not taken from here
  bool makeUpMissed = false;
  // The stored number of days could not be read: cleanup stays off until a save.
  bool cleanupHeld = false;
};
// Whether two schedules ask for the same backups (the dates the slots last
// ran on are no part of what is asked).
bool SameSchedule(const Schedule& a, const Schedule& b);

// Told of what the runtime does, on the runtime's own thread.
class RuntimeObserver {
 public:
  virtual ~RuntimeObserver() = default;
  // A line of the log, already in the history (when it could be written).
  virtual void logged(const LocalDateTime& at, const std::string& text, bool kept) = 0;
  // A backup started (true) or ended (false).
  virtual void backupRunning(bool running) { (void)running; }
  // A backup starts (after the cleanup that goes before it): its lines follow.
  virtual void backupStarted(const LocalDateTime& at) { (void)at; }
  // What a backup came to, told after its lines.
  virtual void backupEnded(const BackupOutcome& outcome) { (void)outcome; }
  // What a restore test came to, told after its lines.
  virtual void restoreTested(const RestoreOutcome& outcome) { (void)outcome; }
  // What a restore of a backup into a database came to, told after its lines.
  virtual void restoreEnded(const RestoreResult& result) { (void)result; }
  // The copies after a backup did not all reach the second folder `folder`
  // (`lines` as logged); not told when they were stopped on purpose.
  virtual void copiesFailed(const std::string& folder, const std::vector<std::string>& lines) {
    (void)folder;
    (void)lines;
  }
  // An overdue warning as logged: of the backups, or of the restore test.
  virtual void overdue(bool restoreTest, const std::string& line) {
    (void)restoreTest;
    (void)line;
  }
  // Stored settings that could not be read, as logged (see logSettingsProblems).
  virtual void settingsUnreadable(const std::vector<std::string>& lines) { (void)lines; }
  // A line of the health checks as logged: a problem found, one found before
  // that is gone, or a check that could not be made.
  enum class Health { problem, resolved, notChecked };
  virtual void healthNoted(Health kind, const std::string& line) {
    (void)kind;
    (void)line;
  }
};

class Runtime {
 public:
  // Every reference must outlive the runtime. `engine` works from `settings`
  // and logs through log().
  // `tray`, when given, shows the state; `own`, when given, is this user's
  // own registry for what the machine's cannot take.
  Runtime(BackupSettings& settings, BackupEngine& engine, RestoreTest& restore, settings::Registry& registry,
          settings::Registry* own, const Clock& clock, History& history, FileSystem& files, Worker& worker,
          form::TrayIcon* tray, std::function<std::string()> computerName);
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  void addObserver(RuntimeObserver* observer) { observers_.push_back(observer); }
  // Runs `job` on the runtime's thread at its next tick (from any thread).
  void post(std::function<void()> job) { box_.post(std::move(job)); }

  // Start-up: the kept status comes back.
  void start();
  // Applies `schedule` and arms it; while a backup runs, once it has ended.
  void arm(const Schedule& schedule);
  void disarm() { armed_ = false; }
  bool armed() const { return armed_; }
  const Schedule& schedule() const { return schedule_; }
  // What was armed last: applied, or waiting for the backup under way to end.
  const Schedule& latest() const { return pending_ ? *pending_ : schedule_; }

  // Whether this runtime schedules (holds the scheduler's lock); one that
  // does not only keeps its log.
  void setScheduling(bool scheduling);
  bool scheduling() const { return scheduling_; }

  // Makes up the missed slots at the next tick, when asked to (at start, after a wake).
  void makeUpAtNextTick();
  void powerResume();
  // The dates the slots last ran on, where kept, into the run-time settings.
  void applyKeptSlotDates();
  // A start forgets the dates the slots ran on (they are kept in the registry).
  void forgetSlotDates() {
    for (SlotState& slot : settings_.slots) slot.lastRunDate.clear();
  }

  // The 100-millisecond tick. Does not allocate when nothing is due.
  void tick();
  // Whether a backup runs now; cancels it (the server is asked to stop the statement).
  bool backupRunning() const { return worker_.busy(); }
  // A backup now, outside the schedule (false while one runs); the cleanup alone.
  bool backupNow();
  void cleanUpNow();
  // Also ends a restore test under way (its scratch database is dropped).
  void cancelBackup();
  // A restore test of the newest verified backup now, outside its schedule
  // (false while a backup or a test runs).
  bool restoreTestNow();
  // Whether a restore test runs now.
  bool restoreTestRunning() const { return testing_; }
  // Restores a backup as `plan` says, on the worker, through the restorer
  // given (false while a backup, a test or another restore runs, or with no
  // restorer). It is never stopped for a slot: a slot whose minute comes
  // meanwhile waits for its end and then runs, stamped with that minute.
  bool restoreDatabase(RestorePlan plan);
  // The same, with the plan made on the worker first (a restore asked of the
  // service, planned again there from what it lists). A refusal is logged as
  // "数据库恢复未开始: ..." and told as a failed restore.
  bool restoreDatabase(std::function<PlannedRestore()> plan);
  bool restoringDatabase() const { return restoring_; }
  // Ends the restore under way soon; one over the current database still
  // leaves it open to every user.
  void cancelRestore();
  void setDatabaseRestore(DatabaseRestore* restorer) { restorer_ = restorer; }
  // The health checks (what makes backups fail later), run on the worker once
  // a day, after the day's first backup time, when given.
  void setHealthCheck(std::function<HealthReport()> check) { healthCheck_ = std::move(check); }
  // Logs what a health check found (the daily one, or a save's), with a
  // balloon once a day for each problem, a problem found before and not now as
  // resolved, and a check that could not be made once.
  void healthChecked(const HealthReport& report);
  // Ends the copies to the second folder between two pieces (the program or
  // the service ends); the backup itself goes on.
  void stopCopies() { stopCopies_ = true; }

  // Appends `text` to the history and tells the observers. From another
  // thread (a backup's), the line is handed to the runtime's thread first.
  void log(const std::string& text);
  // Logs what of the stored settings could not be read, one line each, and
  // tells the observers of them together (nothing for none).
  void logSettingsProblems(const std::vector<std::string>& lines);

  BackupStatus& status() { return status_; }
  FileSystem& files() { return files_; }
  const BackupStatus& status() const { return status_; }
  History& history() { return history_; }
  LocalDateTime now() const { return clock_.now(); }

 private:
  void logAt(const LocalDateTime& at, const std::string& text);
  void apply(const Schedule& schedule);
  // What runs on the worker, as the tray tells it.
  enum class Job { backup, restoreTest, check, restore };
  // Runs `job` on the worker, told as what `kind` says.
  void run(std::function<void()> job, Job kind = Job::backup);
  void startHealthCheck(const LocalDateTime& now);
  void startRestoreTest(const LocalDateTime& now);
  // Drops, on the worker, the scratch database of a test that a crash cut
  // short (only when one was marked open); false when there is none to look for.
  bool dropLeftover();
  // Starts the backup that makes up the missed slots; false when none was missed.
  bool makeUp(const LocalDateTime& now);
  void madeUp(bool reached, const LocalDateTime& now);
  void begin();
  void end();
  // This computer's name, for the folder of its copies in the second folder.
  std::string thisComputer();

  BackupSettings& settings_;
  BackupEngine& engine_;
  RestoreTest& restore_;
  settings::Registry& registry_;
  settings::Registry* own_;
  const Clock& clock_;
  History& history_;
  FileSystem& files_;
  // A successful backup's copies, made on the worker once the backup's job is done.
  std::optional<ReplicaRequest> copies_;
  std::atomic<bool> stopCopies_{false};
  Worker& worker_;
  std::function<std::string()> computerName_;
  BackupStatus status_;
  std::vector<RuntimeObserver*> observers_;
  PostBox box_;
  std::thread::id owner_;
  Schedule schedule_;
  std::optional<Schedule> pending_;  // armed while a backup ran
  bool armed_ = false;
  bool scheduling_ = true;
  bool makeUpDue_ = false;
  // A made-up backup that could not reach the server: when it is tried again,
  // and until when it is tried at all (CalendarMilliseconds); nothing when none waits.
  std::optional<std::int64_t> makeUpRetryAt_;
  std::int64_t makeUpGiveUpAt_ = 0;
  // The restore test: one runs now; the day ("yyyymmdd") the last one ran;
  // the minute its plan was last looked at; a slot that came while it (or a
  // restore) ran, to run once it has ended, with the clock reading that found
  // it due.
  bool testing_ = false;
  std::string lastTestDate_;
  int testCheckedMinute_ = -1;
  std::optional<std::pair<int, LocalDateTime>> slotAfterTest_;
  // A restore of a backup into a database runs now, through `restorer_`.
  bool restoring_ = false;
  bool slotWaitedForRestore_ = false;  // slotAfterTest_ came during a restore
  DatabaseRestore* restorer_ = nullptr;
  // A scratch database that a test cut short may have left is looked for once.
  bool leftoverChecked_ = false;
  // The health checks: the day ("yyyymmdd") they last ran on; the problems
  // found, each with the day its balloon was last shown; the checks that could
  // not be made, said once.
  std::function<HealthReport()> healthCheck_;
  std::string lastHealthDate_;
  std::map<std::string, std::string> healthFound_;
  std::set<std::string> healthSkipsSaid_;
};

}  // namespace bakwyn::app
