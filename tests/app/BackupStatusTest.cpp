// What the tray icon tells of the backups, and what is kept of it across a
// restart; when no backup has succeeded for longer than the schedule allows.
#include "app/BackupStatus.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "settings/MemoryRegistry.h"

namespace bakwyn::app {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

LocalDateTime At(int month, int day, int hour, int minute, int year = 2026) { return {year, month, day, hour, minute, 0, 0}; }

BackupSettings Slots(std::vector<const char*> times) {
  BackupSettings settings;
  for (size_t i = 0; i < times.size(); ++i) settings.slots[i] = {true, times[i], ""};
  return settings;
}

// Slots whose times are filled in, ticked only where `ticked` says so.
BackupSettings Ticked(std::vector<const char*> times, std::vector<bool> ticked) {
  BackupSettings settings = Slots(times);
  for (size_t i = 0; i < ticked.size(); ++i) settings.slots[i].enabled = ticked[i];
  return settings;
}

TEST(BackupOverdue, ADayPastTheSlotThatShouldHaveBackedUp) {
  struct Case {
    const char* name;
    BackupSettings settings;
    std::optional<LocalDateTime> lastSuccess, armedSince;
    LocalDateTime now;
    bool overdue;
  } cases[] = {
      {"yesterday's backup, today's slot not yet a day past", Slots({"02:00"}), At(12, 9, 2, 0), {}, At(12, 10, 23, 0),
       false},
      {"the slot after the last success passed over a day ago", Slots({"02:00"}), At(12, 8, 2, 0), {},
       At(12, 10, 2, 30), true},
      {"exactly a day is not more than a day", Slots({"02:00"}), {}, At(12, 8, 10, 0), At(12, 10, 2, 0), false},
      {"never succeeded: from when the schedule was first armed", Slots({"02:00"}), {}, At(12, 8, 10, 0),
       At(12, 10, 2, 1), true},
      {"the later slot of the same day is the one due", Slots({"02:00", "14:00"}), At(12, 9, 2, 0), {},
       At(12, 10, 13, 0), false},
      {"and a day past it, overdue", Slots({"02:00", "14:00"}), At(12, 9, 2, 0), {}, At(12, 10, 14, 30), true},
      {"over the year's end", Slots({"02:00"}), At(12, 31, 2, 0, 2026), {}, At(1, 2, 3, 0, 2027), true},
      {"over a leap day", Slots({"23:00"}), At(2, 28, 23, 30, 2028), {}, At(3, 1, 23, 30, 2028), true},
      {"no slot enabled: nothing is due", BackupSettings{}, At(1, 1, 2, 0), {}, At(12, 10, 2, 0), false},
      {"nothing known: nothing is due", Slots({"02:00"}), {}, {}, At(12, 10, 2, 0), false},
      // A time stays filled in when its box is unticked: it is due no more.
      {"an unticked slot with its time filled in is not due", Ticked({"02:00", "14:00"}, {false, true}),
       At(12, 9, 14, 0), {}, At(12, 11, 3, 0), false},
      {"and the ticked one a day past its due slot, overdue", Ticked({"02:00", "14:00"}, {false, true}),
       At(12, 9, 14, 0), {}, At(12, 11, 14, 30), true},
      {"every slot unticked, times filled in: nothing is due", Ticked({"02:00", "06:00", "12:00", "18:00"},
       {false, false, false, false}), At(12, 1, 2, 0), At(11, 1, 0, 0), At(12, 10, 2, 0), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BackupRecord record;
    record.lastSuccess = c.lastSuccess;
    record.armedSince = c.armedSince;
    EXPECT_EQ(BackupOverdue(c.settings, record, c.now), c.overdue);
  }
}

TEST(BackupOverdue, FirstSlotAfterATimeCrossesMidnight) {
  const auto due = FirstSlotAfter(Slots({"01:30", "23:15"}), At(12, 31, 23, 15));
  ASSERT_TRUE(due.has_value());
  EXPECT_EQ(*due, CalendarMilliseconds(At(1, 1, 1, 30, 2027)));
}

// What the tray icon's view is told.
struct TrayWatch final : form::ControlView {
  void showTip(const std::string& tip) override { this->tip = tip; }
  void showAlarm(bool on) override { alarmed = on; }
  void showBalloon(const std::string& title, const std::string& text) override { balloons.push_back(title + "|" + text); }
  std::string tip;
  bool alarmed = false;
  std::vector<std::string> balloons;
};

struct Status {
  explicit Status(settings::MemoryRegistry& registry) : status(&tray, registry, settings, [this](const std::string& l) {
    log.push_back(l);
  }) {
    tray.attach(&watch);
  }
  ~Status() { tray.attach(nullptr); }
  form::TrayIcon tray{"rmTrayIcon1"};
  TrayWatch watch;
  BackupSettings settings = Slots({"02:00"});
  std::vector<std::string> log;
  BackupStatus status;
};

// The set the last passed restore test restored, as the status keeps it: only
// a well-formed value counts (the status key is shared with other versions),
// and of two records the one whose passed test is later.
TEST(BackupStatus, ThePassedTestsSetIsReadOnlyWhenWellFormedAndTheLaterOneWins) {
  struct Case {
    const char* kept;
    std::optional<std::pair<std::string, int>> set;
  };
  const Case cases[] = {
      {"1|D:\\bak\\a.bak", std::pair{std::string("D:\\bak\\a.bak"), 1}},
      {"12|D:\\bak\\a.bak", std::pair{std::string("D:\\bak\\a.bak"), 12}},
      {"", std::nullopt},
      {"|D:\\a.bak", std::nullopt},
      {"0|D:\\a.bak", std::nullopt},
      {"x|D:\\a.bak", std::nullopt},
      {"1|", std::nullopt},
      {"1234|D:\\a.bak", std::nullopt},
      {"D:\\a.bak", std::nullopt},
  };
  for (const Case& c : cases) {
    BackupRecord record;
    record.restoreTestPassedBackup = c.kept;
    const std::optional<TestedSet> set = PassedTestSet(record);
    ASSERT_EQ(set.has_value(), c.set.has_value()) << c.kept;
    if (set) {
      EXPECT_EQ(set->path, c.set->first) << c.kept;
      EXPECT_EQ(set->position, c.set->second) << c.kept;
    }
  }
  BackupRecord machine, own;
  machine.restoreTestPassed = LocalDateTime{2026, 12, 1, 2, 0, 0, 0};
  machine.restoreTestPassedBackup = "1|D:\\bak\\old.bak";
  own.restoreTestPassed = LocalDateTime{2026, 12, 8, 2, 0, 0, 0};
  own.restoreTestPassedBackup = "1|D:\\bak\\new.bak";
  EXPECT_EQ(Merged(machine, own).restoreTestPassedBackup, "1|D:\\bak\\new.bak");
  EXPECT_EQ(Merged(own, machine).restoreTestPassedBackup, "1|D:\\bak\\new.bak");
  EXPECT_EQ(Merged(machine, BackupRecord{}).restoreTestPassedBackup, "1|D:\\bak\\old.bak");
}

TEST(BackupStatus, TheIconTellsTheLastResultAndKeepsItAcrossARestart) {
  settings::MemoryRegistry registry;
  {
    Status s(registry);
    s.status.load();
    EXPECT_EQ(s.watch.tip, "Bakwyn[Vorda免费软件]\n还没有备份");
    s.status.record({false, At(12, 10, 2, 0), "T:\\b\\x.bak", "原因: 3201 Operating system error 5(Access is denied.)"});
    EXPECT_EQ(s.watch.tip, "Bakwyn[Vorda免费软件]\n上次备份: 12-10 02:00 失败");
    EXPECT_TRUE(s.watch.alarmed) << "a distinct icon until the next success";
    EXPECT_THAT(s.watch.balloons, ElementsAre("数据库备份失败!|原因: 3201 Operating system error 5(Access is denied.)"));
  }
  {
    // Started again: the icon tells the same.
    Status s(registry);
    s.status.load();
    EXPECT_EQ(s.watch.tip, "Bakwyn[Vorda免费软件]\n上次备份: 12-10 02:00 失败");
    EXPECT_TRUE(s.watch.alarmed);
    s.status.record({true, At(12, 10, 8, 30), "T:\\b\\y.bak", {}});
    EXPECT_EQ(s.watch.tip, "Bakwyn[Vorda免费软件]\n上次备份: 12-10 08:30 成功");
    EXPECT_FALSE(s.watch.alarmed);
    EXPECT_THAT(s.watch.balloons, IsEmpty()) << "a success is not announced";
  }
  EXPECT_EQ(registry.value(std::string(kStatusKey), "LastSuccess"), "2026-12-10 08:30:00");
  EXPECT_EQ(registry.value(std::string(kStatusKey), "LastResult"), "ok");
  // The control states are not touched: older versions read only those.
  EXPECT_FALSE(registry.hasKey("Software\\Tarsel软件\\Oskavel\\窗体属性风格\\FrmMain"));
}

TEST(BackupStatus, NoSuccessForTooLongIsLoggedAnnouncedAndShownOnce) {
  settings::MemoryRegistry registry;
  Status s(registry);
  s.status.load();
  s.status.record({true, At(12, 8, 2, 0), "T:\\b\\a.bak", {}});
  s.status.check(At(12, 9, 12, 0));
  EXPECT_THAT(s.log, IsEmpty());
  s.status.check(At(12, 10, 2, 1));
  s.status.check(At(12, 10, 2, 2));
  s.status.check(At(12, 10, 3, 0));
  EXPECT_THAT(s.log, ElementsAre("警告: 已超过一天没有成功的备份 (上次成功备份于 2026-12-08 02:00:00)"));
  EXPECT_THAT(s.watch.balloons, ElementsAre("已超过一天没有成功的备份|上次成功备份于 2026-12-08 02:00:00"));
  EXPECT_EQ(s.watch.tip, "Bakwyn[Vorda免费软件]\n上次备份: 12-08 02:00 成功\n已超过一天没有成功的备份");
  EXPECT_TRUE(s.watch.alarmed);
  // A success ends it.
  s.status.record({true, At(12, 10, 3, 5), "T:\\b\\b.bak", {}});
  s.status.check(At(12, 10, 3, 6));
  EXPECT_EQ(s.watch.tip, "Bakwyn[Vorda免费软件]\n上次备份: 12-10 03:05 成功");
  EXPECT_FALSE(s.watch.alarmed);
  EXPECT_EQ(s.log.size(), 1u);
}

TEST(BackupStatus, AMachineThatNeverSucceededCountsFromItsFirstArming) {
  settings::MemoryRegistry registry;
  {
    Status s(registry);
    s.status.load();
    s.status.armed(At(12, 1, 9, 0));
  }
  Status s(registry);
  s.status.load();
  s.status.armed(At(12, 10, 9, 0));  // a restart does not move it
  s.status.check(At(12, 10, 9, 1));
  EXPECT_THAT(s.log, ElementsAre("警告: 已超过一天没有成功的备份 (还没有成功的备份)"));
}

}  // namespace
}  // namespace bakwyn::app
