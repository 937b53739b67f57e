#include "app/Runtime.h"

#include "app/RestoreSchedule.h"
#include "engine/VerifiedBackups.h"

#include <algorithm>
#include <array>
#include <utility>

namespace bakwyn::app {
namespace {

// A made-up backup that cannot reach the server is tried again this often, for this long.
constexpr std::int64_t kMakeUpRetryEvery = 5LL * 60 * 1000;
constexpr std::int64_t kMakeUpRetryFor = 60LL * 60 * 1000;

bool SameSlots(const BackupSettings& a, const BackupSettings& b) {
  for (size_t i = 0; i < a.slots.size(); ++i) {
    if (a.slots[i].enabled != b.slots[i].enabled || a.slots[i].time != b.slots[i].time) return false;
  }
  return true;
}

}  // namespace

bool SameSchedule(const Schedule& a, const Schedule& b) {
  const BackupSettings &x = a.settings, &y = b.settings;
  return x.server == y.server && x.user == y.user && x.password == y.password && x.database == y.database &&
         x.backupDir == y.backupDir && SameSlots(x, y) && x.cleanupEnabled == y.cleanupEnabled &&
         x.retentionDays == y.retentionDays && x.replicaDir == y.replicaDir && x.stallMinutes == y.stallMinutes &&
         x.verifyBackups == y.verifyBackups && x.restoreTest == y.restoreTest && x.logBackups == y.logBackups && x.pingAddress == y.pingAddress &&
         x.restoreTestPingAddress == y.restoreTestPingAddress && a.makeUpMissed == b.makeUpMissed &&
         a.cleanupHeld == b.cleanupHeld;
}

Runtime::Runtime(BackupSettings& settings, BackupEngine& engine, RestoreTest& restore, settings::Registry& registry,
                 settings::Registry* own, const Clock& clock, History& history, FileSystem& files, Worker& worker,
                 form::TrayIcon* tray, std::function<std::string()> computerName)
    : settings_(settings), engine_(engine), restore_(restore), registry_(registry), own_(own), clock_(clock),
      history_(history), files_(files), worker_(worker), computerName_(std::move(computerName)),
      status_(tray, registry, settings, [this](const std::string& line) { log(line); }, own),
      owner_(std::this_thread::get_id()) {
  // The engine's hooks run on the worker: what they tell is handed to this
  // runtime's thread, where the status, the registry's dates and the copies
  // are looked after.
  engine_.onStamp = [this](int slot, const std::string& date) {
    // The date each slot last ran on outlives the program: a made-up backup,
    // the service and a program taking over from it know what ran today.
    box_.post([this, slot, date] {
      if (!StoreSlotStamp(registry_, slot, date) && own_) StoreSlotStamp(*own_, slot, date);
    });
  };
  engine_.onProgress = [this](int percent) {
    box_.post([this, percent] { status_.setRunning(settings_.database, percent); });
  };
  engine_.onStart = [this](const LocalDateTime& started) {
    box_.post([this, started] {
      for (RuntimeObserver* observer : observers_) observer->backupStarted(started);
    });
  };
  engine_.onOutcome = [this](const BackupOutcome& outcome) {
    box_.post([this, outcome] {
      status_.record(outcome);
      for (RuntimeObserver* observer : observers_) observer->backupEnded(outcome);
    });
    // After each successful backup, the backups not yet in the second folder
    // go there, on this worker, once the backup's job is done.
    if (outcome.succeeded && !settings_.replicaDir.empty())
      copies_ = ReplicaRequest{settings_.backupDir, settings_.replicaDir, outcome.path, settings_.cleanupEnabled,
                               settings_.retentionDays, thisComputer(), settings_.database, settings_.verifyBackups};
  };
  restore_.onOutcome = [this](const RestoreOutcome& outcome) {
    box_.post([this, outcome] {
      status_.recordRestoreTest(outcome);
      for (RuntimeObserver* observer : observers_) observer->restoreTested(outcome);
    });
  };
  status_.onOverdue = [this](bool restoreTest, const std::string& line) {
    for (RuntimeObserver* observer : observers_) observer->overdue(restoreTest, line);
  };
}

Runtime::~Runtime() {
  // A backup under way is cancelled and waited for by the worker's owner;
  // its hooks must not outlive this.
  engine_.onStamp = nullptr;
  engine_.onStart = nullptr;
  engine_.onOutcome = nullptr;
  engine_.onProgress = nullptr;
  restore_.onOutcome = nullptr;
}

std::string Runtime::thisComputer() {
  // The name of today, as the server's: a renamed computer's copies go on
  // beside its new name.
  return computerName_ ? computerName_() : std::string();
}

void Runtime::log(const std::string& text) {
  const LocalDateTime at = clock_.now();
  if (std::this_thread::get_id() != owner_) {
    box_.post([this, at, text] { logAt(at, text); });
    return;
  }
  logAt(at, text);
}

void Runtime::logSettingsProblems(const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  for (const std::string& line : lines) log(line);
  for (RuntimeObserver* observer : observers_) observer->settingsUnreadable(lines);
}

void Runtime::logAt(const LocalDateTime& at, const std::string& text) {
  // A history that cannot be written (no rights to its folder, a full disk)
  // never stops the line from reaching whoever shows it.
  const bool kept = history_.append(at, text);
  for (RuntimeObserver* observer : observers_) observer->logged(at, text, kept);
}

void Runtime::start() {
  status_.load();
  // A test run today, before a restart, is not run again today.
  if (const std::optional<LocalDateTime>& last = status_.state().lastRestoreTest) {
    char date[8];
    FormatDate(*last, date);
    lastTestDate_.assign(date, sizeof date);
  }
}

void Runtime::arm(const Schedule& schedule) {
  // The worker reads the run-time settings while a backup runs: they change
  // once it has ended.
  if (worker_.busy()) {
    pending_ = schedule;
    return;
  }
  apply(schedule);
}

void Runtime::apply(const Schedule& schedule) {
  pending_.reset();
  std::array<std::string, 4> ran;
  for (size_t i = 0; i < ran.size(); ++i) ran[i] = settings_.slots[i].lastRunDate;
  schedule_ = schedule;
  settings_ = schedule.settings;
  for (size_t i = 0; i < ran.size(); ++i) settings_.slots[i].lastRunDate = ran[i];
  // Held off while the stored number of days cannot be read, until a save.
  settings_.cleanupEnabled = schedule.settings.cleanupEnabled && !schedule.cleanupHeld;
  status_.setCleanupHeld(schedule.settings.cleanupEnabled && schedule.cleanupHeld);
  armed_ = true;
  status_.armed(clock_.now());
}

void Runtime::setScheduling(bool scheduling) {
  if (scheduling == scheduling_) return;
  scheduling_ = scheduling;
  // Taking over: a slot the other scheduler ran today does not run again.
  if (scheduling) applyKeptSlotDates();
}

void Runtime::makeUpAtNextTick() {
  makeUpDue_ = schedule_.makeUpMissed;
  makeUpRetryAt_.reset();
}

void Runtime::powerResume() {
  // The computer woke: the slots missed while it slept are made up, when asked.
  if (schedule_.makeUpMissed && !makeUpRetryAt_) makeUpDue_ = true;
}

void Runtime::applyKeptSlotDates() {
  std::array<std::string, 4> kept = LoadSlotStamps(registry_);
  if (own_) {
    // What this user's program kept where the machine's could not be written:
    // the later date of the two ("yyyymmdd" compares as the dates do).
    const std::array<std::string, 4> mine = LoadSlotStamps(*own_);
    for (size_t i = 0; i < kept.size(); ++i) kept[i] = std::max(kept[i], mine[i]);
  }
  for (size_t i = 0; i < settings_.slots.size(); ++i) {
    if (!kept[i].empty()) settings_.slots[i].lastRunDate = kept[i];
  }
}

void Runtime::tick() {
  // Idle before the box is emptied: whatever a backup that has ended posted
  // (the date its slot ran on among it) is then in the box.
  const bool idle = !worker_.busy();
  box_.drain();
  if (armed_ && scheduling_) {
    const LocalDateTime now = clock_.now();
    // A slot whose minute passes while a backup runs is missed (and made up
    // when asked), as it would be if the backup held the tick.
    if (idle) {
      if (pending_) apply(*pending_);
      bool started = false;
      if (makeUpDue_) {
        makeUpDue_ = false;
        makeUpRetryAt_.reset();
        makeUpGiveUpAt_ = CalendarMilliseconds(now) + kMakeUpRetryFor;
        started = makeUp(now);
      } else if (makeUpRetryAt_ && CalendarMilliseconds(now) >= *makeUpRetryAt_) {
        started = makeUp(now);
      }
      if (!started && slotAfterTest_) {
        // The slot that stopped a restore test runs now, stamped with the
        // minute it was due at.
        const auto [slot, due] = *slotAfterTest_;
        slotAfterTest_.reset();
        if (std::exchange(slotWaitedForRestore_, false)) log("数据库恢复已结束,开始等待的定时备份 (" + settings_.slots[slot - 1].time + ")");
        run([this, slot, due] { engine_.RunScheduledSlot(slot, due); });
        started = true;
      }
      if (!started) {
        if (const int slot = engine_.DueSlot(now)) {
          run([this, slot, now] { engine_.RunScheduledSlot(slot, now); });
          started = true;
        }
      }
      if (!started && !leftoverChecked_) {
        leftoverChecked_ = true;
        started = dropLeftover();
      }
      if (!started && now.minute != testCheckedMinute_) {
        testCheckedMinute_ = now.minute;
        // The health checks, once a day some minutes after its first backup
        // time; they take moments, and a test due then follows at the next minute.
        if (healthCheck_ && HealthCheckDue(settings_.slots, now, lastHealthDate_)) {
          startHealthCheck(now);
        } else if (RestoreTestDue(settings_.restoreTest, settings_.slots, now, lastTestDate_)) {
          startRestoreTest(now);
        }
      }
    } else if (restoring_) {
      // A restore is never interrupted, least of all one over the database
      // the slot would back up: the slot waits for its end.
      if (!slotAfterTest_) {
        if (const int slot = engine_.DueSlot(now)) {
          slotAfterTest_.emplace(slot, now);
          slotWaitedForRestore_ = true;
          log("定时备份 (" + settings_.slots[slot - 1].time + ") 等待数据库恢复结束后运行");
        }
      }
    } else if (testing_) {
      // A backup matters more than a test: a slot whose minute comes while
      // one runs stops it, and runs as soon as it has ended. Asked again at
      // every tick, in case the test had not quite begun at the first.
      if (!slotAfterTest_) {
        if (const int slot = engine_.DueSlot(now)) slotAfterTest_.emplace(slot, now);
      }
      if (slotAfterTest_) restore_.cancel("备份时间到");
    }
    status_.check(now);
  }
}

void Runtime::begin() {
  for (RuntimeObserver* observer : observers_) observer->backupRunning(true);
}

void Runtime::end() {
  status_.setRunning(std::nullopt);
  status_.setTesting(std::nullopt);
  testing_ = false;
  restoring_ = false;
  for (RuntimeObserver* observer : observers_) observer->backupRunning(false);
}

void Runtime::run(std::function<void()> job, Job kind) {
  testing_ = kind == Job::restoreTest;
  restoring_ = kind == Job::restore;
  if (kind == Job::restoreTest) status_.setTesting(settings_.database);
  if (kind == Job::backup) status_.setRunning(settings_.database);
  // A check is no backup: the tray's menu and tip stay as they are.
  if (kind != Job::check) begin();
  copies_.reset();
  stopCopies_ = false;
  worker_.start([this, job = std::move(job)] {
    // The worker's thread ends here: nothing may leave it unsaid. The engine
    // reports every failure of a backup itself; what still comes this far is
    // a fault of the program, logged as such.
    try {
      job();
      if (copies_ && !stopCopies_) {
        const ReplicaReport report = ReplicateBackups(files_, *copies_, clock_.now(), &stopCopies_);
        for (const std::string& line : report.lines) log(line);
        if (!report.complete && !stopCopies_) {
          box_.post([this, folder = copies_->replicaDir, lines = report.lines] {
            for (RuntimeObserver* observer : observers_) observer->copiesFailed(folder, lines);
          });
        }
      }
    } catch (const std::exception& e) {
      log(std::string("程序内部错误,本次备份中断: ") + e.what());
    } catch (...) {
      log("程序内部错误,本次备份中断");
    }
    box_.post([this] { end(); });
  });
  // A worker that runs the job at once has posted everything already.
  if (!worker_.busy()) box_.drain();
}

bool Runtime::backupNow() {
  if (worker_.busy()) return false;
  run([this] { engine_.BakExecute(); });
  return true;
}

void Runtime::cleanUpNow() {
  if (worker_.busy()) return;
  run([this] { engine_.deleteoldfileExecute(); });
}

bool Runtime::makeUp(const LocalDateTime& now) {
  makeUpRetryAt_.reset();
  const std::vector<int> slots = engine_.MissedSlots(now);
  if (slots.empty()) return false;
  run([this, slots, now] {
    const bool reached = engine_.RunMadeUpBackup(slots, now);
    box_.post([this, reached, now] { madeUp(reached, now); });
    // A slot whose minute it is still runs after the ones made up.
    const LocalDateTime later = clock_.now();
    if (const int slot = engine_.DueSlot(later)) engine_.RunScheduledSlot(slot, later);
  });
  return true;
}

void Runtime::madeUp(bool reached, const LocalDateTime& now) {
  if (reached) return;
  // Made up at boot, the backup may come before the server's service has
  // started: it has not run, so nothing is stamped, and it is tried again.
  const std::int64_t next = CalendarMilliseconds(now) + kMakeUpRetryEvery;
  if (next > makeUpGiveUpAt_) {
    log("补做的备份一小时内无法连接到SQL服务器,不再重试");
    return;
  }
  makeUpRetryAt_ = next;
  log("补做的备份无法连接到SQL服务器,5分钟后再试");
}

bool Runtime::restoreTestNow() {
  if (worker_.busy()) return false;
  startRestoreTest(clock_.now());
  return true;
}

void Runtime::startRestoreTest(const LocalDateTime& now) {
  char date[8];
  FormatDate(now, date);
  lastTestDate_.assign(date, sizeof date);
  // Marked open until it has ended: a test cut short by a crash or a power
  // cut leaves its scratch database, which the next start drops.
  if (!StoreRestoreTestOpen(registry_, true) && own_) StoreRestoreTestOpen(*own_, true);
  run(
      [this] {
        // The record of verified backups is read whatever the setting is now:
        // a backup verified before verification was turned off is still proven.
        const std::optional<VerifiedBackup> newest = NewestVerified(files_, settings_.backupDir, clock_.now());
        restore_.Run(newest ? newest->path : std::string(), newest ? newest->position : 0);
        box_.post([this] {
          if (!StoreRestoreTestOpen(registry_, false) && own_) StoreRestoreTestOpen(*own_, false);
        });
      },
      Job::restoreTest);
}

void Runtime::startHealthCheck(const LocalDateTime& now) {
  char date[8];
  FormatDate(now, date);
  lastHealthDate_.assign(date, sizeof date);
  run(
      [this] {
        HealthReport report = healthCheck_();
        box_.post([this, report = std::move(report)] { healthChecked(report); });
      },
      Job::check);
}

void Runtime::healthChecked(const HealthReport& report) {
  const auto note = [this](RuntimeObserver::Health kind, const std::string& line) {
    log(line);
    for (RuntimeObserver* observer : observers_) observer->healthNoted(kind, line);
  };
  for (const std::string& line : report.skipped) {
    if (healthSkipsSaid_.insert(line).second) note(RuntimeObserver::Health::notChecked, line);
  }
  if (!report.reached) return;
  char date[8];
  FormatDate(clock_.now(), date);
  const std::string today(date, sizeof date);
  std::set<std::string> found;
  for (const HealthFinding& finding : report.findings) {
    found.insert(finding.key);
    note(RuntimeObserver::Health::problem, finding.line);
    std::string& shown = healthFound_[finding.key];
    if (shown != today) {
      shown = today;
      status_.warn(finding.title, finding.line);
    }
  }
  // A check that could not be made finds nothing: what it found before is
  // not resolved by that.
  if (!report.skipped.empty()) return;
  for (auto it = healthFound_.begin(); it != healthFound_.end();) {
    if (found.count(it->first)) {
      ++it;
      continue;
    }
    // A database that grew from one level of its size limit to the next is
    // no resolved problem.
    const bool sizeLevel = it->first.starts_with("size-");
    const bool stillSize = sizeLevel && std::any_of(found.begin(), found.end(), [](const std::string& key) {
                             return key.starts_with("size-");
                           });
    if (!stillSize) {
      if (const std::optional<std::string> line = HealthResolvedLine(it->first, settings_.database))
        note(RuntimeObserver::Health::resolved, *line);
    }
    it = healthFound_.erase(it);
  }
}

bool Runtime::dropLeftover() {
  if (!LoadRestoreTestOpen(registry_) && !(own_ && LoadRestoreTestOpen(*own_))) return false;
  run([this] {
    if (!restore_.DropLeftover()) return;
    box_.post([this] {
      if (!StoreRestoreTestOpen(registry_, false) && own_) StoreRestoreTestOpen(*own_, false);
    });
  });
  return true;
}

bool Runtime::restoreDatabase(RestorePlan plan) {
  return restoreDatabase([plan = std::move(plan)] { return PlannedRestore{plan, {}}; });
}

bool Runtime::restoreDatabase(std::function<PlannedRestore()> plan) {
  if (worker_.busy() || !restorer_) return false;
  run(
      [this, plan = std::move(plan)] {
        const PlannedRestore planned = plan();
        RestoreResult result;
        if (planned.plan) {
          result = restorer_->Run(settings_, *planned.plan);
        } else {
          log("数据库恢复未开始: " + planned.refusal);
          result.cause = planned.refusal;
          result.database = settings_.database;
        }
        box_.post([this, result] {
          for (RuntimeObserver* observer : observers_) observer->restoreEnded(result);
        });
      },
      Job::restore);
  return true;
}

void Runtime::cancelRestore() {
  if (restoring_ && restorer_) restorer_->cancel();
}

void Runtime::cancelBackup() {
  if (!worker_.busy()) return;
  if (testing_) restore_.cancel("已从托盘菜单取消");
  // The engine asks the server to stop the statement, and asks again until
  // it has; copies after it end between two pieces.
  engine_.cancelBackup();
  stopCopies_ = true;
}

}  // namespace bakwyn::app
