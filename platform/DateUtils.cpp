#include "platform/DateUtils.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <mutex>

#include "platform/SysUtils.h"

namespace {

std::mutex gClockLock;
std::function<std::int64_t()> gClock;
// Whether gClock is set: without a clock of their own, readers of the time
// (every response's date) skip the lock.
std::atomic<bool> gClockSet{false};

std::int64_t SystemUnixMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::int64_t CurrentUnixMs() {
  if (!gClockSet.load(std::memory_order_acquire)) return SystemUnixMs();
  std::function<std::int64_t()> clock;
  {
    std::lock_guard<std::mutex> guard(gClockLock);
    clock = gClock;
  }
  return clock ? clock() : SystemUnixMs();
}

// Days from 0001-01-01 (proleptic Gregorian) as in civil calendars.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;  // days since 1970-01-01
}

void CivilFromDays(std::int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t yy = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

// Milliseconds since 1899-12-30 00:00, rounded to the nearest millisecond.
// The time of day is the fraction's absolute value, as the format defines for
// negative dates.
std::int64_t ToMs(TDateTime v) {
  const double day = std::trunc(v);
  const double frac = std::fabs(v - day);
  return static_cast<std::int64_t>(day) * 86400000LL + std::llround(frac * kMSecsPerDay);
}

TDateTime FromMs(std::int64_t ms) {
  std::int64_t days = ms / 86400000LL;
  std::int64_t rest = ms % 86400000LL;
  if (rest < 0) {
    days -= 1;
    rest += 86400000LL;
  }
  const double t = static_cast<double>(rest) / kMSecsPerDay;
  return days >= 0 ? static_cast<double>(days) + t : static_cast<double>(days) - t;
}

}  // namespace

struct TTestClock::State {
  std::int64_t now;
};

TTestClock::TTestClock(std::int64_t aStartUnixMs) : FState(new State{aStartUnixMs}) {
  State* s = FState;
  std::lock_guard<std::mutex> guard(gClockLock);
  gClock = [s] {
    std::lock_guard<std::mutex> g(gClockLock);
    return s->now;
  };
  gClockSet = true;
}

TTestClock::~TTestClock() {
  {
    std::lock_guard<std::mutex> guard(gClockLock);
    gClock = nullptr;
    gClockSet = false;
  }
  delete FState;
}

void TTestClock::AdvanceMs(std::int64_t aMs) {
  std::lock_guard<std::mutex> guard(gClockLock);
  FState->now += aMs;
}

std::int64_t TTestClock::UnixMs() const {
  std::lock_guard<std::mutex> guard(gClockLock);
  return FState->now;
}

void SetClock(std::function<std::int64_t()> aNowUnixMs) {
  std::lock_guard<std::mutex> guard(gClockLock);
  gClock = std::move(aNowUnixMs);
  gClockSet = static_cast<bool>(gClock);
}

TDateTime NowUTC() { return UnixMsToDateTime(CurrentUnixMs()); }
TDateTime Now() { return UTCToLocalTime(NowUTC()); }

std::uint64_t GetTickCount64() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12) return 0;
  return m == 2 && IsLeapYear(y) ? 29 : days[m - 1];
}

bool TryEncodeDateTime(int y, int mo, int d, int h, int mi, int s, int ms, TDateTime& aResult) {
  if (y < 1 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, mo)) return false;
  if (h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59 || ms < 0 || ms > 999) return false;
  const std::int64_t days = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) + 25569;
  const double t = (h * 3600000.0 + mi * 60000.0 + s * 1000.0 + ms) / kMSecsPerDay;
  aResult = days >= 0 ? static_cast<double>(days) + t : static_cast<double>(days) - t;
  return true;
}

TDateTime EncodeDateTime(int y, int mo, int d, int h, int mi, int s, int ms) {
  TDateTime r = 0;
  if (!TryEncodeDateTime(y, mo, d, h, mi, s, ms, r)) throw EConvertError("Invalid argument to date encode");
  return r;
}

TDateTime EncodeDate(int y, int m, int d) { return EncodeDateTime(y, m, d, 0, 0, 0, 0); }

