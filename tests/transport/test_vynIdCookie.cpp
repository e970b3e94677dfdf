#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/DateUtils.h"
#include "tests/transport/tz_guard.h"
#include "transport/vynIdCookie.h"
#include "transport/vynIdInternetDate.h"

namespace {

// A jar on a fixed clock, with helpers to receive Set-Cookie values and to
// see the Cookie header that a request would carry.
class CookieJar : public ::testing::Test {
protected:
  void Receive(const std::string& aURL, const std::string& aSetCookie) {
    Jar.AddServerCookie(aSetCookie, TIdURI(aURL));
  }
  std::string Sent(const std::string& aURL, bool aSecure = false) {
    TIdHeaderList headers(TIdHeaderQuotingType::QuoteHTTP);
    Jar.GenerateClientCookies(TIdURI(aURL), aSecure, headers);
    EXPECT_LE(headers.Count(), 1);
    return headers.Values("Cookie");
  }
  int Live() {
    const int n = static_cast<int>(Jar.CookieCollection().LockCookieList(TIdCookieAccess::caRead).size());
    Jar.CookieCollection().UnlockCookieList(TIdCookieAccess::caRead);
    return n;
  }

  TTestClock Clock;
  TIdCookieManager Jar;
};

TEST_F(CookieJar, DomainAttributeWidensToSubdomains) {
  Receive("http://w.d.example/", "a=1; Path=/; Domain=.D.Example:8080");
  TIdCookie* c = Jar.CookieCollection().GetCookieByNameAndDomain("a", "d.example");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->Domain, "d.example");
  EXPECT_FALSE(c->HostOnly);
  EXPECT_EQ(Sent("http://s.d.example/"), "a=1");
  EXPECT_EQ(Sent("http://d.example/"), "a=1");
  EXPECT_EQ(Sent("http://d2.example/"), "");
  EXPECT_EQ(Sent("http://xd.example/"), "");
}

TEST_F(CookieJar, HostOnlyWithoutDomain) {
  Receive("http://H/", "b=2");
  EXPECT_EQ(Sent("http://h/"), "b=2");
  EXPECT_EQ(Sent("http://x.h/"), "");
}

TEST_F(CookieJar, RefusedDomains) {
  const char* cases[][2] = {
      {"http://a.x/", "c=1; Domain=b.x"},            // not a domain of the host
      {"http://a.example.org/", "c=1; Domain=org"},  // a whole top-level domain
      {"http://1.2.3.4/", "c=1; Domain=2.3.4"},      // an address has no parent domains
      {"http://a.x/", "c=1; Domain=x.a.x"},
  };
  for (const auto& c : cases) {
    Receive(c[0], c[1]);
    EXPECT_EQ(Live(), 0) << c[1];
  }
  // The very host may name itself, even without a dot: host-only then.
  Receive("http://localhost/", "c=1; Domain=localhost");
  EXPECT_EQ(Sent("http://localhost/"), "c=1");
  Receive("http://1.2.3.4/", "d=1; Domain=1.2.3.4");
  EXPECT_EQ(Sent("http://1.2.3.4/"), "d=1");
}

