#include "app/RestoreSchedule.h"

#include <gtest/gtest.h>

namespace bakwyn::app {
namespace {

using Every = RestoreTestPlan::Every;

LocalDateTime At(int day, int hour, int minute) { return {2026, 12, day, hour, minute, 0, 0}; }

TEST(RestoreSchedule, WeekdaysFollowTheCalendar) {
  EXPECT_EQ(Weekday(At(13, 0, 0)), 0);   // Sunday 13 December 2026
  EXPECT_EQ(Weekday(At(10, 23, 59)), 4);  // Thursday
  EXPECT_EQ(Weekday({2024, 2, 29, 12, 0, 0, 0}), 4);
  EXPECT_EQ(Weekday({1969, 12, 31, 12, 0, 0, 0}), 3);  // before the epoch too
}

TEST(RestoreSchedule, DueOnItsDayAfterItsHourOrTheDaysFirstSlotOncePerDay) {
  std::array<SlotState, 4> slots{};
  slots[0] = {true, "22:00", ""};
  slots[1] = {true, "02:00", "20261213"};  // the day's first, ran on Sunday the 13th
  slots[2] = {false, "01:00", ""};         // off: not followed
  const RestoreTestPlan weeklyAfterSlot{Every::week, 0, RestoreTestPlan::kAfterFirstSlot};
  const RestoreTestPlan weeklyAtFive{Every::week, 0, 5};
  const RestoreTestPlan daily{Every::day, 0, RestoreTestPlan::kAfterFirstSlot};
  const RestoreTestPlan never{Every::never, 0, 5};
  struct Case {
    const char* name;
    RestoreTestPlan plan;
    LocalDateTime now;
    const char* lastTest;
    bool due;
  } cases[] = {
      {"after the first slot ran", weeklyAfterSlot, At(13, 2, 5), "", true},
      {"already tested today", weeklyAfterSlot, At(13, 2, 5), "20261213", false},
      {"tested last week", weeklyAfterSlot, At(13, 2, 5), "20261206", true},
      {"another weekday", weeklyAfterSlot, At(14, 2, 5), "", false},
      {"daily: the first slot has not run and its minute not passed", daily, At(14, 1, 59), "", false},
      {"daily: at the first slot's minute the backup goes first", daily, At(14, 2, 0), "", false},
      {"daily: its minute passed without the backup (computer off)", daily, At(14, 2, 1), "", true},
      {"at the hour", weeklyAtFive, At(13, 5, 0), "", true},
      {"before the hour", weeklyAtFive, At(13, 4, 59), "", false},
      {"later that day, after a missed hour", weeklyAtFive, At(13, 23, 0), "", true},
      {"never", never, At(13, 5, 0), "", false},
  };
  for (const Case& c : cases) EXPECT_EQ(RestoreTestDue(c.plan, slots, c.now, c.lastTest), c.due) << c.name;

  std::array<SlotState, 4> none{};
  EXPECT_FALSE(RestoreTestDue(daily, none, At(14, 23, 0), "")) << "no slot to follow";
  EXPECT_TRUE(RestoreTestDue({Every::day, 0, 3}, none, At(14, 3, 0), "")) << "an hour needs no slot";
}

// The health checks: once a day, ten minutes after the first enabled backup
// time, whether it ran or not; 23:59 at the latest; never without a slot.
TEST(RestoreSchedule, HealthChecksComeTenMinutesAfterTheFirstBackupTimeOnceADay) {
  std::array<SlotState, 4> slots{};
  slots[0] = {true, "22:00", ""};
  slots[1] = {true, "02:00", "20261213"};
  slots[2] = {false, "01:00", ""};  // off: not followed
  struct Case {
    int hour, minute;
    const char* last;
    bool due;
  } cases[] = {{2, 9, "", false}, {2, 10, "", true}, {23, 0, "", true}, {2, 10, "20261213", false},
               {2, 10, "20261212", true}, {1, 30, "", false}};
  for (const Case& c : cases) {
    EXPECT_EQ(HealthCheckDue(slots, {2026, 12, 13, c.hour, c.minute, 0, 0}, c.last), c.due)
        << c.hour << ":" << c.minute << " " << c.last;
  }
  std::array<SlotState, 4> late{};
  late[0] = {true, "23:55", ""};
  EXPECT_FALSE(HealthCheckDue(late, {2026, 12, 13, 23, 58, 0, 0}, ""));
  EXPECT_TRUE(HealthCheckDue(late, {2026, 12, 13, 23, 59, 0, 0}, "")) << "still that day";
  EXPECT_FALSE(HealthCheckDue(std::array<SlotState, 4>{}, {2026, 12, 13, 12, 0, 0, 0}, ""));
}

TEST(RestoreSchedule, OverdueAfterItsPeriodAndEightDaysWithoutAPass) {
  const RestoreTestPlan weekly{Every::week, 0, 3};
  const RestoreTestPlan daily{Every::day, 0, 3};
  const LocalDateTime passed = At(1, 3, 10);
  EXPECT_FALSE(RestoreTestOverdue(weekly, passed, std::nullopt, At(16, 3, 10)));  // 15 days exactly
  EXPECT_TRUE(RestoreTestOverdue(weekly, passed, std::nullopt, At(16, 3, 11)));
  EXPECT_FALSE(RestoreTestOverdue(daily, passed, std::nullopt, At(10, 3, 10)));  // 9 days
  EXPECT_TRUE(RestoreTestOverdue(daily, passed, std::nullopt, At(10, 3, 11)));
  EXPECT_TRUE(RestoreTestOverdue(daily, std::nullopt, At(1, 0, 0), At(10, 0, 1))) << "never passed: from the arming";
  EXPECT_FALSE(RestoreTestOverdue(daily, std::nullopt, std::nullopt, At(30, 0, 0)));
  EXPECT_FALSE(RestoreTestOverdue({Every::never, 0, 3}, passed, std::nullopt, At(30, 0, 0)));
}

}  // namespace
}  // namespace bakwyn::app
