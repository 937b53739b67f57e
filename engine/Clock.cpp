#include "engine/Clock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <ctime>
#endif

namespace bakwyn {

LocalDateTime SystemClock::now() const {
#ifdef _WIN32
  SYSTEMTIME st;
  GetLocalTime(&st);
  return {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
#else
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
          local.tm_min,         local.tm_sec,     static_cast<int>(ts.tv_nsec / 1000000)};
#endif
}

namespace {

// Days from 1970-01-01 to the given proleptic Gregorian date (H. Hinnant's
// days_from_civil), valid for any year an int holds.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}


}  // namespace

std::int64_t CalendarMilliseconds(const LocalDateTime& t) {
  const std::int64_t days = DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day));
  return ((days * 24 + t.hour) * 60 + t.minute) * 60000 + t.second * 1000 + t.millisecond;
}

}  // namespace bakwyn