TDateTime EncodeTime(int h, int mi, int s, int ms) {
  if (h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59 || ms < 0 || ms > 999)
    throw EConvertError("Invalid argument to time encode");
  return (h * 3600000.0 + mi * 60000.0 + s * 1000.0 + ms) / kMSecsPerDay;
}

void DecodeDateTime(TDateTime v, int& y, int& mo, int& d, int& h, int& mi, int& s, int& ms) {
  std::int64_t days = static_cast<std::int64_t>(std::trunc(v));
  std::int64_t t = std::llround(std::fabs(v - std::trunc(v)) * kMSecsPerDay);
  if (t >= 86400000) {  // rounding reached the next day
    t -= 86400000;
    days += v >= 0 ? 1 : -1;
  }
  CivilFromDays(days - 25569, y, mo, d);
  h = static_cast<int>(t / 3600000);
  mi = static_cast<int>(t / 60000 % 60);
  s = static_cast<int>(t / 1000 % 60);
  ms = static_cast<int>(t % 1000);
}

void DecodeDate(TDateTime v, int& y, int& m, int& d) {
  int h, mi, s, ms;
  DecodeDateTime(v, y, m, d, h, mi, s, ms);
}

void DecodeTime(TDateTime v, int& h, int& mi, int& s, int& ms) {
  int y, mo, d;
  DecodeDateTime(v, y, mo, d, h, mi, s, ms);
}

int DayOfWeek(TDateTime v) {
  const std::int64_t days = static_cast<std::int64_t>(std::trunc(v));
  // 1899-12-30 was a Saturday (7).
  return static_cast<int>(((days % 7) + 7 + 6) % 7) + 1;
}

TDateTime IncMilliSecond(TDateTime v, std::int64_t n) { return FromMs(ToMs(v) + n); }
TDateTime IncSecond(TDateTime v, std::int64_t n) { return IncMilliSecond(v, n * 1000); }
TDateTime IncMinute(TDateTime v, std::int64_t n) { return IncMilliSecond(v, n * 60000); }
TDateTime IncHour(TDateTime v, std::int64_t n) { return IncMilliSecond(v, n * 3600000); }
TDateTime IncDay(TDateTime v, std::int64_t n) { return IncMilliSecond(v, n * 86400000); }

std::int64_t MilliSecondsBetween(TDateTime a, TDateTime b) {
  const std::int64_t d = ToMs(a) - ToMs(b);
  return d < 0 ? -d : d;
}
std::int64_t SecondsBetween(TDateTime a, TDateTime b) { return MilliSecondsBetween(a, b) / 1000; }

TDateTime UnixMsToDateTime(std::int64_t ms) {
  return FromMs(ms + static_cast<std::int64_t>(kUnixDateDelta) * 86400000LL);
}
std::int64_t DateTimeToUnixMs(TDateTime v) { return ToMs(v) - static_cast<std::int64_t>(kUnixDateDelta) * 86400000LL; }
TDateTime UnixToDateTime(std::int64_t s) { return UnixMsToDateTime(s * 1000); }
std::int64_t DateTimeToUnix(TDateTime v) {
  const std::int64_t ms = DateTimeToUnixMs(v);
  return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

TDateTime UTCToLocalTime(TDateTime aUTC) {
  const std::int64_t ms = DateTimeToUnixMs(aUTC);
  std::time_t t = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000));
  std::tm tm{};
  localtime_r(&t, &tm);
  return IncSecond(aUTC, tm.tm_gmtoff);
}

int LocalOffsetMinutes(TDateTime aLocal) {
  // Guess with the offset at the moment taken as UTC, then correct once:
  // enough around a daylight-saving change.
  const std::int64_t local = DateTimeToUnix(aLocal);
  std::time_t t = static_cast<std::time_t>(local);
  std::tm tm{};
  localtime_r(&t, &tm);
  t = static_cast<std::time_t>(local - tm.tm_gmtoff);
  localtime_r(&t, &tm);
  return static_cast<int>(-tm.tm_gmtoff / 60);
}

TDateTime LocalTimeToUTC(TDateTime aLocal) { return IncMinute(aLocal, LocalOffsetMinutes(aLocal)); }
