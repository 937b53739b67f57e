#include "app/RestoreSchedule.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "base/Text.h"

namespace bakwyn::app {
namespace {

constexpr std::int64_t kMillisecondsPerDay = 24LL * 60 * 60 * 1000;

}  // namespace

int Weekday(const LocalDateTime& t) {
  LocalDateTime midnight = t;
  midnight.hour = midnight.minute = midnight.second = midnight.millisecond = 0;
  const std::int64_t days = CalendarMilliseconds(midnight) / kMillisecondsPerDay;
  // 1 January 1970 was a Thursday.
  return static_cast<int>(((days + 4) % 7 + 7) % 7);
}

bool RestoreTestDue(const RestoreTestPlan& plan, const std::array<SlotState, 4>& slots, const LocalDateTime& now,
                    std::string_view lastTestDate) {
  if (plan.every == RestoreTestPlan::Every::never) return false;
  if (plan.every == RestoreTestPlan::Every::week && Weekday(now) != plan.weekday) return false;
  char dateText[8];
  FormatDate(now, dateText);
  const std::string_view today(dateText, sizeof dateText);
  if (lastTestDate == today) return false;
  if (plan.hour != RestoreTestPlan::kAfterFirstSlot) return now.hour >= plan.hour;
  const SlotState* first = nullptr;
  for (const SlotState& slot : slots) {
    if (slot.enabled && IsValidTime(slot.time) && (!first || slot.time < first->time)) first = &slot;
  }
  if (!first) return false;
  char minuteText[5];
  FormatHourMinute(now, minuteText);
  // A slot whose minute has passed without its backup (the computer was off)
  // is followed all the same: the test then checks the newest verified backup
  // there is.
  return first->lastRunDate == today || std::string_view(first->time) < std::string_view(minuteText, sizeof minuteText);
}

bool HealthCheckDue(const std::array<SlotState, 4>& slots, const LocalDateTime& now, std::string_view lastDate) {
  char dateText[8];
  FormatDate(now, dateText);
  if (lastDate == std::string_view(dateText, sizeof dateText)) return false;
  int first = -1;
  for (const SlotState& slot : slots) {
    if (!slot.enabled || !IsValidTime(slot.time)) continue;
    const int minute = std::stoi(slot.time.substr(0, 2)) * 60 + std::stoi(slot.time.substr(3, 2));
    if (first < 0 || minute < first) first = minute;
  }
  if (first < 0) return false;
  return now.hour * 60 + now.minute >= std::min(first + kHealthCheckDelayMinutes, 23 * 60 + 59);
}

int RestoreTestGraceDays(const RestoreTestPlan& plan) {
  return (plan.every == RestoreTestPlan::Every::week ? 7 : 1) + 8;
}

bool RestoreTestOverdue(const RestoreTestPlan& plan, const std::optional<LocalDateTime>& lastPassed,
                        const std::optional<LocalDateTime>& since, const LocalDateTime& now) {
  if (plan.every == RestoreTestPlan::Every::never) return false;
  const std::optional<LocalDateTime>& from = lastPassed ? lastPassed : since;
  if (!from) return false;
  return CalendarMilliseconds(now) - CalendarMilliseconds(*from) > RestoreTestGraceDays(plan) * kMillisecondsPerDay;
}

}  // namespace bakwyn::app
