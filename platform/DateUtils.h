// Date and time as days since 1899-12-30 in local time, the fraction being the
// time of day. Every "now" of the system goes through the clock here, so tests
// can move time.
#pragma once

#include <cstdint>
#include <functional>

using TDateTime = double;

constexpr double kMSecsPerDay = 86400000.0;
constexpr double kSecsPerDay = 86400.0;
// Days from 1899-12-30 to 1970-01-01.
constexpr double kUnixDateDelta = 25569.0;

// Local wall-clock time from the installed clock.
TDateTime Now();
// The same moment in UTC.
TDateTime NowUTC();
// Milliseconds from a monotonic source, for time-outs (not affected by the
// injected clock: time-outs must stay real).
std::uint64_t GetTickCount64();

// Replaces the wall clock: aNow returns UTC as Unix milliseconds. An empty
// function restores the system clock.
void SetClock(std::function<std::int64_t()> aNowUnixMs);

// A clock for tests: fixed until moved. Installs itself for its lifetime.
class TTestClock {
public:
  explicit TTestClock(std::int64_t aStartUnixMs = 1767225600000);  // 2026-01-01
  ~TTestClock();
  TTestClock(const TTestClock&) = delete;
  TTestClock& operator=(const TTestClock&) = delete;
  void AdvanceMs(std::int64_t aMs);
  void AdvanceSeconds(double aSeconds) { AdvanceMs(static_cast<std::int64_t>(aSeconds * 1000)); }
  std::int64_t UnixMs() const;

private:
  struct State;
  State* FState;
};

TDateTime EncodeDate(int aYear, int aMonth, int aDay);
TDateTime EncodeTime(int aHour, int aMin, int aSec, int aMSec);
TDateTime EncodeDateTime(int aYear, int aMonth, int aDay, int aHour, int aMin, int aSec, int aMSec);
bool TryEncodeDateTime(int aYear, int aMonth, int aDay, int aHour, int aMin, int aSec, int aMSec, TDateTime& aResult);
void DecodeDate(TDateTime aValue, int& aYear, int& aMonth, int& aDay);
void DecodeTime(TDateTime aValue, int& aHour, int& aMin, int& aSec, int& aMSec);
void DecodeDateTime(TDateTime aValue, int& aYear, int& aMonth, int& aDay, int& aHour, int& aMin, int& aSec, int& aMSec);
// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(TDateTime aValue);
bool IsLeapYear(int aYear);
int DaysInMonth(int aYear, int aMonth);

TDateTime IncMilliSecond(TDateTime aValue, std::int64_t aNumber = 1);
TDateTime IncSecond(TDateTime aValue, std::int64_t aNumber = 1);
TDateTime IncMinute(TDateTime aValue, std::int64_t aNumber = 1);
TDateTime IncHour(TDateTime aValue, std::int64_t aNumber = 1);
TDateTime IncDay(TDateTime aValue, std::int64_t aNumber = 1);
std::int64_t MilliSecondsBetween(TDateTime aNow, TDateTime aThen);
std::int64_t SecondsBetween(TDateTime aNow, TDateTime aThen);

// Conversions between a UTC TDateTime and Unix time.
TDateTime UnixToDateTime(std::int64_t aUnixSeconds);
std::int64_t DateTimeToUnix(TDateTime aValue);
TDateTime UnixMsToDateTime(std::int64_t aUnixMs);
std::int64_t DateTimeToUnixMs(TDateTime aValue);

// Between local time and UTC, with the zone rules of the moment concerned.
TDateTime LocalTimeToUTC(TDateTime aLocal);
TDateTime UTCToLocalTime(TDateTime aUTC);
// Minutes to add to local time to get UTC at the given local moment.
int LocalOffsetMinutes(TDateTime aLocal);
