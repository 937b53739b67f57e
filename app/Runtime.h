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
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/BackupStatus.h"
#include "app/Worker.h"
#include "engine/BackupEngine.h"
#include "engine/BackupSettings.h"
#include "engine/Clock.h"
#include "engine/FileSystem.h"
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
  // Ends the copies to the second folder between two pieces (the program or
  // the service ends); the backup itself goes on.
  void stopCopies() { stopCopies_ = true; }

  // Appends `text` to the history and tells the observers. From another
  // thread (a backup's), the line is handed to the runtime's thread first.
  void log(const std::string& text);

  BackupStatus& status() { return status_; }
  const BackupStatus& status() const { return status_; }
  History& history() { return history_; }
  LocalDateTime now() const { return clock_.now(); }

 private:
  void logAt(const LocalDateTime& at, const std::string& text);
  void apply(const Schedule& schedule);
  // Runs `job` on the worker, told as a backup that runs (or, with `test`, a
  // restore test).
  void run(std::function<void()> job, bool test = false);
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
  // the minute its plan was last looked at; a slot that came while it ran,
  // to run once it has ended, with the clock reading that found it due.
  bool testing_ = false;
  std::string lastTestDate_;
  int testCheckedMinute_ = -1;
  std::optional<std::pair<int, LocalDateTime>> slotAfterTest_;
  // A scratch database that a test cut short may have left is looked for once.
  bool leftoverChecked_ = false;
};

// Everything a runtime works with, made the same way for the program in the
// user's session and for the service: the run-time settings, the history, the
// engine (which logs through the runtime) and the runtime. Every reference
// must outlive it; `worker` must end its job before this is destroyed.
struct Backups {
  Backups(const Clock& clock, ServerSession& session, FileSystem& files, settings::Registry& registry,
          settings::Registry* own, std::string historyPath, std::string ownHistoryPath, Worker& worker,
          form::TrayIcon* tray, std::function<std::string()> computerName)
      : history(files, std::move(historyPath), std::move(ownHistoryPath)),
        engine(settings, clock, session, files, [this](const std::string& line) { runtime.log(line); }),
        restore(settings, clock, session, files, [this](const std::string& line) { runtime.log(line); }),
        runtime(settings, engine, restore, registry, own, clock, history, files, worker, tray,
                std::move(computerName)) {}
  Backups(const Backups&) = delete;
  Backups& operator=(const Backups&) = delete;

  BackupSettings settings;
  History history;
  BackupEngine engine;
  RestoreTest restore;  // on the engine's session: only one of them runs at a time, on the worker
  Runtime runtime;
};

}  // namespace bakwyn::app
