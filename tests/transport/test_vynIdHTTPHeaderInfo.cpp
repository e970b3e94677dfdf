#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Classes.h"
#include "platform/DateUtils.h"
#include "tests/transport/tz_guard.h"
#include "transport/vynIdHTTPHeaderInfo.h"
#include "transport/vynIdInternetDate.h"

namespace {

std::vector<std::string> Lines(const TIdHeaderList& aList) { return {aList.begin(), aList.end()}; }

class ResponseHeaders : public ::testing::Test {
protected:
  void Parse(std::initializer_list<const char*> aLines) {
    R.RawHeaders().Clear();
    for (const char* l : aLines) R.RawHeaders().Add(l);
    R.ParseRawHeaders();
  }
  TTestClock Clock;
  TIdResponseHeaderInfo R;
};

TEST_F(ResponseHeaders, ContentTypeGivesCharSetOrTheDefaultOfTextTypes) {
  struct Case {
    const char* ContentType;
    const char* Type;
    const char* CharSet;
  };
  const Case cases[] = {
      {"text/plain", "text/plain", "ISO-8859-1"},
      {"text/html; charset=\"utf-8\"", "text/html", "utf-8"},
      {"text/html; charset=UTF-8; level=1", "text/html; level=1", "UTF-8"},
      {"application/xhtml+xml", "application/xhtml+xml", ""},
      {"text/xml", "text/xml", "us-ascii"},
      {"text/xml-external-parsed-entity", "text/xml-external-parsed-entity", "us-ascii"},
      {"text/svg+xml", "text/svg+xml", "us-ascii"},
      {"TEXT/Plain", "TEXT/Plain", "ISO-8859-1"},
      {"application/json", "application/json", ""},
  };
  for (const auto& c : cases) {
    R.Clear();
    Parse({(std::string("Content-Type: ") + c.ContentType).c_str()});
    EXPECT_EQ(R.ContentType(), c.Type) << c.ContentType;
    EXPECT_EQ(R.CharSet, c.CharSet) << c.ContentType;
  }
  // A charset already set stays when the new type brings none.
  R.CharSet = "koi8-r";
  R.SetContentType("text/plain");
  EXPECT_EQ(R.CharSet, "koi8-r");
  R.SetContentType("");
  EXPECT_EQ(R.ContentType(), "");
  EXPECT_EQ(R.CharSet, "");
}

TEST_F(ResponseHeaders, ContentLengthAcceptsOnlyDecimalDigits) {
  struct Case {
    const char* Value;
    std::int64_t Expected;
  };
  const Case cases[] = {{"123", 123},
                        {"abc", -1},
                        {"-5", -1},
                        {"0x10", -1},
                        {"$10", -1},
                        {"", -1},
                        {"0", 0},
                        {" 42 ", 42},
                        {"99999999999999999999", -1},
                        {"9223372036854775807", 9223372036854775807LL}};
  for (const auto& c : cases) {
    Parse({(std::string("Content-Length: ") + c.Value).c_str()});
    EXPECT_EQ(R.ContentLength(), c.Expected) << c.Value;
    EXPECT_EQ(R.HasContentLength, c.Expected >= 0) << c.Value;
  }
  Parse({"X-Other: 1"});
  EXPECT_EQ(R.ContentLength(), -1);
}

TEST_F(ResponseHeaders, ContentRangeParts) {
  Parse({"Content-Range: bytes 0-99/200"});
  EXPECT_EQ(R.ContentRangeUnits, "bytes");
  EXPECT_EQ(R.ContentRangeStart, 0);
  EXPECT_EQ(R.ContentRangeEnd, 99);
  EXPECT_EQ(R.ContentRangeInstanceLength, 200);
  Parse({"Content-Range: bytes */300"});
  EXPECT_FALSE(R.HasContentRange());
  EXPECT_EQ(R.ContentRangeInstanceLength, 300);
  Parse({"Content-Range: bytes 5-9/*"});
  EXPECT_TRUE(R.HasContentRange());
  EXPECT_FALSE(R.HasContentRangeInstance());
  Parse({});
  EXPECT_EQ(R.ContentRangeStart, -1);
  EXPECT_EQ(R.ContentRangeUnits, "");
}

TEST_F(ResponseHeaders, DatesAndExpiry) {
  Parse({});
  EXPECT_EQ(R.Date, Now());  // no Date header: now
  EXPECT_EQ(R.Expires, 0);
  Parse({"Date: Sun, 06 Nov 1994 08:49:37 GMT", "Last-Modified: junk"});
  EXPECT_EQ(LocalToInternetDate(R.Date), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(R.LastModified, 0);

  struct Case {
    const char* Expires;
    double SecondsFromNow;  // or NaN-free marker below
    bool Zero;
  };
  const Case cases[] = {{"0", 0, false}, {"60", 60, false}, {"-5", 0, true}, {"soon", -1, false}};
  for (const auto& c : cases) {
    Parse({(std::string("Expires: ") + c.Expires).c_str()});
    if (c.Zero) {
      EXPECT_EQ(R.Expires, 0) << c.Expires;
    } else {
      EXPECT_EQ(MilliSecondsBetween(R.Expires, IncSecond(Now(), static_cast<std::int64_t>(c.SecondsFromNow))), 0)
          << c.Expires;
    }
  }
  Parse({"Expires: Sun, 06 Nov 1994 08:49:37 GMT"});
  EXPECT_EQ(LocalToInternetDate(R.Expires), "Sun, 06 Nov 1994 08:49:37 GMT");
}

TEST_F(ResponseHeaders, AuthenticateChallengesAndOtherFields) {
  Parse({"WWW-Authenticate: Basic realm=\"x\"", "Location: /next", "Server: s", "www-authenticate: Bearer",
         "Proxy-Authenticate: Digest realm=\"p\"", "Accept-Ranges: bytes", "ETag: \"abc\""});
  EXPECT_EQ(Lines(R.WWWAuthenticate()), (std::vector<std::string>{"Basic realm=\"x\"", "Bearer"}));
  EXPECT_EQ(Lines(R.ProxyAuthenticate()), std::vector<std::string>{"Digest realm=\"p\""});
  EXPECT_EQ(R.Location, "/next");
  EXPECT_EQ(R.Server, "s");
  EXPECT_EQ(R.AcceptRanges, "bytes");
  EXPECT_EQ(R.ETag, "\"abc\"");
  Parse({"Location: /other"});
  EXPECT_EQ(R.WWWAuthenticate().Count(), 0);
  R.Clear();
  EXPECT_EQ(R.Location, "");
  EXPECT_EQ(R.ContentLength(), -1);
}

TEST(ResponseHeadersOut, ContentRangeAndDatesInGMT) {
  TZGuard zone("America/New_York");
  TIdResponseHeaderInfo r;
  r.ContentRangeStart = 0;
  r.ContentRangeEnd = 99;
  r.ContentRangeInstanceLength = 1000;
  r.LastModified = EncodeDateTime(2026, 7, 1, 8, 0, 0, 0);  // local (EDT)
  r.Date = r.LastModified;
  r.SetContentLength(100);
  r.SetHeaders();
  EXPECT_EQ(r.RawHeaders().Values("Content-Range"), "bytes 0-99/1000");
  EXPECT_EQ(r.RawHeaders().Values("Content-Length"), "100");
  EXPECT_EQ(r.RawHeaders().Values("Date"), "Wed, 01 Jul 2026 12:00:00 GMT");
  // Labelled GMT, so converted like every other date.
  EXPECT_EQ(r.RawHeaders().Values("Last-Modified"), "Wed, 01 Jul 2026 12:00:00 GMT");

  r.ContentRangeEnd = -1;
  r.ContentRangeUnits = "items";
  r.SetHeaders();
  EXPECT_EQ(r.RawHeaders().Values("Content-Range"), "items */1000");
}

TEST(EntityHeadersOut, OrderAndCustomHeadersAfterTheStandardLines) {
  TIdEntityHeaderInfo e;
  e.Connection = "keep-alive";
  e.SetContentType("text/plain; charset=utf-8");
  e.SetContentLength(0);
  e.CacheControl = "no-cache";
  e.Pragma = "no-cache";
  e.CustomHeaders().AddValue("X-Token", "t");
  e.CustomHeaders().AddValue("Connection", "close");
  e.SetHeaders();
  EXPECT_EQ(Lines(e.RawHeaders()),
            (std::vector<std::string>{"Connection: keep-alive", "Content-Type: text/plain; charset=utf-8",
                                      "Content-Length: 0", "Cache-control: no-cache", "Pragma: no-cache", "X-Token: t",
                                      "Connection: close"}));
  e.SetContentLength(-1);
  e.SetHeaders();
  EXPECT_EQ(e.RawHeaders().IndexOfName("Content-Length"), -1);
}

TEST(RequestHeaders, FieldsReplaceCustomHeadersInPlace) {
  TIdRequestHeaderInfo q;
  q.CustomHeaders().AddValue("Accept", "application/json");
  q.CustomHeaders().AddValue("X-Token", "abc");
  q.Accept = "text/csv";
  q.Host = "h";
  q.UserAgent = "";
  q.SetRange("bytes=0-9");
  q.MethodOverride = "PATCH";
  q.SetHeaders();
  EXPECT_EQ(Lines(q.RawHeaders()), (std::vector<std::string>{"Accept: text/csv", "X-Token: abc", "Host: h",
                                                             "Range: bytes=0-9", "X-HTTP-Method-Override: PATCH"}));
}

TEST(RequestHeaders, ClearRestoresDefaultsAndKeepsTheRest) {
  TIdRequestHeaderInfo q;
  EXPECT_EQ(q.Accept, kIdDefaultAccept);
  EXPECT_EQ(q.UserAgent, kIdDefaultUserAgent);
  q.Accept = "x";
  q.UserAgent = "y";
  q.Host = "h";
  q.BasicAuthentication = true;
  q.SetRange("bytes=1-2");
  q.CustomHeaders().AddValue("X-A", "1");
  q.Clear();
  EXPECT_EQ(q.Accept, kIdDefaultAccept);
  EXPECT_EQ(q.UserAgent, kIdDefaultUserAgent);
  EXPECT_FALSE(q.BasicAuthentication);
  EXPECT_EQ(q.Ranges().Count(), 0);
  EXPECT_EQ(q.Host, "h");
  EXPECT_EQ(q.CustomHeaders().Values("X-A"), "1");

  SetDefaultUserAgent("Agent/2");
  q.Clear();
  EXPECT_EQ(q.UserAgent, "Agent/2");
  SetDefaultUserAgent(kIdDefaultUserAgent);
}

TEST(RequestHeaders, ServerSideParseAndAssign) {
  TTestClock clock;
  TIdRequestHeaderInfo q;
  for (const char* l : {"Host: example.com", "Accept: */*", "User-Agent: ua", "Range: bytes=0-99,200-,-50",
                        "X-HTTP-Method-Override: DELETE", "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT"})
    q.RawHeaders().Add(l);
  q.ParseRawHeaders();
  EXPECT_EQ(q.Host, "example.com");
  EXPECT_EQ(q.UserAgent, "ua");
  EXPECT_EQ(q.MethodOverride, "DELETE");
  ASSERT_EQ(q.Ranges().Count(), 3);
  EXPECT_EQ(q.Ranges().Ranges(0).Text(), "0-99");
  EXPECT_EQ(q.Ranges().Ranges(1).Text(), "200-");
  EXPECT_EQ(q.Ranges().Ranges(2).Text(), "-50");

  TIdRequestHeaderInfo copy;
  copy.Assign(q);
  EXPECT_EQ(copy.Host, "example.com");
  EXPECT_EQ(copy.Range(), "bytes=0-99,200-,-50");
  EXPECT_EQ(Lines(copy.RawHeaders()), Lines(q.RawHeaders()));
  TIdProxyConnectionInfo proxy;
  EXPECT_THROW(copy.Assign(proxy), Exception);
}

TEST(Ranges, TextFormsBothWays) {
  struct Case {
    const char* Text;
    std::int64_t Start, End, Suffix;
    const char* Back;
  };
  const Case cases[] = {
      {"0-99", 0, 99, -1, "0-99"}, {" 200- ", 200, -1, -1, "200-"}, {"-50", -1, -1, 50, "-50"}, {"", -1, -1, -1, ""},
      {"abc", -1, -1, -1, ""},     {"5-9 junk", 5, 9, -1, "5-9"},   {"x-9", -1, -1, -1, ""},    {"-x", -1, -1, -1, ""},
  };
  for (const auto& c : cases) {
    TIdEntityRange r;
    r.SetText(c.Text);
    EXPECT_EQ(r.StartPos, c.Start) << c.Text;
    EXPECT_EQ(r.EndPos, c.End) << c.Text;
    EXPECT_EQ(r.SuffixLength, c.Suffix) << c.Text;
    EXPECT_EQ(r.Text(), c.Back) << c.Text;
  }
  TIdEntityRanges ranges;
  EXPECT_EQ(ranges.Text(), "");
  ranges.SetText("items=1-2, ,3-");
  EXPECT_EQ(ranges.Units(), "items");
  EXPECT_EQ(ranges.Count(), 2);
  EXPECT_EQ(ranges.Text(), "items=1-2,3-");
  ranges.SetUnits("");
  EXPECT_EQ(ranges.Units(), "bytes");
  ranges.SetText("4-5");
  EXPECT_EQ(ranges.Text(), "bytes=4-5");
  EXPECT_THROW(ranges.Ranges(5), EListError);
}

TEST(MetaHTTPEquiv, HeadMetaElementsBecomeHeaderFields) {
  TTestClock clock;
  TStringStream html(
      "<!DOCTYPE html><html><!-- <meta http-equiv=\"X-Hidden\" content=\"no\"> -->"
      "<head><title>t <meta http-equiv='X-InTitle' content='no'></title>"
      "<meta charset=\"windows-1252\">"
      "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html\">"
      "<meta http-equiv=Refresh content=5>"
      "<script>var s = '<meta http-equiv=\"X-Script\" content=\"no\">';</script>"
      "<meta http-equiv='Expires' content='0'>"
      "</head><body><meta http-equiv=\"X-Body\" content=\"no\"></body></html>");
  html.SetPosition(10);  // read from the start whatever the position
  TIdMetaHTTPEquiv meta;
  meta.ProcessMetaHTTPEquiv(html);
  EXPECT_EQ(Lines(meta.RawHeaders()),
            (std::vector<std::string>{"Content-Type: text/html", "Refresh: 5", "Expires: 0"}));
  EXPECT_EQ(meta.ContentType(), "text/html");
  EXPECT_EQ(meta.CharSet, "windows-1252");
  EXPECT_EQ(meta.Expires, Now());

  TStringStream none("<html><body>no head</body></html>");
  TIdMetaHTTPEquiv empty;
  empty.ProcessMetaHTTPEquiv(none);
  EXPECT_EQ(empty.RawHeaders().Count(), 0);
  TStringStream cut("<html><head><meta http-equiv=\"X-A\" content=\"1");
  empty.ProcessMetaHTTPEquiv(cut);  // unterminated: no crash, no read past the end
  TStringStream unclosed("<head><title>t</titl");
  empty.ProcessMetaHTTPEquiv(unclosed);
}

// Many short elements in the head: the scan stays linear (a copy of the rest
// of the page per element would take minutes here and run into the test's
// time-out).
TEST(MetaHTTPEquiv, ManyElementsStayFast) {
  std::string page = "<html><head>";
  for (int i = 0; i < 200000; ++i) page += "<title>x</title>";
  page += "<meta http-equiv=\"X-Last\" content=\"1\"></head>";
  TStringStream html(page);
  TIdMetaHTTPEquiv meta;
  meta.ProcessMetaHTTPEquiv(html);
  EXPECT_EQ(meta.RawHeaders().Values("X-Last"), "1");
}

TEST(HexDigits, DigitsOnlyAndWithinInt64) {
  struct Case {
    const char* Text;
    bool Ok;
    std::int64_t Value;
  } cases[] = {
      {"0", true, 0},
      {"fF", true, 255},
      {"000000000000000000001", true, 1},
      {"7fffffffffffffff", true, INT64_MAX},
      {"8000000000000000", false, 0},
      {"10000000000000000", false, 0},
      {"", false, 0},
      {" 1", false, 0},
      {"1 ", false, 0},
      {"-1", false, 0},
      {"+1", false, 0},
      {"0x1", false, 0},
      {"g", false, 0},
      {"1;a", false, 0},
  };
  for (const Case& k : cases) {
    std::int64_t v = -7;
    EXPECT_EQ(IdParseHexDigits(k.Text, v), k.Ok) << k.Text;
    EXPECT_EQ(v, k.Ok ? k.Value : -7) << k.Text;
  }
}

}  // namespace
