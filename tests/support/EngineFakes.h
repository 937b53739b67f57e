#pragma once
// Stand-ins for the engine's seams: a clock set by the test, a scripted server
// session that records what it was asked, a file system in memory and a log
// that keeps its lines.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <utility>
#include <string>
#include <vector>

#include "engine/Clock.h"
#include "tests/support/FakeSession.h"
#include "tests/support/MemoryFiles.h"

namespace bakwyn::testing {

inline LocalDateTime At(int year, int month, int day, int hour, int minute, int second = 0, int ms = 0) {
  return {year, month, day, hour, minute, second, ms};
}

// Calendar arithmetic for the tests, through std::chrono rather than the
// engine's own helpers: milliseconds since 1970-01-01 00:00 of a wall-clock reading.
inline std::int64_t ToMs(const LocalDateTime& t) {
  using namespace std::chrono;
  const sys_days day = year_month_day{year{t.year}, month{static_cast<unsigned>(t.month)}, std::chrono::day{static_cast<unsigned>(t.day)}};
  return duration_cast<milliseconds>(day.time_since_epoch()).count() +
         ((t.hour * 60LL + t.minute) * 60 + t.second) * 1000 + t.millisecond;
}

inline LocalDateTime FromMs(std::int64_t ms) {
  using namespace std::chrono;
  const auto dayCount = static_cast<int>(ms >= 0 ? ms / 86400000 : (ms - 86399999) / 86400000);
  const year_month_day date{sys_days{days{dayCount}}};
  std::int64_t rest = ms - dayCount * 86400000LL;
  return {static_cast<int>(date.year()), static_cast<int>(static_cast<unsigned>(date.month())),
          static_cast<int>(static_cast<unsigned>(date.day())), static_cast<int>(rest / 3600000),
          static_cast<int>(rest / 60000 % 60), static_cast<int>(rest / 1000 % 60), static_cast<int>(rest % 1000)};
}

inline std::string Show(const LocalDateTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.millisecond);
  return text;
}

// The one clock of the tests: set by the test, or scripted. The engine's
// watchdog, the replica's worker and the runtime's backup thread read it
// while the test sets it, so every reading and setting takes its lock.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(LocalDateTime t = At(2004, 11, 17, 10, 30)) : t_(t) {}
  LocalDateTime now() const override {
    std::lock_guard lock(mutex_);
    return next_ ? next_() : t_;
  }
  void set(LocalDateTime t) {
    std::lock_guard lock(mutex_);
    t_ = t;
  }
  // The same day, second and millisecond at another hour and minute.
  void set(int hour, int minute) {
    std::lock_guard lock(mutex_);
    t_.hour = hour;
    t_.minute = minute;
  }
  // Each reading asks `next` instead (under the lock, so never from two
  // threads at once): for clocks that move between readings.
  void script(std::function<LocalDateTime()> next) {
    std::lock_guard lock(mutex_);
    next_ = std::move(next);
  }

 private:
  mutable std::mutex mutex_;
  LocalDateTime t_;
  std::function<LocalDateTime()> next_;
};

struct LogLines {
  std::vector<std::string> lines;
  auto sink() {
    return [this](const std::string& line) { lines.push_back(line); };
  }
};

}  // namespace bakwyn::testing
