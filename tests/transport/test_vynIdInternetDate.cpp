#include <gtest/gtest.h>

#include "platform/DateUtils.h"
#include "tests/transport/tz_guard.h"
#include "transport/vynIdInternetDate.h"

namespace {

TEST(InternetDate, ReadsEveryAcceptedStyle) {
  struct Case {
    const char* Text;
    const char* Expected;  // RFC 1123 form in GMT, or nullptr for no date
  };
  const Case cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"Sunday, 06-Nov-94 08:49:37 GMT", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"Sun Nov  6 08:49:37 1994", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"06 Nov 1994 08:49:37 +0000", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"Nov 06 1994 08:49:37 GMT", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"Sun, 06 Nov 1994 09:49:37 +0100", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"Sun, 06 Nov 1994 09:49:37 +01:00", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"Sun, 06 Nov 1994 06:49:37 -02", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"Sun, 06 Nov 1994 09:49:37 GMT+0100", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"Sun, 06 Nov 1994 08.49.37 GMT", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"Sun, 06 Nov 1994 08:49 PM GMT", "Sun, 06 Nov 1994 20:49:00 GMT"},
      {"Sun, 06 Nov 1994 12:00:00 AM GMT", "Sun, 06 Nov 1994 00:00:00 GMT"},
      {"Thu, 01 Jan 49 00:00:00 GMT", "Fri, 01 Jan 2049 00:00:00 GMT"},
      {"Thu, 01 Jan 50 00:00:00 GMT", "Sun, 01 Jan 1950 00:00:00 GMT"},
      {"01 Jan 101 00:00:00 GMT", "Mon, 01 Jan 2001 00:00:00 GMT"},
      {"1994-11-06T08:49:37Z", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"1994-11-06T10:49:37.250+02:00", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"1994-11-06", "Sun, 06 Nov 1994 00:00:00 GMT"},
      {"Sun, 06 Nov 1994 08:49:37 XYZ", "Sun, 06 Nov 1994 08:49:37 GMT"},  // unknown zone: -0000
      {"Sun, 06 Nov 1994 03:49:37 -0500 (EST)", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"", nullptr},
      {"hello", nullptr},
      {"Sun, 31 Feb 1994 08:49:37 GMT", nullptr},
      {"Sun, 06 Nov 1994 25:00:00 GMT", nullptr},
      {"Sun, 06 Nov 1994 08:49:37 +2500", nullptr},
      {"1994-13-06T08:49:37Z", nullptr},
      {"06 1994", nullptr},
  };
  for (const auto& c : cases) {
    TDateTime utc = 0;
    const bool ok = TryInternetDateToUTC(c.Text, utc);
    if (!c.Expected) {
      EXPECT_FALSE(ok) << c.Text;
      EXPECT_EQ(InternetDateToUTC(c.Text), 0) << c.Text;
      continue;
    }
    ASSERT_TRUE(ok) << c.Text;
    EXPECT_EQ(UTCToInternetDate(utc), c.Expected) << c.Text;
  }
}

TEST(InternetDate, ZoneNamesHaveTheirStandardOffsets) {
  struct Case {
    const char* Zone;
    int Minutes;
  };
  const Case cases[] = {
      {"EST", -300}, {"EDT", -240}, {"CST", -360}, {"CDT", -300},  {"MST", -420},  {"MDT", -360},    {"PST", -480},
      {"PDT", -420}, {"UT", 0},     {"GMT", 0},    {"Z", 0},       {"UTC", 0},     {"est", -300},    {"A", 60},
      {"N", -60},    {"Y", -720},   {"M", 720},    {"Nowhere", 0}, {"+0530", 330}, {"-03:30", -210}, {"+09", 540},
  };
  for (const auto& c : cases) {
    int minutes = 12345;
    ASSERT_TRUE(TryZoneOffsetMinutes(c.Zone, minutes)) << c.Zone;
    EXPECT_EQ(minutes, c.Minutes) << c.Zone;
    // The same through a whole date: 12:00 in the zone.
    TDateTime utc = 0;
    ASSERT_TRUE(TryInternetDateToUTC(std::string("Tue, 01 Mar 2022 12:00:00 ") + c.Zone, utc)) << c.Zone;
    EXPECT_EQ(MilliSecondsBetween(utc, EncodeDateTime(2022, 3, 1, 12, 0, 0, 0)), std::abs(c.Minutes) * 60000) << c.Zone;
    EXPECT_EQ(utc<EncodeDateTime(2022, 3, 1, 12, 0, 0, 0), c.Minutes> 0) << c.Zone;
  }
  int m = 0;
  EXPECT_FALSE(TryZoneOffsetMinutes("+12345", m));
  EXPECT_FALSE(TryZoneOffsetMinutes("G M T", m));
}

TEST(InternetDate, WritesRFC1123InGMT) {
  EXPECT_EQ(UTCToInternetDate(EncodeDateTime(1994, 11, 6, 8, 49, 37, 0)), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(UTCToInternetDate(EncodeDateTime(2026, 1, 2, 3, 4, 5, 999)), "Fri, 02 Jan 2026 03:04:05 GMT");
  TZGuard zone("America/New_York");
  const TDateTime local = EncodeDateTime(2026, 7, 1, 8, 0, 0, 0);  // EDT, four hours behind
  EXPECT_EQ(LocalToInternetDate(local), "Wed, 01 Jul 2026 12:00:00 GMT");
  EXPECT_EQ(InternetDateToLocal("Wed, 01 Jul 2026 12:00:00 GMT"), local);
}

}  // namespace
