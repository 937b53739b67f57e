// The restore test as the runtime schedules it: after the day's first backup
// on its day, once; stopped by a slot that comes while it runs, which then
// runs; from the tray menu; a test cut short by a crash cleaned up at start;
// and warned of when none has passed for too long.
#include "app/Runtime.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/VerifiedBackups.h"
#include "form/Controls.h"
#include "settings/MemoryRegistry.h"
#include "tests/support/EngineFakes.h"
#include "tests/support/FakeSession.h"

namespace bakwyn::app {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

const std::string kDir = "D:\\bak\\";
const std::string kScratchFile = "D:\\bak\\Bakwyn_RestoreTest\\Bakwyn_RestoreTest_shop_1.mdf";

struct Lines final : RuntimeObserver {
  void logged(const LocalDateTime&, const std::string& text, bool) override { lines.push_back(text); }
  std::vector<std::string> lines;
};

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// The runtime over fakes with a real worker, on Sunday 13 December 2026, with
// slots at 02:00 and 02:03 and the restore test at its default: weekly on
// Sundays, right after the day's first slot. The scripted server writes each
// backup's file and answers the restore test's queries.
struct Rig {
  BackupSettings settings;
  testing::FakeClock clock{{2026, 12, 13, 2, 0, 5, 0}};
  testing::FakeSession session;
  testing::MemoryFiles files;
  settings::MemoryRegistry registry;
  form::TrayIcon tray{"rmTrayIcon1"};
  testing::MemoryFiles historyFiles;  // the history is written on the runtime's thread
  History history{historyFiles, "C:\\ProgramData\\Bakwyn\\Bakwyn.log"};
  ThreadWorker worker;
  BackupEngine engine{settings, clock, session, files, [this](const std::string& line) { runtime.log(line); }};
  RestoreTest restore{settings, clock, session, files, [this](const std::string& line) { runtime.log(line); }};
  Runtime runtime{settings, engine, restore, registry, nullptr, clock, history, files, worker, &tray,
                  [] { return std::string("OFFICE1"); }};
  Lines seen;
  // Runs inside RESTORE DATABASE, on the worker.
  std::function<void()> duringRestore;

