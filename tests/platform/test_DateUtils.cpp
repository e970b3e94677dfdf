#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "platform/DateUtils.h"

namespace {

TEST(DateTime, EncodeDecodeRoundTrip) {
  struct Case {
    int y, mo, d, h, mi, s, ms;
    double value;
  };
  const Case cases[] = {
      {1899, 12, 30, 0, 0, 0, 0, 0.0},     {1900, 1, 1, 12, 0, 0, 0, 2.5},    {1970, 1, 1, 0, 0, 0, 0, 25569.0},
      {2000, 2, 29, 6, 0, 0, 0, 36585.25}, {1899, 12, 29, 6, 0, 0, 0, -1.25},  // before the epoch the time part counts
                                                                               // forward
  };
  for (const auto& c : cases) {
    const TDateTime v = EncodeDateTime(c.y, c.mo, c.d, c.h, c.mi, c.s, c.ms);
    EXPECT_DOUBLE_EQ(v, c.value) << c.y << "-" << c.mo << "-" << c.d;
    int y, mo, d, h, mi, s, ms;
    DecodeDateTime(v, y, mo, d, h, mi, s, ms);
    EXPECT_EQ(y, c.y);
    EXPECT_EQ(mo, c.mo);
    EXPECT_EQ(d, c.d);
    EXPECT_EQ(h, c.h);
  }
  TDateTime bad;
  EXPECT_FALSE(TryEncodeDateTime(2001, 2, 29, 0, 0, 0, 0, bad));
  EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 10)), 5);  // a Thursday
}

TEST(DateTime, IncrementsCrossDaysAndTheEpoch) {
  const TDateTime t = EncodeDateTime(2026, 12, 31, 23, 59, 59, 500);
  int y, mo, d, h, mi, s, ms;
  DecodeDateTime(IncMilliSecond(t, 600), y, mo, d, h, mi, s, ms);
  EXPECT_EQ(y, 2027);
  EXPECT_EQ(ms, 100);
  EXPECT_DOUBLE_EQ(IncHour(0.0, -18), -1.25);
  EXPECT_EQ(SecondsBetween(IncSecond(t, 3600), t), 3600);
  EXPECT_EQ(DateTimeToUnix(UnixToDateTime(1700000000)), 1700000000);
}

TEST(DateTime, InjectedClockMovesNow) {
  TTestClock clock(1767225600000);  // 2026-01-01T00:00:00Z
  EXPECT_EQ(DateTimeToUnix(NowUTC()), 1767225600);
  clock.AdvanceSeconds(1800);
  EXPECT_EQ(DateTimeToUnix(NowUTC()), 1767225600 + 1800);
  EXPECT_EQ(SecondsBetween(Now(), UTCToLocalTime(NowUTC())), 0);
}

TEST(DateTime, LocalAndUTCFollowTheZone) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  const TDateTime winter = EncodeDateTime(2026, 1, 15, 12, 0, 0, 0);
  const TDateTime summer = EncodeDateTime(2026, 7, 15, 12, 0, 0, 0);
  EXPECT_EQ(SecondsBetween(UTCToLocalTime(winter), winter), 5 * 3600);
  EXPECT_EQ(SecondsBetween(UTCToLocalTime(summer), summer), 4 * 3600);
  EXPECT_DOUBLE_EQ(LocalTimeToUTC(UTCToLocalTime(summer)), summer);
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

}  // namespace
