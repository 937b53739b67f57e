#include <gtest/gtest.h>

#include <array>
#include <ostream>
#include <string>
#include <vector>

#include "engine/BackupEngine.h"
#include "engine/VerifiedBackups.h"
#include "tests/support/EngineFakes.h"

namespace bakwyn {
namespace {

using testing::At;
using testing::FakeClock;
using testing::MemoryFiles;
using testing::FakeSession;
using testing::FromMs;
using testing::LogLines;
using testing::Show;
using testing::ToMs;

// What happens to the running program, in order.
struct Step {
  enum Kind { Ticks, Apply, Restart } kind;
  LocalDateTime from{};  // Ticks: the timer from `from` up to, not including, `to`,
  LocalDateTime to{};    // every `cadence` ms (100 as the real timer; 1000 where only
  int cadence = 100;     // "every minute is seen" matters, to keep whole days quick)
  std::array<SlotState, 4> slots{};  // Apply: new enabled flags and times (stamps are kept)
};

Step Ticks(LocalDateTime from, LocalDateTime to, int cadence = 100) { return {Step::Ticks, from, to, cadence, {}}; }
Step Apply(std::array<SlotState, 4> slots) { return {Step::Apply, {}, {}, 100, slots}; }
Step Restart() { return {Step::Restart, {}, {}, 100, {}}; }

struct ScheduleCase {
  const char* name;
  std::array<SlotState, 4> slots;
  int backupSeconds;  // how long every backup blocks the thread
  std::vector<Step> steps;
  std::vector<std::string> backupsStarted;  // when each backup statement was sent
  std::array<std::string, 4> stamps;        // lastRunDate of slots 1..4 at the end
};
void PrintTo(const ScheduleCase& c, std::ostream* os) { *os << c.name; }

SlotState On(const char* time) { return {true, time, ""}; }
SlotState Off(const char* time) { return {false, time, ""}; }
SlotState Ran(const char* time, const char* date) { return {true, time, date}; }

// The schedule runs the backup as a user gets it by default: written, then
// read back by the server. The fake "server" writes each backup's file (a set
// appended per statement, as NOINIT does), so that the verified backup is
// recorded as it is on a disk.
bool IsBackupStatement(const std::string& sql) { return sql.rfind("BACKUP DATABASE ", 0) == 0; }

// The path of `sql` between "TO  DISK = N'" and "' WITH" (the tests' folders hold no quote).
void WriteBackupFile(MemoryFiles& files, const std::string& sql) {
  const std::string from = "TO  DISK = N'";
  const size_t start = sql.find(from) + from.size();
  files.text(sql.substr(start, sql.find("' WITH", start) - start)) += "set;";
}

// The backups the server was asked for: every BACKUP statement, not the
// statements of their verification.
size_t BackupsSent(const FakeSession& session) {
  size_t backups = 0;
  for (const std::string& sql : session.statements) backups += IsBackupStatement(sql) ? 1 : 0;
  return backups;
}

class ScheduleTest : public ::testing::TestWithParam<ScheduleCase> {};

TEST_P(ScheduleTest, RunsEachSlotAtMostOnceADayAtItsMinute) {
  const ScheduleCase& c = GetParam();
  BackupSettings settings;
  settings.database = "shop";
  settings.backupDir = "D:\\bak\\";
  settings.slots = c.slots;
  FakeClock clock;
  FakeSession session;
  MemoryFiles files;
  LogLines log;
  std::vector<std::string> started;
  std::int64_t now = 0;
  session.onExecute = [&](const std::string& sql) {
    // The backup's writing takes the case's time; its verification none.
    if (!IsBackupStatement(sql)) return;
    started.push_back(Show(clock.now()));
    WriteBackupFile(files, sql);
    now += c.backupSeconds * 1000LL;  // the thread is blocked meanwhile
    clock.set(FromMs(now));
  };
  BackupEngine engine(settings, clock, session, files, log.sink());

  for (const Step& step : c.steps) {
    switch (step.kind) {
      case Step::Ticks:
        for (now = ToMs(step.from); now < ToMs(step.to);) {
          clock.set(FromMs(now));
          engine.Timer1Timer();
          // The next tick is the first boundary after the tick finished;
          // ticks that fell due meanwhile are not made up.
          now = (now / step.cadence + 1) * step.cadence;
        }
        break;
      case Step::Apply:
        for (size_t i = 0; i < 4; ++i) {
          settings.slots[i].enabled = step.slots[i].enabled;
          settings.slots[i].time = step.slots[i].time;
        }
        break;
      case Step::Restart:
        for (SlotState& slot : settings.slots) slot.lastRunDate.clear();
        break;
    }
  }

  EXPECT_EQ(started, c.backupsStarted);
  EXPECT_EQ(BackupsSent(session), started.size());
  EXPECT_EQ(ReadVerifiedRecord(files, settings.backupDir).size(), started.size()) << "every backup was verified";
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(settings.slots[i].lastRunDate, c.stamps[i]) << "slot " << i + 1;
}

const LocalDateTime kDay1 = At(2026, 3, 9, 0, 0);
const LocalDateTime kDay2 = At(2026, 3, 10, 0, 0);
const LocalDateTime kDay3 = At(2026, 3, 11, 0, 0);
const LocalDateTime kDay4 = At(2026, 3, 12, 0, 0);

INSTANTIATE_TEST_SUITE_P(
    Cases, ScheduleTest,
    ::testing::Values(
        ScheduleCase{"NoSlotEnabled", {Off("08:00"), Off("12:00"), Off("00:00"), Off("23:59")}, 1,
                     {Ticks(kDay1, kDay2, 1000)}, {}, {}},
        ScheduleCase{"SettingsNeverApplied", {}, 1, {Ticks(kDay1, kDay2, 1000)}, {}, {}},
        ScheduleCase{"OneSlotEveryDay",
                     {On("08:00"), Off("09:00"), Off("10:00"), Off("11:00")},
                     1,
                     {Ticks(kDay1, kDay3, 1000)},
                     {"2026-03-09 08:00:00.000", "2026-03-10 08:00:00.000"},
                     {"20260310", "", "", ""}},
        ScheduleCase{"TwoSlotsOneTimeOnlyTheLowerRuns",
                     {Off("08:00"), On("08:00"), Off("09:00"), On("08:00")},
                     1,
                     {Ticks(kDay1, kDay2, 1000)},
                     {"2026-03-09 08:00:00.000"},
                     {"", "20260309", "", ""}},
        ScheduleCase{"AlreadyRunTodayClaimsTheMinuteForLaterSlots",
                     {Ran("08:00", "20260309"), On("08:00"), On("08:01"), Off("")},
                     1,
                     {Ticks(At(2026, 3, 9, 7, 59), At(2026, 3, 9, 8, 5))},
                     {"2026-03-09 08:01:00.000"},
                     {"20260309", "", "20260309", ""}},
        ScheduleCase{"ReapplyingKeepsStampsEvenForAMovedTime",
                     {On("08:00"), Off(""), Off(""), Off("")},
                     1,
                     {Ticks(kDay1, At(2026, 3, 9, 8, 30), 1000), Apply({On("09:00"), Off(""), Off(""), Off("")}),
                      Ticks(At(2026, 3, 9, 8, 30), kDay3, 1000)},
                     {"2026-03-09 08:00:00.000", "2026-03-10 09:00:00.000"},
                     {"20260310", "", "", ""}},
        ScheduleCase{"RestartInTheSameMinuteRunsAgain",
                     {On("08:00"), Off(""), Off(""), Off("")},
                     1,
                     {Ticks(At(2026, 3, 9, 7, 59), At(2026, 3, 9, 8, 0, 30)), Restart(),
                      Ticks(At(2026, 3, 9, 8, 0, 30), At(2026, 3, 9, 8, 5))},
                     {"2026-03-09 08:00:00.000", "2026-03-09 08:00:30.000"},
                     {"20260309", "", "", ""}},
        ScheduleCase{"BackupEndingAfterMidnightStillRunsTheNewDay",
                     {Off(""), Off(""), Off(""), On("23:59")},
                     90,
                     {Ticks(kDay1, kDay4, 1000)},
                     {"2026-03-09 23:59:00.000", "2026-03-10 23:59:00.000", "2026-03-11 23:59:00.000"},
                     {"", "", "", "20260311"}},
        ScheduleCase{"LongBackupHidesAnotherSlotsMinute",
                     {On("08:00"), On("08:01"), On("08:02"), Off("")},
                     120,
                     {Ticks(At(2026, 3, 9, 7, 59), At(2026, 3, 9, 8, 10))},
                     {"2026-03-09 08:00:00.000", "2026-03-09 08:02:00.100"},
                     {"20260309", "", "20260309", ""}},
        ScheduleCase{"BackupEndingInsideTheNextSlotsMinuteStillRunsIt",
                     {On("08:00"), On("08:01"), Off(""), Off("")},
                     90,
                     {Ticks(At(2026, 3, 9, 7, 59), At(2026, 3, 9, 8, 10))},
                     {"2026-03-09 08:00:00.000", "2026-03-09 08:01:30.100"},
                     {"20260309", "20260309", "", ""}},
        ScheduleCase{"MalformedTimesNeverMatch",
                     {On("8:00"), On("08:0"), On("0800"), On("24:00")},
                     1,
                     {Ticks(kDay1, kDay2, 1000), Apply({On(" 08:00"), On("08:00 "), On("08.00"), On("08:60")}),
                      Ticks(kDay2, kDay3, 1000), Apply({On(""), On("８:00"), On("08:00:00"), On("-1:00")}),
                      Ticks(kDay3, kDay4, 1000)},
                     {},
                     {}}),
    [](const ::testing::TestParamInfo<ScheduleCase>& info) { return std::string(info.param.name); });

TEST(RunScheduledSlotTest, CleansUpBeforeTheBackupAndStampsAfterIt) {
  BackupSettings settings;
  settings.database = "shop";
  settings.backupDir = "D:\\bak\\";
  settings.cleanupEnabled = true;
  settings.retentionDays = 1;
  FakeClock clock(At(2026, 3, 9, 23, 59, 50));
  FakeSession session;
  MemoryFiles files;
  files.add("D:\\bak\\old.bak", "", At(2026, 3, 1, 8, 0));
  files.add("D:\\bak\\newer.bak", "", At(2026, 3, 2, 8, 0));
  // The cleanup lets the old backup go only because a newer one was verified.
  ASSERT_TRUE(RecordVerified(files, settings.backupDir, "newer.bak", 1, At(2026, 3, 2, 8, 1)));
  bool oldGoneAtBackup = false;
  session.onExecute = [&](const std::string& sql) {
    if (!IsBackupStatement(sql)) return;
    oldGoneAtBackup = files.files.count("D:\\bak\\old.bak") == 0;
    WriteBackupFile(files, sql);
    clock.set(At(2026, 3, 10, 0, 0, 5));
  };
  LogLines log;
  BackupEngine engine(settings, clock, session, files, log.sink());

  engine.RunScheduledSlot(3, clock.now());

  EXPECT_TRUE(oldGoneAtBackup);
  EXPECT_EQ(files.files.count("D:\\bak\\newer.bak"), 1u);
  EXPECT_EQ(settings.slots[2].lastRunDate, "20260309");
  EXPECT_EQ(log.lines, (std::vector<std::string>{"开始备份数据库...",
                                                 "数据库备份成功!  [文件名:D:\\bak\\2026年03月09日23时59分.bak]"}));
  EXPECT_THROW(engine.RunScheduledSlot(0, clock.now()), std::out_of_range);
  EXPECT_THROW(engine.RunScheduledSlot(5, clock.now()), std::out_of_range);
}

// The stamp is the date of the tick that found the slot due, whatever the
// clock shows when the backup is over, so the slot runs again at its minute on
// the next day.
struct StampCase {
  const char* name;
  std::vector<LocalDateTime> readings;  // the clock up to the backup's start, one per reading; the tick reads the first
  LocalDateTime backupEnds;
  bool backupFails;
  std::string stamp;
};
void PrintTo(const StampCase& c, std::ostream* os) { *os << c.name; }

class SlotStampTest : public ::testing::TestWithParam<StampCase> {};

TEST_P(SlotStampTest, StampsTheDateOfTheTickThatStartedTheRun) {
  const StampCase& c = GetParam();
  const LocalDateTime tick = c.readings.front();
  char time[5];
  FormatHourMinute(tick, time);
  BackupSettings settings;
  settings.database = "shop";
  settings.backupDir = "D:\\bak\\";
  settings.slots[1] = On(std::string(time, 5).c_str());
  FakeClock clock;
  size_t reading = 0;
  bool backupOver = false;
  clock.script([&] { return backupOver ? c.backupEnds : c.readings[std::min(reading++, c.readings.size() - 1)]; });
  FakeSession session;
  session.failExecute = c.backupFails;
  MemoryFiles files;
  session.onExecute = [&](const std::string& sql) {
    if (!IsBackupStatement(sql)) return;
    backupOver = true;
    WriteBackupFile(files, sql);
  };
  LogLines log;
  BackupEngine engine(settings, clock, session, files, log.sink());

  engine.Timer1Timer();
  EXPECT_EQ(settings.slots[1].lastRunDate, c.stamp);
  ASSERT_EQ(BackupsSent(session), 1u);

  // The same minute again does nothing; the next day's minute runs the slot.
  backupOver = false;
  reading = 0;
  engine.Timer1Timer();
  EXPECT_EQ(BackupsSent(session), 1u) << "ran twice on the tick's day";
  const LocalDateTime nextDay = FromMs(ToMs(tick) + 86'400'000);
  clock.script({});
  clock.set(nextDay);
  engine.Timer1Timer();
  EXPECT_EQ(BackupsSent(session), 2u) << "skipped on " << Show(nextDay);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SlotStampTest,
    ::testing::Values(
        StampCase{"EndsTheSameDay", {At(2026, 3, 9, 8, 0)}, At(2026, 3, 9, 8, 0, 40), false, "20260309"},
        StampCase{"EndsAfterMidnight", {At(2026, 3, 9, 23, 57)}, At(2026, 3, 10, 0, 4), false, "20260309"},
        StampCase{"EndsHoursIntoTheNextDay", {At(2026, 3, 9, 23, 59, 59, 900)}, At(2026, 3, 10, 5, 0), false,
                  "20260309"},
        StampCase{"EndsInTheNextYear", {At(2026, 12, 31, 23, 59)}, At(2027, 1, 1, 0, 10), false, "20261231"},
        StampCase{"EndsInTheNextMonthOfALeapYear", {At(2028, 2, 29, 23, 58)}, At(2028, 3, 1, 0, 1), false,
                  "20280229"},
        StampCase{"FailsAfterMidnight", {At(2026, 3, 9, 23, 59, 30)}, At(2026, 3, 10, 0, 0, 30), true, "20260309"},
        StampCase{"ClockPassesMidnightRightAfterTheTick",
                  {At(2026, 3, 9, 23, 59, 59, 999), At(2026, 3, 10, 0, 0, 0, 0)},
                  At(2026, 3, 10, 0, 0, 1),
                  false,
                  "20260309"},
        StampCase{"ClockSetBackADayDuringTheBackup", {At(2026, 3, 10, 0, 30)}, At(2026, 3, 9, 0, 35), false,
                  "20260310"}),
    [](const ::testing::TestParamInfo<StampCase>& info) { return std::string(info.param.name); });

TEST(RunScheduledSlotTest, FailedBackupIsStampedAndNotRetriedThatDay) {
  BackupSettings settings;
  settings.slots[0] = On("08:00");
  FakeClock clock;
  FakeSession session;
  session.failOpen = true;
  MemoryFiles files;
  LogLines log;
  BackupEngine engine(settings, clock, session, files, log.sink());

  for (int second = 0; second < 60; ++second) {
    clock.set(At(2026, 3, 9, 8, 0, second));
    engine.Timer1Timer();
  }

  EXPECT_EQ(log.lines, (std::vector<std::string>{"开始备份数据库...", "数据库备份失败!", "原因: 18456 Login failed for user."}));
  EXPECT_EQ(settings.slots[0].lastRunDate, "20260309");
}


// Missed slots are made up only when asked; which slots count as missed at a
// given moment is the engine's rule.
struct MissedCase {
  const char* name;
  std::array<SlotState, 4> slots;
  std::vector<int> missed;  // at 2026-12-10 10:00:30
};
void PrintTo(const MissedCase& c, std::ostream* os) { *os << c.name; }

class MissedSlotsTest : public ::testing::TestWithParam<MissedCase> {};

TEST_P(MissedSlotsTest, AreTheEnabledSlotsWhoseMinutePassedTodayWithoutARun) {
  BackupSettings settings;
  settings.slots = GetParam().slots;
  FakeClock clock;
  FakeSession session;
  MemoryFiles files;
  LogLines log;
  BackupEngine engine(settings, clock, session, files, log.sink());
  EXPECT_EQ(engine.MissedSlots(At(2026, 12, 10, 10, 0, 30)), GetParam().missed);
}

INSTANTIATE_TEST_SUITE_P(
    , MissedSlotsTest,
    ::testing::Values(
        MissedCase{"EarlierSlotNotRunToday", {On("02:00"), Off("00:00"), Off("00:00"), Off("00:00")}, {1}},
        MissedCase{"RanToday", {Ran("02:00", "20261210"), Off("00:00"), Off("00:00"), Off("00:00")}, {}},
        MissedCase{"RanYesterday", {Ran("02:00", "20261209"), Off("00:00"), Off("00:00"), Off("00:00")}, {1}},
        MissedCase{"SlotOff", {Off("02:00"), Off("00:00"), Off("00:00"), Off("00:00")}, {}},
        // The tick runs the slot of this minute; later ones have not passed.
        MissedCase{"ThisMinuteAndLater", {On("10:00"), On("10:01"), On("23:59"), Off("00:00")}, {}},
        MissedCase{"MinuteBefore", {Off("00:00"), On("09:59"), Off("00:00"), Off("00:00")}, {2}},
        MissedCase{"NoTimeOfTheDay", {On("25:00"), On("7:05"), On(""), On("09:60")}, {}},
        MissedCase{"Several", {On("02:00"), Ran("06:00", "20261210"), On("09:30"), On("12:00")}, {1, 3}}),
    [](const ::testing::TestParamInfo<MissedCase>& info) { return std::string(info.param.name); });

TEST(RunMadeUpBackupTest, OneBackupForAllMissedSlotsLoggedAsMadeUpAndEachStamped) {
  BackupSettings settings;
  settings.database = "shop";
  settings.backupDir = "D:\\bak\\";
  settings.cleanupEnabled = true;
  settings.retentionDays = 1;
  settings.slots = {On("02:00"), On("06:30"), On("12:00"), Off("00:00")};
  FakeClock clock(At(2026, 12, 10, 9, 15, 2));
  FakeSession session;
  MemoryFiles files;
  files.add("D:\\bak\\old.bak", "", At(2026, 12, 1, 2, 0));
  files.add("D:\\bak\\newer.bak", "", At(2026, 12, 9, 2, 0));
  ASSERT_TRUE(RecordVerified(files, settings.backupDir, "newer.bak", 1, At(2026, 12, 9, 2, 1)));
  std::vector<std::string> statements;  // the backups', not their verifications'
  bool oldGoneAtBackup = false;
  session.onExecute = [&](const std::string& sql) {
    if (!IsBackupStatement(sql)) return;
    statements.push_back(sql);
    oldGoneAtBackup = files.files.count("D:\\bak\\old.bak") == 0;
    WriteBackupFile(files, sql);
  };
  LogLines log;
  std::vector<std::string> stamped;
  BackupEngine engine(settings, clock, session, files, log.sink());
  engine.onStamp = [&](int slot, const std::string& date) { stamped.push_back(std::to_string(slot) + " " + date); };

  const std::vector<int> missed = engine.MissedSlots(clock.now());
  ASSERT_EQ(missed, (std::vector<int>{1, 2}));
  EXPECT_TRUE(engine.RunMadeUpBackup(missed, clock.now()));

  ASSERT_EQ(statements.size(), 1u) << "one backup, however many slots were missed";
  EXPECT_NE(statements[0].find("2026年12月10日09时15分.bak"), std::string::npos) << statements[0];
  EXPECT_TRUE(oldGoneAtBackup) << "the cleanup runs first, as for a slot";
  ASSERT_GE(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[0], "补做错过的备份 (02:00、06:30)");
  EXPECT_EQ(log.lines[1], "开始备份数据库...");
  EXPECT_EQ(stamped, (std::vector<std::string>{"1 20261210", "2 20261210"}));
  EXPECT_EQ(settings.slots[2].lastRunDate, "") << "12:00 has not passed; it runs at its minute";
  EXPECT_TRUE(engine.MissedSlots(clock.now()).empty()) << "nothing is made up twice";

  // Nothing missed: no backup, no line.
  EXPECT_TRUE(engine.RunMadeUpBackup({}, clock.now()));
  EXPECT_EQ(statements.size(), 1u);
  EXPECT_THROW(engine.RunMadeUpBackup({5}, clock.now()), std::out_of_range);
}

// Made up at boot before the server's service has started: a backup that never
// reached the server has not run, so nothing is stamped and it can be tried
// again. One that reached the server and failed there has run.
TEST(RunMadeUpBackupTest, StampedOnlyWhenTheServerWasReached) {
  struct Case {
    const char* name;
    bool failOpen, failExecute;
    bool ran;
  } cases[] = {
      {"server not reached", true, false, false},
      {"server reached, backup failed", false, true, true},
      {"backup made", false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BackupSettings settings;
    settings.database = "shop";
    settings.backupDir = "D:\\bak\\";
    settings.slots = {On("02:00"), Off("00:00"), Off("00:00"), Off("00:00")};
    FakeClock clock(At(2026, 12, 10, 7, 0, 0));
    FakeSession session;
    session.failOpen = c.failOpen;
    session.failExecute = c.failExecute;
    MemoryFiles files;
    LogLines log;
    std::vector<std::string> stamped;
    BackupEngine engine(settings, clock, session, files, log.sink());
    engine.onStamp = [&](int slot, const std::string& date) { stamped.push_back(std::to_string(slot) + " " + date); };
    EXPECT_EQ(engine.RunMadeUpBackup({1}, clock.now()), c.ran);
    EXPECT_EQ(stamped, c.ran ? std::vector<std::string>{"1 20261210"} : std::vector<std::string>{});
    EXPECT_EQ(engine.MissedSlots(clock.now()), c.ran ? std::vector<int>{} : std::vector<int>{1});
  }
}

// The stamps of the tick outlive the program through onStamp.
TEST(RunScheduledSlotTest, ReportsEachStampForKeeping) {
  BackupSettings settings;
  settings.database = "shop";
  settings.backupDir = "D:\\bak\\";
  settings.slots = {On("02:00"), Off("00:00"), Off("00:00"), Off("00:00")};
  FakeClock clock(At(2026, 12, 10, 2, 0, 0));
  FakeSession session;
  MemoryFiles files;
  LogLines log;
  std::vector<std::string> stamped;
  BackupEngine engine(settings, clock, session, files, log.sink());
  engine.onStamp = [&](int slot, const std::string& date) { stamped.push_back(std::to_string(slot) + " " + date); };
  for (int i = 0; i < 5; ++i) engine.Timer1Timer();
  EXPECT_EQ(stamped, (std::vector<std::string>{"1 20261210"}));
}

}  // namespace
}  // namespace bakwyn
