#pragma once
// When the restore test is due, and when its absence is worth a warning.
// Portable, without state: the runtime keeps the dates and asks.
#include <array>
#include <optional>
#include <string_view>

#include "engine/BackupSettings.h"
#include "engine/Clock.h"

namespace bakwyn::app {

// 0 Sunday .. 6 Saturday, of `t`'s calendar date.
int Weekday(const LocalDateTime& t);

// Whether the test of `plan` is due at `now`: on its day (every day, or the
// plan's weekday), once `now` has reached the plan's hour or, without one,
// once the day's first backup slot has run or its minute has passed; and not
// when a test already ran that day (`lastTestDate`, "yyyymmdd"). Without an
// hour and without an enabled slot there is no first slot to follow: never.
bool RestoreTestDue(const RestoreTestPlan& plan, const std::array<SlotState, 4>& slots, const LocalDateTime& now,
                    std::string_view lastTestDate);

// The daily health checks come this long after the day's first backup time:
// out of the minutes of the backup and of what follows it (its copies, the
// restore test), which they would only slow down.
inline constexpr int kHealthCheckDelayMinutes = 10;
// Whether they are due at `now`: once a day (`lastDate`, "yyyymmdd", is the
// day they last ran), from kHealthCheckDelayMinutes after the first enabled
// backup time (at 23:59 at the latest); never without an enabled slot.
bool HealthCheckDue(const std::array<SlotState, 4>& slots, const LocalDateTime& now, std::string_view lastDate);

// The number of days without a passed test after which the missing test is
// warned of: its period (a week, a day) and eight days more.
int RestoreTestGraceDays(const RestoreTestPlan& plan);

// True when the plan runs tests and none has passed for longer than its grace
// days: counted from the last passed test, or when there has been none, from
// `since` (when the schedule was first armed). False with no date to count from.
bool RestoreTestOverdue(const RestoreTestPlan& plan, const std::optional<LocalDateTime>& lastPassed,
                        const std::optional<LocalDateTime>& since, const LocalDateTime& now);

}  // namespace bakwyn::app
