// The runtime with its backups on a worker thread: the tick, the tray and a
// save never wait for a backup, and what the backup tells reaches them.
#include "app/Runtime.h"
#include "app/RestoreRequest.h"

#include "app/StoredSchedule.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "form/Controls.h"
#include "settings/MemoryRegistry.h"
#include "tests/support/EngineFakes.h"
#include "tests/support/FakeSession.h"
#include "tests/support/TestProtector.h"

namespace bakwyn::app {
namespace {

using ::testing::Contains;
using ::testing::Not;

struct Lines final : RuntimeObserver {
  void logged(const LocalDateTime&, const std::string& text, bool) override { lines.push_back(text); }
  void backupRunning(bool running) override { runs.push_back(running); }
  std::vector<std::string> lines;
  std::vector<bool> runs;
};

// The runtime as the program builds it, over fakes, with a real worker thread.
struct Rig {
  BackupSettings settings;
  testing::FakeClock clock{{2026, 12, 10, 7, 5, 9, 0}};
  testing::FakeSession session;
  testing::MemoryFiles files;  // the backups' and the copies', used on the worker
  settings::MemoryRegistry registry;
  form::TrayIcon tray{"rmTrayIcon1"};
  // The history is written on the runtime's thread, while the worker uses
  // `files`: a file system of its own, as the fake is not made for two threads
  // (the real one keeps no state).
  testing::MemoryFiles historyFiles;
  History history{historyFiles, "C:\\ProgramData\\Bakwyn\\Bakwyn.log"};
  ThreadWorker worker;
  BackupEngine engine{settings, clock, session, files, [this](const std::string& line) { runtime.log(line); }};
  RestoreTest restore{settings, clock, session, files, [this](const std::string& line) { runtime.log(line); }};
  Runtime runtime{settings, engine, restore, registry, nullptr, clock, history, files, worker, &tray,
                  [] { return std::string("OFFICE1"); }};
  Lines seen;