  Rig() {
    files.folders.insert(kDir);
    files.available = 100ULL << 30;
    session.onExecute = [this](const std::string& statement) {
      if (StartsWith(statement, "BACKUP DATABASE ")) {
        const size_t from = statement.find("DISK = N'") + 9;
        files.add(statement.substr(from, statement.find('\'', from) - from), "a backup", clock.now());
      }
      if (StartsWith(statement, "RESTORE DATABASE ") && duringRestore) duringRestore();
    };
    session.onQuery = [this](const std::string& statement) {
      if (StartsWith(statement, "RESTORE FILELISTONLY"))
        return QueryResult{{"LogicalName", "PhysicalName", "Type", "Size"}, {{"shop", "C:\\shop.mdf", "D", "1024"}}};
      return session.headers(statement);
    };
    runtime.addObserver(&seen);
  }
  void arm() {
    Schedule schedule;
    schedule.settings.database = "shop";
    schedule.settings.backupDir = kDir;
    schedule.settings.slots[0] = {true, "02:00", {}};
    schedule.settings.slots[1] = {true, "02:03", {}};
    runtime.start();
    runtime.arm(schedule);
  }
  ~Rig() { runtime.cancelBackup(); }
  bool tickUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 500; ++i) {
      runtime.tick();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  bool logged(const std::string& line) const {
    return std::find(seen.lines.begin(), seen.lines.end(), line) != seen.lines.end();
  }
  size_t sent(const std::string& prefix) const {
    return static_cast<size_t>(std::count_if(session.statements.begin(), session.statements.end(),
                                             [&](const std::string& s) { return StartsWith(s, prefix); }));
  }
  std::string status(const std::string& name) const {
    return registry.value(std::string(kStatusKey), name).value_or("");
  }
};

TEST(RuntimeRestoreTest, RunsRightAfterTheDaysFirstSlotOnItsDayOnce) {
  Rig r;
  r.arm();
  const std::string backup = kDir + "2026年12月13日02时00分.bak";
  r.runtime.tick();  // 02:00: the slot's backup, verified, then the test
  ASSERT_TRUE(r.tickUntil([&] { return !r.runtime.backupRunning() && r.logged("恢复测试成功: " + backup + " 0秒"); }))
      << ::testing::PrintToString(r.seen.lines);
  const auto success = std::find(r.seen.lines.begin(), r.seen.lines.end(), "数据库备份成功!  [文件名:" + backup + "]");
  const auto started = std::find(r.seen.lines.begin(), r.seen.lines.end(), "开始恢复测试: " + backup);
  EXPECT_LT(success, started) << "the test follows the backup, never beside it";
  std::vector<std::string> test(r.session.statements.end() - 4, r.session.statements.end());
  EXPECT_THAT(test, ElementsAre("RESTORE FILELISTONLY FROM DISK = N'" + backup + "' WITH FILE = 1",
                                "RESTORE DATABASE [Bakwyn_RestoreTest_shop] FROM DISK = N'" + backup +
                                    "' WITH FILE = 1, MOVE N'shop' TO N'" + kScratchFile + "', STATS = 10",
                                "DBCC CHECKDB ([Bakwyn_RestoreTest_shop]) WITH NO_INFOMSGS, ALL_ERRORMSGS",
                                "DROP DATABASE [Bakwyn_RestoreTest_shop]"));
  EXPECT_NE(r.tray.tip().find("上次恢复测试: 12-13 02:00 成功 (0秒)"), std::string::npos) << r.tray.tip();
  EXPECT_EQ(r.status("RestoreTestPassed"), "2026-12-13 02:00:05");
  // Which set it was, kept for the restore window's mark after a restart.
  EXPECT_EQ(r.status("RestoreTestPassedBackup"), "1|" + backup);
  const std::optional<TestedSet> kept = PassedTestSet(LoadBackupRecord(r.registry));
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->path, backup);
  EXPECT_EQ(kept->position, 1);
  EXPECT_EQ(r.status("RestoreTestOpen"), "0") << "nothing left for the next start to clean up";

  // Not again that day.
  for (const auto& [hour, minute] : {std::pair{2, 1}, std::pair{5, 0}, std::pair{23, 59}}) {
    r.clock.set(hour, minute);
    r.runtime.tick();
    EXPECT_FALSE(r.runtime.restoreTestRunning()) << hour << ":" << minute;
  }
  r.tickUntil([&] { return !r.runtime.backupRunning(); });
  EXPECT_EQ(r.sent("RESTORE DATABASE "), 1u);
}

