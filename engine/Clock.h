#pragma once
// The engine's view of the wall clock. Everything the engine decides from the
// time (which slot is due, the backup's file name, the age of old backups) goes
// through a Clock, so tests can drive it to any moment without waiting.
#include <cstdint>

namespace bakwyn {

// A local (wall-clock) date and time, as the user sees it on the taskbar.
struct LocalDateTime {
  int year = 0;
  int month = 0;   // 1..12
  int day = 0;     // 1..31
  int hour = 0;    // 0..23
  int minute = 0;  // 0..59
  int second = 0;  // 0..59
  int millisecond = 0;

  friend bool operator==(const LocalDateTime&, const LocalDateTime&) = default;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalDateTime now() const = 0;
};

// GetLocalTime on Windows, the C library's local time elsewhere.
class SystemClock final : public Clock {
 public:
  LocalDateTime now() const override;
};

// Milliseconds from 1970-01-01 00:00 to `t`, reading `t` as a plain calendar
// date and time (no time zone): the difference of two such values is the
// distance between two wall-clock readings.
std::int64_t CalendarMilliseconds(const LocalDateTime& t);

// "HH:NN" (24-hour clock, zero-padded) and "yyyymmdd", written into a caller's
// buffer so that the timer tick formats without touching the heap. Inline:
// the tick calls them ten times a second.
inline void FormatTwoDigits(int value, char* out) {
  out[0] = static_cast<char>('0' + value / 10 % 10);
  out[1] = static_cast<char>('0' + value % 10);
}

inline void FormatHourMinute(const LocalDateTime& t, char (&out)[5]) {
  FormatTwoDigits(t.hour, out);
  out[2] = ':';
  FormatTwoDigits(t.minute, out + 3);
}

inline void FormatDate(const LocalDateTime& t, char (&out)[8]) {
  FormatTwoDigits(t.year / 100, out);
  FormatTwoDigits(t.year, out + 2);
  FormatTwoDigits(t.month, out + 4);
  FormatTwoDigits(t.day, out + 6);
}

}  // namespace bakwyn