  Rig() {
    runtime.addObserver(&seen);
    Schedule schedule;
    schedule.settings.database = "shop";
    schedule.settings.backupDir = "D:\\bak\\";
    schedule.settings.slots[0] = {true, "07:05", {}};
    schedule.settings.slots[1] = {true, "07:06", {}};
    runtime.arm(schedule);
  }
  ~Rig() {
    session.runUntilCancelled = false;
    runtime.cancelBackup();
  }
  // Ticks until `done` holds; a few seconds at most, so that a fault fails
  // the test instead of hanging it.
  bool tickUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 500; ++i) {
      runtime.tick();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // The BACKUP statements sent; a verified backup's own statements follow them.
  size_t backups() const {
    size_t n = 0;
    for (const std::string& sql : session.statements) n += sql.rfind("BACKUP DATABASE ", 0) == 0 ? 1 : 0;
    return n;
  }
};

TEST(Runtime, ABackupThatHangsHoldsNothingAndEndsCancelledWhenAsked) {
  Rig r;
  r.session.runUntilCancelled = true;
  r.session.onExecute = [&](const std::string&) { r.session.say({"01000", 3211, "40 percent processed."}); };

  r.runtime.tick();  // 07:05: the first slot's backup starts, and the tick returns
  ASSERT_TRUE(r.tickUntil([&] { return r.tray.tip().find("正在备份 shop… 40%") != std::string::npos; }))
      << r.tray.tip();
  EXPECT_TRUE(r.runtime.backupRunning());
  EXPECT_EQ(r.seen.runs, std::vector<bool>{true});

  // The next slot's minute passes while the backup runs: it is missed, not queued.
  r.clock.set(7, 6);
  for (int i = 0; i < 5; ++i) r.runtime.tick();
  // A save while the backup runs is applied once it has ended.
  Schedule later = r.runtime.schedule();
  later.settings.database = "商店";
  r.runtime.arm(later);
  EXPECT_EQ(r.settings.database, "shop") << "the worker reads the settings while it runs";

  r.clock.set(7, 7);
  r.runtime.cancelBackup();
  ASSERT_TRUE(r.tickUntil([&] { return !r.runtime.backupRunning() && r.seen.runs.size() == 2; }))
      << ::testing::PrintToString(r.seen.lines);
  r.runtime.tick();
  EXPECT_EQ(r.backups(), 1u) << "the slot whose minute passed during the backup did not run after it";
  EXPECT_EQ(r.settings.database, "商店");
  EXPECT_THAT(r.seen.lines, Contains("数据库备份已取消"));
  for (const std::string& line : r.seen.lines) EXPECT_EQ(line.find("数据库备份成功"), std::string::npos) << line;
  EXPECT_EQ(r.registry.value(std::string(kStatusKey), "Slot1LastRun"), "20261210") << "it ran today";
  EXPECT_EQ(r.tray.tip().find("正在备份"), std::string::npos) << r.tray.tip();
  EXPECT_TRUE(r.tray.alarmed()) << "a cancelled backup is no success";
}

TEST(Runtime, LinesFromTheWorkerReachTheObserversOnTheRuntimesThread) {
  Rig r;
  std::thread::id logger;
  struct Where final : RuntimeObserver {
    std::thread::id* at;
    void logged(const LocalDateTime&, const std::string&, bool) override { *at = std::this_thread::get_id(); }
  } where;
  where.at = &logger;
  r.runtime.addObserver(&where);
  r.runtime.tick();
  ASSERT_TRUE(r.tickUntil([&] { return !r.runtime.backupRunning() && r.seen.runs.size() == 2; }));
  EXPECT_THAT(r.seen.lines, Contains(::testing::HasSubstr("数据库备份成功")));
  EXPECT_EQ(logger, std::this_thread::get_id());
  EXPECT_EQ(r.registry.value(std::string(kStatusKey), "Slot1LastRun"), "20261210");
}

// The copies to the second folder are made on the same worker, after the
// backup, and their lines reach the runtime's thread.
TEST(Runtime, TheCopiesFollowTheBackupOnTheSameWorker) {
  Rig r;
  Schedule withCopies = r.runtime.schedule();
  withCopies.settings.replicaDir = "E:\\副本\\";
  r.runtime.arm(withCopies);
  const LocalDateTime at{2026, 12, 10, 7, 5, 9, 0};
  std::thread::id backupThread;
  r.session.onExecute = [&](const std::string&) {
    backupThread = std::this_thread::get_id();
    r.files.add("D:\\bak\\" + BackupFileName(at), "TAPE", at);
  };
  r.runtime.tick();
  ASSERT_TRUE(r.tickUntil([&] { return !r.runtime.backupRunning() && r.seen.runs.size() == 2; }));
  const std::string copy = "E:\\副本\\OFFICE1\\shop\\" + BackupFileName(at);
  EXPECT_THAT(r.seen.lines, Contains("备份已复制到: " + copy));
  EXPECT_EQ(r.files.text(copy), "TAPE");
  EXPECT_NE(backupThread, std::this_thread::get_id()) << "the backup ran on the worker";
  EXPECT_EQ(r.seen.runs, (std::vector<bool>{true, false})) << "one job: the backup and its copies";
}

// What a backup's thread lets through (a fault of the program, not of the
// backup) is logged at the thread's end, and the runtime goes on.
TEST(Runtime, AFaultOnTheWorkerIsLoggedAndTheNextSlotStillRuns) {
  Rig r;
  r.session.onOpen = [] { throw 42; };
  r.runtime.tick();
  ASSERT_TRUE(r.tickUntil([&] { return !r.runtime.backupRunning() && r.seen.runs.size() == 2; }));
  for (int i = 0; i < 5; ++i) r.runtime.tick();  // still 07:05
  EXPECT_EQ(std::count(r.seen.lines.begin(), r.seen.lines.end(), "程序内部错误,本次备份中断"), 1)
      << "the slot counts as run: not started again in its minute";
  r.session.onOpen = nullptr;
  r.clock.set(7, 6);
  ASSERT_TRUE(r.tickUntil([&] { return !r.runtime.backupRunning() && r.seen.runs.size() == 4; }));
  EXPECT_EQ(r.backups(), 1u) << "the slot of 07:06 made its backup";
}

// A restore is never interrupted by a slot: the slot whose minute comes while
// it runs waits for its end, then runs, stamped with that minute; nothing else
// starts beside the restore.
// A restore the service is asked for is planned on its worker from its own
// list: a backup it does not list is refused (logged, ended as failed, no
// RESTORE sent); a listed one, named with other ASCII letter case, restores
// from the listed file.
TEST(Runtime, AnAskedRestoreIsPlannedFromTheListedBackupsOnly) {
  Rig r;
  r.clock.set(7, 4);
  r.settings.server = "OFFICE1";
  DatabaseRestore restorer{r.clock, r.session, [&r](const std::string& line) { r.runtime.log(line); }};
  r.runtime.setDatabaseRestore(&restorer);
  struct Ended final : RuntimeObserver {
    void logged(const LocalDateTime&, const std::string&, bool) override {}
    void restoreEnded(const RestoreResult& result) override { results.push_back(result); }
    std::vector<RestoreResult> results;
  } ended;
  r.runtime.addObserver(&ended);
  const std::string listed = "D:\\bak\\2026年12月10日07时04分.bak";
  r.files.add(listed, "a backup", r.clock.now());
  r.session.onQuery = [&](const std::string& sql) {
    if (sql == "RESTORE HEADERONLY FROM DISK = N'" + listed + "'")
      return QueryResult{{"BackupName", "BackupType", "Position", "DatabaseName", "BackupFinishDate"},
                         {{"Vorda软件Bakwyn", "1", "1", "shop", "2026-12-10 07:04:30.000"}}};
    if (sql.rfind("RESTORE FILELISTONLY", 0) == 0)
      return QueryResult{{"LogicalName", "PhysicalName", "Type"}, {{"shop", "C:\\Data\\shop.mdf", "D"}}};
    if (sql.rfind("SELECT CAST(SERVERPROPERTY", 0) == 0) return QueryResult{{"path"}, {{"E:\\SQLData\\"}}};
    return r.session.headers(sql);
  };
  const auto ask = [&](const std::string& path) {
    RestoreRequest request;
    request.id = "1-1";
    request.backupPath = path;
    request.newName = "shop_恢复_20261210_0704";
    const size_t before = ended.results.size();
    EXPECT_TRUE(r.runtime.restoreDatabase([&r, request] {
      return PlanRequestedRestore(r.settings, r.session, r.files, "OFFICE1", request, r.clock.now());
    }));
    EXPECT_TRUE(r.tickUntil([&] { return ended.results.size() == before + 1 && !r.runtime.backupRunning(); }));
  };

  ask("C:\\Windows\\elsewhere.bak");
  ASSERT_EQ(ended.results.size(), 1u);
  EXPECT_EQ(ended.results[0].outcome, RestoreResult::Outcome::failed);
  const std::string refusal = "备份 C:\\Windows\\elsewhere.bak (第1个备份集) 不在备份目录或第二目录的备份中";
  EXPECT_EQ(ended.results[0].cause, refusal);
  EXPECT_THAT(r.seen.lines, Contains("数据库恢复未开始: " + refusal));
  for (const std::string& sql : r.session.statements) EXPECT_EQ(sql.find("elsewhere"), std::string::npos) << sql;

  ask("d:\\BAK\\2026年12月10日07时04分.bak");
  ASSERT_EQ(ended.results.size(), 2u);
  EXPECT_EQ(ended.results[1].outcome, RestoreResult::Outcome::succeeded) << ended.results[1].cause;
  const std::string restore = "RESTORE DATABASE [shop_恢复_20261210_0704] FROM DISK = N'" + listed + "' WITH FILE = 1";
  EXPECT_TRUE(std::any_of(r.session.statements.begin(), r.session.statements.end(),
                          [&](const std::string& sql) { return sql.rfind(restore, 0) == 0; }))
      << ::testing::PrintToString(r.session.statements);
}

TEST(Runtime, ASlotDuringARestoreWaitsForItsEndAndThenRuns) {
  Rig r;
  r.clock.set(7, 4);
  DatabaseRestore restorer{r.clock, r.session, [&r](const std::string& line) { r.runtime.log(line); }};
  r.runtime.setDatabaseRestore(&restorer);
  struct Ended final : RuntimeObserver {
    void logged(const LocalDateTime&, const std::string&, bool) override {}
    void restoreEnded(const RestoreResult& result) override { results.push_back(result.outcome); }
    std::vector<RestoreResult::Outcome> results;
  } ended;
  r.runtime.addObserver(&ended);
  std::atomic<bool> release{false};
  r.session.onExecute = [&](const std::string& sql) {
    if (sql.rfind("RESTORE DATABASE ", 0) != 0) return;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  };

  RestorePlan plan;
  plan.database = "shop_恢复_20261210_0704";
  plan.from.path = "D:\\bak\\2026年12月10日07时00分.bak";
  plan.statements = {"RESTORE DATABASE [shop_恢复_20261210_0704] FROM DISK = N'D:\\bak\\2026年12月10日07时00分.bak' "
                     "WITH FILE = 1, STATS = 10"};
  ASSERT_TRUE(r.runtime.restoreDatabase(plan));
  EXPECT_FALSE(r.runtime.restoreDatabase(plan)) << "one restore at a time";
  EXPECT_FALSE(r.runtime.backupNow()) << "no backup beside a restore";
  ASSERT_TRUE(r.tickUntil([&] {
    return std::find(r.seen.lines.begin(), r.seen.lines.end(), "正在恢复数据库...") != r.seen.lines.end();
  }));
  EXPECT_TRUE(r.runtime.restoringDatabase());

  r.clock.set(7, 5);
  for (int i = 0; i < 10; ++i) r.runtime.tick();
  EXPECT_EQ(std::count(r.seen.lines.begin(), r.seen.lines.end(), "定时备份 (07:05) 等待数据库恢复结束后运行"), 1)
      << ::testing::PrintToString(r.seen.lines);
  EXPECT_EQ(r.backups(), 0u);

  release = true;
  ASSERT_TRUE(r.tickUntil([&] { return r.backups() == 1 && !r.runtime.backupRunning(); }))
      << ::testing::PrintToString(r.seen.lines);
  const auto at = [&](const std::string& prefix) {
    return std::find_if(r.seen.lines.begin(), r.seen.lines.end(),
                        [&](const std::string& line) { return line.rfind(prefix, 0) == 0; }) -
           r.seen.lines.begin();
  };
  EXPECT_LT(at("数据库恢复成功: "), at("数据库恢复已结束,开始等待的定时备份 (07:05)"));
  EXPECT_LT(at("数据库恢复已结束,开始等待的定时备份 (07:05)"), at("开始备份数据库..."));
  EXPECT_LT(at("开始备份数据库..."), static_cast<std::ptrdiff_t>(r.seen.lines.size()));
  EXPECT_EQ(ended.results, std::vector<RestoreResult::Outcome>{RestoreResult::Outcome::succeeded});
  EXPECT_FALSE(r.runtime.restoringDatabase());
  EXPECT_EQ(r.registry.value(std::string(kStatusKey), "Slot1LastRun"), "20261210");
}

// The service's start and reload, without a window: the stored schedule with
// the dates the slots ran on today, and "已重新读取设置" only when a save
// changed what runs.
TEST(Runtime, TheServiceStartsFromTheStoreAndTellsAReloadOnlyWhenSomethingChanged) {
  BackupSettings settings;
  testing::FakeClock clock{{2026, 12, 10, 7, 5, 9, 0}};
  testing::FakeSession session;
  testing::MemoryFiles files;
  settings::MemoryRegistry registry;
  testing::TestProtector protector;
  History history{files, "C:\\ProgramData\\Bakwyn\\Bakwyn.log"};
  InlineWorker worker;
  Runtime* runtime = nullptr;
  BackupEngine engine{settings, clock, session, files, [&](const std::string& line) { runtime->log(line); }};
  RestoreTest restore{settings, clock, session, files, [&](const std::string& line) { runtime->log(line); }};
  Runtime service{settings, engine, restore, registry, nullptr, clock, history, files, worker, nullptr, [] { return std::string("OFFICE1"); }};
  runtime = &service;
  Lines seen;
  service.addObserver(&seen);
  const std::string controls = std::string(settings::StateRoot) + "FrmMain\\";
  registry.setValue(controls + "mEdt1", "TEXT", "shop");
  registry.setValue(controls + "mavBEdit2", "TEXT", "D:\\bak");
  registry.setValue(controls + "dxCheckEdit1", "CHECKED", "-1");
  registry.setValue(controls + "dxTimeEdit1", "TEXT", "07:05");
  registry.setValue(std::string(kStatusKey), "Slot1LastRun", "20261210");
  registry.setValue(controls + "mEdt4", "TEXT", "old");
  const auto read = [&] { return ReadStoredSchedule(registry, protector, "OFFICE1", {}); };

  StartFromStore(service, read());
  EXPECT_TRUE(service.armed());
  EXPECT_EQ(settings.database, "shop");
  EXPECT_EQ(settings.backupDir, "D:\\bak\\");
  EXPECT_EQ(settings.password, "old");
  EXPECT_EQ(settings.slots[0].lastRunDate, "20261210") << "a slot that ran today does not run again today";
  service.tick();
  EXPECT_TRUE(session.calls.empty()) << "slot one ran today already";
  EXPECT_NE(files.text("C:\\ProgramData\\Bakwyn\\Bakwyn.log").find("备份记录:"), std::string::npos);

  EXPECT_FALSE(ApplyStoredSchedule(service, read(), "已重新读取设置"));
  EXPECT_THAT(seen.lines, Not(Contains("已重新读取设置"))) << "a save that changed nothing";
  registry.setValue(controls + "dxTimeEdit1", "TEXT", "09:00");
  registry.setValue(controls + "mEdt4", "TEXT", "");  // a save that emptied the password: none, not the old one
  EXPECT_TRUE(ApplyStoredSchedule(service, read(), "已重新读取设置"));
  EXPECT_EQ(settings.password, "");
  EXPECT_EQ(std::count(seen.lines.begin(), seen.lines.end(), "已重新读取设置"), 1);
  EXPECT_EQ(settings.slots[0].time, "09:00");
  EXPECT_EQ(settings.slots[0].lastRunDate, "20261210") << "kept across the reload";
  registry.setValue(controls + "mEdt1", "TEXT", "");
  EXPECT_TRUE(ApplyStoredSchedule(service, read(), "已重新读取设置"));
  EXPECT_FALSE(service.armed()) << "no database stored: nothing runs";
}

}  // namespace
}  // namespace bakwyn::app