TEST(RuntimeRestoreTest, ASlotThatComesDuringATestStopsItAndRunsRightAfter) {
  Rig r;
  // A verified backup of the night before is there to be tested.
  const std::string older = "2026年12月12日02时00分.bak";
  r.files.add(kDir + older, "a backup", {2026, 12, 12, 2, 0, 30, 0});
  ASSERT_TRUE(RecordVerified(r.files, kDir, older, 1, {2026, 12, 12, 2, 1, 0, 0}));
  r.arm();
  r.clock.set(2, 2);
  std::atomic<bool> restoring{false};
  r.duringRestore = [&] {
    restoring = true;
    // The restore takes until it is cancelled.
    for (int i = 0; i < 500 && r.session.cancels() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  };
  r.session.runUntilCancelled = false;
  ASSERT_TRUE(r.runtime.restoreTestNow());
  EXPECT_FALSE(r.runtime.restoreTestNow()) << "never two at once";
  EXPECT_FALSE(r.runtime.backupNow()) << "and no backup beside it";
  ASSERT_TRUE(r.tickUntil([&] { return restoring.load(); }));

  r.clock.set(2, 3);  // the second slot's minute
  const std::string backup = kDir + "2026年12月13日02时03分.bak";
  ASSERT_TRUE(r.tickUntil([&] { return r.logged("数据库备份成功!  [文件名:" + backup + "]"); }))
      << ::testing::PrintToString(r.seen.lines);
  EXPECT_THAT(r.seen.lines, Contains("恢复测试已取消: 备份时间到"));
  EXPECT_THAT(r.seen.lines, Not(Contains(::testing::HasSubstr("恢复测试成功"))));
  // The drop came before the backup.
  const auto drop = std::find(r.session.statements.begin(), r.session.statements.end(),
                              "DROP DATABASE [Bakwyn_RestoreTest_shop]");
  ASSERT_NE(drop, r.session.statements.end());
  EXPECT_TRUE(std::any_of(drop, r.session.statements.end(),
                          [](const std::string& s) { return StartsWith(s, "BACKUP DATABASE "); }));
  EXPECT_TRUE(r.tickUntil([&] { return r.status("Slot2LastRun") == "20261213"; })) << "the slot ran on its day";
}

TEST(RuntimeRestoreTest, WithoutAVerifiedBackupTheTestIsNotRunAndSaysWhy) {
  Rig r;
  r.arm();
  r.clock.set(1, 0);  // before the first slot: nothing is due
  ASSERT_TRUE(r.runtime.restoreTestNow());
  ASSERT_TRUE(r.tickUntil([&] { return !r.runtime.backupRunning() && r.logged("恢复测试未运行: 没有校验过的备份"); }))
      << ::testing::PrintToString(r.seen.lines);
  EXPECT_EQ(r.session.statements, std::vector<std::string>{}) << "the server is not asked";
  EXPECT_NE(r.tray.tip().find("上次恢复测试: 12-13 01:00 未运行"), std::string::npos) << r.tray.tip();
  EXPECT_EQ(r.status("RestoreTestPassed"), "") << "never counted as passed";
}

TEST(RuntimeRestoreTest, AScratchDatabaseLeftByATestCutShortIsDroppedAtStart) {
  Rig r;
  r.registry.setValue(std::string(kStatusKey), "RestoreTestOpen", "1");
  r.session.databases = {"master", "shop", "Bakwyn_RestoreTest_shop"};
  r.session.onQuery = [](const std::string& statement) {
    if (StartsWith(statement, "SELECT physical_name FROM sys.master_files"))
      return QueryResult{{"physical_name"}, {{kScratchFile}}};
    return QueryResult{};
  };
  r.arm();
  r.clock.set(1, 0);
  ASSERT_TRUE(r.tickUntil([&] { return r.status("RestoreTestOpen") == "0"; })) << ::testing::PrintToString(r.seen.lines);
  EXPECT_THAT(r.session.statements, Contains("DROP DATABASE [Bakwyn_RestoreTest_shop]"));
  EXPECT_THAT(r.seen.lines, Contains("已删除上次未完成的恢复测试数据库 Bakwyn_RestoreTest_shop"));
}

TEST(RuntimeRestoreTest, NoPassedTestForItsPeriodAndEightDaysIsWarnedOfOnce) {
  settings::MemoryRegistry registry;
  registry.setValue(std::string(kStatusKey), "ArmedSince", "2026-12-01 00:00:00");
  BackupSettings settings;
  settings.restoreTest = {RestoreTestPlan::Every::day, 0, 3};
  form::TrayIcon tray{"rmTrayIcon1"};
  std::vector<std::string> lines;
  BackupStatus status(&tray, registry, settings, [&](const std::string& line) { lines.push_back(line); });
  status.load();
  status.check({2026, 12, 10, 0, 0, 0, 0});  // nine days: not yet
  EXPECT_EQ(lines, std::vector<std::string>{});
  status.check({2026, 12, 10, 0, 1, 0, 0});
  status.check({2026, 12, 10, 0, 2, 0, 0});
  EXPECT_EQ(lines, std::vector<std::string>{"警告: 已超过9天没有通过的恢复测试 (还没有通过的恢复测试)"});
  EXPECT_NE(tray.tip().find("恢复测试已逾期"), std::string::npos) << tray.tip();

  RestoreOutcome passed;
  passed.result = RestoreOutcome::Result::passed;
  passed.started = {2026, 12, 10, 3, 0, 0, 0};
  status.recordRestoreTest(passed);
  status.check({2026, 12, 10, 3, 5, 0, 0});
  EXPECT_FALSE(status.restoreTestOverdue());
  EXPECT_EQ(tray.tip().find("恢复测试已逾期"), std::string::npos) << tray.tip();
}

}  // namespace
}  // namespace bakwyn::app
