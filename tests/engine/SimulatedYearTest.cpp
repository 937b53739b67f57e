// A year of the 100 ms timer on a local clock with both daylight-saving
// changes, four slots and random backup durations: each enabled slot runs at
// most once a day, and exactly once on every day a tick sees its minute, also
// the day after a backup that ended past midnight.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/BackupEngine.h"
#include "engine/VerifiedBackups.h"
#include "tests/support/EngineFakes.h"

namespace bakwyn {
namespace {

using testing::MemoryFiles;
using testing::FakeSession;
using testing::LogLines;

constexpr std::int64_t kMinute = 60'000;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kDay = 24 * kHour;
constexpr int kDays = 366;  // 2024 is a leap year

// Real time is milliseconds since 2024-01-01 00:00 winter time. The local clock
// jumps from 02:00 to 03:00 on 31 March (day 90) and from 03:00 back to 02:00
// on 27 October (day 300), as a European clock does.
constexpr std::int64_t kSpringForward = 90 * kDay + 2 * kHour;
constexpr std::int64_t kFallBack = 300 * kDay + 2 * kHour;
constexpr std::int64_t LocalMs(std::int64_t real) {
  return real + (real >= kSpringForward && real < kFallBack ? kHour : 0);
}

// The dates of the simulated year, worked out once through std::chrono.
const std::vector<std::array<int, 3>>& Dates() {
  static const std::vector<std::array<int, 3>> dates = [] {
    using namespace std::chrono;
    std::vector<std::array<int, 3>> out;
    for (sys_days d = sys_days{2024y / January / 1}; out.size() < kDays + 2; d += days{1}) {
      const year_month_day ymd{d};
      out.push_back({static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
                     static_cast<int>(static_cast<unsigned>(ymd.day()))});
    }
    return out;
  }();
  return dates;
}

// Reads the simulation's real time and shows it as local time: a few
// divisions and a table look-up, so that every tick stays cheap.
class DaylightSavingClock final : public Clock {
 public:
  explicit DaylightSavingClock(const std::int64_t& real) : real_(real) {}
  LocalDateTime now() const override {
    const std::int64_t local = LocalMs(real_);
    const auto& date = Dates()[static_cast<size_t>(local / kDay)];
    const auto ms = static_cast<int>(local % kDay);
    return {date[0], date[1], date[2], ms / 3'600'000, ms / 60'000 % 60, ms / 1000 % 60, ms % 1000};
  }

 private:
  const std::int64_t& real_;
};

struct BackupRun {
  int slot;
  int startDay;
  std::int64_t startLocal;
  int endDay;
  friend bool operator==(const BackupRun&, const BackupRun&) = default;
};

struct SimulationResult {
  std::vector<BackupRun> runs;
  // Per slot and day: a tick was handled while the clock showed the slot's minute.
  std::array<std::array<bool, kDays + 1>, 4> reachable{};
  std::array<std::string, 4> stamps;
  std::int64_t engineTicks = 0;
  size_t verified = 0;  // lines of the record of verified backups
  size_t failures = 0;  // log lines of anything but a backup's start and success
};

const std::array<const char*, 4> kSlotTimes{"02:30", "12:00", "12:04", "23:57"};

// Runs the timer from real time `from` until local time reaches `to`. With
// `everyTick` false, ticks in minutes that are no slot's time are skipped:
// such a tick formats a minute that equals no enabled slot's time and so does
// nothing (the equivalence test below checks this against every tick).
SimulationResult Simulate(std::int64_t from, std::int64_t toLocal, bool everyTick) {
  BackupSettings settings;
  settings.database = "shop";
  settings.backupDir = "D:\\bak\\";
  std::array<int, 24 * 60> slotOfMinute;
  slotOfMinute.fill(-1);
  for (size_t i = 0; i < 4; ++i) {
    settings.slots[i] = {true, kSlotTimes[i], ""};
    const int minute = std::atoi(kSlotTimes[i]) * 60 + std::atoi(kSlotTimes[i] + 3);
    slotOfMinute[static_cast<size_t>(minute)] = static_cast<int>(i);
  }

  SimulationResult result;
  std::int64_t real = from;
  DaylightSavingClock clock(real);
  FakeSession session;
  MemoryFiles files;
  LogLines log;
  // Durations from a fixed-seed generator of our own, so every platform
  // simulates the same year: most backups are short, some take minutes.
  std::uint64_t seed = 0x2024'0101'0000'0001ULL;
  const auto random = [&seed](std::int64_t below) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::int64_t>((seed >> 33) % static_cast<std::uint64_t>(below));
  };
  // Every backup is verified, as by default: the server reads it back after
  // writing it, which takes about as long again, and the slot's run ends only
  // then.
  std::int64_t lastDuration = 0;
  session.onExecute = [&](const std::string& sql) {
    if (sql.rfind("RESTORE VERIFYONLY ", 0) == 0) {
      real += lastDuration;
      result.runs.back().endDay = static_cast<int>(LocalMs(real) / kDay);
      return;
    }
    const std::int64_t local = LocalMs(real);
    const int slot = slotOfMinute[static_cast<size_t>(local % kDay / kMinute)];
    const LocalDateTime started = clock.now();
    files.add(settings.backupDir + BackupFileName(started), "set;", started);  // the server writes the file
    lastDuration = random(10) < 7 ? 200 + random(30'000) : 30'000 + random(570'000);
    real += lastDuration;
    result.runs.push_back({slot, static_cast<int>(local / kDay), local, static_cast<int>(LocalMs(real) / kDay)});
  };
  BackupEngine engine(settings, clock, session, files, log.sink());

  while (LocalMs(real) < toLocal) {
    const std::int64_t local = LocalMs(real);
    const int slot = slotOfMinute[static_cast<size_t>(local % kDay / kMinute)];
    if (slot >= 0) result.reachable[static_cast<size_t>(slot)][static_cast<size_t>(local / kDay)] = true;
    if (everyTick || slot >= 0) {
      engine.Timer1Timer();
      ++result.engineTicks;
      // The next tick is the first 100 ms boundary after this one finished.
      real = (real / 100 + 1) * 100;
    } else {
      // On to the next local minute. Local and real time differ by whole
      // hours, so this is a 100 ms boundary too.
      real += kMinute - local % kMinute;
    }
  }
  for (size_t i = 0; i < 4; ++i) result.stamps[i] = settings.slots[i].lastRunDate;
  result.verified = ReadVerifiedRecord(files, settings.backupDir).size();
  result.failures = static_cast<size_t>(std::count_if(log.lines.begin(), log.lines.end(), [](const std::string& line) {
    return line.rfind("数据库备份成功!", 0) != 0 && line != "开始备份数据库...";
  }));
  return result;
}

TEST(SimulatedYearTest, EverySlotRunsOnceOnEveryReachableDay) {
  const bool everyTick = std::getenv("BAKWYN_SIM_EVERY_TICK") != nullptr;
  const SimulationResult year = Simulate(0, kDays * kDay, everyTick);

  std::array<std::array<int, kDays + 1>, 4> runs{};
  std::array<int, 4> overnightRuns{};  // backups that ended on a later day than they started
  for (const BackupRun& run : year.runs) {
    ASSERT_GE(run.slot, 0) << "a backup started outside every slot's minute";
    ++runs[static_cast<size_t>(run.slot)][static_cast<size_t>(run.startDay)];
    if (run.endDay > run.startDay) ++overnightRuns[static_cast<size_t>(run.slot)];
  }

  // The minute 02:00-02:59 does not exist on the day the clock springs forward.
  const auto minuteExists = [](int slot, int day) {
    return !(day == 90 && std::string(kSlotTimes[static_cast<size_t>(slot)]).compare(0, 2, "02") == 0);
  };
  struct Counts {
    int runs = 0, notOnTheClock = 0, hiddenByABackup = 0, lost = 0;
  };
  std::array<Counts, 4> counts{};
  for (int slot = 0; slot < 4; ++slot) {
    Counts& c = counts[static_cast<size_t>(slot)];
    for (int day = 0; day < kDays; ++day) {
      const int n = runs[static_cast<size_t>(slot)][static_cast<size_t>(day)];
      const bool reachable = year.reachable[static_cast<size_t>(slot)][static_cast<size_t>(day)];
      ASSERT_LE(n, 1) << "slot " << slot + 1 << " ran twice on day " << day;
      c.runs += n;
      if (n == 0) {
        if (!minuteExists(slot, day)) {
          ++c.notOnTheClock;
        } else if (!reachable) {
          ++c.hiddenByABackup;
        } else {
          // The clock showed the slot's minute to a tick and nothing ran.
          ++c.lost;
        }
      }
    }
    std::printf("slot %d at %s: %d runs, %d of them ending after midnight; missed: %d not on the clock, "
                "%d hidden by a backup, %d lost\n",
                slot + 1, kSlotTimes[static_cast<size_t>(slot)], c.runs, overnightRuns[static_cast<size_t>(slot)],
                c.notOnTheClock, c.hiddenByABackup, c.lost);
  }
  std::printf("%lld timer ticks handled by the engine (%s)\n", static_cast<long long>(year.engineTicks),
              everyTick ? "every tick" : "slot minutes only");

  // No day is lost on which a tick saw the slot's minute; only the minute
  // that does not exist and the minute a running backup hides are missed, and
  // the simulation does reach each of them.
  for (const Counts& c : counts) EXPECT_EQ(c.lost, 0);
  EXPECT_EQ(counts[0].notOnTheClock, 1);  // 02:30 on the spring-forward day
  EXPECT_EQ(counts[0].runs, kDays - 1);
  EXPECT_EQ(counts[1].runs, kDays);
  EXPECT_GT(counts[2].hiddenByABackup, 0);  // 12:04 behind a long 12:00 backup
  EXPECT_EQ(counts[2].runs + counts[2].hiddenByABackup, kDays);
  EXPECT_EQ(counts[3].runs, kDays);  // 23:57 every day, also after a backup that ended past midnight
  EXPECT_GT(overnightRuns[3], 0);
  EXPECT_EQ(year.failures, 0u);
  EXPECT_EQ(year.verified, year.runs.size()) << "every backup was verified and recorded";
}

// Skipping the minutes that are no slot's time changes nothing: around both
// daylight-saving changes, every tick and the skipping loop agree exactly.
TEST(SimulatedYearTest, SkippingIdleMinutesChangesNothing) {
  for (const std::int64_t change : {kSpringForward, kFallBack}) {
    const std::int64_t from = (change / kDay - 1) * kDay;
    const std::int64_t to = LocalMs(from) + 2 * kDay;
    const SimulationResult every = Simulate(from, to, true);
    const SimulationResult skipping = Simulate(from, to, false);
    EXPECT_EQ(every.runs, skipping.runs);
    EXPECT_EQ(every.reachable, skipping.reachable);
    EXPECT_EQ(every.stamps, skipping.stamps);
    EXPECT_GT(every.runs.size(), 4u);
    EXPECT_GT(every.engineTicks, 10 * skipping.engineTicks);
  }
}

}  // namespace
}  // namespace bakwyn