TEST_F(CookieJar, ExpiredReplacementDeletes) {
  Receive("http://h/", "c=1");
  Receive("http://h/", "c=2; Max-Age=-1");
  EXPECT_EQ(Live(), 0);
  Receive("http://h/", "c=1");
  // Zero means "expire now": the cookie goes, whatever the clock's resolution.
  Receive("http://h/", "c=3; Max-Age=0");
  EXPECT_EQ(Live(), 0);
  Receive("http://h/", "c=1");
  Receive("http://h/", "c=4; Expires=Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(Live(), 0);
}

TEST_F(CookieJar, ReplacementComparesNameAndPathExactly) {
  Receive("http://h/", "a=1; Path=/x");
  Clock.AdvanceSeconds(1);
  Receive("http://h/", "A=2; Path=/x");
  Receive("http://h/", "a=3; Path=/X");
  EXPECT_EQ(Live(), 3);
  Receive("http://h/", "a=4; Path=/x");
  EXPECT_EQ(Live(), 3);
  EXPECT_EQ(Sent("http://h/x/"), "a=4; A=2");
  EXPECT_EQ(Sent("http://h/X/"), "a=3");
}

TEST_F(CookieJar, ReplacementKeepsTheCreationTime) {
  Receive("http://h/", "first=1");
  const TDateTime created = Jar.CookieCollection().GetCookieByNameAndDomain("first", "h")->CreatedAt;
  Clock.AdvanceSeconds(10);
  Receive("http://h/", "second=1");
  Receive("http://h/", "first=2");
  EXPECT_EQ(Jar.CookieCollection().GetCookieByNameAndDomain("first", "h")->CreatedAt, created);
  EXPECT_EQ(Sent("http://h/"), "first=2; second=1");  // equal paths: older first
}

TEST_F(CookieJar, ValuesKeepTheirQuotes) {
  Receive("http://h/", "q=\"a b\"; Path=\"/\"");
  EXPECT_EQ(Sent("http://h/"), "q=\"a b\"");
  EXPECT_EQ(Jar.CookieCollection().GetCookieByNameAndDomain("q", "h")->Value, "\"a b\"");
}

TEST_F(CookieJar, LineBreaksAndNulEndTheValue) {
  Receive("http://h/", std::string("a=1\r\nSet-Cookie: b=2", 21));
  Receive("http://h/", std::string("c=3\0evil", 8));
  Receive("http://h/", "d=4\nx");
  EXPECT_EQ(Sent("http://h/"), "a=1; c=3; d=4");
}

TEST_F(CookieJar, MaxAgeWinsOverExpiresInEitherOrder) {
  const char* cases[] = {"m=1; Max-Age=60; Expires=Thu, 01 Jan 1970 00:00:00 GMT",
                         "m=1; Expires=Thu, 01 Jan 1970 00:00:00 GMT; Max-Age=60", "m=1; Max-Age=-5; Max-Age=60",
                         "m=1; Max-Age=60; Max-Age=abc"};
  for (const char* c : cases) {
    Jar.CookieCollection().Clear();
    Receive("http://h/", c);
    TIdCookie* cookie = Jar.CookieCollection().GetCookieByNameAndDomain("m", "h");
    ASSERT_NE(cookie, nullptr) << c;
    EXPECT_TRUE(cookie->Persistent);
    EXPECT_EQ(cookie->MaxAge(), 60) << c;
  }
  Clock.AdvanceSeconds(61);
  EXPECT_EQ(Sent("http://h/"), "");
  EXPECT_EQ(Live(), 0);  // purged before the header is made
}

TEST_F(CookieJar, ExpiresAsDateOrSeconds) {
  Receive("http://h/", "e=1; Expires=Wed, 21 Oct 2037 07:28:00 GMT");
  TIdCookie* c = Jar.CookieCollection().GetCookieByNameAndDomain("e", "h");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(LocalToInternetDate(c->Expires), "Wed, 21 Oct 2037 07:28:00 GMT");
  Receive("http://h/", "s=1; Expires=120");
  EXPECT_EQ(Jar.CookieCollection().GetCookieByNameAndDomain("s", "h")->MaxAge(), 120);
  Receive("http://h/", "n=1; Expires=not a date");
  TIdCookie* session = Jar.CookieCollection().GetCookieByNameAndDomain("n", "h");
  ASSERT_NE(session, nullptr);
  EXPECT_FALSE(session->Persistent);
  EXPECT_EQ(session->Expires, IdCookieSessionExpiry());
}

TEST(CookieDate, Tokens) {
  struct Case {
    const char* Text;
    const char* Expected;  // nullptr: no date
  };
  const Case cases[] = {
      {"Wed, 21 Oct 2015 07:28:00 GMT", "Wed, 21 Oct 2015 07:28:00 GMT"},
      {"1994 Nov 06 08:49:37", "Sun, 06 Nov 1994 08:49:37 GMT"},  // year before the month
      {"08:49:37 1994 06 Nov", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"Sun, 06-Nov-94 08:49:37 GMT", "Sun, 06 Nov 1994 08:49:37 GMT"},
      {"Sun, 06 November 2069 08:49:37", "Wed, 06 Nov 2069 08:49:37 GMT"},
      {"06 Nov 70 8:9:7", "Fri, 06 Nov 1970 08:09:07 GMT"},
      {"06 11 2000 08:49:37", "Mon, 06 Nov 2000 08:49:37 GMT"},  // numeric month
      {"Sun, 06 Nov 1600 08:49:37", nullptr},
      {"Sun, 32 Nov 1994 08:49:37", nullptr},
      {"Sun, 31 Nov 1994 08:49:37", nullptr},
      {"Sun, 06 Nov 1994 24:00:00", nullptr},
      {"Sun, 06 Nov 1994", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    const TDateTime utc = CookieDateToUTC(c.Text);
    if (!c.Expected)
      EXPECT_EQ(utc, 0) << c.Text;
    else
      EXPECT_EQ(utc == 0 ? "(no date)" : UTCToInternetDate(utc), c.Expected) << c.Text;
  }
}

TEST(CookieMatching, PathsAndDomains) {
  struct PathCase {
    const char* Request;
    const char* Cookie;
    bool Match;
  };
  const PathCase paths[] = {{"/a", "/a", true},    {"/a/b", "/a", true}, {"/ab", "/a", false}, {"/a/", "/a/", true},
                            {"/a/b", "/a/", true}, {"/", "/a", false},   {"/A", "/a", false}};
  for (const auto& c : paths)
    EXPECT_EQ(CookiePathMatches(c.Request, c.Cookie), c.Match) << c.Request << " " << c.Cookie;
  struct DomainCase {
    const char* Host;
    const char* Domain;
    bool Match;
  };
  const DomainCase domains[] = {{"a.b.c", "b.c", true}, {"A.B.C", "b.c", true}, {"ab.c", "b.c", false},
                                {"b.c", "b.c", true},   {"", "", false},        {"1.2.3.4", "2.3.4", false},
                                {"::1", "1", false},    {"x.b.c", "", false}};
  for (const auto& c : domains) EXPECT_EQ(CookieDomainMatches(c.Host, c.Domain), c.Match) << c.Host << " " << c.Domain;
  const char* defaults[][2] = {{"", "/"}, {"x", "/"}, {"/", "/"}, {"/a", "/"}, {"/a/b", "/a"}, {"/a/b/", "/a/b"}};
  for (const auto& d : defaults) EXPECT_EQ(CookieDefaultPath(d[0]), d[1]) << d[0];
}

TEST_F(CookieJar, LongerPathsFirstAndSecureOnlyOverTLS) {
  Receive("http://h/", "root=1; Path=/");
  Receive("http://h/", "deep=1; Path=/a");
  Receive("https://h/", "s=1; Secure");
  EXPECT_EQ(Sent("http://h/a/"), "deep=1; root=1");
  EXPECT_EQ(Sent("http://h/b"), "root=1");
  EXPECT_EQ(Sent("https://h/", true), "root=1; s=1");
}

TEST_F(CookieJar, HttpOnlyBelongsToHTTP) {
  Receive("ws://h/", "x=1; HttpOnly");
  EXPECT_EQ(Live(), 0);
  Receive("http://h/", "x=1; HttpOnly");
  EXPECT_EQ(Sent("http://h/"), "x=1");
  EXPECT_EQ(Sent("ftp://h/"), "");
  // Not replaceable from elsewhere.
  TIdCookies& coll = Jar.CookieCollection();
  TIdURI ftp("ftp://h/");
  TIdCookie& c = coll.Add();
  ASSERT_TRUE(c.ParseServerCookie("x=2", &ftp));
  EXPECT_FALSE(coll.AddCookie(&c, &ftp, true));
  coll.FreeCookie(&c);
  EXPECT_EQ(Sent("http://h/"), "x=1");
}

TEST_F(CookieJar, NewCookieEventCanRefuse) {
  Jar.OnNewCookie = [](TIdCookieManager*, TIdCookie* aCookie, bool& aAccept) { aAccept = aCookie->CookieName != "no"; };
  Receive("http://h/", "no=1");
  Receive("http://h/", "yes=1");
  EXPECT_EQ(Sent("http://h/"), "yes=1");
  EXPECT_EQ(Jar.CookieCollection().Count(), 1);  // the refused cookie is freed

  TIdCookie copy;
  copy.CookieName = "copied";
  copy.Value = "v";
  copy.Path = "/";
  EXPECT_EQ(copy.Domain, "");
  Jar.CopyCookie(copy);  // no domain: not stored
  copy.Domain = "h";
  copy.HostOnly = true;
  Jar.CopyCookie(copy);
  EXPECT_EQ(Sent("http://h/"), "yes=1; copied=v");

  TIdCookieManager other;
  other.AddCookies(Jar);
  EXPECT_EQ(other.CookieCollection().Count(), 2);
}

TEST(CookieForms, ServerCookieText) {
  TTestClock clock;
  TIdCookies coll;
  TIdURI uri("http://Example.com/a/b/doc");
  TIdCookie* session = coll.AddServerCookie("sid=abc; HttpOnly; Secure", &uri);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->Path, "/a/b");
  EXPECT_EQ(session->ServerCookie(), "sid=abc; Path=/a/b; Domain=example.com; Secure; HttpOnly");
  TIdCookie* persistent = coll.AddServerCookie("p=1; Max-Age=3600; Path=/", &uri);
  ASSERT_NE(persistent, nullptr);
  EXPECT_EQ(persistent->CookieText(),
            "p=1; Path=/; Domain=example.com; Max-Age=3600; Expires=" + UTCToInternetDate(IncSecond(NowUTC(), 3600)));
  TIdCookie& fresh = coll.Add();
  fresh.CookieName = "n";
  fresh.Value = "v";
  EXPECT_EQ(fresh.ServerCookie(), "n=v");
  EXPECT_EQ(fresh.MaxAge(), -1);
  EXPECT_FALSE(fresh.IsExpired());
  // How a server deletes a cookie: an expiry long past, and no Max-Age.
  TZGuard zone("UTC");
  fresh.Expires = EncodeDate(1, 1, 1);
  EXPECT_TRUE(fresh.IsExpired());
  EXPECT_EQ(fresh.ServerCookie(), "n=v; Expires=Mon, 01 Jan 0001 00:00:00 GMT");
}

TEST(CookieForms, ClientCookiesFromAHeader) {
  TIdCookies coll;
  coll.AddClientCookies("x=1; y=2;; =bad; noval; q=\"a;b\"");
  ASSERT_EQ(coll.Count(), 3);
  EXPECT_EQ(coll.GetCookie(0).ClientCookie(), "x=1");
  EXPECT_EQ(coll.GetCookie(1).ClientCookie(), "y=2");
  EXPECT_EQ(coll.GetCookie(2).Value, "\"a;b\"");
  EXPECT_EQ(coll.GetCookieIndex("Y"), 1);
  EXPECT_EQ(coll.GetCookieIndex("x", 1), -1);
  TStringList lines;
  lines.Add("z=3");
  coll.AddClientCookies(lines);
  EXPECT_EQ(coll.GetCookieIndex("z"), 3);

  TIdCookies copy;
  copy.Assign(coll);
  EXPECT_EQ(copy.Count(), 4);
  copy.Clear();
  EXPECT_EQ(copy.Count(), 0);
}

// Many cookies, most of them refused or expired: storing and purging keep
// the right ones. A search of the whole jar per cookie would take minutes
// here, so a quadratic regression runs into the test's time-out.
TEST(CookieJarSize, ManyCookiesStayFast) {
  TTestClock clock;
  TIdCookies coll;
  std::string header;
  for (int i = 0; i < 100000; ++i) header += "c" + std::to_string(i) + "=1; junk; ";
  coll.AddClientCookies(header);
  EXPECT_EQ(coll.Count(), 100000);
  auto& list = coll.LockCookieList(TIdCookieAccess::caReadWrite);
  for (TIdCookie* c : list) c->Expires = IncSecond(Now(), 1);
  list.front()->Expires = 0;
  coll.UnlockCookieList(TIdCookieAccess::caReadWrite);
  clock.AdvanceSeconds(2);
  coll.CleanupCookieList();
  EXPECT_EQ(coll.Count(), 1);
  EXPECT_EQ(coll.GetCookie(0).CookieName, "c0");
}

// The jar is bounded per domain and in all: beyond the limit the least
// recently used cookie of the crowded domain (or of the jar) gives way, an
// expired one before any; the one just stored always stays.
TEST_F(CookieJar, LimitsPerDomainAndInAllEvictTheLeastRecentlyUsed) {
  const int perDomain = static_cast<int>(TIdCookies::kMaxCookiesPerDomain);
  for (int i = 0; i < perDomain; ++i) {
    Receive("http://a.example/", "c" + std::to_string(i) + "=1");
    Clock.AdvanceSeconds(1);
  }
  // c1 is sent (so used) after the others were stored; c2 expires.
  Receive("http://a.example/", "c2=1; Max-Age=5");
  Clock.AdvanceSeconds(1);
  Jar.CookieCollection().GetCookieByNameAndDomain("c1", "a.example")->LastAccessed = Now();
  Clock.AdvanceSeconds(10);
  // A cookie for another domain does not crowd this one.
  Receive("http://b.example/", "b=1");
  EXPECT_EQ(Live(), perDomain + 1);
  Receive("http://a.example/", "new1=1");  // c2 (expired) goes first
  Receive("http://a.example/", "new2=1");  // then c0, the least recently used
  Receive("http://a.example/", "new3=1");  // then c3: c1 was used lately
  EXPECT_EQ(Live(), perDomain + 1);
  auto& cookies = Jar.CookieCollection();
  for (const char* gone : {"c0", "c2", "c3"})
    EXPECT_EQ(cookies.GetCookieByNameAndDomain(gone, "a.example"), nullptr) << gone;
  for (const char* kept : {"c1", "c4", "new1", "new2", "new3"})
    EXPECT_NE(cookies.GetCookieByNameAndDomain(kept, "a.example"), nullptr) << kept;
  EXPECT_NE(cookies.GetCookieByNameAndDomain("b", "b.example"), nullptr);

  // The whole jar: many domains with a few cookies each.
  Jar.CookieCollection().Clear();
  const int total = static_cast<int>(TIdCookies::kMaxCookies);
  for (int i = 0; i < total + 10; ++i) {
    Receive("http://d" + std::to_string(i / 10) + ".example/", "k" + std::to_string(i) + "=1");
    Clock.AdvanceMs(10);
  }
  EXPECT_EQ(Live(), total);
  EXPECT_EQ(Jar.CookieCollection().Count(), total);
  EXPECT_EQ(cookies.GetCookieByNameAndDomain("k9", "d0.example"), nullptr);
  EXPECT_NE(cookies.GetCookieByNameAndDomain("k10", "d1.example"), nullptr);
  EXPECT_NE(Sent("http://d300.example/").find("k3009=1"), std::string::npos);
}

// Two clients sharing one jar: one stores and replaces cookies while the
// other keeps generating headers. Replaced cookies are freed under the lock,
// so the header maker never sees a freed cookie (ASan would report it).
TEST(CookieJarSharing, StoringAndSendingOnTwoThreads) {
  TIdCookieManager jar;
  const TIdURI uri("http://h/a/");
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) {
      jar.AddServerCookie("k" + std::to_string(i % 7) + "=" + std::to_string(i) + "; Path=/a", uri);
      if (i % 50 == 0) jar.AddServerCookie("k0=gone; Max-Age=0; Path=/a", uri);
    }
    done = true;
  });
  int headers = 0;
  while (!done && headers < 100000) {
    TIdHeaderList h(TIdHeaderQuotingType::QuoteHTTP);
    jar.GenerateClientCookies(uri, false, h);
    EXPECT_LE(h.Count(), 1);
    ++headers;
  }
  writer.join();
  TIdHeaderList h(TIdHeaderQuotingType::QuoteHTTP);
  jar.GenerateClientCookies(uri, false, h);
  // Equal paths: the order follows creation times, which may tie; compare
  // the cookies as a set.
  TIdCookies sent;
  sent.AddClientCookies(h.Values("Cookie"));
  std::vector<std::string> pairs;
  for (int i = 0; i < sent.Count(); ++i) pairs.push_back(sent.GetCookie(i).ClientCookie());
  std::sort(pairs.begin(), pairs.end());
  EXPECT_EQ(pairs,
            (std::vector<std::string>{"k0=1995", "k1=1996", "k2=1997", "k3=1998", "k4=1999", "k5=1993", "k6=1994"}));
}

}  // namespace
